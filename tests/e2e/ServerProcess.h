// One qorvin-server child process for the end-to-end tests: started on 127.0.0.1 with every
// transport on a port of the system's choosing, its ports read from the one line it prints when
// it is ready, its request log (stderr) kept in a file that the tests read back.
//
// Ownership: the object owns the process. The destructor stops it (SIGTERM, then SIGKILL after
// 15 s) whatever happened before. Every wait is bounded. Not thread-safe, except that Kill() may
// be called from another thread while a test waits on a call (the process id is atomic).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace qorvin::e2e {

struct ServerOptions {
  std::string database = ":memory:";  // --db
  std::string schema;                 // --schema (none when empty)
  std::string procedures;             // --procedures (none when empty)
  std::string logFile;                // where stderr goes (required)
  std::vector<std::string> extra;     // further options, as given
};

// One request line of the server's log.
struct LoggedRequest {
  std::string transport;  // "TCP", "HTTP" or "UDP"
  int peerPort = 0;       // the client's port: one TCP or HTTP connection keeps it
  std::string service;    // "ExecSqlService"
  std::string operation;  // "SynchReadData"
  long bytesOut = 0;      // reply bytes on the wire (after compression)
  bool ok = false;
};

class ServerProcess {
 public:
  // Starts the program and waits at most 20 s for its listening line. Null with `error` set
  // (including the log written so far) when it did not come up.
  static std::unique_ptr<ServerProcess> Start(const ServerOptions& options, std::string& error);
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  int HttpPort() const { return http_; }
  int TcpPort() const { return tcp_; }
  int UdpPort() const { return udp_; }
  // The port serving a connection letter: 'H' HTTP, 'U' UDP, anything else TCP.
  int Port(char letter) const;
  pid_t Pid() const { return pid_; }
  bool Running() const { return pid_ > 0; }

  // SIGTERM and a wait of at most 15 s (then SIGKILL). Returns the exit status, 128 + signal
  // when a signal ended it, or -1 when it was not running.
  int Stop();
  // SIGKILL, no clean-up by the server. May be called from another thread; the process is
  // reaped by Stop() or the destructor.
  void Kill();

  std::string LogText() const;
  std::vector<LoggedRequest> Requests() const;
  // Waits (at most 30 s) until the log holds at least `count` request lines, and returns them.
  // The server writes a request's line before it sends the reply, but the file may be read
  // before the write reaches it.
  std::vector<LoggedRequest> WaitForRequests(size_t count) const;

 private:
  ServerProcess() = default;
  int Reap(int timeoutMs);

  std::atomic<pid_t> pid_ = -1;
  int http_ = 0, tcp_ = 0, udp_ = 0;
  std::string logFile_;
};

}  // namespace qorvin::e2e
