// What a backup leaves out: gitignore-style patterns (--exclude,
// --exclude-file), matched against paths relative to the backed-up
// directory with '/' separators.
//
//   *  ?  [a-z] [!a-z]   any run of characters, any one, one of a set; none
//                        of them matches '/'
//   **                   any run of characters, '/' included: "**/x" is x at
//                        any depth, "x/**" everything inside x
//   name                 no '/' but a trailing one: matches at any depth
//   a/b, /a              a '/' at the start or in the middle: matches from
//                        the backed-up directory only
//   dir/                 a trailing '/': directories only
//   !pattern             brings back what an earlier pattern left out (not
//                        inside a directory left out: it is not read)
//   # comment, \# \!     comments and blank lines are ignored; '\' makes
//                        the next character plain
//
// The last pattern that matches decides, as in .gitignore.
#ifndef BREVANTO_CLI_EXCLUSION_H_
#define BREVANTO_CLI_EXCLUSION_H_

#include <string>
#include <string_view>
#include <vector>

class ExcludeRules {
 public:
  // One pattern, as a line of a .gitignore file (blank and comment lines
  // add nothing).
  void add(std::string_view line);
  // Every line of a file; false with `error` set when it cannot be read.
  bool add_file(const std::string& path, std::string& error);
  bool empty() const { return rules_.empty(); }

  bool excluded(std::string_view relative, bool is_dir) const;

 private:
  struct Rule {
    std::string glob;  // matched against the whole relative path
    bool negate = false;
    bool dir_only = false;
  };
  std::vector<Rule> rules_;
};

// The glob of the table above against `text`.
bool glob_match(std::string_view pattern, std::string_view text);

#endif  // BREVANTO_CLI_EXCLUSION_H_
