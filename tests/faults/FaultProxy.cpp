#include "tests/faults/FaultProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tests/socket/TestServers.h"

namespace qorvin::faults {

using Clock = std::chrono::steady_clock;
using qorvin::testing::SleepUnlessStopped;
using qorvin::testing::WriteAll;

const char* FaultName(Fault fault) {
  switch (fault) {
    case Fault::None:
      return "None";
    case Fault::Delay:
      return "Delay";
    case Fault::DropRequest:
      return "DropRequest";
    case Fault::CutRequest:
      return "CutRequest";
    case Fault::DropReply:
      return "DropReply";
    case Fault::DuplicateRequest:
      return "DuplicateRequest";
    case Fault::DuplicateReply:
      return "DuplicateReply";
    case Fault::Reorder:
      return "Reorder";
    case Fault::Reset:
      return "Reset";
    case Fault::Truncate:
      return "Truncate";
    case Fault::TruncateLate:
      return "TruncateLate";
    case Fault::Stall:
      return "Stall";
    case Fault::Drip:
      return "Drip";
  }
  return "?";
}

namespace {

constexpr size_t kIdLength = 38;               // a UDP request ID
constexpr size_t kLargestMessage = 16u << 20;  // more is taken for a broken stream

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(uint16_t(port));
  return a;
}

// A socket of `type` bound to 127.0.0.1 on a port of the system's choice (listening for TCP).
int BindLoopback(int type, int& port) {
  const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket");
  sockaddr_in a = Loopback(0);
  socklen_t len = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      (type == SOCK_STREAM && ::listen(fd, 16) != 0) ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    ::close(fd);
    throw std::runtime_error("bind");
  }
  port = ntohs(a.sin_port);
  return fd;
}

int ConnectLoopback(int type, int port) {
  const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a = Loopback(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// The length of the first whole message at the start of `bytes`: 0 while it is incomplete,
// SIZE_MAX for a stream that is no message of the letter.
size_t MessageLength(char letter, const std::string& bytes) {
  if (letter != 'H') {
    if (bytes.size() < 4) return 0;
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t n = size_t(b[0]) << 24 | size_t(b[1]) << 16 | size_t(b[2]) << 8 | size_t(b[3]);
    if (n > kLargestMessage) return SIZE_MAX;
    return bytes.size() >= 4 + n ? 4 + n : 0;
  }
  const size_t end = bytes.find("\r\n\r\n");
  if (end == std::string::npos) return bytes.size() > 65536 ? SIZE_MAX : 0;
  std::string head = bytes.substr(0, end);
  std::transform(head.begin(), head.end(), head.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  size_t body = 0;
  const size_t at = head.find("\r\ncontent-length:");
  if (at != std::string::npos) {
    body = std::strtoul(head.c_str() + at + 17, nullptr, 10);
    if (body > kLargestMessage) return SIZE_MAX;
  }
  return bytes.size() >= end + 4 + body ? end + 4 + body : 0;
}

}  // namespace

class FaultProxy::Impl {
 public:
  virtual ~Impl() = default;
  int Port() const { return port_; }
  void Arm(Fault fault) { armed_ = fault; }
  int Seen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }
  int Applied() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return applied_;
  }
  bool WaitApplied(int count, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return applied_ >= count; });
  }

 protected:
  // The fault for the request just read; the proxy is unarmed afterwards.
  Fault TakeFault() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++seen_;
    }
    changed_.notify_all();
    return armed_.exchange(Fault::None);
  }
  void MarkApplied() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++applied_;
    }
    changed_.notify_all();
  }

  int port_ = 0;
  std::atomic<bool> stop_ = false;

 private:
  std::atomic<Fault> armed_ = Fault::None;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  int seen_ = 0;
  int applied_ = 0;
};

namespace {

// TCP frames or HTTP: one thread accepts, one thread per client connection relays.
class TcpRelay final : public FaultProxy::Impl {
 public:
  TcpRelay(char letter, int upstreamPort) : letter_(letter), upstreamPort_(upstreamPort) {
    listener_ = BindLoopback(SOCK_STREAM, port_);
    acceptor_ = std::thread([this] { Accept(); });
  }
  ~TcpRelay() override {
    stop_ = true;
    acceptor_.join();
    for (std::thread& t : connections_) t.join();
    ::close(listener_);
  }

 private:
  void Accept() {
    while (!stop_) {
      pollfd p{listener_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      // Only this thread adds to the list; the destructor reads it after joining this thread.
      connections_.emplace_back([this, client] {
        const int upstream = ConnectLoopback(SOCK_STREAM, upstreamPort_);
        if (upstream >= 0) Serve(client, upstream);
        ::close(upstream);
        ::close(client);
      });
    }
  }

  bool Open() const { return !stop_ && Clock::now() < deadline_; }

  // Reads from `fd` until `buffer` starts with a whole message, and moves it to `message`.
  // False when the peer closed, the stream is broken, or the proxy stops.
  bool ReadMessage(int fd, std::string& buffer, std::string& message) const {
    while (true) {
      const size_t n = MessageLength(letter_, buffer);
      if (n == SIZE_MAX) return false;
      if (n > 0) {
        message = buffer.substr(0, n);
        buffer.erase(0, n);
        return true;
      }
      if (!Open()) return false;
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      char chunk[16384];
      const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
      if (got <= 0) return false;
      buffer.append(chunk, size_t(got));
    }
  }

  // Keeps `fd` open, reading and dropping whatever comes, until the peer closes it.
  void WaitForClose(int fd) const {
    char chunk[4096];
    while (Open()) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      if (::recv(fd, chunk, sizeof chunk, 0) <= 0) return;
    }
  }

  bool Drip(int fd, const std::string& bytes) const {
    for (char c : bytes) {
      if (!Open() || !WriteAll(fd, &c, 1)) return false;
      SleepUnlessStopped(stop_, FaultProxy::kDripMs);
    }
    return true;
  }

  void Serve(int client, int upstream) {
    std::string fromClient, fromServer, request, reply;
    while (ReadMessage(client, fromClient, request)) {
      const Fault fault = TakeFault();
      if (fault == Fault::DropRequest) {
        MarkApplied();
        return WaitForClose(client);
      }
      if (fault == Fault::CutRequest) {
        WriteAll(upstream, request.data(), request.size() / 2);
        MarkApplied();
        return;
      }
      if (!WriteAll(upstream, request) || !ReadMessage(upstream, fromServer, reply)) return;
      switch (fault) {
        case Fault::Delay:
          SleepUnlessStopped(stop_, FaultProxy::kDelayMs);
          MarkApplied();
          if (!WriteAll(client, reply)) return;
          break;
        case Fault::DropReply:
          MarkApplied();
          return WaitForClose(client);
        case Fault::DuplicateReply:
          MarkApplied();
          if (!WriteAll(client, reply + reply)) return;
          break;
        case Fault::Reset: {
          // SO_LINGER with a zero time makes the close send a reset.
          const linger abort{1, 0};
          ::setsockopt(client, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
          MarkApplied();
          return;
        }
        case Fault::Truncate:
        case Fault::TruncateLate:
          WriteAll(client, reply.data(),
                   fault == Fault::Truncate ? reply.size() / 2 : reply.size() - 1);
          MarkApplied();
          return;
        case Fault::Stall:
          WriteAll(client, reply.data(), reply.size() / 2);
          MarkApplied();
          return WaitForClose(client);
        case Fault::Drip:
          if (!Drip(client, reply)) return;
          MarkApplied();
          break;
        default:
          if (!WriteAll(client, reply)) return;
          break;
      }
    }
  }

  const char letter_;
  const int upstreamPort_;
  const Clock::time_point deadline_ = Clock::now() + std::chrono::seconds(60);
  int listener_ = -1;
  std::thread acceptor_;
  std::vector<std::thread> connections_;
};

// UDP: one thread relays datagrams between the client (the last sender seen) and the server.
class UdpRelay final : public FaultProxy::Impl {
 public:
  explicit UdpRelay(int upstreamPort) {
    front_ = BindLoopback(SOCK_DGRAM, port_);
    upstream_ = ConnectLoopback(SOCK_DGRAM, upstreamPort);
    if (upstream_ < 0) {
      ::close(front_);
      throw std::runtime_error("connect");
    }
    thread_ = std::thread([this] { Run(); });
  }
  ~UdpRelay() override {
    stop_ = true;
    thread_.join();
    ::close(front_);
    ::close(upstream_);
  }

 private:
  struct Later {
    Clock::time_point due;
    std::string bytes;
  };

  void Run() {
    std::string buffer(70000, '\0');
    while (!stop_) {
      int wait = 20;
      const auto now = Clock::now();
      for (auto it = later_.begin(); it != later_.end();) {
        if (it->due <= now) {
          ToClient(it->bytes);
          it = later_.erase(it);
        } else {
          wait = std::min<int>(
              wait,
              int(std::chrono::duration_cast<std::chrono::milliseconds>(it->due - now).count()) +
                  1);
          ++it;
        }
      }
      pollfd p[2] = {{front_, POLLIN, 0}, {upstream_, POLLIN, 0}};
      if (::poll(p, 2, wait) <= 0) continue;
      if (p[0].revents != 0) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = ::recvfrom(front_, buffer.data(), buffer.size(), 0,
                                     reinterpret_cast<sockaddr*>(&from), &len);
        if (n >= 0) {
          client_ = from;
          OnRequest(buffer.substr(0, size_t(n)));
        }
      }
      if (p[1].revents != 0) {
        const ssize_t n = ::recv(upstream_, buffer.data(), buffer.size(), 0);
        if (n >= 0) OnReply(buffer.substr(0, size_t(n)));
      }
    }
  }

  void ToClient(const std::string& bytes) {
    ::sendto(front_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&client_),
             sizeof client_);
  }
  void ToServer(const std::string& bytes) { ::send(upstream_, bytes.data(), bytes.size(), 0); }

  void OnRequest(const std::string& datagram) {
    const Fault fault = TakeFault();
    switch (fault) {
      case Fault::DropRequest:
        MarkApplied();
        return;
      case Fault::DuplicateRequest:
        ToServer(datagram);
        ToServer(datagram);
        MarkApplied();
        return;
      case Fault::None:
        return ToServer(datagram);
      default:
        replyFaults_[datagram.substr(0, kIdLength)] = fault;
        return ToServer(datagram);
    }
  }

  void OnReply(const std::string& datagram) {
    Fault fault = Fault::None;
    const auto it = replyFaults_.find(datagram.substr(0, kIdLength));
    if (it != replyFaults_.end()) {
      fault = it->second;
      replyFaults_.erase(it);
    }
    if (!held_.empty() && fault != Fault::Reorder) {
      ToClient(held_);
      held_.clear();
      MarkApplied();
    }
    switch (fault) {
      case Fault::Delay:
        later_.push_back(
            {Clock::now() + std::chrono::milliseconds(FaultProxy::kDelayMs), datagram});
        MarkApplied();
        return;
      case Fault::DropReply:
        MarkApplied();
        return;
      case Fault::DuplicateReply:
        ToClient(datagram);
        ToClient(datagram);
        MarkApplied();
        return;
      case Fault::Reorder:
        held_ = datagram;
        return;
      case Fault::Truncate:
        ToClient(datagram.substr(
            0, kIdLength + (datagram.size() - std::min(datagram.size(), kIdLength)) / 2));
        MarkApplied();
        return;
      case Fault::TruncateLate:
        ToClient(datagram.substr(0, datagram.size() - 1));
        MarkApplied();
        return;
      default:
        return ToClient(datagram);
    }
  }

  int front_ = -1;
  int upstream_ = -1;
  sockaddr_in client_{};
  std::map<std::string, Fault> replyFaults_;  // by request ID
  std::vector<Later> later_;
  std::string held_;
  std::thread thread_;
};

}  // namespace

FaultProxy::FaultProxy(char letter, int upstreamPort) {
  if (letter == 'U')
    impl_ = std::make_unique<UdpRelay>(upstreamPort);
  else
    impl_ = std::make_unique<TcpRelay>(letter, upstreamPort);
}

FaultProxy::~FaultProxy() = default;

int FaultProxy::Port() const {
  return impl_->Port();
}
void FaultProxy::Arm(Fault fault) {
  impl_->Arm(fault);
}
int FaultProxy::RequestsSeen() const {
  return impl_->Seen();
}
int FaultProxy::FaultsApplied() const {
  return impl_->Applied();
}
bool FaultProxy::WaitApplied(int count, int timeoutMs) const {
  return impl_->WaitApplied(count, timeoutMs);
}

}  // namespace qorvin::faults
