#include "tests/e2e/ServerProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

extern char** environ;

namespace qorvin::e2e {
namespace {

using Clock = std::chrono::steady_clock;

// The first line written to `fd`, waiting at most `timeoutMs` in all.
std::string ReadLine(int fd, int timeoutMs) {
  std::string line;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (line.find('\n') == std::string::npos && line.size() < 4096) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, int(left)) <= 0) break;
    char buffer[256];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    line.append(buffer, size_t(n));
  }
  return line;
}

}  // namespace

std::unique_ptr<ServerProcess> ServerProcess::Start(const ServerOptions& options,
                                                    std::string& error) {
  std::unique_ptr<ServerProcess> server(new ServerProcess());
  server->logFile_ = options.logFile;
  std::vector<std::string> args = {
      QORVIN_SERVER_PROGRAM, "--db", options.database, "--http-port", "0", "--tcp-port", "0",
      "--udp-port",          "0",    "--codeset",      "UTF-8"};
  if (!options.schema.empty()) args.insert(args.end(), {"--schema", options.schema});
  if (!options.procedures.empty()) args.insert(args.end(), {"--procedures", options.procedures});
  args.insert(args.end(), options.extra.begin(), options.extra.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    error = "pipe failed";
    return nullptr;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, options.logFile.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (spawned != 0) {
    close(out[0]);
    error = std::string("cannot start ") + QORVIN_SERVER_PROGRAM;
    return nullptr;
  }
  server->pid_ = pid;
  const std::string line = ReadLine(out[0], 20000);
  close(out[0]);
  std::smatch m;
  if (!std::regex_search(line, m,
                         std::regex("listening address=\\S+ http=(\\d+) tcp=(\\d+) udp=(\\d+)"))) {
    server->Stop();
    error = "qorvin-server did not come up: '" + line + "'\n" + server->LogText();
    return nullptr;
  }
  server->http_ = std::stoi(m[1]);
  server->tcp_ = std::stoi(m[2]);
  server->udp_ = std::stoi(m[3]);
  return server;
}

ServerProcess::~ServerProcess() {
  Stop();
}

int ServerProcess::Port(char letter) const {
  if (letter == 'H') return http_;
  if (letter == 'U') return udp_;
  return tcp_;
}

int ServerProcess::Reap(int timeoutMs) {
  const pid_t pid = pid_;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  int status = 0;
  for (;;) {
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (r < 0) return -1;
    if (Clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pid_ = -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

int ServerProcess::Stop() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  return Reap(15000);
}

void ServerProcess::Kill() {
  const pid_t pid = pid_;
  if (pid > 0) kill(pid, SIGKILL);
}

std::string ServerProcess::LogText() const {
  std::ifstream in(logFile_, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<LoggedRequest> ServerProcess::Requests() const {
  static const std::regex kLine(
      "^\\S+ \\S+ (TCP|HTTP|UDP) \\S+:(\\d+) (\\w+)\\.(\\w+) .* in=\\d+ out=(\\d+) \\d+ms "
      "(ok|error)$");
  std::vector<LoggedRequest> found;
  std::istringstream lines(LogText());
  std::string line;
  std::smatch m;
  while (std::getline(lines, line)) {
    if (!std::regex_match(line, m, kLine)) continue;
    found.push_back({m[1], std::stoi(m[2]), m[3], m[4], std::stol(m[5]), m[6] == "ok"});
  }
  return found;
}

std::vector<LoggedRequest> ServerProcess::WaitForRequests(size_t count) const {
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  std::vector<LoggedRequest> found = Requests();
  while (found.size() < count && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    found = Requests();
  }
  return found;
}

}  // namespace qorvin::e2e
