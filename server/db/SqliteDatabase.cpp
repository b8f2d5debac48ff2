// SQLite back end.
//
// A file database gives every session its own connection (WAL journal, busy time-out, foreign
// keys on). ":memory:" gives one connection that all sessions share: a session takes the
// connection's lock for as long as it is leased (Attach/Detach), so that requests touching the
// in-memory database run one after another and see one database.
//
// Statement time-out: a progress handler interrupts a statement that runs longer than the limit.
#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <mutex>

#include "platform/rtl/Text.h"
#include "server/db/Database.h"
#include "server/db/SqliteStatementCache.h"

namespace qorvin::server {
namespace {

using Clock = std::chrono::steady_clock;

// One SQLite connection; closes itself.
struct Connection {
  sqlite3* db = nullptr;
  Clock::time_point deadline = Clock::time_point::max();
  bool timedOut = false;
  std::timed_mutex lock;  // used only when shared
  SqliteStatementCache statements{64};

  ~Connection() {
    statements.Clear();
    if (db) sqlite3_close_v2(db);
  }
};

bool OnlySpace(const char* p, const char* end) {
  return std::all_of(p, end, [](char c) { return std::isspace(static_cast<unsigned char>(c)); });
}

[[noreturn]] void Fail(sqlite3* db, int rc) {
  std::string msg = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  throw ESqlError(msg, db ? sqlite3_extended_errcode(db) : rc);
}

int OnProgress(void* arg) {
  auto* c = static_cast<Connection*>(arg);
  if (Clock::now() > c->deadline) {
    c->timedOut = true;
    return 1;
  }
  return 0;
}

std::shared_ptr<Connection> Connect(const std::string& path, const DatabaseOptions& options) {
  auto c = std::make_shared<Connection>();
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
  int rc = sqlite3_open_v2(path.c_str(), &c->db, flags, nullptr);
  if (rc != SQLITE_OK) {
    std::string msg = c->db ? sqlite3_errmsg(c->db) : sqlite3_errstr(rc);
    // The system's own reason (a missing folder, no permission), where there is one.
    const int system = c->db ? sqlite3_system_errno(c->db) : 0;
    if (system != 0) msg += std::string(" (") + std::strerror(system) + ")";
    throw ESqlError("Cannot open the SQLite database \"" + path + "\": " + msg, rc);
  }
  sqlite3_extended_result_codes(c->db, 1);
  sqlite3_busy_timeout(c->db, options.busyTimeoutMs);
  sqlite3_progress_handler(c->db, 10000, OnProgress, c.get());
  char* err = nullptr;
  rc = sqlite3_exec(c->db, "PRAGMA foreign_keys = ON", nullptr, nullptr, &err);
  sqlite3_free(err);
  if (rc != SQLITE_OK) Fail(c->db, rc);
  return c;
}

// Column kind from a declared type, by SQLite's own affinity rules refined for dates and
// booleans; `size` receives the length in "(n)" for text types.
ColumnKind KindFromDecl(const char* decl, uint32_t& size) {
  size = 0;
  if (!decl) return ColumnKind::Unknown;
  std::string d;
  for (const char* p = decl; *p; ++p) d += char(*p >= 'a' && *p <= 'z' ? *p - 32 : *p);
  auto has = [&](const char* w) { return d.find(w) != std::string::npos; };
  if (auto open = d.find('('); open != std::string::npos)
    size = uint32_t(std::atoi(d.c_str() + open + 1));
  if (has("BOOL") || d == "BIT") return ColumnKind::Boolean;
  if (has("INT")) return ColumnKind::Integer;
  if (has("CHAR") || has("CLOB") || has("TEXT")) return ColumnKind::Text;
  if (has("BLOB") || has("BINARY") || has("IMAGE")) return ColumnKind::Blob;
  if (has("REAL") || has("FLOA") || has("DOUB") || has("DEC") || has("NUM") || has("MONEY"))
    return ColumnKind::Float;
  if (d == "DATE") return ColumnKind::Date;
  if (d == "TIME") return ColumnKind::Time;
  if (has("DATE") || has("TIME")) return ColumnKind::DateTime;
  return ColumnKind::Unknown;
}

// Column `i` of the current row, in its natural form.
void AddCell(ResultBuilder& b, sqlite3_stmt* st, int i) {
  switch (sqlite3_column_type(st, i)) {
    case SQLITE_INTEGER:
      return b.AddInt(sqlite3_column_int64(st, i));
    case SQLITE_FLOAT:
      return b.AddReal(sqlite3_column_double(st, i));
    case SQLITE_TEXT: {
      auto* p = reinterpret_cast<const char*>(sqlite3_column_text(st, i));
      int n = sqlite3_column_bytes(st, i);
      return b.AddText(std::string_view(p, size_t(n)));
    }
    case SQLITE_BLOB: {
      const void* p = sqlite3_column_blob(st, i);
      int n = sqlite3_column_bytes(st, i);
      return b.AddBlob(p, size_t(n));
    }
    default:
      return b.AddNull();
  }
}

class SqliteSession : public ISession {
 public:
  SqliteSession(std::shared_ptr<Connection> c, bool shared, const DatabaseOptions& options)
      : c_(std::move(c)), shared_(shared), options_(options) {}
  ~SqliteSession() override { Detach(); }

  Dialect GetDialect() const override { return Dialect::SQLite; }
  bool InTransaction() override { return sqlite3_get_autocommit(c_->db) == 0; }
  bool Broken() const override { return false; }

  void Attach(std::chrono::milliseconds wait) override {
    if (!shared_ || attached_) return;
    if (!c_->lock.try_lock_for(wait))
      throw EDatabaseError("The in-memory database stayed busy for " +
                           std::to_string(wait.count()) + " ms; try again later");
    attached_ = true;
  }
  void Detach() override {
    if (shared_ && attached_) {
      attached_ = false;
      c_->lock.unlock();
    }
  }

  void SetUser(const SessionUser& user) override {
    if (!user.role.empty())
      throw ESqlError("The user " + user.name + " is to run as the role " + user.role +
                          ", but SQLite has no roles (use read-only in the users file)",
                      SQLITE_AUTH);
    readOnlyUser_ = user.readOnly ? user.name : std::string();
  }
  void ResetUser() override { readOnlyUser_.clear(); }

  StatementResult Execute(const std::string& sql, const ExecLimits& limits) override {
    if (shared_ && !attached_) throw EDatabaseError("Session used without being leased");
    c_->timedOut = false;
    c_->deadline = options_.statementTimeoutSeconds > 0
                       ? Clock::now() + std::chrono::seconds(options_.statementTimeoutSeconds)
                       : Clock::time_point::max();
    StatementResult result;
    using Statement = std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)>;
    // A text that ran before as one whole statement: its statement again. A failure finalizes it.
    if (Statement kept{c_->statements.Take(sql), sqlite3_finalize}) {
      RunOne(kept.get(), limits, result);
      c_->statements.Put(sql, kept.release());
      return result;
    }
    const char* p = sql.data();
    const char* end = sql.data() + sql.size();
    while (p < end) {
      sqlite3_stmt* st = nullptr;
      const char* tail = nullptr;
      int rc = sqlite3_prepare_v2(c_->db, p, int(end - p), &st, &tail);
      if (rc != SQLITE_OK) Fail(c_->db, rc);
      const bool whole = p == sql.data() && OnlySpace(tail, end);
      p = tail;
      if (!st) continue;  // only whitespace or comments
      Statement guard(st, sqlite3_finalize);
      RunOne(st, limits, result);
      if (whole) c_->statements.Put(sql, guard.release());
    }
    return result;
  }

 private:
  void RunOne(sqlite3_stmt* st, const ExecLimits& limits, StatementResult& result) {
    // A read-only user's statement that would change the database is refused before it runs
    // (SQLite tells from the prepared statement; PRAGMA query_only, which the user's own SQL
    // could switch off again, is not relied on).
    if (!readOnlyUser_.empty() && (!sqlite3_stmt_readonly(st) || AttachesOrDetaches(st)))
      throw ESqlError(
          "attempt to write a readonly database: the user " + readOnlyUser_ + " may only read",
          SQLITE_READONLY);
    sqlite3_int64 before = sqlite3_total_changes64(c_->db);
    // The columns are read after the first step: a kept statement whose tables changed since it
    // was prepared is prepared anew by that step, and may then have other columns.
    int rc = sqlite3_step(st);
    int columns = sqlite3_column_count(st);
    ResultBuilder builder(limits.maxRows, limits.maxBytes);
    for (int i = 0; i < columns; ++i) {
      uint32_t size = 0;
      ColumnKind kind = KindFromDecl(sqlite3_column_decltype(st, i), size);
      builder.AddColumn(sqlite3_column_name(st, i), kind, size);
    }
    int64_t rows = 0;
    for (;; rc = sqlite3_step(st)) {
      if (rc == SQLITE_DONE) break;
      if (rc != SQLITE_ROW) {
        if (c_->timedOut)
          throw ESqlError("The statement ran longer than " +
                              std::to_string(options_.statementTimeoutSeconds) +
                              " s and was stopped",
                          SQLITE_INTERRUPT);
        Fail(c_->db, rc);
      }
      builder.BeginRow();
      for (int i = 0; i < columns; ++i) AddCell(builder, st, i);
      ++rows;
    }
    if (columns > 0) {
      result.hasRows = true;
      result.table = builder.Finish(limits.packRows);
      result.rowsAffected = rows;
    } else {
      result.hasRows = false;
      result.table = {};
      result.rowsAffected = sqlite3_total_changes64(c_->db) - before;
    }
  }

  std::shared_ptr<Connection> c_;
  // ATTACH and DETACH count as reading to SQLite, but they change what the (possibly shared)
  // connection reaches, and ATTACH may make a file.
  static bool AttachesOrDetaches(sqlite3_stmt* st) {
    const char* sql = sqlite3_sql(st);
    if (sql == nullptr) return false;
    while (std::isspace(static_cast<unsigned char>(*sql))) ++sql;
    for (const char* word : {"attach", "detach"}) {
      size_t i = 0;
      while (word[i] != 0 && std::tolower(static_cast<unsigned char>(sql[i])) == word[i]) ++i;
      if (word[i] == 0 && !std::isalnum(static_cast<unsigned char>(sql[i])) && sql[i] != '_')
        return true;
    }
    return false;
  }

  bool shared_;
  bool attached_ = false;
  std::string readOnlyUser_;  // the read-only user whose statements run now; empty: none
  DatabaseOptions options_;
};

class SqliteDatabase : public IDatabase {
 public:
  SqliteDatabase(std::string path, const DatabaseOptions& options)
      : path_(std::move(path)), options_(options) {
    if (path_ == ":memory:") {
      shared_ = Connect(path_, options_);
    } else {
      auto c = Connect(path_, options_);
      char* err = nullptr;
      int rc = sqlite3_exec(c->db, "PRAGMA journal_mode = WAL", nullptr, nullptr, &err);
      sqlite3_free(err);
      if (rc != SQLITE_OK) Fail(c->db, rc);
    }
  }

  Dialect GetDialect() const override { return Dialect::SQLite; }
  std::string Describe() const override {
    return path_ == ":memory:" ? "SQLite in memory" : "SQLite file " + path_;
  }

  std::unique_ptr<ISession> OpenSession() override {
    if (shared_) return std::make_unique<SqliteSession>(shared_, true, options_);
    return std::make_unique<SqliteSession>(Connect(path_, options_), false, options_);
  }

 private:
  std::string path_;
  DatabaseOptions options_;
  std::shared_ptr<Connection> shared_;
};

}  // namespace

std::shared_ptr<IDatabase> OpenSqliteDatabase(const std::string& path,
                                              const DatabaseOptions& options) {
  return std::make_shared<SqliteDatabase>(path.empty() ? ":memory:" : path, options);
}

}  // namespace qorvin::server
