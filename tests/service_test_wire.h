// A bare protocol client for the service's end-to-end tests: sends request
// texts as they are and reads whole reply messages, to check what the
// library hides (message sizes, counts, malformed requests).
#ifndef BREVANTO_TESTS_SERVICE_TEST_WIRE_H_
#define BREVANTO_TESTS_SERVICE_TEST_WIRE_H_

#include <cstdint>
#include <string>


class WireClient {
 public:
  // Connects to 127.0.0.1:`port`. A `receive_buffer` above 0 sets SO_RCVBUF
  // before connecting. Receives time out after 10 s.
  explicit WireClient(std::uint16_t port, int receive_buffer = 0);
  ~WireClient();
  WireClient(const WireClient&) = delete;
  WireClient& operator=(const WireClient&) = delete;

  bool connected() const { return fd_ >= 0; }
  bool send(const std::string& text);
  // The next whole message; empty when the connection closed or timed out.
  std::string read_message();
  void close();

  // Logs in; the ClientID, or empty when refused.
  std::string login(const std::string& user, const std::string& password,
                    const std::string& project = "");

 private:
  int fd_ = -1;
};

// The value of attribute `name` (any case) in `message`; `found` tells
// whether it is there.
std::string attribute_of(const std::string& message, const char* name, bool* found = nullptr);

#endif  // BREVANTO_TESTS_SERVICE_TEST_WIRE_H_
