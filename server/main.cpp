// qorvin-server: the reference middleware server. See --help and docs/server.md.
//
// Exit status: 0 after a clean stop, 1 when the server cannot start (database, schema, ports),
// 2 for a wrong command line.
//
// Signals: SIGINT and SIGTERM stop it (requests in progress finish). SIGHUP reads the command
// line's configuration again: a configuration that no longer parses is reported and changes
// nothing; otherwise the log file is reopened (at its new path, if the file names another) and
// every other changed option is named as taking effect at the next start. SIGUSR1 reopens the
// log file (after logrotate moved it).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>

#include "platform/rtl/Text.h"
#include "server/app/HeapArenas.h"
#include "server/app/Options.h"
#include "server/app/ServerMetrics.h"
#include "server/app/ServiceManager.h"
#include "server/net/HttpUsers.h"
#include "server/net/TlsCertificate.h"
#include "server/services/ServiceHost.h"

namespace qorvin::server {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("Cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs the schema batch as one transaction.
void RunSchema(ServerState& state, const std::string& path) {
  std::string sql = ReadFile(path);
  auto lease = state.Pool(kExecSqlService)->Acquire();
  BatchRunner runner(*lease, &state.Procedures(), state.Batch(true));
  try {
    runner.Run(sql);
    runner.Finish();
  } catch (const Exception& e) {
    throw std::runtime_error(path + ": " + e.Message());
  }
}

// One line from the terminal without echo; the prompt goes to standard error.
std::string ReadSecret(const std::string& prompt) {
  std::cerr << prompt << std::flush;
  termios saved{};
  const bool terminal = ::tcgetattr(STDIN_FILENO, &saved) == 0;
  if (terminal) {
    termios quiet = saved;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  std::string line;
  std::getline(std::cin, line);
  if (terminal) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  std::cerr << std::endl;
  return line;
}

std::string PortText(int port) {
  return port < 0 ? "off" : std::to_string(port);
}

// The request log's file, which the signals reopen. Without a file the log goes to standard
// error (or nowhere with --quiet) and reopening does nothing.
class LogFile {
 public:
  LogFile(RequestLog& log, const CommandLine& c) : log_(log), quiet_(c.quiet), path_(c.logFile) {
    if (quiet_) {
      log_.Redirect(nullptr);
    } else if (path_.empty()) {
      log_.Redirect(&std::cerr);
    } else {
      file_ = Open(path_);
      log_.Redirect(file_.get());
    }
  }
  ~LogFile() { log_.Redirect(nullptr); }

  // Opens `path` for appending; std::runtime_error with the system's reason.
  static std::unique_ptr<std::ofstream> Open(const std::string& path) {
    errno = 0;
    auto file = std::make_unique<std::ofstream>(path, std::ios::app);
    if (!*file)
      throw std::runtime_error("Cannot open the log file " + path + ": " +
                               (errno != 0 ? std::strerror(errno) : "unknown reason"));
    return file;
  }

  // Opens the file at `path` again (a new one where logrotate moved the old) and logs into it;
  // on failure the log goes on where it was.
  void Reopen(const std::string& path) {
    if (quiet_ || path.empty()) return;
    std::unique_ptr<std::ofstream> fresh = Open(path);
    log_.Redirect(fresh.get());
    file_ = std::move(fresh);  // the old stream closes here, no line being written to it
    path_ = path;
  }
  const std::string& Path() const { return path_; }

 private:
  RequestLog& log_;
  bool quiet_;
  std::string path_;
  std::unique_ptr<std::ofstream> file_;
};

// A bind address only this machine reaches: localhost, 127.0.0.0/8, ::1 (also written out in
// full, or as an IPv4-mapped 127 address).
bool IsLoopback(const std::string& address) {
  if (address == "localhost") return true;
  in_addr v4{};
  if (::inet_pton(AF_INET, address.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (::inet_pton(AF_INET6, address.c_str(), &v6) != 1) return false;
  if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
  return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
}

// The options that differ between two configurations, by name (as in the file).
std::vector<std::string> ChangedOptions(const CommandLine& before, const CommandLine& after) {
  std::vector<std::string> changed;
  auto note = [&](const char* name, bool differs) {
    if (differs) changed.push_back(name);
  };
  note("db", before.config.database != after.config.database);
  note("procedures", before.config.proceduresFolder != after.config.proceduresFolder);
  note("pool-size", before.config.poolSize != after.config.poolSize);
  note("bind", before.net.bindAddresses != after.net.bindAddresses);
  note("http-port", before.net.httpPort != after.net.httpPort);
  note("tcp-port", before.net.tcpPort != after.net.tcpPort);
  note("udp-port", before.net.udpPort != after.net.udpPort);
  note("threads", before.net.workerThreads != after.net.workerThreads);
  note("max-connections", before.net.maxConnections != after.net.maxConnections);
  note("max-requests-per-address",
       before.net.maxRequestsPerAddress != after.net.maxRequestsPerAddress);
  note("admin", before.config.admin != after.config.admin);
  note("log-format", before.logFormat != after.logFormat);
  note("max-rows", before.config.batch.limits.maxRows != after.config.batch.limits.maxRows);
  note("max-result-bytes",
       before.config.batch.limits.maxBytes != after.config.batch.limits.maxBytes);
  note("max-upload-memory", before.config.maxUploadMemory != after.config.maxUploadMemory);
  return changed;
}

// Checks what a start would need, without binding a port: the procedures folder, the log file,
// the database (opened and closed; the schema is not run).
int CheckConfiguration(const CommandLine& c) {
  if (!c.config.proceduresFolder.empty() &&
      !std::filesystem::is_directory(c.config.proceduresFolder))
    throw std::runtime_error("The procedures folder " + c.config.proceduresFolder +
                             " does not exist");
  if (!c.schemaFile.empty() && !std::ifstream(c.schemaFile))
    throw std::runtime_error("Cannot read the schema file " + c.schemaFile + ": " +
                             std::strerror(errno));
  if (!c.quiet && !c.logFile.empty()) LogFile::Open(c.logFile);
  if (!c.usersFile.empty()) UserDirectory::Load(c.usersFile);
  if (!c.tlsCert.empty()) TlsCertificate::Load(c.tlsCert, c.tlsKey);
  std::shared_ptr<IDatabase> db = OpenDatabase(c.config.database, c.config.databaseOptions);
  std::cout << "qorvin-server: the configuration is valid (" << db->Describe()
            << (c.configFile.empty() ? "" : ", configuration " + c.configFile) << ")" << std::endl;
  return 0;
}

int Serve(const CommandLine& c, const std::vector<std::string>& args) {
  if (!c.codeSet.empty()) SetAnsiCodeSet(c.codeSet);
  if (!c.config.proceduresFolder.empty() &&
      !std::filesystem::is_directory(c.config.proceduresFolder))
    throw std::runtime_error("The procedures folder " + c.config.proceduresFolder +
                             " does not exist");
  std::shared_ptr<IDatabase> db = OpenDatabase(c.config.database, c.config.databaseOptions);
  ServerState state(c.config, db);
  if (!c.schemaFile.empty()) RunSchema(state, c.schemaFile);
  ServiceHost host(state);
  RegisterControlService(host, state);
  RegisterExecSqlService(host, state);
  RegisterTableProcService(host, state);
  RequestLog log(nullptr, c.logFormat);
  LogFile logFile(log, c);
  // The metrics outlive the transports that feed them (declared before, destroyed after).
  const NetServer* transports = nullptr;
  ServerMetrics metrics(MetricsSources{
      [&host](const std::string& operation) { return host.HasOperation(operation); },
      host.Operations(), [&transports] { return transports ? transports->OpenConnections() : 0; },
      [&state] {
        std::vector<std::pair<std::string, int>> inUse;
        for (const char* service : {kExecSqlService, kTableProcService})
          if (SessionPool* pool = state.Pool(service)) inUse.emplace_back(service, pool->InUse());
        return inUse;
      }});
  log.SetObserver(&metrics);
  NetServer net(c.net, host, log);
  transports = &net;
  if (!c.usersFile.empty()) net.SetUsers(UserDirectory::Load(c.usersFile));
  if (!c.tlsCert.empty()) net.SetTlsCertificate(TlsCertificate::Load(c.tlsCert, c.tlsKey));
  net.ServeMetrics([&metrics] { return metrics.Page(); });
  net.Start();
  BoundPorts ports = net.Ports();
  state.SetPorts(ports);
  net.StopOnSignals([&](int signal) {
    if (signal == SIGUSR1) {
      try {
        logFile.Reopen(logFile.Path());
        log.Event("server", "", "log file reopened");
      } catch (const std::exception& e) {
        std::cerr << "qorvin-server: " << e.what() << std::endl;
      }
      return;
    }
    NotifyReloading();
    struct ReadyAgain {
      ~ReadyAgain() { NotifyReady("configuration read again"); }
    } readyAgain;
    try {
      const CommandLine fresh = ParseCommandLine(args);
      // The users file is read again as a whole; one that does not load changes nothing.
      std::shared_ptr<const UserDirectory> users =
          fresh.usersFile.empty() ? nullptr : UserDirectory::Load(fresh.usersFile);
      // A server serving HTTPS reads its certificate again (the files may have been renewed in
      // place); whether HTTP is HTTPS at all changes only at the next start.
      std::shared_ptr<const TlsCertificate> cert =
          net.ServesTls() && !fresh.tlsCert.empty()
              ? TlsCertificate::Load(fresh.tlsCert, fresh.tlsKey)
              : nullptr;
      logFile.Reopen(fresh.logFile.empty() ? logFile.Path() : fresh.logFile);
      net.SetUsers(std::move(users));
      if (cert) net.SetTlsCertificate(std::move(cert));
      std::string note = "configuration reloaded";
      std::vector<std::string> changed = ChangedOptions(c, fresh);
      if (net.ServesTls() == fresh.tlsCert.empty()) changed.push_back("tls-cert");
      if (!changed.empty()) {
        note += "; take effect at the next start:";
        for (const std::string& name : changed) note += " " + name;
      }
      log.Event("server", "", note);
      std::cerr << "qorvin-server: " << note << std::endl;
    } catch (const std::exception& e) {
      std::cerr << "qorvin-server: the configuration was not reloaded: " << e.what() << std::endl;
    }
  });
  // In JSON the start, its warnings and the stop are lines of the log too, with their level (in
  // text they are the lines on standard error).
  const auto logged = [&](const std::string& what, const char* level) {
    if (c.logFormat == LogFormat::Json) log.Event("server", "", what, level);
  };
  // Beyond loopback, a transport is open to the network unless an allow list keeps it to known
  // addresses; HTTP is covered too by HTTPS with users (credentials that travel encrypted).
  const bool httpGuarded =
      ports.http < 0 || !c.net.allowHttp.Empty() || (net.ServesTls() && !c.usersFile.empty());
  const bool tcpGuarded = ports.tcp < 0 || !c.net.allowTcp.Empty();
  const bool udpGuarded = ports.udp < 0 || !c.net.allowUdp.Empty();
  // One warning per address beyond loopback, naming the address.
  for (const std::string& address : c.net.bindAddresses) {
    if (IsLoopback(address)) continue;
    if (!httpGuarded || !tcpGuarded || !udpGuarded) {
      const std::string warning =
          "warning: listening on " + address + ", beyond loopback, with " +
          (httpGuarded ? "" : "HTTP ") + (tcpGuarded ? "" : "TCP ") + (udpGuarded ? "" : "UDP ") +
          "open to anyone who can reach the port: they run statements with the server's "
          "database account (see --allow, --tls-cert with --users, and docs/server.md)";
      std::cerr << "qorvin-server: " << warning << std::endl;
      logged(warning, "warning");
    }
    if (!c.usersFile.empty() && !net.ServesTls()) {
      const std::string warning = "warning: on " + address +
                                  " the HTTP users' passwords travel unencrypted (plain HTTP); "
                                  "see --tls-cert";
      std::cerr << "qorvin-server: " << warning << std::endl;
      logged(warning, "warning");
    }
  }
  const std::string serving =
      db->Describe() + ", procedures " +
      (c.config.proceduresFolder.empty() ? "none" : c.config.proceduresFolder) +
      (c.configFile.empty() ? "" : ", configuration " + c.configFile) +
      (c.config.admin ? ", admin operations allowed" : "");
  std::cerr << "qorvin-server: " << serving << std::endl;
  std::string addresses;
  for (const std::string& address : c.net.bindAddresses)
    addresses += (addresses.empty() ? "" : ",") + address;
  const std::string listening = "listening address=" + addresses + " http=" + PortText(ports.http) +
                                " tcp=" + PortText(ports.tcp) + " udp=" + PortText(ports.udp) +
                                (net.ServesTls() ? " tls=on" : "");
  // In a log file the start line comes before the listening line that tells clients where to
  // connect, so that no request's line comes before it; a log on standard output keeps the
  // listening line first, as whoever reads it for the ports expects.
  const std::string started = "started: " + serving + "; " + listening;
  if (!c.logFile.empty()) logged(started, "info");
  std::cout << "qorvin-server " << listening << std::endl;
  if (c.logFile.empty()) logged(started, "info");
  NotifyReady(listening);
  net.Wait();
  NotifyStopping();
  std::cerr << "qorvin-server: stopped" << std::endl;
  logged("stopped", "info");
  return 0;
}

// "qorvin-server passwd FILE USER": the password from the terminal (asked twice, not echoed) or
// from the first line of standard input.
int SetUserPassword(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "qorvin-server: usage: qorvin-server passwd FILE USER" << std::endl;
    return 2;
  }
  const std::string file = argv[2], user = argv[3];
  const std::string problem = UserDirectory::NameProblem(user);
  if (!problem.empty()) {
    std::cerr << "qorvin-server: " << problem << std::endl;
    return 2;
  }
  std::string password;
  if (::isatty(STDIN_FILENO)) {
    const std::string first = ReadSecret("Password for " + user + ": ");
    const std::string again = ReadSecret("The same again: ");
    if (first != again) {
      std::cerr << "qorvin-server: the two passwords differ; nothing was changed" << std::endl;
      return 1;
    }
    password = first;
  } else if (!std::getline(std::cin, password)) {
    std::cerr << "qorvin-server: no password on standard input" << std::endl;
    return 1;
  }
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (password.empty()) {
    std::cerr << "qorvin-server: an empty password is not allowed" << std::endl;
    return 1;
  }
  try {
    UserDirectory::SetPassword(file, user, password);
  } catch (const std::exception& e) {
    std::cerr << "qorvin-server: " << e.what() << std::endl;
    return 1;
  }
  std::cerr << "qorvin-server: the password of " << user << " is set in " << file << std::endl;
  return 0;
}

}  // namespace
}  // namespace qorvin::server

int main(int argc, char** argv) {
  using namespace qorvin::server;
  if (argc >= 2 && std::string(argv[1]) == "passwd") return SetUserPassword(argc, argv);
  CommandLine c;
  try {
    c = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::invalid_argument& e) {
    std::cerr << "qorvin-server: " << e.what() << std::endl;
    return 2;
  }
  if (c.help) {
    std::cout << HelpText();
    return 0;
  }
  if (c.version) {
    std::cout << VersionText() << std::endl;
    return 0;
  }
  LimitHeapArenas();
  const std::vector<std::string> args(argv + 1, argv + argc);
  try {
    if (c.checkConfig) return CheckConfiguration(c);
    return Serve(c, args);
  } catch (const std::exception& e) {
    std::cerr << "qorvin-server: " << e.what() << std::endl;
    return 1;
  }
}
