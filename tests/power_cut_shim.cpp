// Preloaded into the service by the power-cut test: each successful
// fsync()/fdatasync() of a file or folder below BREVANTO_POWER_CUT_ROOT is
// recorded in BREVANTO_POWER_CUT_SHADOW (see power_cut_image.h).
#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "tests/power_cut_image.h"

namespace {

std::mutex g_mu;

void record(int fd) {
  const char* root = std::getenv("BREVANTO_POWER_CUT_ROOT");
  const char* shadow = std::getenv("BREVANTO_POWER_CUT_SHADOW");
  if (root == nullptr || shadow == nullptr) return;
  char path[4096];
  const ssize_t n =
      ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path - 1);
  if (n <= 0) return;
  path[n] = '\0';
  if (std::strncmp(path, root, std::strlen(root)) != 0) return;
  const std::lock_guard<std::mutex> lock(g_mu);
  record_synced(shadow, fd);
}

template <typename F>
F real(const char* name) {
  return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int fsync(int fd) {
  static const auto next = real<int (*)(int)>("fsync");
  const int result = next(fd);
  if (result == 0) record(fd);
  return result;
}

extern "C" __attribute__((visibility("default"))) int fdatasync(int fd) {
  static const auto next = real<int (*)(int)>("fdatasync");
  const int result = next(fd);
  if (result == 0) record(fd);
  return result;
}
