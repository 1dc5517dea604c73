#include "service/options.h"

#include <cstdlib>
#include <cstring>

const char* usage_text() {
  return "usage: brevanto-service --root DIR --local-root DIR [--local-root DIR ...]\n"
         "                        [--port N] [--port-file FILE]\n"
         "       brevanto-service --root DIR --add-user NAME   (password on stdin)\n"
         "\n"
         "  --root DIR        storage root: catalog.sqlite3 and the users' trees\n"
         "  --local-root DIR  local folder whose files may be read and written\n"
         "  --port N          TCP port on 127.0.0.1 (default 11001, 0: any free)\n"
         "  --port-file FILE  write the port to FILE once listening\n"
         "  --add-user NAME   add a user, reading the password from stdin\n"
         "  --login-grace S   close a connection not logged in after S seconds (10)\n"
         "  --idle-timeout S  close a logged-in connection idle for S seconds (900)\n"
         "  --max-pending N   connections not logged in at a time (64)\n"
         "  --max-sessions N  logged-in connections at a time (64)\n"
         "  --ids-per-user N  ClientIDs kept per user (1024)\n"
         "  --lockout S       lock-out of a name after repeated failed logins (300)\n";
}

namespace {

unsigned* number_option(Options* options, const char* arg) {
  const struct {
    const char* name;
    unsigned Options::*field;
  } kNumbers[] = {{"--login-grace", &Options::login_grace},
                  {"--idle-timeout", &Options::idle_timeout},
                  {"--max-pending", &Options::max_pending},
                  {"--max-sessions", &Options::max_sessions},
                  {"--ids-per-user", &Options::ids_per_user},
                  {"--lockout", &Options::lockout}};
  for (const auto& number : kNumbers) {
    if (std::strcmp(arg, number.name) == 0) return &(options->*number.field);
  }
  return nullptr;
}

}  // namespace

bool parse_options(int argc, char** argv, Options* options, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      options->help = true;
      continue;
    }
    if (i + 1 >= argc) {
      *error = std::string("unknown option or missing value: ") + arg;
      return false;
    }
    const char* value = argv[++i];
    if (std::strcmp(arg, "--root") == 0) {
      options->root = value;
    } else if (std::strcmp(arg, "--port") == 0) {
      char* end = nullptr;
      const long port = std::strtol(value, &end, 10);
      if (*value == '\0' || *end != '\0' || port < 0 || port > 65535) {
        *error = std::string("bad port: ") + value;
        return false;
      }
      options->port = static_cast<std::uint16_t>(port);
    } else if (std::strcmp(arg, "--port-file") == 0) {
      options->port_file = value;
    } else if (std::strcmp(arg, "--local-root") == 0) {
      options->local_roots.push_back(value);
    } else if (unsigned* number = number_option(options, arg)) {
      char* end = nullptr;
      const unsigned long n = std::strtoul(value, &end, 10);
      if (*value < '0' || *value > '9' || *end != '\0' || n > 1000000) {
        *error = std::string("bad number for ") + arg + ": " + value;
        return false;
      }
      *number = static_cast<unsigned>(n);
    } else if (std::strcmp(arg, "--add-user") == 0) {
      options->add_user = value;
    } else {
      *error = std::string("unknown option: ") + arg;
      return false;
    }
  }
  if (options->help) return true;
  if (options->root.empty()) {
    *error = "--root is required";
    return false;
  }
  if (options->max_pending == 0 || options->max_sessions == 0 || options->ids_per_user == 0) {
    *error = "--max-pending, --max-sessions and --ids-per-user must be at least 1";
    return false;
  }
  if (options->add_user.empty() && options->local_roots.empty()) {
    *error = "at least one --local-root is required to serve";
    return false;
  }
  return true;
}
