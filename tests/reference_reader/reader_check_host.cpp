// A host that drives one CBrevanto (local service back end) from a script on
// stdin and reports every call as one JSON line on stdout, for
// run_reader_check.py.
//
// Script: one call a line, fields separated by tabs, every argument "h" and
// the hex of its UTF-8 text, or "~" for a null pointer:
//   login USER PASSWORD PROJECT CLIENT_TYPE | logout
//   getfileinfo PATH BACKUP_TYPE REVERSION | adddir PATH | removedir PATH
//   removefile PATH | getfilelist PATH RECURSIVE("1"/"0")
//   addfile|updatefile|downloadfile LOCAL_PATH STORAGE_PATH
// Output: each progress call at once as {"cb":[completed,total],"t":NS,
// "ctx":1}, then {"op":..,"ret":..,"err_code":..,"err_msg":HEX,"t":NS,...}
// with "entries" or "info" where the call has them. Times are
// CLOCK_MONOTONIC in nanoseconds; texts the hex of their UTF-8.
#include <client/Brevanto.h>

#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <list>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::int64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

std::string hex_of(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string utf8_of(const std::wstring& text) {
  std::string out;
  for (wchar_t w : text) {
    auto c = static_cast<std::uint32_t>(w);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// UTF-8 to wide, one code point per wchar_t (valid input only).
std::wstring wide_of(const std::string& bytes) {
  std::wstring out;
  for (std::size_t i = 0; i < bytes.size();) {
    auto c = static_cast<unsigned char>(bytes[i]);
    int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
    std::uint32_t cp = extra ? c & (0x3F >> extra) : c;
    for (int k = 1; k <= extra && i + k < bytes.size(); ++k) {
      cp = (cp << 6) | (static_cast<unsigned char>(bytes[i + k]) & 0x3F);
    }
    out += static_cast<wchar_t>(cp);
    i += extra + 1;
  }
  return out;
}

// An argument of the script: the text, or absent for "~".
struct Arg {
  bool null = false;
  std::wstring text;
  const wchar_t* ptr() const { return null ? nullptr : text.c_str(); }
};

Arg arg_of(const std::string& field) {
  Arg a;
  if (field == "~") {
    a.null = true;
    return a;
  }
  std::string bytes;
  for (std::size_t i = 1; i + 1 < field.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(field.substr(i, 2), nullptr, 16));
  }
  a.text = wide_of(bytes);
  return a;
}

int progress_marker;

int BREVANTO_CDECL on_progress(std::uint64_t completed, std::uint64_t total, void* context) {
  std::printf("{\"cb\":[%llu,%llu],\"t\":%lld,\"ctx\":%d}\n",
              static_cast<unsigned long long>(completed), static_cast<unsigned long long>(total),
              static_cast<long long>(now_ns()), context == &progress_marker ? 1 : 0);
  std::fflush(stdout);
  return 0;
}

std::string pair_of(const FILETIME& t) {
  return "[" + std::to_string(t.dwHighDateTime) + "," + std::to_string(t.dwLowDateTime) + "]";
}

// The record as getfileinfo left it; "untouched" when every field still
// holds the filler the host put there.
std::string info_of(const WIN32_FILE_ATTRIBUTE_DATA& d, int backup_type, int reversion) {
  const DWORD fill = 0xA5A5A5A5;
  const DWORD all[] = {d.dwFileAttributes, d.ftCreationTime.dwLowDateTime,
                       d.ftCreationTime.dwHighDateTime, d.ftLastAccessTime.dwLowDateTime,
                       d.ftLastAccessTime.dwHighDateTime, d.ftLastWriteTime.dwLowDateTime,
                       d.ftLastWriteTime.dwHighDateTime, d.nFileSizeHigh, d.nFileSizeLow};
  bool untouched = true;
  for (DWORD v : all) untouched = untouched && v == fill;
  std::string numbers = "\"backup_type\":" + std::to_string(backup_type) +
                        ",\"reversion\":" + std::to_string(reversion);
  if (untouched) return "{\"untouched\":true," + numbers + "}";
  return "{\"attributes\":" + std::to_string(d.dwFileAttributes) + ",\"size\":[" +
         std::to_string(d.nFileSizeHigh) + "," + std::to_string(d.nFileSizeLow) +
         "],\"created\":" + pair_of(d.ftCreationTime) + ",\"accessed\":" +
         pair_of(d.ftLastAccessTime) + ",\"modified\":" + pair_of(d.ftLastWriteTime) + "," +
         numbers + "}";
}

// Runs one script line; returns the fields the call adds to its JSON line.
std::string run(CBrevanto& client, const std::string& op, const std::vector<Arg>& a, int& ret) {
  auto need = [&](std::size_t n) {
    if (a.size() < n) throw std::runtime_error("too few arguments for " + op);
  };
  if (op == "login") {
    need(4);
    ret = client.login(a[0].ptr(), a[1].ptr(), a[2].ptr(), a[3].ptr());
  } else if (op == "logout") {
    ret = client.logout();
  } else if (op == "adddir" || op == "removedir" || op == "removefile") {
    need(1);
    ret = op == "adddir"      ? client.adddir(a[0].ptr())
          : op == "removedir" ? client.removedir(a[0].ptr())
                              : client.removefile(a[0].ptr());
  } else if (op == "getfileinfo") {
    need(3);
    WIN32_FILE_ATTRIBUTE_DATA data;
    std::memset(&data, 0xA5, sizeof data);
    int backup_type = std::stoi(utf8_of(a[1].text));
    int reversion = std::stoi(utf8_of(a[2].text));
    ret = client.getfileinfo(a[0].ptr(), data, backup_type, reversion);
    return ",\"info\":" + info_of(data, backup_type, reversion);
  } else if (op == "getfilelist") {
    need(2);
    std::list<_path_buffer*> list;
    ret = client.getfilelist(a[0].ptr(), a[1].text == L"1", list);
    std::string entries;
    for (const _path_buffer* e : list) {
      entries += std::string(entries.empty() ? "" : ",") + "[" + std::to_string(e->is_dir) +
                 ",\"" + hex_of(utf8_of(e->full_path)) + "\"]";
    }
    client.releasefilelist(list);
    return ",\"entries\":[" + entries + "]";
  } else if (op == "addfile" || op == "updatefile" || op == "downloadfile") {
    need(2);
    ret = op == "addfile" ? client.addfile(a[0].ptr(), a[1].ptr(), on_progress, &progress_marker)
          : op == "updatefile"
              ? client.updatefile(a[0].ptr(), a[1].ptr(), on_progress, &progress_marker)
              : client.downloadfile(a[0].ptr(), a[1].ptr(), false, on_progress, &progress_marker);
  } else {
    throw std::runtime_error("unknown operation " + op);
  }
  return "";
}

}  // namespace

int main() {
  CBrevanto client(INTERFACE_LOCAL_SERVICE);
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream fields(line);
    std::string op, field;
    std::getline(fields, op, '\t');
    std::vector<Arg> args;
    while (std::getline(fields, field, '\t')) args.push_back(arg_of(field));
    int ret = 0;
    std::string extra = run(client, op, args, ret);
    const wchar_t* msg = client.error_msg();
    std::printf("{\"op\":\"%s\",\"ret\":%d,\"err_code\":%d,\"err_msg\":\"%s\",\"t\":%lld%s}\n",
                op.c_str(), ret, client.error_code(),
                hex_of(utf8_of(msg ? msg : L"")).c_str(), static_cast<long long>(now_ns()),
                extra.c_str());
    std::fflush(stdout);
  }
  return 0;
}
