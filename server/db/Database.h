// The database seam: a database hands out sessions (connections); a session runs one statement
// of the database's own dialect at a time and returns a neutral result set.
//
// Two back ends: SQLite (a file, or ":memory:") and PostgreSQL (a connection URL). The batch
// dialect that hosts send is translated before it reaches a session (SqlRender.h, BatchRunner.h).
//
// Failure: every database error is an ESqlError — class name "EDatabaseError" on the wire —
// carrying the database's own message. Limits of ExecLimits raise EDatabaseError too.
//
// Threads: a database may be shared by any number of threads; OpenSession is thread-safe. A
// session is used by one thread at a time (the session pool leases it exclusively).
#pragma once

#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/rtl/FieldTypes.h"
#include "server/db/ResultTable.h"

namespace qorvin::server {

enum class Dialect { SQLite, PostgreSQL };

// A database error with the database's numeric code (SQLite's extended result code; 50000 for
// PostgreSQL, whose codes are not numeric). On the wire it is an EDatabaseError.
class ESqlError : public EDatabaseError {
 public:
  ESqlError(const std::string& message, int code) : EDatabaseError(message), code_(code) {}
  const char* ClassName() const override { return "EDatabaseError"; }
  int Code() const { return code_; }

 private:
  int code_;
};

// No limit on the rows of a result set but the blob's (4294967295): rows cost memory, and
// maxBytes bounds that.
inline constexpr int64_t kNoRowLimit = std::numeric_limits<int64_t>::max();

struct ExecLimits {
  int64_t maxRows = kNoRowLimit;        // rows of one result set
  int64_t maxBytes = int64_t(2) << 30;  // approximate size of one result set (the memory guard)
  // Result sets keep their rows packed (ResultTable::packed) instead of as Variants: for reads
  // whose result sets only become blobs.
  bool packRows = false;
};

// One statement of a run of many (ISession::ExecuteEach): its text with every value written in
// as a literal, and where in that text lie the literals that are whole items of an INSERT's
// VALUES list. A back end may send those apart, as the parameters of one statement prepared for
// every statement of the same shape, when that means exactly what the text means; the text alone
// is always the statement.
struct RowStatement {
  struct Span {
    size_t offset = 0;
    size_t length = 0;
  };
  std::string sql;
  std::vector<Span> values;  // in order, not overlapping, each inside sql
};

struct StatementResult {
  bool hasRows = false;      // the statement returned a result set (possibly without rows)
  ResultTable table;         // when hasRows
  int64_t rowsAffected = 0;  // rows changed (DML) or returned (queries)
};

// Whose statements a session runs (an HTTP user's rights): the PostgreSQL role they run as and
// whether they may only read. An empty one is the server's own account, with all its rights.
struct SessionUser {
  std::string name;  // the user, for messages
  std::string role;  // PostgreSQL: SET ROLE to this role; empty: no role of its own
  bool readOnly = false;
  bool Empty() const { return role.empty() && !readOnly; }
};

class ISession {
 public:
  virtual ~ISession() = default;
  virtual Dialect GetDialect() const = 0;
  // Runs one statement (several separated by ';' are allowed; the last result set is kept).
  virtual StatementResult Execute(const std::string& sql, const ExecLimits& limits) = 0;
  // Runs each statement on its own, in order, in one transaction with a savepoint around each:
  // a failing statement undoes only itself and the next one runs. Returns per statement its
  // error message, or nullopt when it succeeded. The session must not be in a transaction.
  // A failure that is no statement's own (a lost connection, a failed commit) throws ESqlError,
  // and then none of the statements stays. The default runs them one by one; a back end may
  // send several at once.
  virtual std::vector<std::optional<std::string>> ExecuteEach(
      const std::vector<RowStatement>& statements, const ExecLimits& limits);
  // Runs every later statement as `user` until ResetUser. PostgreSQL: SET ROLE (the database
  // refuses a role that does not exist or that the server's account may not take) and, for a
  // read-only user, read-only transactions by default. SQLite: a read-only user's statements
  // that would write are refused before they run; a role cannot be taken (SQLite has none).
  // ESqlError with the reason. Not within a transaction.
  virtual void SetUser(const SessionUser& user) = 0;
  // Back to the server's own account (the pool calls it before the session is kept again);
  // ESqlError when that fails (the pool then closes the session).
  virtual void ResetUser() = 0;
  // Whether the database has a transaction open on this session right now.
  virtual bool InTransaction() = 0;
  // True when the connection is lost; the pool then discards the session.
  virtual bool Broken() const = 0;
  // Called by the pool when the session is leased and returned. Sessions over a shared
  // connection take and release its lock here; EDatabaseError when `wait` runs out.
  virtual void Attach(std::chrono::milliseconds wait) { (void)wait; }
  virtual void Detach() {}
};

struct DatabaseOptions {
  int statementTimeoutSeconds = 300;  // 0 = no limit
  int connectTimeoutSeconds = 10;
  int busyTimeoutMs = 10000;  // SQLite: how long to wait for another connection's lock
};

class IDatabase {
 public:
  virtual ~IDatabase() = default;
  virtual Dialect GetDialect() const = 0;
  // A new session; ESqlError when the database cannot be opened or reached.
  virtual std::unique_ptr<ISession> OpenSession() = 0;
  // What the database is, for logs and the control service (never a password).
  virtual std::string Describe() const = 0;
};

// "postgres://..." or "postgresql://..." opens PostgreSQL; anything else is an SQLite file path,
// ":memory:" (the default) being a private in-memory database shared by every session of this
// database object. Opens one session at once so that a wrong target fails here.
std::shared_ptr<IDatabase> OpenDatabase(const std::string& target, const DatabaseOptions& options);

std::shared_ptr<IDatabase> OpenSqliteDatabase(const std::string& path,
                                              const DatabaseOptions& options);
std::shared_ptr<IDatabase> OpenPostgresDatabase(const std::string& url,
                                                const DatabaseOptions& options);

}  // namespace qorvin::server
