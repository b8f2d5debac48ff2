// ControlService: the server's own figures, and the operations that change the server, which
// only a server started with --admin performs, and over HTTP with users only for a user marked
// admin in the users file (otherwise they fail with SessionDoesNotHaveRequiredRolesException).
// Meanings (docs/server.md has the full text):
//
//   GetServerTime         the server's clock
//   GetClientCount        distinct ClientIDs that made a request within the client window
//   ClearServicePool      (admin) close the idle database sessions of a service
//   SetDBConnInfo         (admin) switch to another database (PostgreSQL server, or SQLite file)
//   SetServicePoolSize    (admin) the most database sessions a service uses at once (1..1000)
//   GetServicePoolSize    that number; 0 for ControlService, which uses no database
//   GetInUseCount         sessions of a service leased right now; for ControlService, its calls
//                         running right now (this one included)
//   Restart               (admin) close every pooled session, reset counters and clients seen;
//                         the process keeps running
//   GetTotalCount         calls a service has handled since the start or the last Restart
//   Alive                 True
//   IsPortActive          whether HTTP, TCP or UDP listens on that port
//   GetPort               the port of "HTTP", "TCP" or "UDP" (0 when that transport is off)
//   GetServiceList        "ControlService,ExecSqlService,TableProcService"
#include "messaging/uROExceptions.h"
#include "server/db/DateTimeText.h"
#include "server/db/SqlTokenizer.h"
#include "server/services/ServiceHost.h"

namespace qorvin::server {
namespace {

void RequireAdmin(ServerState& state, const Call& call, const char* operation) {
  if (MayAdminister(state.Config(), call.Info())) return;
  const std::string why = call.Info().user != nullptr ? "the HTTP user " + call.Info().user->name +
                                                            " is not an admin in the users file"
                                                      : "the server was not started with --admin";
  throw SessionDoesNotHaveRequiredRolesException(std::string("ControlService.") + operation +
                                                 " changes the server and is refused: " + why);
}

std::string UrlEncode(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                 c == '-' || c == '_' || c == '.' || c == '~';
    if (plain) {
      out += char(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

void SetDBConnInfo(ServerState& state, Call& call) {
  std::string server = call.ReadAnsi("aDBServer");
  std::string name = call.ReadAnsi("aDBName");
  std::string user = call.ReadAnsi("aDBUser");
  std::string pass = call.ReadAnsi("aDBPass");
  int32_t timeout = call.ReadInteger("aTimeOut");
  RequireAdmin(state, call, "SetDBConnInfo");
  DatabaseOptions options = state.Config().databaseOptions;
  if (timeout > 0) options.connectTimeoutSeconds = timeout;
  std::string target;
  if (server.empty()) {
    target = name.empty() ? ":memory:" : name;  // an SQLite file
  } else {
    target = "postgresql://";
    if (!user.empty())
      target += UrlEncode(user) + (pass.empty() ? "" : ":" + UrlEncode(pass)) + "@";
    target += server + "/" + UrlEncode(name);
  }
  // The new database must open before the old one is let go.
  std::shared_ptr<IDatabase> db = OpenDatabase(target, options);
  state.ReplaceDatabase(db);
  call.Note("database=" + db->Describe());
  call.BeginReply();
}

int32_t PortOf(ServerState& state, const std::string& protocol) {
  BoundPorts p = state.Ports();
  std::string name = AsciiUpper(protocol);
  int port;
  if (name == "HTTP") {
    port = p.http;
  } else if (name == "TCP") {
    port = p.tcp;
  } else if (name == "UDP") {
    port = p.udp;
  } else {
    throw EROException("Unknown protocol \"" + protocol + "\" (HTTP, TCP or UDP)");
  }
  return port < 0 ? 0 : port;
}

// The operations that change the server (refused without --admin, or for an HTTP user who is
// not an admin).
void RegisterControlChanges(ServiceHost& host, ServerState& state) {
  const std::string s = kControlService;
  ServerState* st = &state;
  host.Register(s, "ClearServicePool", [st](Call& c) {
    std::string service = c.ReadAnsi("aServiceName");
    RequireAdmin(*st, c, "ClearServicePool");
    if (SessionPool* pool = st->Pool(service)) pool->Clear();
    c.BeginReply();
  });
  host.Register(s, "SetDBConnInfo", [st](Call& c) { SetDBConnInfo(*st, c); });
  host.Register(s, "SetServicePoolSize", [st](Call& c) {
    std::string service = c.ReadAnsi("aServiceName");
    int32_t size = c.ReadInteger("aPoolSize");
    RequireAdmin(*st, c, "SetServicePoolSize");
    SessionPool* pool = st->Pool(service);
    if (!pool) throw EROException(service + " uses no database sessions; it has no pool to size");
    if (size < 1 || size > 1000)
      throw EROException("A pool size must lie between 1 and 1000, not " + std::to_string(size));
    pool->SetMaxSize(size);
    c.BeginReply();
  });
  host.Register(s, "Restart", [st](Call& c) {
    RequireAdmin(*st, c, "Restart");
    st->Restart();
    c.BeginReply();
  });
}

}  // namespace

// The figures that cost microseconds and never wait are answered on the I/O thread that
// received them (Runs::AtOnce); the others may wait on a session pool's lock, or scan the clients
// seen, and run on a worker.
void RegisterControlService(ServiceHost& host, ServerState& state) {
  const std::string s = kControlService;
  ServerState* st = &state;
  host.Register(
      s, "GetServerTime",
      [](Call& c) {
        c.BeginReply();
        c.WriteDateTime("Result", NowOleDate());
      },
      Runs::AtOnce);
  host.Register(s, "GetClientCount", [st](Call& c) {
    c.BeginReply();
    c.WriteInteger("Result", st->Clients().Count());
  });
  host.Register(s, "GetServicePoolSize", [st](Call& c) {
    SessionPool* pool = st->Pool(c.ReadAnsi("aServiceName"));
    c.BeginReply();
    c.WriteInteger("Result", pool ? pool->MaxSize() : 0);
  });
  host.Register(s, "GetInUseCount", [st](Call& c) {
    std::string service = c.ReadAnsi("aServiceName");
    SessionPool* pool = st->Pool(service);
    int32_t n = pool ? pool->InUse() : st->Counters(service).running.load();
    c.BeginReply();
    c.WriteInteger("Result", n);
  });
  host.Register(
      s, "GetTotalCount",
      [st](Call& c) {
        ServiceCounters& counters = st->Counters(c.ReadAnsi("aServiceName"));
        int64_t total = counters.total;
        c.BeginReply();
        c.WriteInteger("Result", int32_t(std::min<int64_t>(total, INT32_MAX)));
      },
      Runs::AtOnce);
  host.Register(
      s, "Alive",
      [](Call& c) {
        c.BeginReply();
        c.WriteBoolean("Result", true);
      },
      Runs::AtOnce);
  host.Register(
      s, "IsPortActive",
      [st](Call& c) {
        int32_t port = c.ReadInteger("aPort");
        BoundPorts p = st->Ports();
        bool active = port > 0 && (port == p.http || port == p.tcp || port == p.udp);
        c.BeginReply();
        c.WriteBoolean("Result", active);
      },
      Runs::AtOnce);
  host.Register(
      s, "GetPort",
      [st](Call& c) {
        int32_t port = PortOf(*st, c.ReadAnsi("aProtocol"));
        c.BeginReply();
        c.WriteInteger("Result", port);
      },
      Runs::AtOnce);
  host.Register(
      s, "GetServiceList",
      [](Call& c) {
        std::string list;
        for (const std::string& n : ServerState::ServiceNames())
          list += (list.empty() ? "" : ",") + n;
        c.BeginReply();
        c.WriteAnsi("Result", list);
      },
      Runs::AtOnce);
  RegisterControlChanges(host, state);
}

}  // namespace qorvin::server
