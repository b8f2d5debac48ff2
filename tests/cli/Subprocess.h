// Runs a program as a child process for the command-line tests: arguments, extra environment,
// standard input; collects exit status, standard output and standard error. Standard error may
// be a pseudo-terminal instead of a pipe, to see what the program shows only on terminals.
// Every wait is bounded: a child still running at the deadline is killed.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace qorvin::testing {

struct ProgramRun {
  int status = -1;  // exit status, or 128 + signal number when a signal ended the child
  std::string out, err;
  bool timedOut = false;
};

struct ProgramOptions {
  std::vector<std::string> env;  // "NAME=VALUE" added to (or replacing in) the test's own
  std::string input;             // standard input
  bool stderrTerminal = false;   // standard error on a pseudo-terminal
  int timeoutMs = 20000;
  // Sends the child SIGINT once this turns true for what the child wrote so far (checked at
  // least every 100 ms while it runs).
  std::function<bool(const ProgramRun& sofar)> interruptWhen;
};

inline ProgramRun RunProgram(const std::vector<std::string>& args, ProgramOptions options = {}) {
  int in[2], out[2], err[2] = {-1, -1};
  if (pipe(in) != 0 || pipe(out) != 0) throw std::runtime_error("pipe failed");
  std::string slaveName;
  if (options.stderrTerminal) {
    err[0] = posix_openpt(O_RDWR | O_NOCTTY);
    if (err[0] < 0 || grantpt(err[0]) != 0 || unlockpt(err[0]) != 0)
      throw std::runtime_error("no pseudo-terminal");
    slaveName = ptsname(err[0]);
  } else if (pipe(err) != 0) {
    throw std::runtime_error("pipe failed");
  }
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int errFd = err[1];
    if (options.stderrTerminal) errFd = open(slaveName.c_str(), O_RDWR | O_NOCTTY);
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(errFd, 2);
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    for (const std::string& e : options.env) {
      const size_t eq = e.find('=');
      setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
    }
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  if (err[1] >= 0) close(err[1]);

  ProgramRun run;
  size_t written = 0;
  int inFd = in[1];
  if (options.input.empty()) {
    close(inFd);
    inFd = -1;
  } else {
    fcntl(inFd, F_SETFL, O_NONBLOCK);
  }
  int outFd = out[0], errFd = err[0];
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(options.timeoutMs);
  while (outFd >= 0 || errFd >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) {
      run.timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    if (options.interruptWhen && options.interruptWhen(run)) {
      kill(pid, SIGINT);
      options.interruptWhen = nullptr;
    }
    pollfd fds[3] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}, {inFd, POLLOUT, 0}};
    if (poll(fds, 3, int(left < 100 ? left : 100)) < 0) continue;
    char buffer[65536];
    for (int i = 0; i < 2; ++i) {
      int& fd = i == 0 ? outFd : errFd;
      if (fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? run.out : run.err).append(buffer, size_t(n));
      } else {  // end of file; a pseudo-terminal reports EIO once the child has let go of it
        close(fd);
        fd = -1;
      }
    }
    if (inFd >= 0 && fds[2].revents != 0) {
      const ssize_t n = write(inFd, options.input.data() + written, options.input.size() - written);
      if (n > 0) written += size_t(n);
      if (n <= 0 || written == options.input.size()) {
        close(inFd);
        inFd = -1;
      }
    }
  }
  for (int fd : {outFd, errFd, inFd})
    if (fd >= 0) close(fd);
  int status = 0;
  waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

}  // namespace qorvin::testing
