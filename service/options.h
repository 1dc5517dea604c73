// The command line of brevanto-service.
#ifndef BREVANTO_SERVICE_OPTIONS_H_
#define BREVANTO_SERVICE_OPTIONS_H_

#include <cstdint>
#include <string>
#include <vector>

struct Options {
  std::string root;                     // --root DIR (required)
  std::uint16_t port = 11001;           // --port N (0: any free port)
  std::string port_file;                // --port-file FILE
  std::vector<std::string> local_roots; // --local-root DIR, repeatable
  std::string add_user;                 // --add-user NAME
  unsigned login_grace = 10;            // --login-grace SECONDS (0: none)
  unsigned idle_timeout = 900;          // --idle-timeout SECONDS (0: none)
  unsigned max_pending = 64;            // --max-pending N
  unsigned max_sessions = 64;           // --max-sessions N
  unsigned ids_per_user = 1024;         // --ids-per-user N
  unsigned lockout = 300;               // --lockout SECONDS
  bool help = false;                    // --help
};

// Parses argv. False with a message in `error` for a bad command line.
bool parse_options(int argc, char** argv, Options* options, std::string* error);

// The usage text.
const char* usage_text();

#endif  // BREVANTO_SERVICE_OPTIONS_H_
