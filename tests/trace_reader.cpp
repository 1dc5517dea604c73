#include "tests/trace_reader.h"

#include <chrono>
#include <fstream>
#include <thread>
#include <iterator>

#include "platform/win32.h"
#include "util/module_path.h"
#include "util/text.h"

std::string log_file_path() {
  return to_utf8((executable_directory() + L"Logs" + BREVANTO_PATH_SEPARATOR + L"Brevanto.log").c_str());
}

std::string read_file_bytes(const std::string& path) {
#ifdef _WIN32
  std::ifstream in(utf8_to_wide(path).c_str(), std::ios::binary);
#else
  std::ifstream in(path, std::ios::binary);
#endif
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string utf16le_to_utf8(const std::string& bytes) {
  std::u32string units;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    char32_t u = static_cast<unsigned char>(bytes[i]) |
                 (static_cast<unsigned char>(bytes[i + 1]) << 8);
    if (u >= 0xD800 && u < 0xDC00 && i + 3 < bytes.size()) {
      const char32_t low = static_cast<unsigned char>(bytes[i + 2]) |
                           (static_cast<unsigned char>(bytes[i + 3]) << 8);
      if (low >= 0xDC00 && low < 0xE000) {
        u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    units.push_back(u);
  }
  std::string out;
  for (char32_t c : units) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

void TraceReader::mark() { offset_ = read_file_bytes(log_file_path()).size(); }

std::vector<std::string> TraceReader::lines(bool strip_stamp) const {
  const std::string bytes = read_file_bytes(log_file_path());
  const std::string text =
      utf16le_to_utf8(offset_ < bytes.size() ? bytes.substr(offset_) : std::string());
  std::vector<std::string> out;
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(begin, end - begin);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // "mm/dd/yy hh:mm:ss: " is 19 characters.
    if (strip_stamp && line.size() >= 19 && line[2] == '/' && line[8] == ' ' && line[17] == ':') {
      line = line.substr(19);
    }
    out.push_back(line);
    begin = end + 1;
  }
  return out;
}

std::size_t TraceReader::count(const std::string& line) const {
  std::size_t n = 0;
  for (const std::string& l : lines()) n += l == line;
  return n;
}

bool TraceReader::wait_for(const std::string& line, std::size_t n) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (count(line) < n) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}
