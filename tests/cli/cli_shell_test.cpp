// The interactive shell, driven through a pseudo-terminal as a person would: statements run as
// their semicolon comes, continued lines, Ctrl-C dropping the line being typed or cancelling the
// call in flight (the shell goes on), the history kept in $QORVIN_HISTORY and recalled with the
// Up key in the next session, \q and Ctrl-D to leave. Every wait is bounded.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/cli/CliHarness.h"
#include "tests/support/TempPath.h"

namespace qorvin::testing {
namespace {

constexpr int kWaitMs = 20000;

// qorvin on the slave side of a pseudo-terminal (its controlling terminal, so Ctrl-C there is
// SIGINT while the line discipline's signal keys are on).
class Terminal {
 public:
  Terminal(const std::vector<std::string>& args, const std::string& history) {
    winsize size{};
    size.ws_row = 40;
    size.ws_col = 200;
    pid_ = forkpty(&fd_, nullptr, nullptr, &size);
    if (pid_ == 0) {
      setenv("LC_ALL", "C.UTF-8", 1);
      setenv("TERM", "xterm", 1);
      setenv("QORVIN_HISTORY", history.c_str(), 1);
      std::vector<std::string> all = args;
      all.insert(all.begin(), QORVIN_CLI_PROGRAM);
      std::vector<char*> argv;
      for (std::string& a : all) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
  }
  ~Terminal() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) close(fd_);
  }
  bool Started() const { return pid_ > 0 && fd_ >= 0; }

  // Keys typed as a person would, once the editor has the terminal (its canonical mode off; the
  // master side reads the terminal's modes): keys typed before are read by the terminal's line
  // discipline as a line of its own.
  void Keys(const std::string& keys) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    for (;;) {
      termios modes{};
      if (tcgetattr(fd_, &modes) == 0 && (modes.c_lflag & ICANON) == 0) break;
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the editor never took the terminal";
      ReadSome(5);
    }
    Type(keys);
  }

  void Type(const std::string& keys) {
    ASSERT_EQ(write(fd_, keys.data(), keys.size()), ssize_t(keys.size()));
  }

  // Reads until `text` appears after what earlier waits consumed; false at the bound.
  bool WaitFor(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    for (;;) {
      const size_t at = seen_.find(text, consumed_);
      if (at != std::string::npos) {
        consumed_ = at + text.size();
        return true;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0 || !ReadSome(int(left))) return false;
    }
  }

  // The exit status once the program ends (within the bound), else -1.
  int Exit() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      ReadSome(100);
    }
    return -1;
  }
  const std::string& Seen() const { return seen_; }

 private:
  bool ReadSome(int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return true;
    char buffer[4096];
    const ssize_t n = read(fd_, buffer, sizeof buffer);
    if (n <= 0) return false;  // EIO once the program has let go of the terminal
    seen_.append(buffer, size_t(n));
    return true;
  }

  pid_t pid_ = -1;
  int fd_ = -1;
  std::string seen_;
  size_t consumed_ = 0;
};

std::string ReadReply() {
  static const std::string blob =
      MakeTableBlob({{u"ID", ftInteger}}, {{Variant::Integer(1)}, {Variant::Integer(2)}});
  return Reply().Int(1).Binary(&blob).Bytes();
}

// The SQL text of a request.
std::string SqlOf(const std::string& request) {
  WireReader r(request);
  r.MessageName();
  r.Str();
  r.Str();
  return r.WideAscii();
}

// Answers reads with two rows and exec-sql with 5; holds a request for "stall" until released.
class ShellServer {
 public:
  ShellServer() {
    server_.Respond([this](const std::string& request) {
      if (SqlOf(request).find("stall") != std::string::npos) {
        stalled_ = true;
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait_for(lock, std::chrono::seconds(60), [&] { return released_; });
      }
      return WireReader(request).MessageName() == "SynchExecSQL" ? Reply().Int(5).Bytes()
                                                                 : ReadReply();
    });
  }
  ~ShellServer() { Release(); }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    cv_.notify_all();
  }
  bool Stalled() const { return stalled_; }
  std::vector<std::string> Connect() const { return server_.Connect(); }
  std::vector<std::string> Sql() const {
    std::vector<std::string> out;
    for (const std::string& r : server_.Requests()) out.push_back(SqlOf(r));
    return out;
  }

 private:
  CliServer server_;
  std::atomic<bool> stalled_{false};
  std::mutex mutex_;
  std::condition_variable cv_;
  bool released_ = false;
};

TEST(CliShell, StatementsRunAsTheyEndAndCtrlCDropsTheLine) {
  ShellServer server;
  const std::string history = qorvin::test::TempPath("shell-history");
  std::remove(history.c_str());
  {
    Terminal term(server.Connect(), history);
    ASSERT_TRUE(term.Started());
    ASSERT_TRUE(term.WaitFor("qorvin> ")) << term.Seen();
    term.Keys("\\nope\r");
    ASSERT_TRUE(term.WaitFor("unknown command \\nope")) << term.Seen();
    term.Keys("select 1; select\r");
    ASSERT_TRUE(term.WaitFor("(2 rows)\r\nresult: 1\r\n")) << term.Seen();
    ASSERT_TRUE(term.WaitFor("    -> ")) << term.Seen();  // the second statement goes on
    term.Keys("2;\r");
    ASSERT_TRUE(term.WaitFor("(2 rows)")) << term.Seen();
    ASSERT_TRUE(term.WaitFor("qorvin> ")) << term.Seen();
    // A statement half typed, then Ctrl-C: it is dropped, and the shell asks anew.
    term.Keys("delete from t\r");
    ASSERT_TRUE(term.WaitFor("    -> ")) << term.Seen();
    term.Keys("where 'open\x03");
    ASSERT_TRUE(term.WaitFor("qorvin> ")) << term.Seen();
    // Twice more at once, on an empty line: still no end of the shell (a second Ctrl-C ends the
    // program only while a call is in flight, when the terminal is not the editor's).
    term.Keys("\x03\x03");
    ASSERT_TRUE(term.WaitFor("qorvin> ")) << term.Seen();
    term.Keys("update t\r");
    ASSERT_TRUE(term.WaitFor("    -> ")) << term.Seen();
    term.Keys("set a = 'x;y';\r");
    ASSERT_TRUE(term.WaitFor("result: 5\r\nqorvin> ")) << term.Seen();
    term.Keys("\\q\r");
    EXPECT_EQ(term.Exit(), 0) << term.Seen();
  }
  EXPECT_EQ(server.Sql(),
            (std::vector<std::string>{"select 1", "select\n2", "update t\nset a = 'x;y'"}));

  // The history file holds the lines typed (not the cancelled one, nor \q), and the next
  // session recalls the last with the Up key.
  std::ifstream in(history);
  std::stringstream saved;
  saved << in.rdbuf();
  EXPECT_NE(saved.str().find("delete"), std::string::npos) << saved.str();
  EXPECT_EQ(saved.str().find("open"), std::string::npos) << saved.str();
  EXPECT_EQ(saved.str().find("\\q"), std::string::npos) << saved.str();
  struct stat mode {};
  ASSERT_EQ(stat(history.c_str(), &mode), 0);
  EXPECT_EQ(mode.st_mode & 0777, 0600u);  // it may hold secrets typed into statements
  Terminal again(server.Connect(), history);
  ASSERT_TRUE(again.WaitFor("qorvin> ")) << again.Seen();
  again.Keys("\x1b[A\r");
  ASSERT_TRUE(again.WaitFor("result: 5\r\nqorvin> ")) << again.Seen();
  again.Keys("\x04");  // Ctrl-D on an empty line
  EXPECT_EQ(again.Exit(), 0) << again.Seen();
  EXPECT_EQ(server.Sql().size(), 4u);
  EXPECT_EQ(server.Sql().back(), "set a = 'x;y'");
}

TEST(CliShell, CtrlCCancelsTheRunningCallAndTheShellGoesOn) {
  ShellServer server;
  const std::string history = qorvin::test::TempPath("shell-history-2");
  Terminal term(Args(server.Connect(), {"--call-timeout", "600"}), history);
  ASSERT_TRUE(term.Started());
  ASSERT_TRUE(term.WaitFor("qorvin> ")) << term.Seen();
  term.Keys("select stall;\r");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  while (!server.Stalled() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(server.Stalled());
  term.Type("\x03");  // SIGINT: the terminal is not in the editor's hands while a call runs
  ASSERT_TRUE(term.WaitFor("qorvin: cancelled")) << term.Seen();
  ASSERT_TRUE(term.WaitFor("qorvin> ")) << term.Seen();
  server.Release();
  term.Keys("select 3;\r");
  ASSERT_TRUE(term.WaitFor("(2 rows)")) << term.Seen();
  ASSERT_TRUE(term.WaitFor("qorvin> ")) << term.Seen();
  term.Keys("quit\r");
  EXPECT_EQ(term.Exit(), 0) << term.Seen();
  EXPECT_EQ(term.Seen().find(" ID\r\n----\r\n  1"), term.Seen().rfind(" ID\r\n----\r\n  1"))
      << "the cancelled call showed rows: " << term.Seen();
}

}  // namespace
}  // namespace qorvin::testing
