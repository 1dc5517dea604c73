// The pattern of `find`: a glob over the paths of a backup ('/'
// separators, relative to the backed-up directory), as restic's find reads
// its patterns.
//
//   *  ?  [a-z] [!a-z]   any run of characters, any one, one of a set; none
//                        of them matches '/'
//   **                   any run of whole folders ("a/**/b", "**/b")
//   name                 no '/': matched against each entry's name
//   a/b                  a '/' inside: matched against the end of each path
//                        ("docs/*.txt" is also x/docs/a.txt)
//   /a/b                 a leading '/': matched against the whole path
//   dir/                 a trailing '/': directories only
//   \*                   '\' makes the next character plain
//
// Case counts unless ignore_case, which folds ASCII letters only (other
// letters, and bytes that are not UTF-8, match as they are).
#ifndef BREVANTO_CLI_PATH_PATTERN_H_
#define BREVANTO_CLI_PATH_PATTERN_H_

#include <string>
#include <string_view>

class PathPattern {
 public:
  PathPattern(std::string_view pattern, bool ignore_case);

  bool matches(std::string_view relative, bool is_dir) const;

 private:
  std::string glob_;  // matched against the name, or the whole path
  bool name_only_ = false;
  bool dir_only_ = false;
  bool ignore_case_ = false;
};

#endif  // BREVANTO_CLI_PATH_PATTERN_H_
