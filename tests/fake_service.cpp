#include "tests/fake_service.h"

#include <chrono>
#include <cstring>
#include <stdexcept>

#ifndef _WIN32
#include <netinet/tcp.h>
#endif

#include "protocol/message_bounds.h"

namespace {

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_port = win32::htons(port);
  address.sin_addr.s_addr = win32::inet_addr("127.0.0.1");
  return address;
}

}  // namespace

FakeService::FakeService(std::uint16_t port) : port_(port) {
  WSADATA data;
  win32::WSAStartup(0x0202, &data);
  listener_ = win32::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  const int one = 1;
  win32::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one),
                    sizeof(one));
  // Requests are small; a small receive buffer lets a test stall a send.
  const int receive_buffer = 8192;
  win32::setsockopt(listener_, SOL_SOCKET, SO_RCVBUF,
                    reinterpret_cast<const char*>(&receive_buffer), sizeof(receive_buffer));
  const sockaddr_in address = loopback(port_);
  if (win32::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      win32::listen(listener_, 8) != 0) {
    win32::closesocket(listener_);
    throw std::runtime_error("fake service: cannot listen on the port");
  }
  thread_ = std::thread(&FakeService::run, this);
}

FakeService::~FakeService() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
    if (client_ != INVALID_SOCKET) win32::shutdown(client_, SD_BOTH);
  }
  // Wake the accept with a connection of our own.
  SOCKET poke = win32::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  const sockaddr_in address = loopback(port_);
  win32::connect(poke, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  thread_.join();
  win32::closesocket(poke);
  win32::closesocket(listener_);
  win32::WSACleanup();
}

void FakeService::then(std::vector<std::string> replies, bool close_after) {
  std::lock_guard<std::mutex> lock(mu_);
  script_.push_back(Step{std::move(replies), close_after});
}

void FakeService::then_reset(std::vector<std::string> replies) {
  std::lock_guard<std::mutex> lock(mu_);
  Step step{std::move(replies), true};
  step.reset_after = true;
  script_.push_back(std::move(step));
}

void FakeService::set_pacing(std::function<void(std::size_t)> pacing) {
  std::lock_guard<std::mutex> lock(mu_);
  pacing_ = std::move(pacing);
}

std::vector<std::string> FakeService::requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

int FakeService::connections() const {
  std::lock_guard<std::mutex> lock(mu_);
  return connections_;
}

FakeService::Step FakeService::next_step() {
  std::lock_guard<std::mutex> lock(mu_);
  if (script_.empty()) return Step{{"<ACK Result=\"success\"/>"}, false, false};
  Step step = std::move(script_.front());
  script_.pop_front();
  return step;
}

void FakeService::run() {
  for (;;) {
    SOCKET client = win32::accept(listener_, nullptr, nullptr);
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stopping_ || client == INVALID_SOCKET) {
        if (client != INVALID_SOCKET) win32::closesocket(client);
        return;
      }
      client_ = client;
      ++connections_;
    }
    {
      // Replies go out as sent, without waiting for the client's ACK, so
      // each arrives in a receive of its own.
      const int one = 1;
      win32::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
                        sizeof(one));
    }
    serve(client);
    std::lock_guard<std::mutex> lock(mu_);
    client_ = INVALID_SOCKET;
    win32::closesocket(client);
    if (stopping_) return;
  }
}

void FakeService::serve(SOCKET client) {
  std::string held;  // received bytes not yet taken as requests
  char buffer[4096];
  for (;;) {
#ifdef _WIN32
    // Wine does not wake a blocked recv when another thread shuts the socket
    // down, so wait in short slices and look at the stop flag in between.
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (stopping_) return;
      }
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(client, &readable);
      timeval slice{0, 50000};
      if (::select(0, &readable, nullptr, nullptr, &slice) != 0) break;
    }
#endif
    if (const int stall = stall_ms_.exchange(0)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(stall));
    }
    const int got = win32::recv(client, buffer, sizeof(buffer), 0);
    if (got <= 0) return;
    held.append(buffer, static_cast<std::size_t>(got));
    // A request cut inside a tag waits for its rest; joined ones are cut.
    if (message_bounds::ends_inside_tag(held)) continue;
    while (!held.empty()) {
      const std::size_t end = message_bounds::joined_request_start(held);
      {
        std::lock_guard<std::mutex> lock(mu_);
        requests_.emplace_back(held, 0, end);
      }
      held.erase(0, end);
      const Step step = next_step();
      std::function<void(std::size_t)> pacing;
      {
        std::lock_guard<std::mutex> lock(mu_);
        pacing = pacing_;
      }
      for (std::size_t i = 0; i < step.replies.size(); ++i) {
        if (pacing) {
          pacing(i);
        } else if (i > 0 && gap_ms_ > 0) {
          std::this_thread::sleep_for(std::chrono::milliseconds(gap_ms_));
        }
        const std::string& reply = step.replies[i];
        win32::send(client, reply.data(), static_cast<int>(reply.size()), 0);
      }
      if (step.reset_after) {
        // A zero linger time makes the close send RST.
        struct linger hard = {1, 0};
        win32::setsockopt(client, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard),
                          sizeof(hard));
      }
      if (step.close_after) return;
    }
  }
}
