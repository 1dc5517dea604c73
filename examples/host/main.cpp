// A minimal backup host: logs in to the local service, lists the root of the
// storage and logs out.
//
//   brevanto_example_host USER PASSWORD [PROJECT]
//   brevanto_example_host --version   (loads the library and exits)
#include <client/Brevanto.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <list>
#include <string>

namespace {

std::wstring widen(const char* text) {
  std::wstring out;
  for (; *text; ++text) out.push_back(static_cast<unsigned char>(*text));
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  CBrevanto client(INTERFACE_LOCAL_SERVICE);
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("Brevanto example host; last service error %d\n", client.error_code());
    return 0;
  }
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s USER PASSWORD [PROJECT]\n", argv[0]);
    return 2;
  }
  const std::wstring user = widen(argv[1]);
  const std::wstring password = widen(argv[2]);
  const std::wstring project = widen(argc > 3 ? argv[3] : "default");

  int status = client.login(user.c_str(), password.c_str(), project.c_str(), L"1");
  if (status != 0) {
    std::fprintf(stderr, "login failed: %d\n", status);
    return 1;
  }
  std::list<_path_buffer*> entries;
  status = client.getfilelist(L"\\", false, entries);
  for (const _path_buffer* entry : entries) {
    std::printf("%s %ls\n", entry->is_dir ? "dir " : "file", entry->full_path.c_str());
  }
  client.releasefilelist(entries);
  if (status != 0) {
    std::fprintf(stderr, "listing failed: %d (%d: %ls)\n", status, client.error_code(),
                 client.error_msg());
  }
  client.logout();
  return status == 0 ? 0 : 1;
}
