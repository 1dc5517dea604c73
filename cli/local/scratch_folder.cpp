#include "cli/local/scratch_folder.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <system_error>
#include <vector>

#include "cli/local/local_path.h"

namespace {

// The private folders of this process, for remove_private_scratch_folders().
std::mutex g_mutex;
std::set<std::string>& private_folders() {
  static std::set<std::string> folders;
  return folders;
}

}  // namespace

ScratchFolder::ScratchFolder(const std::string& given) {
  if (!given.empty()) {
    path_ = absolute_local(given);
    return;
  }
  const char* tmp = std::getenv("TMPDIR");
  // A path with a double quote cannot be sent to the service.
  const std::string parent =
      tmp != nullptr && tmp[0] == '/' && std::strchr(tmp, '"') == nullptr ? tmp : "/tmp";
  std::string pattern = parent + (parent.back() == '/' ? "" : "/") + "brevanto.XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  // mkdtemp makes the folder 0700: the manifests name every file of a
  // backup, for the owner only.
  if (::mkdtemp(name.data()) == nullptr) {
    error_ = "cannot make a private folder in " + parent + ": " + std::strerror(errno) +
             " (--scratch-dir names another folder)";
    return;
  }
  path_ = name.data();
  made_ = true;
  const std::lock_guard<std::mutex> lock(g_mutex);
  private_folders().insert(path_);
}

ScratchFolder::~ScratchFolder() { remove_private(); }

void ScratchFolder::use(const std::string& other) {
  remove_private();
  path_ = other;
  error_.clear();
}

void ScratchFolder::remove_private() {
  if (!made_) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
  made_ = false;
  const std::lock_guard<std::mutex> lock(g_mutex);
  private_folders().erase(path_);
}

void remove_private_scratch_folders() {
  const std::lock_guard<std::mutex> lock(g_mutex);
  for (const std::string& folder : private_folders()) {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }
  private_folders().clear();
}

std::string ScratchFolder::refusal_advice() const {
  return made_ ? "; the local service may not write the command's private folder " + path_ +
                     " (narrowed by --local-root, or with a /tmp of its own): --scratch-dir "
                     "names a folder it may"
               : "; the files travel through " + path_ +
                     ", which the local service may not write (--scratch-dir names a folder it "
                     "may)";
}
