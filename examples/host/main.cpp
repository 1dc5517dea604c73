// A backup host in miniature: logs in to the local service, uploads a file
// with progress when asked, lists the whole storage and logs out.
//
//   brevanto_example_host USER PASSWORD [LOCAL_FILE STORAGE_PATH]
//   brevanto_example_host --version   (loads the library and exits)
//
// LOCAL_FILE is opened by the service, not by this program: it names a file
// on the service's machine in the service's own syntax. For the reference
// service on Linux that is an absolute POSIX path the user may reach (below
// one of its --local-root folders, when it has any), also when this host
// runs on Windows.
//
// Arguments reach the library as the UTF-16 text that was typed, so a
// password like "pässword" logs in here as it does on the command line: on
// Windows they come from wmain (MinGW links it with -municode), elsewhere
// they are converted from the encoding of the user's locale.
//
// Exit codes: 0 done, 1 a call failed, 2 bad arguments.
#include <client/Brevanto.h>

#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <string>
#include <vector>

namespace {

// Writes `text` and a line end. On Windows a console gets the UTF-16 text
// as it is, and a file or pipe gets UTF-8; elsewhere the text is written in
// the locale's encoding.
void say(std::FILE* out, const std::wstring& text) {
#ifdef _WIN32
  const HANDLE handle = GetStdHandle(out == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (GetConsoleMode(handle, &mode)) {
    const std::wstring line = text + L"\n";
    DWORD written = 0;
    std::fflush(out);
    WriteConsoleW(handle, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    return;
  }
  const int length = static_cast<int>(text.size());
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  if (size > 0) {
    WideCharToMultiByte(CP_UTF8, 0, text.data(), length, &bytes[0], size, nullptr, nullptr);
  }
  bytes += '\n';
  std::fwrite(bytes.data(), 1, bytes.size(), out);
#else
  std::fprintf(out, "%ls\n", text.c_str());
#endif
}

// Why a call failed, from its status. error_code() and error_msg() keep the
// last failure the service reported, also after later successes, so they
// are read only when the status itself is -3.
std::wstring failure(const CBrevanto& client, int status) {
  if (status == -3) {
    return L"the service reported error " + std::to_wstring(client.error_code()) + L": " +
           client.error_msg();
  }
  if (status == 10061) return L"nothing listens on 127.0.0.1:11001 (is the service running?)";
  return L"status " + std::to_wstring(status);
}

struct Progress {
  int reports = 0;
};

int run(const std::vector<std::wstring>& args) {
  if (args.size() == 2 && args[1] == L"--version") {
    CBrevanto client(INTERFACE_LOCAL_SERVICE);
    say(stdout, L"Brevanto example host; the library is loaded (error code " +
                    std::to_wstring(client.error_code()) + L")");
    return 0;
  }
  if (args.size() != 3 && args.size() != 5) {
    say(stderr, L"usage: brevanto_example_host USER PASSWORD [LOCAL_FILE STORAGE_PATH]");
    return 2;
  }

  CBrevanto client(INTERFACE_LOCAL_SERVICE);
  int status = client.login(args[1].c_str(), args[2].c_str(), L"default", L"1");
  if (status != 0) {
    say(stderr, L"login failed: " + failure(client, status));
    return 1;
  }

  int result = 0;
  if (args.size() == 5) {
    Progress progress;
    status = client.addfile(
        args[3].c_str(), args[4].c_str(),
        [](std::uint64_t done, std::uint64_t total, void* context) {
          ++static_cast<Progress*>(context)->reports;
          say(stdout, L"progress " + std::to_wstring(done) + L"/" + std::to_wstring(total));
          return 0;  // the local service ignores it; the cloud back end stops on nonzero
        },
        &progress);
    if (status == 0) {
      say(stdout, L"uploaded " + args[3] + L" to " + args[4] + L" (" +
                      std::to_wstring(progress.reports) + L" progress reports)");
    } else {
      say(stderr, L"upload failed: " + failure(client, status));
      result = 1;
    }
  }

  std::list<_path_buffer*> entries;
  status = client.getfilelist(L"\\", /*recursive=*/true, entries);
  for (const _path_buffer* entry : entries) {
    say(stdout, (entry->is_dir ? L"dir  " : L"file ") + entry->full_path);
  }
  client.releasefilelist(entries);  // also after a failure: it may hold entries
  if (status != 0) {
    say(stderr, L"listing failed: " + failure(client, status));
    result = 1;
  }
  client.logout();
  return result;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  return run(std::vector<std::wstring>(argv, argv + argc));
}
#else
int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  std::vector<std::wstring> args;
  for (int i = 0; i < argc; ++i) {
    const std::size_t length = std::mbstowcs(nullptr, argv[i], 0);
    if (length == static_cast<std::size_t>(-1)) {
      std::fprintf(stderr,
                   "argument %d is not text in the locale's encoding (set LANG, e.g. "
                   "C.UTF-8)\n",
                   i);
      return 2;
    }
    std::wstring arg(length, L'\0');
    std::mbstowcs(&arg[0], argv[i], length);
    args.push_back(arg);
  }
  return run(args);
}
#endif
