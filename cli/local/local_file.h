// Whole-file reads and writes, and scratch names, for the manifest's trip
// through a local file (the local service moves only files it can open).
#ifndef BREVANTO_CLI_LOCAL_FILE_H_
#define BREVANTO_CLI_LOCAL_FILE_H_

#include <functional>
#include <string>
#include <string_view>

// Creates a new file "<dir>/<stem>.XXXXXX", mode 0600, holding `content`;
// its path goes to `path`. False with `error` set when that fails.
bool write_scratch_file(const std::string& dir, const std::string& stem,
                        const std::string& content, std::string& path, std::string& error);

// Writes one block to the file being filled; false when that fails.
using ScratchBlockWriter = std::function<bool(std::string_view block)>;

// The same, with the content made by `fill` block by block through the
// writer it is given (a large text need not be held whole); `fill`
// returns false once a write failed.
bool write_scratch_file(const std::string& dir, const std::string& stem,
                        const std::function<bool(const ScratchBlockWriter& write)>& fill,
                        std::string& path, std::string& error);

// A path "<dir>/<stem>.<n>" that does not exist yet, for the service to
// create.
std::string unused_path(const std::string& dir, const std::string& stem);

bool read_whole_file(const std::string& path, std::string& content, std::string& error);

#endif  // BREVANTO_CLI_LOCAL_FILE_H_
