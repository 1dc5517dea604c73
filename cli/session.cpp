#include "cli/session.h"

#include <cstdio>
#include <list>
#include <optional>
#include <utility>

#include "cli/exit_codes.h"
#include "cli/password.h"
#include "cli/status.h"
#include "cli/text.h"

Session::Session(SessionOptions options)
    : options_(std::move(options)),
      client_(options_.cloud ? INTERFACE_CLOUD_LIBRARY : INTERFACE_LOCAL_SERVICE) {}

Session::~Session() { close(); }

int Session::open() {
  if (open_) return exit_codes::kOk;
  if (!password_) password_ = read_password(options_.user);
  const std::optional<std::string>& password = password_;
  if (!password) {
    std::fprintf(stderr,
                 "login: no password: set BREVANTO_PASSWORD or run on a terminal\n");
    return exit_codes::kNoSession;
  }
  if (!is_valid_utf8(*password)) {  // checked here, so no error text can quote it
    std::fprintf(stderr, "login: the password is not valid UTF-8\n");
    return exit_codes::kNoSession;
  }
  const int status = client_.login(widen(options_.user).c_str(), widen(*password).c_str(),
                                   widen(options_.project).c_str(),
                                   widen(options_.client_type).c_str());
  if (status != 0) {
    fail("login", status);
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
  std::fprintf(stderr,
               "login: user %s was not accepted (check the user name and password): %s\n",
               options_.user.c_str(), failure(status).c_str());
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
    std::fprintf(stderr, "warning: logout %s\n", failure(status).c_str());
  }
}

std::string Session::failure(int status) const {
  return describe_failure(status, client_.error_code(), client_.error_msg(), options_.cloud);
}

int Session::fail(const std::string& what, int status) const {
  std::fprintf(stderr, "%s: %s\n", what.c_str(), failure(status).c_str());
  return exit_code_for(status);
}

int Session::replace(const std::wstring& local, const std::wstring& remote,
                     BrevantoProgressCallback callback, void* context) {
  return cloud() ? client_.addfile(local.c_str(), remote.c_str(), callback, context)
                 : client_.updatefile(local.c_str(), remote.c_str(), callback, context);
}
