// Names the storage cannot hold. Linux allows any byte but '/' and NUL in a
// name; the storage refuses '"' and takes '\' as its separator, and the
// library's interface takes UTF-8 only. Such a name is stored under an
// encoded name derived from its bytes (the manifest keeps the real one), and
// a file below such a name travels through a scratch file whose name the
// library can carry.
#ifndef BREVANTO_CLI_STORED_NAME_H_
#define BREVANTO_CLI_STORED_NAME_H_

#include <string>
#include <string_view>

// The prefix of encoded names; a real name starting with it is encoded too,
// so no two local names share a stored one.
inline constexpr char kEncodedNamePrefix[] = ".brevanto-name-";

// True when `name` (one component) is stored under an encoded name.
bool needs_encoded_name(std::string_view name);

// The name `name` is stored under: itself, or kEncodedNamePrefix and 32 hex
// digits of the SHA-256 of its bytes.
std::string stored_name(std::string_view name);

// `relative` ('/' separators) with every component as stored_name() gives.
std::string stored_relative(std::string_view relative);

// True when some component of `relative` is no name the library can carry
// as a local path (not UTF-8, or holding '\', '"' or a control character).
bool needs_scratch_file(std::string_view relative);

#endif  // BREVANTO_CLI_STORED_NAME_H_
