// For the fuzz targets of the channels' readers: a loopback TCP server that answers each
// connection with the bytes of the current input, after reading the client's request in full
// (so that closing never resets it), and then closes. One connection at a time.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>

#include "tests/socket/TestServers.h"

namespace qorvin::fuzzing {

class LoopbackReply {
 public:
  // readRequest(fd) reads one whole request; false when the client did not send one.
  explicit LoopbackReply(std::function<bool(int fd)> readRequest)
      : readRequest_(std::move(readRequest)),
        server_([this](int fd, const std::atomic<bool>&) { Serve(fd); }) {}

  int Port() const { return server_.Port(); }
  void SetReply(std::string bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    reply_ = std::move(bytes);
  }

 private:
  void Serve(int fd) {
    if (!readRequest_(fd)) return;
    std::string reply;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      reply = reply_;
    }
    // The request was read in full, so the close that follows is an orderly one (no reset):
    // the client reads every byte of the reply, then the end of the connection.
    testing::WriteAll(fd, reply);
    ::shutdown(fd, SHUT_WR);
  }

  std::function<bool(int fd)> readRequest_;
  std::mutex mutex_;
  std::string reply_;
  testing::TestTcpServer server_;  // last: its thread starts once everything above exists
};

}  // namespace qorvin::fuzzing
