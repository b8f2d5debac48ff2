// The soak: several clients, each a module of libQorvinClient.so (loaded with dlopen, as a host
// loads it) on a connection letter of its own, make mixed calls against two qorvin-server
// processes on one PostgreSQL database, load-balanced with fail-over through IQorvinServers.
// Server A is killed (SIGKILL) at a third and at two thirds of the calls and started again on its
// ports a little later (while it is down, server B carries every client); server B runs
// throughout.
//
// Calls, in turn: reads (a row the client wrote), writes (one INSERT), uploads (five rows through
// a one-statement procedure) and procedure calls (one row). Every row written carries a key of
// its own, so the database shows whether a write landed once, twice or not at all. Afterwards
// the program reads the table with libpq and checks, per write:
//   ok       (the call reported success)   every row present exactly once, with its value
//   failed   (the server answered with an exception: it rolled back)   no row present
//   unknown  (any other failure: the answer was lost, the server may have run the call)
//            at most once, and all of the call's rows or none
// and that the table holds no row of no call. It samples the servers' resident memory every
// 250 ms and compares server B's mean of the first quarter of the calls (after a warm-up of 5%)
// with that of the last quarter: at most 10% apart.
//
// Usage: soak_client --library LIB --server PROGRAM --db URL --work DIR [--clients N]
//                    [--calls N] [--kills N]
// --kills: how often server A is killed, evenly spread over the calls (default 2; 0 for a run
// without faults, to compare memory with).
// Exit status 0 when every check holds, 1 otherwise, 2 for bad usage or a failed start.
#include <dlfcn.h>
#include <fcntl.h>
#include <libpq-fe.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "include/qorvin/QorvinClient.h"
#include "include/qorvin/QorvinServers.h"

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void Die(const std::string& why) {
  std::fprintf(stderr, "soak: %s\n", why.c_str());
  std::exit(2);
}

// ---- qorvin-server child processes ----

struct Server {
  pid_t pid = -1;
  int http = 0, tcp = 0, udp = 0;
  int Port(char letter) const { return letter == 'H' ? http : letter == 'U' ? udp : tcp; }
};

// Starts the server (ports 0: the system's choice) and reads its listening line, waiting at most
// 30 s. Its stderr goes to `log`.
Server StartServer(const std::string& program, const std::string& db, const std::string& procs,
                   const std::string& log, int http, int tcp, int udp) {
  int out[2];
  if (pipe(out) != 0) Die("pipe failed");
  Server s;
  s.pid = fork();
  if (s.pid < 0) Die("fork failed");
  if (s.pid == 0) {
    const int err = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(out[1], 1);
    if (err >= 0) dup2(err, 2);
    ::close(out[0]);
    ::close(out[1]);
    const std::string h = std::to_string(http), t = std::to_string(tcp), u = std::to_string(udp);
    execl(program.c_str(), program.c_str(), "--quiet", "--db", db.c_str(), "--procedures",
          procs.c_str(), "--http-port", h.c_str(), "--tcp-port", t.c_str(), "--udp-port", u.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  ::close(out[1]);
  std::string line;
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  char c = 0;
  while (Clock::now() < deadline) {
    pollfd p{out[0], POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    if (::read(out[0], &c, 1) != 1 || c == '\n') break;
    line += c;
  }
  ::close(out[0]);
  auto port = [&](const char* key) {
    const size_t at = line.find(key);
    if (at == std::string::npos) Die("server did not start: \"" + line + "\" (see " + log + ")");
    return std::stoi(line.substr(at + std::strlen(key)));
  };
  s.http = port("http=");
  s.tcp = port("tcp=");
  s.udp = port("udp=");
  return s;
}

// SIGTERM, at most 15 s for the end, then SIGKILL. The exit status (128 + signal for a signal).
int StopServer(Server& s, int signal = SIGTERM) {
  if (s.pid <= 0) return -1;
  ::kill(s.pid, signal);
  int status = 0;
  const auto deadline = Clock::now() + std::chrono::seconds(15);
  while (::waitpid(s.pid, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      ::kill(s.pid, SIGKILL);
      ::waitpid(s.pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  s.pid = -1;
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

long RssKb(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return 0;
}

// ---- the client library ----

std::string TextOf(const QorvinText& t) {
  return t.data ? std::string(t.data, size_t(t.length)) : std::string();
}

const IRemoteDataModule::Guid kFactory = {
    0x6C1E0D2A, 0x6A53, 0x4C4B, {0x9E, 0x32, 0x2B, 0x8C, 0x5D, 0x0F, 0x7A, 0x11}};

// One row written by a call.
struct RowWrite {
  std::string key;
  int value;
};

enum class Status { Ok, Failed, Unknown };

struct Write {
  char kind;  // 'w' write, 'u' upload, 'p' procedure
  Status status;
  std::vector<RowWrite> rows;
  std::string error;
};

struct ClientResult {
  std::vector<Write> writes;
  long reads = 0, readFailures = 0, readMismatches = 0;
  double seconds = 0;
  std::string firstReadMismatch;
};

Status Classify(const std::string& error) {
  if (error.empty()) return Status::Ok;
  // The server answered with its exception: it ran the call in a transaction it rolled back.
  if (error.rfind("An exception was raised on the server: ", 0) == 0) return Status::Failed;
  return Status::Unknown;
}

class Client {
 public:
  Client(int index, char letter, IRemoteDataModule* module, std::atomic<long>& done)
      : index_(index), letter_(letter), module_(module), done_(done) {
    void* f = nullptr;
    if (module_->QueryInterface(&kFactory, &f) != 0) Die("no record-set factory");
    factory_ = static_cast<IQorvinDataSetFactory*>(f);
  }

  void Run(long calls) {
    const auto started = Clock::now();
    for (long seq = 0; seq < calls; ++seq) {
      switch (seq % 10) {
        case 0:
        case 3:
        case 6:
        case 9:
          Read();
          break;
        case 1:
        case 4:
          Exec(seq);
          break;
        case 2:
        case 7:
          Upload(seq);
          break;
        default:
          Procedure(seq);
          break;
      }
      ++done_;
    }
    result.seconds = std::chrono::duration<double>(Clock::now() - started).count();
  }

  char Letter() const { return letter_; }

  ClientResult result;

 private:
  RowWrite Row(long seq, int r) const {
    const std::string key =
        "c" + std::to_string(index_) + "-" + std::to_string(seq) + "-" + std::to_string(r);
    return {key, int((index_ * 1000003L + seq * 31 + r) % 1000000)};
  }

  void Record(char kind, std::vector<RowWrite> rows, const std::string& error) {
    const Status status = Classify(error);
    if (status == Status::Ok) lastOk_ = rows.front();
    result.writes.push_back({kind, status, std::move(rows), error});
  }

  void Exec(long seq) {
    const RowWrite row = Row(seq, 0);
    const std::string sql = "insert into SoakRows (K, V, Kind) values ('" + row.key + "', " +
                            std::to_string(row.value) + ", 'write')";
    int32_t result = 0;
    QorvinText error{};
    module_->SynchExecSQL("soak", "", sql.c_str(), &result, &error);
    Record('w', {row}, TextOf(error));
    qorvin_text_free(&error);
  }

  void Procedure(long seq) {
    const RowWrite row = Row(seq, 0);
    const std::string sql =
        "exec SoakAdd @K = '" + row.key + "', @V = " + std::to_string(row.value);
    int32_t result = 0;
    QorvinText error{};
    module_->SynchExecProc("soak", "", sql.c_str(), &result, &error);
    Record('p', {row}, TextOf(error));
    qorvin_text_free(&error);
  }

  void Upload(long seq) {
    std::vector<RowWrite> rows;
    for (int r = 0; r < 5; ++r) rows.push_back(Row(seq, r));
    QorvinAdoDataSet* ds = factory_->CreateAdoDataSet();
    bool ok = ds != nullptr && ds->AddField("K", 24, 64) && ds->AddField("V", 3, 0) && ds->Open();
    for (const RowWrite& row : rows)
      ok = ok && ds->Append() && ds->SetValueText(0, row.key.c_str()) &&
           ds->SetValueText(1, std::to_string(row.value).c_str()) && ds->Post();
    QorvinDataPacket packet{};
    ok = ok && factory_->AdoDataSetToPacket(ds, &packet);
    if (ds != nullptr) ds->Release();
    if (!ok) Die("could not build an upload");
    QorvinDataPacket out{};
    int32_t successes = 0, result = 0;
    QorvinText error{};
    module_->ExecProcInsertTable("soak", "", &packet, "SoakUpload", &out, &successes, 1, &result,
                                 &error);
    std::string text = TextOf(error);
    // A call that succeeded but did not run every row would be a half write: report it so.
    if (text.empty() && successes != 5)
      text = "An exception was raised on the server: only " + std::to_string(successes) +
             " of 5 rows ran";
    Record('u', std::move(rows), text);
    qorvin_text_free(&error);
    qorvin_packet_free(&packet);
    qorvin_packet_free(&out);
  }

  // Reads back the last row this client wrote successfully: it must be there, once.
  void Read() {
    ++result.reads;
    if (lastOk_.key.empty()) lastOk_ = {"none", 0};
    const std::string sql = "select K, V from SoakRows where K = '" + lastOk_.key + "'";
    QorvinDataPacket data{};
    int32_t rc = 0;
    QorvinText error{};
    module_->SynchReadData("soak", "", sql.c_str(), &data, &rc, &error);
    if (error.data != nullptr) {
      ++result.readFailures;
    } else {
      std::string rows;
      QorvinAdoDataSet* ds = factory_->PacketToAdoDataSet(&data);
      if (ds != nullptr) {
        for (ds->First(); !ds->Eof(); ds->Next()) {
          QorvinText k{}, v{};
          bool null = false;
          ds->GetValueText(0, &k, &null);
          ds->GetValueText(1, &v, &null);
          rows += (rows.empty() ? "" : ";") + TextOf(k) + "|" + TextOf(v);
          qorvin_text_free(&k);
          qorvin_text_free(&v);
        }
        ds->Release();
      }
      const std::string expected =
          lastOk_.key == "none" ? "" : lastOk_.key + "|" + std::to_string(lastOk_.value);
      if (rows != expected) {
        if (result.readMismatches++ == 0)
          result.firstReadMismatch = "expected \"" + expected + "\", read \"" + rows + "\"";
      }
    }
    qorvin_text_free(&error);
    qorvin_packet_free(&data);
  }

  int index_;
  char letter_;
  IRemoteDataModule* module_;
  IQorvinDataSetFactory* factory_ = nullptr;
  std::atomic<long>& done_;
  RowWrite lastOk_;
};

// ---- the database ----

PGconn* Connect(const std::string& url) {
  PGconn* c = PQconnectdb(url.c_str());
  if (PQstatus(c) != CONNECTION_OK) Die(std::string("PostgreSQL: ") + PQerrorMessage(c));
  return c;
}

void Run(PGconn* c, const std::string& sql) {
  PGresult* r = PQexec(c, sql.c_str());
  if (PQresultStatus(r) != PGRES_COMMAND_OK && PQresultStatus(r) != PGRES_TUPLES_OK)
    Die(sql + ": " + PQerrorMessage(c));
  PQclear(r);
}

struct Stored {
  long count = 0;
  long sum = 0;
};

std::map<std::string, Stored> ReadTable(PGconn* c) {
  PGresult* r = PQexec(c, "select K, count(*), sum(V) from SoakRows group by K");
  if (PQresultStatus(r) != PGRES_TUPLES_OK) Die(std::string("reading: ") + PQerrorMessage(c));
  std::map<std::string, Stored> table;
  for (int i = 0; i < PQntuples(r); ++i)
    table[PQgetvalue(r, i, 0)] = {std::stol(PQgetvalue(r, i, 1)), std::stol(PQgetvalue(r, i, 2))};
  PQclear(r);
  return table;
}

std::string Arg(int argc, char** argv, const std::string& name, const std::string& fallback) {
  for (int i = 1; i + 1 < argc; ++i)
    if (argv[i] == name) return argv[i + 1];
  if (fallback.empty()) Die("missing " + name);
  return fallback;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string library = Arg(argc, argv, "--library", "");
  const std::string program = Arg(argc, argv, "--server", "");
  const std::string db = Arg(argc, argv, "--db", "");
  const std::string work = Arg(argc, argv, "--work", "");
  const int clients = std::stoi(Arg(argc, argv, "--clients", "4"));
  const long calls = std::stol(Arg(argc, argv, "--calls", "2000"));
  const int maxKills = std::stoi(Arg(argc, argv, "--kills", "2"));
  const std::string letters = "HTBU";
  if (clients < 1 || calls < 30) Die("--clients must be at least 1 and --calls at least 30");

  // The table (duplicates allowed, so that a write landing twice shows) and the procedures.
  PGconn* pg = Connect(db);
  Run(pg,
      "drop table if exists SoakRows; create table SoakRows (K varchar(64) not null, V integer "
      "not null, Kind varchar(8) not null); create index SoakRowsK on SoakRows (K)");
  const std::string procs = work + "/procedures";
  ::mkdir(procs.c_str(), 0755);
  std::ofstream(procs + "/SoakAdd.sql") << "-- One row of the soak.\n--! param @K\n--! param @V\n"
                                           "insert into SoakRows (K, V, Kind) values (@K, @V, "
                                           "'proc')\nreturn 1\n";
  std::ofstream(procs + "/SoakUpload.sql")
      << "-- One uploaded row of the soak.\n--! param @K\n--! param @V\n"
         "insert into SoakRows (K, V, Kind) values (@K, @V, 'upload')\nreturn 1\n";

  Server a = StartServer(program, db, procs, work + "/server-a.log", 0, 0, 0);
  Server b = StartServer(program, db, procs, work + "/server-b.log", 0, 0, 0);

  void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) Die(std::string("dlopen: ") + dlerror());
  auto create =
      reinterpret_cast<QorvinCreateRemoteDataModuleFn>(dlsym(handle, "CreateRemoteDataModule"));
  if (create == nullptr) Die("CreateRemoteDataModule not exported");

  std::atomic<long> done = 0;
  std::vector<std::unique_ptr<Client>> workers;
  for (int i = 0; i < clients; ++i) {
    const char letter = letters[size_t(i) % letters.size()];
    QorvinText failure{};
    IRemoteDataModule* m = create(i, letter, "127.0.0.1", a.Port(letter), &failure);
    if (m == nullptr) Die("module: " + TextOf(failure));
    IQorvinServers* servers = nullptr;
    if (m->QueryInterface(&kQorvinIID_IQorvinServers, reinterpret_cast<void**>(&servers)) != 0)
      Die("no IQorvinServers");
    if (!servers->AddServer("127.0.0.1", b.Port(letter), nullptr, &failure))
      Die("AddServer: " + TextOf(failure));
    servers->SetMode(kQorvinServersLoadBalance);
    servers->SetRetryDisabledAfter(500);
    workers.push_back(std::make_unique<Client>(i, letter, m, done));
  }

  const long total = calls * clients;
  std::vector<std::thread> threads;
  const auto started = Clock::now();
  for (auto& w : workers) threads.emplace_back([&w, calls] { w->Run(calls); });

  // The conductor: memory samples, and server A killed and started again twice.
  struct Sample {
    double progress;
    long a, b;
  };
  std::vector<Sample> samples;
  const int ha = a.http, ta = a.tcp, ua = a.udp;
  int kills = 0;
  long restartAt = -1;
  Clock::time_point killedAt;
  std::vector<std::string> events;
  while (done < total) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    const long now = done;
    samples.push_back({double(now) / double(total), a.pid > 0 ? RssKb(a.pid) : 0, RssKb(b.pid)});
    if (a.pid > 0 && kills < maxKills && now >= total * (kills + 1) / (maxKills + 1)) {
      StopServer(a, SIGKILL);
      ++kills;
      killedAt = Clock::now();
      restartAt = now + total / 50;
      events.push_back("server A killed after " + std::to_string(now) + " calls");
    } else if (a.pid <= 0 &&
               (now >= restartAt || Clock::now() - killedAt > std::chrono::seconds(5))) {
      a = StartServer(program, db, procs, work + "/server-a.log", ha, ta, ua);
      events.push_back("server A started again after " + std::to_string(now) + " calls");
    }
  }
  for (std::thread& t : threads) t.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  if (a.pid <= 0) a = StartServer(program, db, procs, work + "/server-a.log", ha, ta, ua);
  const int stopA = StopServer(a), stopB = StopServer(b);

  // ---- the checks ----
  const std::map<std::string, Stored> table = ReadTable(pg);
  PQfinish(pg);
  std::map<std::string, bool> known;
  long writes[3] = {0, 0, 0}, rowsOk = 0, sumOk = 0, dbSumOk = 0;
  long unknownLanded = 0, unknownLost = 0, reads = 0, readFailures = 0, readMismatches = 0;
  long violations = 0;
  std::vector<std::string> reports;
  std::map<std::string, long> errorTexts;
  auto violation = [&](const std::string& what) {
    if (violations++ < 10) reports.push_back(what);
  };
  for (auto& w : workers) {
    reads += w->result.reads;
    readFailures += w->result.readFailures;
    readMismatches += w->result.readMismatches;
    if (!w->result.firstReadMismatch.empty())
      violation("read mismatch: " + w->result.firstReadMismatch);
    for (const Write& write : w->result.writes) {
      ++writes[int(write.status)];
      if (!write.error.empty()) {
        std::string text = write.error.substr(0, 70);
        std::replace(text.begin(), text.end(), '\n', ' ');
        ++errorTexts[text];
      }
      long present = 0;
      for (const RowWrite& row : write.rows) {
        known[row.key] = true;
        const auto it = table.find(row.key);
        const long count = it == table.end() ? 0 : it->second.count;
        if (count > 1) violation(row.key + " is in the table " + std::to_string(count) + " times");
        if (count > 0) ++present;
        if (write.status == Status::Ok) {
          ++rowsOk;
          sumOk += row.value;
          if (count == 0) violation(row.key + " reported written but missing");
          if (count > 0) dbSumOk += it->second.sum / count;
        }
      }
      if (write.status == Status::Failed && present > 0)
        violation(write.rows.front().key + " failed (" + write.error + ") but " +
                  std::to_string(present) + " rows are there");
      if (write.status == Status::Unknown) {
        if (present != 0 && present != long(write.rows.size()))
          violation(write.rows.front().key + ": " + std::to_string(present) + " of " +
                    std::to_string(write.rows.size()) + " rows of an unfinished call");
        (present > 0 ? unknownLanded : unknownLost) += 1;
      }
    }
  }
  for (const auto& [key, stored] : table)
    if (!known.count(key)) violation(key + " is in the table but no call wrote it");
  if (sumOk != dbSumOk)
    violation("checksum of the successful rows: expected " + std::to_string(sumOk) + ", table " +
              std::to_string(dbSumOk));
  if (readMismatches > 0) ++violations;

  // Server B's memory: mean of the first quarter of the calls (less the first 5%, while sessions,
  // pools and allocator arenas are being made) and of the last quarter.
  double first = 0, last = 0;
  int nFirst = 0, nLast = 0;
  for (const Sample& s : samples) {
    if (s.progress >= 0.05 && s.progress < 0.25) first += double(s.b), ++nFirst;
    if (s.progress >= 0.75) last += double(s.b), ++nLast;
  }
  first = nFirst ? first / nFirst : 0;
  last = nLast ? last / nLast : 0;
  const double drift = first > 0 ? (last - first) / first : 0;
  // Less than 5 s of samples in a quarter is too short a run to judge memory by.
  const bool judged = nFirst >= 20 && nLast >= 20;
  const bool flat = !judged || (drift >= -0.10 && drift <= 0.10);

  std::printf("soak: %d clients x %ld calls (letters %s) in %.1f s, %.0f calls/s\n", clients, calls,
              letters.substr(0, size_t(std::min(clients, 4))).c_str(), seconds,
              double(total) / seconds);
  for (const std::string& e : events) std::printf("  %s\n", e.c_str());
  for (auto& w : workers)
    std::printf("  client %c: %ld calls in %.1f s\n", w->Letter(), calls, w->result.seconds);
  std::printf("  reads: %ld, failed %ld, wrong answer %ld\n", reads, readFailures, readMismatches);
  std::printf(
      "  writes: ok %ld (%ld rows, checksum %ld), failed %ld, unknown outcome %ld "
      "(landed %ld, not landed %ld)\n",
      writes[0], rowsOk, sumOk, writes[1], writes[2], unknownLanded, unknownLost);
  for (const auto& [text, n] : errorTexts) std::printf("  error x%ld: %s\n", n, text.c_str());
  std::printf("  table: %zu keys\n", table.size());
  std::printf(
      "  server B RSS: first quarter %.0f kB, last quarter %.0f kB (%+.1f%%, %d/%d "
      "samples)%s\n",
      first, last, drift * 100, nFirst, nLast,
      !judged ? "  (too short to judge)"
      : flat  ? ""
              : "  NOT FLAT");
  // The trend: server B's highest sample in each tenth of the calls, and the change from the
  // third quarter to the last (a leak keeps growing there; a warm-up has levelled off).
  double third = 0;
  int nThird = 0;
  for (const Sample& sample : samples)
    if (sample.progress >= 0.5 && sample.progress < 0.75) third += double(sample.b), ++nThird;
  third = nThird ? third / nThird : 0;
  if (third > 0)
    std::printf("  server B RSS: third quarter %.0f kB, last quarter %+.1f%% of it\n", third,
                (last - third) / third * 100);
  std::vector<long> tenths(10, 0);
  for (const Sample& sample : samples) {
    const size_t tenth = std::min<size_t>(9, size_t(sample.progress * 10));
    tenths[tenth] = std::max(tenths[tenth], sample.b);
  }
  std::printf("  server B RSS, highest per tenth of the calls (MB):");
  for (long kb : tenths) kb > 0 ? std::printf(" %.1f", double(kb) / 1024) : std::printf(" -");
  std::printf("\n");
  std::printf("  servers stopped: A %d, B %d\n", stopA, stopB);
  for (const std::string& r : reports) std::printf("  VIOLATION %s\n", r.c_str());
  const bool passed = violations == 0 && flat && stopB == 0;
  std::printf("soak: %s\n", passed ? "passed" : "FAILED");
  return passed ? 0 : 1;
}
