// One logged-in client of the library for the duration of a command.
#ifndef BREVANTO_CLI_SESSION_H_
#define BREVANTO_CLI_SESSION_H_

#include <memory>
#include <optional>
#include <string>

#include "cli/remote/password.h"
#include "cli/remote/service_owner.h"
#include "client/Brevanto.h"

// downloadfile's flag, read by the cloud library only: replace an existing
// local file, as the local service does.
inline constexpr bool kOverwrite = true;

// The service's error code for a local path it will not open (outside its
// --local-root folders, or not the client's to reach).
inline constexpr int kLocalPathRefused = 6;

struct SessionOptions {
  bool cloud = false;  // INTERFACE_CLOUD_LIBRARY instead of the local service
  std::string user;
  std::string project;
  std::string client_type;
  PasswordSource password_source;  // --password-file, --password-command
  ServiceOwnerPolicy service_owner;  // whose listener on 127.0.0.1:11001 gets the password
};

// The project that earlier versions of the command line used by default.
// The library and the service call the empty name the default project, and
// so does the command line now: what an earlier version stored without
// --project lies in the project of this name.
inline constexpr char kEarlierDefaultProject[] = "default";

class Session {
 public:
  explicit Session(SessionOptions options);
  ~Session();  // logs out if still logged in
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Checks who listens for the local service (service_owner.h), reads the
  // password and logs in, once; later calls return at once. Returns an exit
  // code, after printing why on failure.
  int open();
  // Another client of the same user, logged in with the password this one
  // read, for a thread of its own (one client per thread). Null, after
  // printing why, when its login fails. Call after open() succeeded.
  std::unique_ptr<Session> another() const;
  // Logs out; a failure only earns a warning, the work is done by then.
  void close();

  CBrevanto& client() { return client_; }
  bool cloud() const { return options_.cloud; }
  // The service's error code of the last failure it reported (status -3).
  int error_code() const { return client_.error_code(); }

  // Replaces a stored file with a local one: updatefile on the local
  // service; the cloud library has no update, and its upload replaces an
  // existing file whole, so the cloud back end uploads.
  int replace(const std::wstring& local, const std::wstring& remote,
              BrevantoProgressCallback callback, void* context);

  // "failed with <status> (<reason>)", with the service's error state.
  std::string failure(int status) const;
  // Prints "<what>: <failure(status)>" as a problem (output.h); returns the
  // exit code.
  int fail(const std::string& what, int status) const;
  // The same for a request about `path` that ends the command: when `status`
  // says it was not found, explain_missing() may print its line instead.
  int fail_lookup(const std::string& what, int status, const std::string& path);
  // True when `status` says the storage path does not exist.
  bool not_found(int status) const;

  // True in the local service's default project (the empty name) when the
  // project kEarlierDefaultProject holds `path`: an earlier version stored
  // it there. Asks through a client of its own, with the password read, and
  // logs this one out first: call it when the command is done with the
  // storage (the service is then asked through one connection at a time).
  bool earlier_version_holds(const std::string& path);
  // When earlier_version_holds(path): prints "<lead> in the default
  // project; it was stored in the project "default" by an earlier version of
  // brevanto: add --project default" as a problem and returns true. `lead`
  // says what was missing ("ls \docs: not found").
  bool explain_missing(const std::string& lead, const std::string& path);

 private:
  // The local service answers a refused login without a client identifier
  // and no status; a listing of the root tells whether the session is real.
  int check_session();

  SessionOptions options_;
  std::optional<std::string> password_;
  CBrevanto client_;
  bool open_ = false;
  bool checked_ = false;  // the login is known to be real: no session check
};

#endif  // BREVANTO_CLI_SESSION_H_
