#include "protocol/service_connection.h"

#include <cstring>

#include "protocol/message_bounds.h"
#include "util/ascii.h"
#include "util/decimal.h"
#include "util/module_path.h"
#include "util/text.h"

namespace {

// A request up to this long goes out at once into a socket that polls
// writable (its free space is then well above it).
constexpr std::size_t kSendWithoutFlushBytes = 2048;

}  // namespace

CServiceConnection::CServiceConnection() {
  WSADATA data;
  wsa_started = win32::WSAStartup(0x0202, &data) == 0;

  log_path = log_directory() + L"Brevanto.log";
  trace_file.open(log_path.c_str());
}

CServiceConnection::~CServiceConnection() {
  // Only a connection that is still open says goodbye: one already logged
  // out, or never connected, has nothing to send. A destructor must not
  // throw; logout formats text and may.
  try {
    if (connected) logout();
  } catch (...) {
  }
  close_socket();
  if (wsa_started) win32::WSACleanup();
  trace_file.release();
}

int CServiceConnection::go_online(const wchar_t* new_host, std::uint16_t new_port) {
  if (connected) return 0;
  int result = 0;
  CTraceScope scope(trace_file,
                    format_wide(L"go_online(%s, %d)", new_host ? new_host : L"", new_port),
                    result);
  if (new_host == nullptr || *new_host == L'\0') return result = -1;

  // Copy first: the caller normally passes our own fields.
  const std::wstring host_copy = new_host;
  host = host_copy;
  port = new_port;

  // A socket left by an earlier failed connect is closed, not leaked.
  close_socket();
  sock = win32::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (sock == INVALID_SOCKET) return result = win32::WSAGetLastError();

  sockaddr_in address;
  std::memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_port = win32::htons(port);
  address.sin_addr.s_addr =
      static_cast<decltype(address.sin_addr.s_addr)>(
          win32::inet_addr(wide_to_narrow(host.c_str(), CP_THREAD_ACP).c_str()));
  trace_file.flush();  // connect may block
  if (win32::connect(sock, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) ==
      SOCKET_ERROR) {
    result = win32::WSAGetLastError();
    trace_message(format_wide(L"go_online() ip %s port %d", host.c_str(), port));
    connected = false;
    return result;
  }
  connected = true;
  reader_.reset();
  return result;
}

int CServiceConnection::go_offline() {
  int result = 0;
  CTraceScope scope(trace_file, L"go_offline()", result);
  if (sock != INVALID_SOCKET) {
    win32::shutdown(sock, SD_BOTH);
    close_socket();
  }
  trace_file.release();
  return result;
}

int CServiceConnection::login(const wchar_t* user, const wchar_t* password,
                              const wchar_t* project_name, const wchar_t* client_type) {
  if (logged_in) return 0;
  int result = 0;
  // The password never reaches the trace log.
  CTraceScope scope(trace_file,
                    format_wide(L"login(%s, %s, %s, %s)", user, L"***", project_name, client_type),
                    result);
  // A double quote would end an attribute value early and let the text add
  // attributes of its own; such a login is refused before anything is sent.
  if (has_double_quote(user) || has_double_quote(password) || has_double_quote(project_name) ||
      has_double_quote(client_type)) {
    return result = -1;
  }
  result = go_online(host.c_str(), port);
  if (result != 0) return result;

  static const wchar_t kLoginFormat[] =
      L"<login User=\"%s\" Password=\"%s\" ProjectName=\"%s\" ClientType=\"%s\" ClientID=\"0\"/>";
  const std::string request =
      to_utf8(format_wide(kLoginFormat, user, password, project_name, client_type).c_str());
  const std::wstring shown = format_wide(kLoginFormat, user, L"***", project_name, client_type);
  result = exchange(request, &shown);
  // A login the service refused is a failure, whatever else the reply holds.
  const _reply_attribute* status = result == 0 ? find_attribute(reply, "Result") : nullptr;
  if (status != nullptr && !ascii_iequals(status->value, "success")) {
    set_reply_error();
    client_id.clear();
    logged_in = false;
    return result = -3;
  }
  if (result == 0) {
    const _reply_attribute* id = find_attribute(reply, "ClientID");
    if (id != nullptr) {
      client_id = id->value;
      logged_in = true;
    } else {
      client_id.clear();
      logged_in = false;
    }
  }
  return result;
}

int CServiceConnection::logout() {
  int result = 0;
  CTraceScope scope(trace_file, L"logout()", result);
  result = exchange(format_narrow("<logout ClientID=\"%s\"/>", client_id.c_str()));
  go_offline();
  logged_in = false;
  return result;
}

int CServiceConnection::exchange(const std::string& request, const std::wstring* shown) {
  const int sent = send_request(request, shown);
  if (sent != 0) return sent;

  switch (read_message()) {
    case CMessageReader::kFailed:
      return reader_.error();  // the reply document keeps the previous reply
    case CMessageReader::kTooLarge:
      return -1;
    case CMessageReader::kClosed:
      clear_reply(reply);
      return parse_reply(reply, "");
    case CMessageReader::kMessage:
      break;
  }
  clear_reply(reply);
  return parse_reply(reply, reader_.text());
}

int CServiceConnection::check_result() {
  const _reply_attribute* result = find_attribute(reply, "Result");
  if (result != nullptr && ascii_iequals(result->value, "success")) return 0;
  set_reply_error();
  return -3;
}

void CServiceConnection::set_reply_error() {
  const _reply_attribute* code = find_attribute(reply, "errcode");
  err_code = code != nullptr ? decimal_to_int32(code->value.c_str()) : -1;
  const _reply_attribute* text = find_attribute(reply, "errtext");
  err_text = text != nullptr ? utf8_to_wide(text->value) : std::wstring();
}

void CServiceConnection::trace_message(std::wstring_view text) {
  trace_file.write_event(text);
}

int CServiceConnection::send_request(const std::string& request, const std::wstring* shown) {
  // Bytes left from an earlier reply would be read as this request's reply.
  bool writable = false;
  if (const std::size_t stale = reader_.drop_stale(sock, &writable)) {
    trace_message(format_wide(L"recv() dropped %u stale bytes", static_cast<unsigned>(stale)));
  }
  trace_file.write_event({L"send() ", shown ? *shown : utf8_to_wide(request)});
  // A send that may block (the socket cannot take it now, or the request is
  // long) finds the lines so far in the file; a short one into a writable
  // socket returns at once and leaves them for the flush before the receive.
  if (!writable || request.size() > kSendWithoutFlushBytes) trace_file.flush();
  // A blocking send normally takes everything at once; a short send (after a
  // signal, say) is continued so the service never sees half a request.
  std::size_t done = 0;
  do {
    const int n = win32::send(sock, request.data() + done,
                              static_cast<int>(request.size() - done), 0);
    if (n == SOCKET_ERROR) {
      const int error = win32::WSAGetLastError();
      return error != 0 ? error : -1;
    }
    done += static_cast<std::size_t>(n);
  } while (done < request.size());
  return 0;
}

CMessageReader::Status CServiceConnection::read_message() {
  const CMessageReader::Status status = reader_.read(sock, &CServiceConnection::trace_receive, this);
  if (status == CMessageReader::kTooLarge) {
    // The rest of the refused message is still on its way and would be read
    // as later replies: end the connection instead, so that later calls fail
    // cleanly and the next login connects afresh.
    trace_message(L"recv() message too large, connection closed");
    win32::shutdown(sock, SD_BOTH);
    close_socket();
    logged_in = false;
  }
  return status;
}

bool CServiceConnection::read_joined_final() {
  const std::size_t start =
      message_bounds::joined_final_start(std::string_view(reader_.text(), reader_.size()));
  if (start == std::string_view::npos) return false;
  trace_file.flush();  // the wait may be long
  if (!CMessageReader::quiet_for(sock, message_bounds::kJoinedFinalWaitMilliseconds)) return false;
  trace_message(L"recv() nothing after the report: the final reply joined to it ends the request");
  clear_reply(reply);
  parse_reply(reply, reader_.text() + start);
  return true;
}

void CServiceConnection::trace_receive(void* self, bool may_block) {
  CServiceConnection* conn = static_cast<CServiceConnection*>(self);
  conn->trace_message(L"recv()");
  // A receive that may block for long finds the lines so far in the file.
  // One that returns at once (a listing streaming in) leaves them held, so
  // a long stream costs one file write per many messages, not one each.
  if (may_block) conn->trace_file.flush();
}

void CServiceConnection::close_socket() {
  if (sock != INVALID_SOCKET) {
    win32::closesocket(sock);
    sock = INVALID_SOCKET;
  }
  connected = false;
  reader_.reset();
}
