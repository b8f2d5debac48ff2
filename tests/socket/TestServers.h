// Loopback servers for tests: a TCP server that runs a handler for each accepted connection and
// a UDP server that runs a handler for each datagram. Both bind 127.0.0.1 on a port the system
// picks, serve on one background thread, and stop (joining the thread) in Stop() or the
// destructor. Every wait is bounded: the loops poll in 20 ms steps and look at the stop flag.
//
// Handlers run on the server thread, one at a time; they misbehave on demand by doing whatever
// the test wants with the raw descriptor. The helpers below never block longer than the time
// they are given.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include "tests/support/TestSockets.h"

namespace qorvin::testing {

// Reads exactly n bytes from fd, waiting at most timeoutMs in all; false on close or time-out.
inline bool ReadExact(int fd, void* data, size_t n, int timeoutMs = 2000) {
  char* p = static_cast<char*>(data);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (n > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return false;
    if (PollSocket(fd, POLLIN, int(left)) <= 0) return false;
    const ssize_t got = ::recv(fd, p, n, 0);
    if (got <= 0) return false;
    p += got;
    n -= size_t(got);
  }
  return true;
}

inline bool WriteAll(int fd, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t put = ::send(fd, p, n, kNoSignal);
    if (put <= 0) return false;
    p += put;
    n -= size_t(put);
  }
  return true;
}

inline bool WriteAll(int fd, const std::string& bytes) {
  return WriteAll(fd, bytes.data(), bytes.size());
}

// Reads one frame (4-byte big-endian length + payload); false on close, time-out or a length
// above 64 MiB.
inline bool ReadFrame(int fd, std::string& payload, int timeoutMs = 2000) {
  unsigned char head[4];
  if (!ReadExact(fd, head, 4, timeoutMs)) return false;
  const uint32_t n = uint32_t(head[0]) << 24 | uint32_t(head[1]) << 16 | uint32_t(head[2]) << 8 |
                     uint32_t(head[3]);
  if (n > (64u << 20)) return false;
  payload.assign(n, '\0');
  return n == 0 || ReadExact(fd, payload.data(), n, timeoutMs);
}

inline std::string FrameHeader(uint32_t n) {
  return std::string{char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
}

inline bool WriteFrame(int fd, const std::string& payload) {
  return WriteAll(fd, FrameHeader(uint32_t(payload.size())) + payload);
}

// Sleeps up to `ms`, returning early when `stop` is set (so a stalling handler never holds up
// the end of a test).
inline void SleepUnlessStopped(const std::atomic<bool>& stop, int ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!stop && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

// Waits until fd is readable; false when `stop` is set or `timeoutMs` ran out first.
inline bool WaitReadableUnlessStopped(int fd, const std::atomic<bool>& stop, int timeoutMs) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!stop && std::chrono::steady_clock::now() < until) {
    if (PollSocket(fd, POLLIN, 20) > 0) return true;
  }
  return false;
}

class TestTcpServer {
 public:
  // handler(fd, stop): serve one accepted connection; the server closes fd afterwards.
  using Handler = std::function<void(int fd, const std::atomic<bool>& stop)>;

  explicit TestTcpServer(Handler handler) : handler_(std::move(handler)) {
    fd_ = OpenSocket(AF_INET, SOCK_STREAM);
    if (fd_ < 0) throw std::runtime_error("socket");
    SetSocketOption(fd_, SOL_SOCKET, SO_REUSEADDR, 1);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 16) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      CloseSocket(fd_);
      throw std::runtime_error("bind/listen");
    }
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~TestTcpServer() { Stop(); }
  TestTcpServer(const TestTcpServer&) = delete;
  TestTcpServer& operator=(const TestTcpServer&) = delete;

  int Port() const { return port_; }
  int Accepted() const { return accepted_; }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) CloseSocket(fd_);
    fd_ = -1;
  }

 private:
  void Run() {
    while (!stop_) {
      if (PollSocket(fd_, POLLIN, 20) <= 0) continue;
      const int c = AcceptSocket(fd_);
      if (c < 0) continue;
      ++accepted_;
      handler_(c, stop_);
      CloseSocket(c);
    }
  }

  Handler handler_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_ = false;
  std::atomic<int> accepted_ = 0;
  std::thread thread_;
};

class TestUdpServer {
 public:
  struct Datagram {
    std::string bytes;
    sockaddr_in from{};
  };
  // handler(server, datagram): react to one received datagram (reply with Send, or not).
  using Handler = std::function<void(TestUdpServer& server, const Datagram& d)>;

  explicit TestUdpServer(Handler handler) : handler_(std::move(handler)) {
    fd_ = OpenSocket(AF_INET, SOCK_DGRAM);
    if (fd_ < 0) throw std::runtime_error("socket");
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      CloseSocket(fd_);
      throw std::runtime_error("bind");
    }
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~TestUdpServer() { Stop(); }
  TestUdpServer(const TestUdpServer&) = delete;
  TestUdpServer& operator=(const TestUdpServer&) = delete;

  int Port() const { return port_; }
  int Received() const { return received_; }
  const std::atomic<bool>& Stopping() const { return stop_; }
  void Send(const sockaddr_in& to, const std::string& bytes) {
    ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) CloseSocket(fd_);
    fd_ = -1;
  }

 private:
  void Run() {
    std::string buffer(70000, '\0');
    while (!stop_) {
      if (PollSocket(fd_, POLLIN, 20) <= 0) continue;
      Datagram d;
      socklen_t len = sizeof d.from;
      const ssize_t n = ::recvfrom(fd_, buffer.data(), buffer.size(), 0,
                                   reinterpret_cast<sockaddr*>(&d.from), &len);
      if (n < 0) continue;
      d.bytes.assign(buffer.data(), size_t(n));
      ++received_;
      handler_(*this, d);
    }
  }

  Handler handler_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_ = false;
  std::atomic<int> received_ = 0;
  std::thread thread_;
};

}  // namespace qorvin::testing
