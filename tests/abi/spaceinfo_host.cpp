// A host that declares the library's interface itself, as a host written
// from the documentation does, with get_spaceinfo's types spelled its own
// way: SPACEINFO_COUNT for the counts (long long, int64_t, ...) and
// SPACEINFO_WHICH for `which` (DWORD, UINT, uint32_t). It links against the
// real library only when the library exports that spelling; it then checks
// that the call reaches the cloud back end through the stand-in Quorvel.
//
// Built once per spelling; SPACEINFO_NAME names the spelling.
#ifdef _WIN32
#include <windows.h>
#endif

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#ifdef _WIN32
#define HOST_IMPORT __declspec(dllimport)
#else
#define HOST_IMPORT
#endif

enum OnlineInterfaceType : std::int32_t {
  INTERFACE_LOCAL_SERVICE = 0,
  INTERFACE_CLOUD_LIBRARY = 1,
};

// The members this host uses. The fields are the library's business: the
// host only gives the object room enough for them.
class HOST_IMPORT CBrevanto {
 public:
  explicit CBrevanto(OnlineInterfaceType interface_type);
  ~CBrevanto();
  int login(const wchar_t* user, const wchar_t* password, const wchar_t* project_name,
            const wchar_t* client_type);
  int get_spaceinfo(SPACEINFO_COUNT& used_bytes, SPACEINFO_COUNT& free_bytes,
                    SPACEINFO_WHICH which);

 private:
  alignas(16) unsigned char fields_[512];
};

namespace {

int failures = 0;

void expect(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "%s: FAILED: %s\n", SPACEINFO_NAME, what);
    ++failures;
  }
}

void set_root(const std::filesystem::path& root) {
#ifdef _WIN32
  ::_wputenv_s(L"QUORVEL_ROOT", root.wstring().c_str());
#else
  ::setenv("QUORVEL_ROOT", root.c_str(), 1);
#endif
}

}  // namespace

int main() {
  const std::filesystem::path root = std::filesystem::temp_directory_path() /
                                     (std::string("brevanto-spaceinfo-") + SPACEINFO_NAME);
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
  set_root(root);
  {
    CBrevanto client(INTERFACE_CLOUD_LIBRARY);
    SPACEINFO_COUNT used = -1;
    SPACEINFO_COUNT free_bytes = -1;
    // Without a login the library answers QV_E_NOT_LOGGED_IN (-1001), and
    // the outputs keep what the host had in them.
    expect(client.get_spaceinfo(used, free_bytes, 3) == -1001, "not logged in gives -1001");
    expect(used == -1 && free_bytes == -1, "a failed query writes nothing");

    expect(client.login(L"ann", L"secret", L"", L"") == 0, "login");
    expect(client.get_spaceinfo(used, free_bytes, 2) == 0, "used space");
    expect(used == 0 && free_bytes == -1, "only the used space is written");
    expect(client.get_spaceinfo(used, free_bytes, 1) == 0, "free space");
    expect(free_bytes == static_cast<SPACEINFO_COUNT>(100) * 1024 * 1024, "a new account has 100 MiB free");
  }
  std::filesystem::remove_all(root, ignored);
  if (failures == 0) std::printf("%s: get_spaceinfo links and answers\n", SPACEINFO_NAME);
  return failures == 0 ? 0 : 1;
}
