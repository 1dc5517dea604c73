#include "cli/command_suggestion.h"

#include <algorithm>

namespace {

std::size_t edit_distance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

}  // namespace

std::string first_command_word(const std::vector<std::string>& args,
                               const std::vector<std::string>& value_options,
                               const std::vector<std::string>& flags) {
  const auto known = [](const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") return i + 1 < args.size() ? args[i + 1] : std::string();
    if (arg.empty() || arg[0] != '-') return arg;
    if (known(value_options, arg)) {
      ++i;
    } else if (!known(flags, arg) && !known(value_options, arg.substr(0, arg.find('=')))) {
      return std::string();
    }
  }
  return std::string();
}

std::string unknown_command_message(const std::string& word,
                                    const std::vector<std::string>& commands) {
  std::string text = "unknown command \"" + word + "\"";
  std::vector<std::string> near;
  for (const std::string& command : commands) {
    const std::size_t distance = edit_distance(word, command);
    if ((distance <= 2 && distance < word.size()) || command.rfind(word, 0) == 0) {
      near.push_back(command);
    }
  }
  if (!near.empty()) {
    text += "\n\nDid you mean this?";
    for (const std::string& command : near) text += "\n\t" + command;
  }
  return text;
}
