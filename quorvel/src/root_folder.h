// Where the "cloud" lives: the root folder and its layout.
//
//   <root>/account    the account: user, password hash, plan, card state
//   <root>/files/     the stored files and directories
//   <root>/incoming/  uploads in flight (same volume, so a rename commits)
//
// The root is QUORVEL_ROOT when set and not empty; otherwise
// $XDG_DATA_HOME/quorvel or ~/.local/share/quorvel on POSIX systems, and
// %LOCALAPPDATA%\Quorvel on Windows.
#ifndef QUORVEL_SRC_ROOT_FOLDER_H_
#define QUORVEL_SRC_ROOT_FOLDER_H_

#include <filesystem>

namespace quorvel {

struct RootLayout {
  std::filesystem::path root;

  std::filesystem::path AccountFile() const { return root / "account"; }
  std::filesystem::path FilesFolder() const { return root / "files"; }
  std::filesystem::path IncomingFolder() const { return root / "incoming"; }
};

// Reads the environment now, so that every login may name another root.
// False when no root can be named.
bool ChooseRoot(RootLayout* layout);

// Creates the root with its two folders where they are missing.
bool PrepareRoot(const RootLayout& layout);

}  // namespace quorvel

#endif  // QUORVEL_SRC_ROOT_FOLDER_H_
