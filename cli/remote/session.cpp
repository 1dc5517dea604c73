#include "cli/remote/session.h"

#include <cstdio>
#include <list>
#include <optional>
#include <utility>

#include "cli/exit_codes.h"
#include "cli/output/output.h"
#include "cli/output/status.h"
#include "cli/remote/password.h"
#include "cli/text.h"

namespace {

// The local service's "too many failed logins, try again later".
constexpr int kLoginThrottled = 13;
// The local service's "not found"; the cloud library's.
constexpr int kServiceNotFound = 3;
constexpr int kCloudNotFound = -1003;

}  // namespace

Session::Session(SessionOptions options)
    : options_(std::move(options)),
      client_(options_.cloud ? INTERFACE_CLOUD_LIBRARY : INTERFACE_LOCAL_SERVICE) {}

Session::~Session() { close(); }

int Session::open() {
  if (open_) return exit_codes::kOk;
  // Before the password is read, so that nobody types it in vain.
  if (!options_.cloud) {
    if (const int rc = check_service_owner(options_.service_owner)) return rc;
  }
  std::string password_error;
  if (!password_) password_ = read_password(options_.user, options_.password_source, password_error);
  const std::optional<std::string>& password = password_;
  if (!password) {
    print_error("login: " + password_error);
    return exit_codes::kNoSession;
  }
  if (!is_valid_utf8(*password)) {  // checked here, so no error text can quote it
    print_error("login: the password is not valid UTF-8");
    return exit_codes::kNoSession;
  }
  // The library refuses a value holding a double quote with -1, the status
  // it also gives for a closed connection: refused here, with the reason.
  for (const auto& [what, text] : {std::pair<const char*, const std::string*>{"password", &*password},
                                   {"user name", &options_.user},
                                   {"project name", &options_.project},
                                   {"client type", &options_.client_type}}) {
    if (text->find('"') != std::string::npos) {
      print_error(std::string("login: the ") + what +
                  " holds a double quote, which the library cannot send");
      return exit_codes::kNoSession;
    }
  }
  const int status = client_.login(widen(options_.user).c_str(), widen(*password).c_str(),
                                   widen(options_.project).c_str(),
                                   widen(options_.client_type).c_str());
  if (status != 0) {
    fail("login", status);
    if (!options_.cloud && status == -3 && client_.error_code() == kLoginThrottled) {
      print_notice("login: after 3 failed logins of this name from your user, the service "
                   "makes each further try wait 4 s, then 8 s, 16 s and so on, and after 10 "
                   "it locks the name for your user (5 minutes unless its --lockout says "
                   "otherwise); 30 failed logins of any names lock your user out likewise. "
                   "Any try in that time is refused, also with the right password");
    }
    return exit_codes::kNoSession;
  }
  open_ = true;
  if (!options_.cloud && !checked_) {
    const int checked = check_session();
    if (checked != exit_codes::kOk) {
      close();
      return checked;
    }
  }
  return exit_codes::kOk;
}

int Session::check_session() {
  std::list<_path_buffer*> entries;
  const int status = client_.getfilelist(L"\\", false, entries);
  client_.releasefilelist(entries);
  if (status == 0) return exit_codes::kOk;
  print_error("login: user " + options_.user +
              " was not accepted (check the user name and password): " + failure(status));
  return exit_codes::kNoSession;
}

std::unique_ptr<Session> Session::another() const {
  auto other = std::make_unique<Session>(options_);
  other->password_ = password_;
  other->checked_ = true;  // the same user and password passed the check here
  if (other->open() != exit_codes::kOk) return nullptr;
  return other;
}

void Session::close() {
  if (!open_) return;
  open_ = false;
  const int status = client_.logout();
  // A connection that is already gone has been reported by the command.
  if (status != 0 && !connection_lost(status, options_.cloud)) {
    print_notice("warning: logout " + failure(status));
  }
}

std::string Session::failure(int status) const {
  return describe_failure(status, client_.error_code(), client_.error_msg(), options_.cloud);
}

int Session::fail_lookup(const std::string& what, int status, const std::string& path) {
  if (not_found(status) && explain_missing(what + ": not found", path)) {
    return exit_code_for(status);
  }
  return fail(what, status);
}

int Session::fail(const std::string& what, int status) const {
  JsonObject details;
  details.number("status", status);
  if (!options_.cloud && status == -3) details.number("service_error", client_.error_code());
  print_error(what + ": " + failure(status), details);
  return exit_code_for(status);
}

bool Session::not_found(int status) const {
  return options_.cloud ? status == kCloudNotFound
                        : status == -3 && client_.error_code() == kServiceNotFound;
}

bool Session::earlier_version_holds(const std::string& path) {
  if (options_.cloud || !options_.project.empty() || !password_) return false;
  close();
  SessionOptions options = options_;
  options.project = kEarlierDefaultProject;
  Session earlier(options);
  earlier.password_ = password_;
  earlier.checked_ = true;  // the same user and password passed the check here
  if (earlier.open() != exit_codes::kOk) return false;
  const bool held = earlier.client_.is_path_exists(widen(path).c_str());
  earlier.close();
  return held;
}

bool Session::explain_missing(const std::string& lead, const std::string& path) {
  if (!earlier_version_holds(path)) return false;
  print_error(lead + " in the default project; it was stored in the "
              "project \"" + kEarlierDefaultProject + "\" by an earlier version of brevanto: "
              "add --project " + kEarlierDefaultProject,
              JsonObject().string("project", kEarlierDefaultProject));
  return true;
}

int Session::replace(const std::wstring& local, const std::wstring& remote,
                     BrevantoProgressCallback callback, void* context) {
  return cloud() ? client_.addfile(local.c_str(), remote.c_str(), callback, context)
                 : client_.updatefile(local.c_str(), remote.c_str(), callback, context);
}
