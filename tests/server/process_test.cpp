// The qorvin-server program itself: its command line, the ports line, the three transports
// with the probe and a real call, and a clean stop on SIGTERM and SIGINT.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "tests/http/SelfSignedCertificate.h"
#include "tests/server/service_client.h"
#include "tests/server/services_fixture.h"
#include "tests/server/wire_client.h"
#include "tests/support/TempPath.h"

namespace qorvin::server {
namespace {

using namespace testing;

std::string ServerProgram() {
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
  return (self.parent_path().parent_path() / "server" / "qorvin-server").string();
}

// A running qorvin-server; killed (SIGKILL) if the test leaves it running.
class ServerProcess {
 public:
  explicit ServerProcess(std::vector<std::string> args) {
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      dup2(err[1], 2);
      close(out[0]);
      close(err[0]);
      std::string program = ServerProgram();
      std::vector<char*> argv{program.data()};
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
    fcntl(err_, F_SETFL, O_NONBLOCK);  // the log is drained without blocking
  }
  ~ServerProcess() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(out_);
    close(err_);
  }

  // Reads stdout until a line arrives (bounded wait); "" at the end.
  std::string Line() {
    std::string line;
    char c;
    while (true) {
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, kWaitMs) <= 0) return line;
      if (read(out_, &c, 1) != 1 || c == '\n') return line;
      line += c;
    }
  }
  std::string Log() {
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(err_, buf, sizeof buf)) > 0) text.append(buf, size_t(n));
    return text;
  }
  void Signal(int sig) { kill(pid_, sig); }
  // The exit status, waiting at most 15 s; -1 when it did not exit.
  int Wait() {
    for (int i = 0; i < 1500; ++i) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
  bool exited_ = false;
};

int PortIn(const std::string& line, const std::string& name) {
  std::smatch m;
  if (!std::regex_search(line, m, std::regex(name + "=(\\d+)"))) return -1;
  return std::stoi(m[1]);
}

TEST(ServerProgram, ServesAllTransportsAndStopsCleanly) {
  ServerProcess server({"--db", ":memory:", "--schema", SourceDir() + "/server/sample/schema.sql",
                        "--procedures", SourceDir() + "/server/sample/procedures", "--http-port",
                        "0", "--tcp-port", "0", "--udp-port", "0"});
  std::string line = server.Line();
  ASSERT_NE(line.find("qorvin-server listening address=127.0.0.1"), std::string::npos) << line;
  int http = PortIn(line, "http"), tcp = PortIn(line, "tcp"), udp = PortIn(line, "udp");
  ASSERT_GT(http, 0);
  ASSERT_GT(tcp, 0);
  ASSERT_GT(udp, 0);

  EXPECT_EQ(TcpCall(tcp, "PROBE"), "PROBEDOK");
  HttpClient client;
  std::string url = "http://127.0.0.1:" + std::to_string(http) + "/Bin";
  EXPECT_EQ(client.Send(url, "PROBE").body, "PROBEDOK");
  const std::string id = "{00000000-0000-0000-0000-000000000001}";
  EXPECT_EQ(UdpCall(udp, id, "PROBE"), id + "PROBEDOK");

  // A call on each transport.
  std::string req = Request("ExecSqlService", "SynchExecProc", UserAndSql("exec CustomerCount"));
  EXPECT_EQ(ReadReply(TcpCall(tcp, req)).Integer(), 2);
  HttpResult h = client.Send(url, req);
  EXPECT_EQ(h.status, 200);
  EXPECT_EQ(ReadReply(h.body).Integer(), 2);
  EXPECT_EQ(ReadReply(UdpCall(udp, id, req).substr(kRequestIdLength)).Integer(), 2);
  // An SQL error over HTTP: status 500 carrying the exception reply.
  h = client.Send(url, Request("ExecSqlService", "SynchExecSQL", UserAndSql("select * from x")));
  EXPECT_EQ(h.status, 500);
  EXPECT_EQ(ReadReply(h.body).errorClass, "EDatabaseError");

  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(), 0);
  std::string log = server.Log();
  EXPECT_NE(log.find("TCP 127.0.0.1:"), std::string::npos) << log;
  EXPECT_NE(log.find("ExecSqlService.SynchExecProc user=u1"), std::string::npos) << log;
  EXPECT_NE(log.find("qorvin-server: stopped"), std::string::npos);
}

TEST(ServerProgram, SigintStopsItAndBadCommandLinesAreRefused) {
  ServerProcess server({"--http-port", "0", "--tcp-port", "0", "--udp-port", "-1", "--quiet"});
  std::string line = server.Line();
  EXPECT_NE(line.find("udp=off"), std::string::npos) << line;
  server.Signal(SIGINT);
  EXPECT_EQ(server.Wait(), 0);

  ServerProcess wrong({"--tcp-port", "70000"});
  EXPECT_EQ(wrong.Wait(), 2);
  ServerProcess unknown({"--frobnicate"});
  EXPECT_EQ(unknown.Wait(), 2);
  ServerProcess badDb(
      {"--db", "/nonexistent/dir/x.db", "--http-port", "0", "--tcp-port", "0", "--udp-port", "0"});
  EXPECT_EQ(badDb.Wait(), 1);
  EXPECT_NE(badDb.Log().find("Cannot open the SQLite database"), std::string::npos);
  ServerProcess noFolder({"--procedures", "/nonexistent/procedures"});
  EXPECT_EQ(noFolder.Wait(), 1);
  EXPECT_NE(noFolder.Log().find("does not exist"), std::string::npos);
  ServerProcess help({"--help"});
  EXPECT_NE(help.Line().find("Usage: qorvin-server"), std::string::npos);
  EXPECT_EQ(help.Wait(), 0);
}

}  // namespace
}  // namespace qorvin::server

namespace qorvin::server {
namespace {

using namespace testing;

// The options from a configuration file (the command line winning), the JSON request log in a
// file, and GET /metrics.
TEST(ServerProgram, ConfigFileJsonLogAndMetrics) {
  const std::string dir = qorvin::test::TempPath("config-test");
  std::filesystem::create_directories(dir);
  const std::string config = dir + "/server.conf", logFile = dir + "/requests.log";
  std::filesystem::remove(logFile);
  {
    std::ofstream out(config);
    out << "# a test configuration\n"
        << "schema = " << SourceDir() << "/server/sample/schema.sql\n"
        << "procedures = \"" << SourceDir() << "/server/sample/procedures\"\n"
        << "http-port = 0\n  tcp-port=0\nudp-port = -1\n\n"
        << "log-format = json\nlog-file = " << logFile << "\n";
  }
  ServerProcess server({"--config", config, "--udp-port", "0"});
  std::string line = server.Line();
  ASSERT_NE(line.find("qorvin-server listening"), std::string::npos) << line << server.Log();
  const int http = PortIn(line, "http"), tcp = PortIn(line, "tcp");
  EXPECT_GT(PortIn(line, "udp"), 0) << "the command line wins: " << line;

  std::string req = Request("ExecSqlService", "SynchExecProc", UserAndSql("exec CustomerCount"));
  EXPECT_EQ(ReadReply(TcpCall(tcp, req)).Integer(), 2);
  EXPECT_EQ(TcpCall(tcp, "PROBE"), "PROBEDOK");
  HttpClient client;
  const std::string base = "http://127.0.0.1:" + std::to_string(http);
  EXPECT_EQ(client.Send(base + "/Bin", Request("ExecSqlService", "NoSuchOperation")).status, 500);
  EXPECT_EQ(client.Send(base + "/elsewhere", "", false).status, 404);
  EXPECT_EQ(client.Send(base + "/metrics", "x").status, 404);  // only GET serves them
  const HttpResult health = client.Send(base + "/health", "", false);
  EXPECT_EQ(health.status, 200);
  EXPECT_EQ(health.body, "ok\n");

  const std::vector<std::string> wanted = {
      "# TYPE qorvin_requests_total counter",
      "qorvin_requests_total{operation=\"ExecSqlService.SynchExecProc\",outcome=\"ok\","
      "transport=\"tcp\"} 1\n",
      "qorvin_requests_total{operation=\"probe\",outcome=\"ok\",transport=\"tcp\"} 1\n",
      "qorvin_requests_total{operation=\"health\",outcome=\"ok\",transport=\"http\"} 1\n",
      // An unknown operation and a wrong path count as "other", never under their own names.
      "qorvin_requests_total{operation=\"other\",outcome=\"error\",transport=\"http\"} 3\n",
      "qorvin_request_duration_seconds_count{operation=\"ExecSqlService.SynchExecProc\"} 1\n",
      "qorvin_request_duration_seconds_bucket{operation=\"probe\",le=\"+Inf\"} 1\n",
      "qorvin_received_bytes_total{transport=\"tcp\"} ",
      "qorvin_sent_bytes_total{transport=\"http\"} ",
      "qorvin_db_sessions_in_use{service=\"ExecSqlService\"} 0\n"};
  // A request is counted once its reply is written, which its client may see first: the page is
  // read again (within a bound) until every count is in.
  std::string page;
  for (int attempt = 0; attempt < 200; ++attempt) {
    HttpResult metrics = client.Send(base + "/metrics", "", false);
    ASSERT_EQ(metrics.status, 200);
    page = metrics.body;
    bool all = true;
    for (const std::string& want : wanted) all = all && page.find(want) != std::string::npos;
    if (all) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  for (const std::string& want : wanted)
    EXPECT_NE(page.find(want), std::string::npos) << want << "\n" << page;
  std::smatch open;
  ASSERT_TRUE(std::regex_search(page, open, std::regex("\nqorvin_open_connections (\\d+)\n")));
  EXPECT_GE(std::stoi(open[1]), 1);  // at least this request's own
  EXPECT_EQ(page.find("NoSuchOperation"), std::string::npos);

  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(), 0);
  EXPECT_EQ(server.Log().find("ExecSqlService.SynchExecProc"), std::string::npos)
      << "requests go to the log file, not stderr";
  std::ifstream in(logFile);
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  ASSERT_GE(lines.size(), 8u);
  // The start and the stop are lines of the log too, first and last.
  const std::regex event(
      R"re(\{"time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z","level":"info",)re"
      R"re("transport":"server","peer":"","event":"(started: .*listening address=127\.0\.0\.1 )re"
      R"re(http=\d+ tcp=\d+ udp=\d+|stopped)"\})re");
  EXPECT_TRUE(std::regex_match(lines.front(), event)) << lines.front();
  EXPECT_NE(lines.front().find("\"event\":\"started: "), std::string::npos) << lines.front();
  EXPECT_TRUE(std::regex_match(lines.back(), event)) << lines.back();
  EXPECT_NE(lines.back().find("\"event\":\"stopped\""), std::string::npos) << lines.back();
  lines.erase(lines.begin());
  lines.pop_back();
  const std::regex object(
      R"re(\{"time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z","level":"(info|error)",)re"
      R"re("transport":"(TCP|HTTP)","peer":"127\.0\.0\.1:\d+","operation":"[A-Za-z.]*",)re"
      R"re("user":"[^"]*","http_user":"","request":".*","in":\d+,"out":\d+,"ms":\d+\.\d{3},)re"
      R"re("ok":(true|false),"outcome":"(ok|failed)","error":".*"\})re");
  for (const std::string& l : lines) EXPECT_TRUE(std::regex_match(l, object)) << l;
  auto logged = [&lines](const std::string& part) {
    for (const std::string& l : lines)
      if (l.find(part) != std::string::npos) return true;
    return false;
  };
  EXPECT_TRUE(logged("\"request\":\"ExecSqlService.SynchExecProc user=u1\",\"in\":"));
  EXPECT_TRUE(logged("\"level\":\"info\",\"transport\":\"TCP\"") &&
              logged("\"operation\":\"ExecSqlService.SynchExecProc\",\"user\":\"u1\""));
  // A failed request: level error, its outcome and its error text in fields of their own.
  EXPECT_TRUE(logged("\"level\":\"error\",\"transport\":\"HTTP\""));
  EXPECT_TRUE(
      logged("\"outcome\":\"failed\",\"error\":\"Service ExecSqlService has no "
             "operation \\\"NoSuchOperation\\\"\"}"));
  EXPECT_TRUE(logged("\"transport\":\"HTTP\"") && logged("\"request\":\"404 /elsewhere\""));
  EXPECT_TRUE(logged("\"request\":\"GET /metrics\""));
}

// The notify protocol of a service manager: a datagram socket named by $NOTIFY_SOCKET gets
// READY=1 once the server listens, RELOADING=1 and READY=1 again around a SIGHUP, and
// STOPPING=1 at the stop.
class NotifySocket {
 public:
  NotifySocket() : path_(qorvin::test::TempPath("notify.sock")) {
    std::filesystem::remove(path_);
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path_.c_str());
    bound_ = fd_ >= 0 && path_.size() < sizeof addr.sun_path &&
             bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~NotifySocket() {
    if (fd_ >= 0) close(fd_);
    std::filesystem::remove(path_);
  }
  bool Bound() const { return bound_; }
  const std::string& Path() const { return path_; }
  // The next datagram, waiting at most kWaitMs; "" when none came.
  std::string Next() {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, kWaitMs) <= 0) return "";
    char buf[4096];
    const ssize_t n = recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, size_t(n)) : "";
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
};

TEST(ServerProgram, TellsTheServiceManagerWhenItIsReadyReloadsAndStops) {
  NotifySocket notify;
  ASSERT_TRUE(notify.Bound()) << notify.Path();
  setenv("NOTIFY_SOCKET", notify.Path().c_str(), 1);
  ServerProcess server({"--http-port", "0", "--tcp-port", "0", "--udp-port", "-1"});
  unsetenv("NOTIFY_SOCKET");
  const std::string line = server.Line();
  ASSERT_NE(line.find("qorvin-server listening"), std::string::npos) << line << server.Log();
  const std::string ready = notify.Next();
  EXPECT_EQ(ready.rfind("READY=1\nSTATUS=listening address=127.0.0.1 http=", 0), 0u) << ready;
  server.Signal(SIGHUP);
  EXPECT_EQ(notify.Next().rfind("RELOADING=1\n", 0), 0u);
  EXPECT_EQ(notify.Next(), "READY=1\nSTATUS=configuration read again");
  server.Signal(SIGTERM);
  EXPECT_EQ(notify.Next().rfind("STOPPING=1\n", 0), 0u);
  EXPECT_EQ(server.Wait(), 0);
}

// --allow: a client address outside the list gets nothing on TCP (closed before anything is
// read) and UDP (no answer), is logged once and counted; an address inside is served.
TEST(ServerProgram, AnAddressOutsideTheAllowListGetsNoAnswer) {
  ServerProcess server({"--http-port", "0", "--tcp-port", "0", "--udp-port", "0", "--allow-tcp",
                        "127.0.0.1", "--allow-udp", "127.0.0.1", "--allow-http", "127.0.0.0/8"});
  const std::string line = server.Line();
  ASSERT_NE(line.find("qorvin-server listening"), std::string::npos) << line << server.Log();
  const int http = PortIn(line, "http"), tcp = PortIn(line, "tcp"), udp = PortIn(line, "udp");

  for (int round = 0; round < 2; ++round) {
    Socket outside(SOCK_STREAM);
    outside.BindSource("127.0.0.2");
    outside.Connect(tcp);
    try {
      outside.SendAll(Frame("PROBE"));
    } catch (const std::exception&) {
      // already closed: equally no answer
    }
    EXPECT_TRUE(outside.PeerClosedOrReset());
  }
  EXPECT_EQ(TcpCall(tcp, "PROBE"), "PROBEDOK");

  // UDP: the refused datagram, then an allowed one; the endpoint takes them in order, so once
  // the second is answered the first was judged, and nothing came back for it.
  Socket outsideUdp(SOCK_DGRAM);
  outsideUdp.BindSource("127.0.0.2");
  const sockaddr_in to = Socket::Loopback(udp);
  const std::string id = "{00000000-0000-0000-0000-000000000001}";
  const std::string datagram = id + "PROBE";
  ASSERT_GT(::sendto(outsideUdp.fd(), datagram.data(), datagram.size(), 0,
                     reinterpret_cast<const sockaddr*>(&to), sizeof to),
            0);
  EXPECT_EQ(UdpCall(udp, id, "PROBE"), id + "PROBEDOK");
  EXPECT_FALSE(outsideUdp.Readable(0));

  // HTTP allows the whole loopback network: served from 127.0.0.2 too.
  Socket httpClient(SOCK_STREAM);
  httpClient.BindSource("127.0.0.2");
  httpClient.Connect(http);
  httpClient.SendAll("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
  const std::string page = ReadHttpBody(httpClient);
  EXPECT_NE(page.find("qorvin_refused_total{reason=\"not-allowed\",transport=\"tcp\"} 2"),
            std::string::npos)
      << page;
  EXPECT_NE(page.find("qorvin_refused_total{reason=\"not-allowed\",transport=\"udp\"} 1"),
            std::string::npos)
      << page;

  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(), 0);
  const std::string log = server.Log();
  // One line for the address within the minute, however many connections and datagrams.
  size_t lines = 0;
  for (size_t at = log.find("127.0.0.2 is not in the allow list"); at != std::string::npos;
       at = log.find("127.0.0.2 is not in the allow list", at + 1))
    ++lines;
  EXPECT_EQ(lines, 1u) << log;
}

int Passwd(const std::string& file, const std::string& user, const std::string& input);

// A network namespace of the test's own for the calling thread, with only its loopback device,
// up, holding 10.77.0.1 and 10.77.0.2 besides 127.0.0.1; the thread goes back to its own
// namespace on destruction. Processes the thread starts meanwhile live in it. Ok() is false
// where one cannot be made (no CAP_SYS_ADMIN, no ip command).
class NetworkNamespace {
 public:
  NetworkNamespace() : home_(::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC)) {
    if (home_ < 0 || ::unshare(CLONE_NEWNET) != 0) return;
    entered_ = true;
    ok_ = std::system(
              "ip link set lo up && ip addr add 10.77.0.1/32 dev lo && "
              "ip addr add 10.77.0.2/32 dev lo 2>/dev/null") == 0;
  }
  ~NetworkNamespace() {
    if (entered_ && ::setns(home_, CLONE_NEWNET) != 0) std::abort();  // never run on elsewhere
    if (home_ >= 0) ::close(home_);
  }
  NetworkNamespace(const NetworkNamespace&) = delete;
  NetworkNamespace& operator=(const NetworkNamespace&) = delete;
  bool Ok() const { return ok_; }

 private:
  int home_;
  bool entered_ = false;
  bool ok_ = false;
};

// --allow with two addresses of a network, the server bound to every address: 10.77.0.2 gets no
// answer on T and U, 10.77.0.1 is served.
TEST(ServerProgram, AnAddressOutsideTheAllowListGetsNoAnswerInANamespace) {
  NetworkNamespace ns;
  if (!ns.Ok()) GTEST_SKIP() << "no network namespace here (needs root and the ip command)";
  ServerProcess server({"--bind", "0.0.0.0", "--http-port", "-1", "--tcp-port", "0", "--udp-port",
                        "0", "--allow", "10.77.0.1"});
  const std::string line = server.Line();
  ASSERT_NE(line.find("qorvin-server listening"), std::string::npos) << line << server.Log();
  const int tcp = PortIn(line, "tcp"), udp = PortIn(line, "udp");

  Socket outside(SOCK_STREAM);
  outside.BindSource("10.77.0.2");
  outside.ConnectTo("10.77.0.1", tcp);
  try {
    outside.SendAll(Frame("PROBE"));
  } catch (const std::exception&) {
    // already closed: equally no answer
  }
  EXPECT_TRUE(outside.PeerClosedOrReset());
  Socket inside(SOCK_STREAM);
  inside.BindSource("10.77.0.1");
  inside.ConnectTo("10.77.0.1", tcp);
  EXPECT_EQ(TcpCall(inside, "PROBE"), "PROBEDOK");

  // UDP: the outside datagram first, then the inside one; answered in order, so once the second
  // is answered the first was judged.
  const std::string id = "{00000000-0000-0000-0000-000000000002}";
  const std::string datagram = id + "PROBE";
  const sockaddr_in to = Socket::At("10.77.0.1", udp);
  Socket outsideUdp(SOCK_DGRAM), insideUdp(SOCK_DGRAM);
  outsideUdp.BindSource("10.77.0.2");
  insideUdp.BindSource("10.77.0.1");
  for (Socket* s : {&outsideUdp, &insideUdp})
    ASSERT_GT(::sendto(s->fd(), datagram.data(), datagram.size(), 0,
                       reinterpret_cast<const sockaddr*>(&to), sizeof to),
              0);
  ASSERT_TRUE(insideUdp.Readable(kWaitMs));
  std::string reply(100, '\0');
  reply.resize(size_t(std::max<ssize_t>(0, ::recv(insideUdp.fd(), reply.data(), reply.size(), 0))));
  EXPECT_EQ(reply, id + "PROBEDOK");
  EXPECT_FALSE(outsideUdp.Readable(0));

  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(), 0);
  EXPECT_NE(server.Log().find("10.77.0.2 is not in the allow list"), std::string::npos)
      << server.Log();
  EXPECT_EQ(server.Log().find("warning"), std::string::npos) << "every transport is guarded";
}

// The start's warning about a server beyond loopback names the transports open to anyone: HTTP
// counts as guarded with an allow list or with HTTPS and users; plain HTTP users are warned
// about on their own (their passwords would travel in clear text).
TEST(ServerProgram, TheWarningBeyondLoopbackNamesTheOpenTransports) {
  NetworkNamespace ns;
  if (!ns.Ok()) GTEST_SKIP() << "no network namespace here (needs root and the ip command)";
  qorvin::testing::SelfSignedCertificate pair;
  if (!pair.Ok()) GTEST_SKIP() << "the openssl command could not make a certificate";
  const std::string users = qorvin::test::TempPath("warning-users");
  std::filesystem::remove(users);
  ASSERT_EQ(Passwd(users, "alice", "s3cret\n"), 0);
  // Two addresses: the loopback one draws no warning.
  const std::vector<std::string> common = {"--bind",      "10.77.0.1", "--bind",      "127.0.0.1",
                                           "--http-port", "0",         "--tcp-port",  "0",
                                           "--udp-port",  "0",         "--allow-udp", "10.77.0.2"};
  struct Case {
    std::vector<std::string> extra;
    std::string warning;  // "" none
    bool clearText;       // the users' passwords in clear text
  };
  const std::vector<Case> cases = {
      {{"--users", users, "--tls-cert", pair.Cert(), "--tls-key", pair.Key()},
       "with TCP open to anyone",
       false},
      {{"--users", users}, "with HTTP TCP open to anyone", true},
      {{"--tls-cert", pair.Cert(), "--tls-key", pair.Key(), "--allow-tcp", "10.77.0.2"},
       "with HTTP open to anyone",
       false},
      {{"--allow-http", "10.77.0.2", "--allow-tcp", "10.77.0.2"}, "", false},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = common;
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    ServerProcess server(args);
    const std::string line = server.Line();
    ASSERT_NE(line.find("qorvin-server listening"), std::string::npos) << line << server.Log();
    const std::string log = server.Log();
    if (c.warning.empty()) {
      EXPECT_EQ(log.find("beyond loopback"), std::string::npos) << log;
    } else {
      EXPECT_NE(log.find("beyond loopback, " + c.warning), std::string::npos) << log;
    }
    EXPECT_EQ(
        log.find("on 10.77.0.1 the HTTP users' passwords travel unencrypted") != std::string::npos,
        c.clearText)
        << log;
    EXPECT_EQ(log.find("127.0.0.1, beyond loopback"), std::string::npos) << log;
    EXPECT_EQ(log.find("on 127.0.0.1 the HTTP users'"), std::string::npos) << log;
    server.Signal(SIGTERM);
    EXPECT_EQ(server.Wait(), 0);
  }
}

// A TCP socket listening on `address` (IPv4) at a port of the system's choosing, until destroyed.
class Listener {
 public:
  explicit Listener(const char* address) : socket_(SOCK_STREAM) {
    socket_.BindSource(address);
    if (::listen(socket_.fd(), 1) != 0) throw std::runtime_error("listen failed");
    sockaddr_in at{};
    socklen_t length = sizeof at;
    ::getsockname(socket_.fd(), reinterpret_cast<sockaddr*>(&at), &length);
    port_ = ntohs(at.sin_port);
  }
  int Port() const { return port_; }

 private:
  Socket socket_;
  int port_ = 0;
};

// --bind twice, the second address's TCP port taken: the start ends with status 1 and the
// system's reason naming that address, before any listening line.
TEST(ServerProgram, ASecondAddressThatCannotBeBoundEndsTheStart) {
  Listener taken("127.0.0.2");
  ServerProcess server({"--bind", "127.0.0.1", "--bind", "127.0.0.2", "--http-port", "0",
                        "--tcp-port", std::to_string(taken.Port()), "--udp-port", "0"});
  EXPECT_EQ(server.Line(), "");
  EXPECT_EQ(server.Wait(), 1);
  const std::string log = server.Log();
  EXPECT_NE(log.find("Cannot listen for TCP on 127.0.0.2:" + std::to_string(taken.Port()) +
                     ": Address already in use"),
            std::string::npos)
      << log;
}

// "qorvin-server passwd FILE USER" with the password on standard input; its exit status.
int Passwd(const std::string& file, const std::string& user, const std::string& input) {
  const std::string command = "printf '%s' '" + input + "' | '" + ServerProgram() + "' passwd '" +
                              file + "' '" + user + "' 2>/dev/null";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// --users: HTTP wants a user's credentials (401 and WWW-Authenticate without them, also for the
// metrics; never for /health); a user whose password passwd wrote is served; the file is read
// again on SIGHUP.
TEST(ServerProgram, HttpUsersAreCheckedAndReloaded) {
  const std::string users = qorvin::test::TempPath("server-users");
  std::filesystem::remove(users);
  ASSERT_EQ(Passwd(users, "alice", "s3cret\n"), 0);
  EXPECT_EQ(Passwd(users, "bad:name", "x\n"), 2);
  EXPECT_EQ(Passwd(users, "bob", ""), 1);  // no password given
  ServerProcess server(
      {"--http-port", "0", "--tcp-port", "-1", "--udp-port", "-1", "--users", users});
  const std::string line = server.Line();
  ASSERT_NE(line.find("qorvin-server listening"), std::string::npos) << line << server.Log();
  const std::string base = "http://127.0.0.1:" + std::to_string(PortIn(line, "http"));

  HttpClient client;
  HttpResult r = client.Send(base + "/Bin", "PROBE");
  EXPECT_EQ(r.status, 401);
  EXPECT_EQ(client.Header("WWW-Authenticate"), "Basic realm=\"qorvin-server\", charset=\"UTF-8\"");
  EXPECT_EQ(client.Send(base + "/metrics", "", false).status, 401);
  EXPECT_EQ(client.Send(base + "/health", "", false).status, 200);
  client.SetCredentials("alice:wrong");
  EXPECT_EQ(client.Send(base + "/Bin", "PROBE").status, 401);
  client.SetCredentials("mallory:s3cret");
  EXPECT_EQ(client.Send(base + "/Bin", "PROBE").status, 401);
  client.SetCredentials("alice:s3cret");
  r = client.Send(base + "/Bin", "PROBE");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "PROBEDOK");
  EXPECT_EQ(client.Send(base + "/Bin", "PROBE").body, "PROBEDOK");  // the kept connection
  EXPECT_NE(client.Send(base + "/metrics", "", false)
                .body.find("qorvin_refused_total{reason=\"unauthorized\",transport=\"http\"} 4"),
            std::string::npos);

  // A new password, then SIGHUP: the old one no longer passes, on a new connection or this one.
  ASSERT_EQ(Passwd(users, "alice", "n3w\n"), 0);
  server.Signal(SIGHUP);
  std::string log;  // Log() hands out what came since the last call
  for (int i = 0; i < 200 && log.find("configuration reloaded") == std::string::npos; ++i) {
    log += server.Log();
    if (log.find("configuration reloaded") == std::string::npos)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_NE(log.find("configuration reloaded"), std::string::npos) << log;
  EXPECT_EQ(client.Send(base + "/Bin", "PROBE").status, 401);
  client.SetCredentials("alice:n3w");
  EXPECT_EQ(client.Send(base + "/Bin", "PROBE").status, 200);

  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(), 0);
  log += server.Log();
  EXPECT_NE(log.find("401 user alice refused"), std::string::npos) << log;
  EXPECT_NE(log.find("401 user mallory refused"), std::string::npos) << log;
  EXPECT_NE(log.find("probe http-user=alice"), std::string::npos) << log;
  EXPECT_EQ(log.find("s3cret"), std::string::npos) << "no password in the log";
  EXPECT_EQ(log.find("wrong"), std::string::npos) << "no password in the log";
}

// A client over --max-connections is told why (as a database says "too many clients"), over
// TCP as an exception frame and over HTTP as status 500 with that message; it is counted.
TEST(ServerProgram, AClientOverTheConnectionLimitIsToldWhy) {
  ServerProcess server(
      {"--http-port", "0", "--tcp-port", "0", "--udp-port", "-1", "--max-connections", "1"});
  const std::string line = server.Line();
  ASSERT_NE(line.find("qorvin-server listening"), std::string::npos) << line << server.Log();
  const int http = PortIn(line, "http"), tcp = PortIn(line, "tcp");
  Socket first(SOCK_STREAM);
  first.Connect(tcp);
  EXPECT_EQ(TcpCall(first, "PROBE"), "PROBEDOK");  // the one connection served

  const std::string reply = TcpCall(tcp, "PROBE");
  EXPECT_NE(reply.find("Too many clients already"), std::string::npos) << reply;
  Socket web(SOCK_STREAM);
  web.Connect(http);
  web.SendAll(HttpPost("PROBE"));
  const std::string body = ReadHttpBody(web);
  EXPECT_NE(body.find("at most 1 connections"), std::string::npos) << body;

  EXPECT_EQ(TcpCall(first, "PROBE"), "PROBEDOK");  // the served one goes on
  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(), 0);
}

TEST(ServerProgram, ABadConfigurationFileIsAWrongCommandLine) {
  const std::string config = qorvin::test::TempPath("bad.conf");
  std::ofstream(config) << "http-port = 0\nthreads = many\n";
  ServerProcess bad({"--config", config});
  EXPECT_EQ(bad.Wait(), 2);
  EXPECT_NE(bad.Log().find(config + ":2: threads needs a number, not \"many\""), std::string::npos);
  ServerProcess missing({"--config", "/nonexistent/qorvin.conf"});
  EXPECT_EQ(missing.Wait(), 2);
  EXPECT_NE(missing.Log().find("cannot read the configuration file /nonexistent/qorvin.conf"),
            std::string::npos);
}

}  // namespace
}  // namespace qorvin::server
