// The back end of a client of interface type 0: one TCP connection to the
// local service, which answers each request element with XML reply messages.
//
// It owns what the requests share: the socket and its state, the client
// identifier that login obtains, the error state of the last failed reply,
// the request exchange, the reply status test and the trace log.
#ifndef BREVANTO_PROTOCOL_SERVICE_CONNECTION_H_
#define BREVANTO_PROTOCOL_SERVICE_CONNECTION_H_

#include <cstdint>
#include <list>
#include <string>

#include "platform/win32.h"
#include "protocol/message_reader.h"
#include "protocol/trace_log.h"
#include "xml/reply_document.h"

struct _path_buffer;

class CServiceConnection {
 public:
  // Starts the socket library and opens the trace log beside the executable.
  CServiceConnection();
  // Logs out (which closes the socket) and stops the socket library.
  ~CServiceConnection();
  CServiceConnection(const CServiceConnection&) = delete;
  CServiceConnection& operator=(const CServiceConnection&) = delete;

  // Connects to host:port unless connected. 0, -1 for a missing host, or a
  // Winsock error code.
  int go_online(const wchar_t* host, std::uint16_t port);
  // Shuts down and closes the socket; drops the trace log's initial hold.
  int go_offline();

  // Connects if needed and sends the login request; keeps the ClientID of
  // the reply. 0, -1, 1, or a Winsock error code.
  int login(const wchar_t* user, const wchar_t* password, const wchar_t* project_name,
            const wchar_t* client_type);
  // Sends the logout request whatever the state, then goes offline.
  int logout();

  // Listing and metadata requests (listing_requests.cpp).
  //
  // Appends the entries of `path` (recursively when asked) to `list`, over
  // as many reply messages as the service sends. Connects if needed.
  int getfilelist(const wchar_t* path, bool recursive, std::list<_path_buffer*>& list);
  // Size, times, BackupType and Reversion of one entry.
  int getfileinfo(const wchar_t* path, WIN32_FILE_ATTRIBUTE_DATA& data, int& backup_type,
                  int& reversion);
  int adddir(const wchar_t* path);
  int removedir(const wchar_t* path);
  int removefile(const wchar_t* path);

  // Transfers with progress (transfer_requests.cpp). The service reads or
  // writes `local_path` and stores at `storage_path`; every progress report
  // it sends reaches `callback` (completed, total, context), whose result is
  // ignored. The transfer runs to the service's final reply.
  typedef int (*ProgressCallback)(std::uint64_t completed, std::uint64_t total, void* context);
  int addfile(const wchar_t* local_path, const wchar_t* storage_path, ProgressCallback callback,
              void* context);
  int updatefile(const wchar_t* local_path, const wchar_t* storage_path,
                 ProgressCallback callback, void* context);
  int downloadfile(const wchar_t* local_path, const wchar_t* storage_path,
                   ProgressCallback callback, void* context);

  // Sends one request and reads one reply message into `reply`. `shown` is
  // the text the trace log shows for the request (the request itself when
  // null). 0, -1, 1, or a Winsock error code.
  int exchange(const std::string& request, const std::wstring* shown = nullptr);
  // 0 when the reply's Result is "success" in any case, else -3 after
  // set_reply_error.
  int check_result();
  // Copies the reply's errcode and errtext into the error state.
  void set_reply_error();

  // Writes the message line "<stamp>: <text>." to the trace log.
  void trace_message(std::wstring_view text);

  SOCKET sock = INVALID_SOCKET;
  std::wstring host = L"127.0.0.1";
  std::uint16_t port = 11001;
  bool wsa_started = false;
  bool connected = false;
  bool logged_in = false;
  _reply_document reply;
  std::string client_id;
  int err_code = 0;
  std::wstring err_text;
  std::wstring log_path;
  CTraceFile trace_file;

 private:
  // Drops stale bytes, traces "send() <shown or request>" and sends all of
  // `request`; 0 or the Winsock error code.
  int send_request(const std::string& request, const std::wstring* shown = nullptr);
  // Reads the next reply message, tracing "recv()" before each receive.
  CMessageReader::Status read_message();
  static void trace_receive(void* self, bool may_block);
  // After a report: when its receive carried a final reply joined after it
  // and no message of its own follows within the wait, parses that final
  // reply into `reply` and returns true.
  bool read_joined_final();
  void close_socket();
  int transfer(const wchar_t* operation, const char* request_format,
               const wchar_t* local_path, const wchar_t* storage_path, ProgressCallback callback,
               void* context);
  // The single-reply requests that name one path and judge only Result.
  int path_request(const wchar_t* operation_format, const wchar_t* path,
                   const char* request_format, bool strip_trailing_backslash);

  CMessageReader reader_;
};

#endif  // BREVANTO_PROTOCOL_SERVICE_CONNECTION_H_
