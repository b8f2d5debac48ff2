// PostgreSQL back end over libpq.
//
// Every session is one connection, set up with UTF-8 client encoding, standard-conforming
// strings (a backslash in a literal is an ordinary character, as in the host dialect), ISO dates
// and the statement time-out. Rows are fetched one at a time (single-row mode) so that the row
// and size limits hold before a large result reaches memory; a result that passes a limit is
// cancelled on the server and drained.
#include <libpq-fe.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <unordered_map>

#include "platform/rtl/Text.h"
#include "server/db/Database.h"
#include "server/db/DateTimeText.h"
#include "server/db/PgParameters.h"

namespace qorvin::server {
namespace {

constexpr int kPgErrorCode = 50000;

// Type OIDs of the built-in types the result builder distinguishes.
enum : Oid {
  kBool = 16,
  kBytea = 17,
  kInt8 = 20,
  kInt2 = 21,
  kInt4 = 23,
  kOid = 26,
  kFloat4 = 700,
  kFloat8 = 701,
  kBpchar = 1042,
  kVarchar = 1043,
  kDate = 1082,
  kTime = 1083,
  kTimestamp = 1114,
  kTimestampTz = 1184,
  kNumeric = 1700,
};

std::string Trimmed(const char* text) {
  std::string s = text ? text : "";
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

ColumnKind KindOf(Oid type, int mod, uint32_t& size) {
  size = 0;
  switch (type) {
    case kBool:
      return ColumnKind::Boolean;
    case kInt2:
    case kInt4:
    case kInt8:
    case kOid:
      return ColumnKind::Integer;
    case kFloat4:
    case kFloat8:
      return ColumnKind::Float;
    case kNumeric:
      return ColumnKind::Decimal;
    case kDate:
      return ColumnKind::Date;
    case kTime:
      return ColumnKind::Time;
    case kTimestamp:
    case kTimestampTz:
      return ColumnKind::DateTime;
    case kBytea:
      return ColumnKind::Blob;
    case kBpchar:
    case kVarchar:
      if (mod > 4) size = uint32_t(mod - 4);
      return ColumnKind::Text;
    default:
      return ColumnKind::Text;
  }
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One value in PostgreSQL's text output form, in its natural form.
void AddCell(ResultBuilder& b, Oid type, const char* p, int n) {
  const std::string_view text(p, size_t(n));
  switch (type) {
    case kBool:
      return b.AddBool(n > 0 && p[0] == 't');
    case kInt2:
    case kInt4:
    case kInt8:
    case kOid: {
      // from_chars: exact, locale-free, and several times faster than strtoll on a large read.
      int64_t v = 0;
      const auto [at, ec] = std::from_chars(p, p + n, v);
      return ec == std::errc() && at == p + n ? b.AddInt(v) : b.AddText(text);
    }
    case kFloat4:
    case kFloat8: {
      // Correctly rounded as strtod is; "Infinity", "-Infinity" and "NaN" parse as they do there.
      double v = 0;
      const auto [at, ec] = std::from_chars(p, p + n, v);
      return ec == std::errc() && at == p + n ? b.AddReal(v) : b.AddText(text);
    }
    case kNumeric:
      try {
        return b.AddDecimal(Bcd::FromString(std::string(text)));
      } catch (const Exception&) {
        return b.AddText(text);  // NaN and the like
      }
    case kDate:
    case kTime:
    case kTimestamp:
    case kTimestampTz: {
      double d = 0;
      return ParseDateTimeText(text, d) ? b.AddDate(d) : b.AddText(text);
    }
    case kBytea: {
      if (n < 2 || p[0] != '\\' || p[1] != 'x' || n % 2 != 0) return b.AddText(text);
      std::string bytes;
      bytes.reserve(size_t(n - 2) / 2);
      for (int i = 2; i + 1 < n; i += 2) {
        int hi = HexValue(p[i]), lo = HexValue(p[i + 1]);
        if (hi < 0 || lo < 0) return b.AddText(text);
        bytes += char(hi * 16 + lo);
      }
      return b.AddBlob(bytes.data(), bytes.size());
    }
    default:
      return b.AddText(text);
  }
}

using ResultPtr = std::unique_ptr<PGresult, void (*)(PGresult*)>;

class PostgresSession : public ISession {
 public:
  PostgresSession(const std::string& url, const DatabaseOptions& options) {
    std::string timeout = std::to_string(options.connectTimeoutSeconds);
    const char* keys[] = {"dbname", "connect_timeout", "client_encoding", nullptr};
    const char* values[] = {url.c_str(), timeout.c_str(), "UTF8", nullptr};
    conn_ = PQconnectdbParams(keys, values, 1);
    if (!conn_ || PQstatus(conn_) != CONNECTION_OK) {
      std::string msg = conn_ ? Trimmed(PQerrorMessage(conn_)) : "out of memory";
      if (conn_) PQfinish(conn_);
      conn_ = nullptr;
      throw ESqlError("Cannot connect to PostgreSQL: " + msg, kPgErrorCode);
    }
    std::string setup =
        "SET standard_conforming_strings = on; SET datestyle = 'ISO, YMD'; "
        "SET client_min_messages = warning; SET statement_timeout = " +
        std::to_string(int64_t(options.statementTimeoutSeconds) * 1000);
    ExecLimits limits;
    Execute(setup, limits);
  }
  ~PostgresSession() override {
    if (conn_) PQfinish(conn_);
  }

  Dialect GetDialect() const override { return Dialect::PostgreSQL; }
  bool Broken() const override { return PQstatus(conn_) != CONNECTION_OK; }

  // The role's name goes in as an identifier quoted by libpq (any name, no injection).
  void SetUser(const SessionUser& user) override {
    std::string sql;
    if (!user.role.empty()) {
      char* quoted = PQescapeIdentifier(conn_, user.role.data(), user.role.size());
      if (quoted == nullptr) throw ESqlError(Trimmed(PQerrorMessage(conn_)), kPgErrorCode);
      sql = "SET ROLE ";
      sql += quoted;
      PQfreemem(quoted);
    }
    if (user.readOnly)
      sql += (sql.empty() ? "" : "; ") + std::string("SET default_transaction_read_only = on");
    if (sql.empty()) return;
    userSet_ = true;  // reset even when only part of it took
    Execute(sql, ExecLimits{});
  }
  void ResetUser() override {
    if (!userSet_) return;
    Execute("RESET ROLE; RESET default_transaction_read_only", ExecLimits{});
    userSet_ = false;
  }
  bool InTransaction() override {
    PGTransactionStatusType s = PQtransactionStatus(conn_);
    return s == PQTRANS_INTRANS || s == PQTRANS_INERROR || s == PQTRANS_ACTIVE;
  }

  StatementResult Execute(const std::string& sql, const ExecLimits& limits) override {
    if (sql.find('\0') != std::string::npos)
      throw EDatabaseError("A statement may not contain the character NUL");
    if (!PQsendQuery(conn_, sql.c_str()))
      throw ESqlError(Trimmed(PQerrorMessage(conn_)), kPgErrorCode);
    PQsetSingleRowMode(conn_);
    StatementResult result;
    std::string error;
    std::unique_ptr<ResultBuilder> builder;
    std::vector<Oid> types;
    try {
      while (PGresult* raw = PQgetResult(conn_)) {
        ResultPtr r(raw, PQclear);
        switch (PQresultStatus(r.get())) {
          case PGRES_SINGLE_TUPLE:
            if (!builder) builder = StartTable(r.get(), limits, types);
            AddRow(r.get(), *builder, types);
            break;
          case PGRES_TUPLES_OK:
            if (!builder) builder = StartTable(r.get(), limits, types);
            result.hasRows = true;
            result.table = builder->Finish(limits.packRows);
            result.rowsAffected = result.table.RowCount();
            builder.reset();
            break;
          case PGRES_COMMAND_OK:
            result.hasRows = false;
            result.table = {};
            result.rowsAffected = std::atoll(PQcmdTuples(r.get()));
            break;
          case PGRES_EMPTY_QUERY:
            break;
          default:
            if (error.empty()) error = ErrorText(r.get());
        }
      }
    } catch (...) {
      Cancel();
      throw;
    }
    if (!error.empty()) throw ESqlError(error, kPgErrorCode);
    return result;
  }

  // Sends the statements in pipelines of kPipelineRows, each wrapped in its savepoint, and
  // reads the results afterwards. A failing statement aborts the rest of its pipeline; it is
  // rolled back to its savepoint and the pipeline goes on from the statement after it.
  // Statements of one shape (the same text around their VALUES items) are prepared once, before
  // the transaction, and sent with their values as parameters (PrepareShapes).
  std::vector<std::optional<std::string>> ExecuteEach(const std::vector<RowStatement>& statements,
                                                      const ExecLimits& limits) override {
    for (const RowStatement& st : statements)
      if (st.sql.find('\0') != std::string::npos)
        throw EDatabaseError("A statement may not contain the character NUL");
    std::vector<std::optional<std::string>> errors(statements.size());
    Batch batch(*this, statements);
    Execute("BEGIN", limits);
    try {
      size_t next = 0;
      while (next < statements.size()) next = Pipeline(batch, next, errors, limits);
      Execute("COMMIT", limits);
    } catch (...) {
      if (PQpipelineStatus(conn_) != PQ_PIPELINE_OFF) DrainPipeline();
      if (!Broken() && InTransaction()) {
        try {
          Execute("ROLLBACK", limits);
        } catch (const Exception&) {
        }
      }
      throw;
    }
    return errors;
  }

 private:
  static constexpr size_t kPipelineRows = 256;
  // Shapes prepared for one run at most; statements of further shapes go as text.
  static constexpr size_t kMaxShapes = 8;

  // The statements of one ExecuteEach as they go out: each either as its text or as a prepared
  // shape with its parameters. The prepared statements live as long as the batch.
  class Batch {
   public:
    Batch(PostgresSession& session, const std::vector<RowStatement>& statements)
        : session_(session), statements_(statements), sent_(statements.size()) {
      const char* strings = PQparameterStatus(session.conn_, "standard_conforming_strings");
      if (strings && std::string_view(strings) == "on") PrepareShapes();
    }
    ~Batch() {
      if (names_.empty() || session_.Broken() || session_.InTransaction()) return;
      std::string sql;
      for (const std::string& name : names_) sql += "DEALLOCATE " + name + ";";
      PQclear(PQexec(session_.conn_, sql.c_str()));
    }
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

    size_t Size() const { return statements_.size(); }

    void Send(size_t i) {
      const Sent& s = sent_[i];
      if (s.shape < 0) return session_.Send(statements_[i].sql.c_str());
      std::vector<const char*> values;
      values.reserve(s.params.size());
      for (const PgParameter& p : s.params) values.push_back(p.null ? nullptr : p.value.c_str());
      if (!PQsendQueryPrepared(session_.conn_, names_[size_t(s.shape)].c_str(), int(values.size()),
                               values.data(), nullptr, nullptr, 0))
        session_.ConnectionFailed();
    }

   private:
    struct Sent {
      int shape = -1;  // index of the prepared statement, -1 = sent as text
      std::vector<PgParameter> params;
    };

    // Prepares one statement per shape, outside any transaction, so that a shape the database
    // refuses (a syntax error, a missing table) costs nothing: its statements go as text and
    // fail one by one with the database's own error, as they would have anyway.
    void PrepareShapes() {
      if (session_.InTransaction()) return;
      std::unordered_map<std::string, int> shapes;  // text and types -> index, -1 = refused
      for (size_t i = 0; i < statements_.size(); ++i) {
        const RowStatement& st = statements_[i];
        if (st.values.empty()) continue;
        Sent sent;
        std::string text;
        std::vector<Oid> types;
        size_t at = 0;
        for (const RowStatement::Span& span : st.values) {
          std::optional<PgParameter> p =
              PgParameterOfLiteral(std::string_view(st.sql).substr(span.offset, span.length));
          if (!p) break;
          text.append(st.sql, at, span.offset - at);
          text += "$" + std::to_string(sent.params.size() + 1);
          at = span.offset + span.length;
          types.push_back(p->type);
          sent.params.push_back(std::move(*p));
        }
        if (sent.params.size() != st.values.size()) continue;
        text.append(st.sql, at);
        std::string key = text;
        for (Oid t : types) {
          key += '\0';
          key += std::to_string(t);
        }
        auto found = shapes.find(key);
        if (found == shapes.end()) {
          if (names_.size() == kMaxShapes) continue;
          found = shapes.emplace(std::move(key), Prepare(text, types)).first;
        }
        if (found->second < 0) continue;
        sent.shape = found->second;
        sent_[i] = std::move(sent);
      }
    }

    // The index of the new prepared statement, or -1 when the database refused it.
    int Prepare(const std::string& text, const std::vector<Oid>& types) {
      // Named anew for each statement of the session's life, so that a name left behind by a
      // batch whose DEALLOCATE could not run never meets a later one.
      std::string name = "qv_rows_" + std::to_string(++session_.preparedCount_);
      ResultPtr r(
          PQprepare(session_.conn_, name.c_str(), text.c_str(), int(types.size()), types.data()),
          PQclear);
      if (session_.Broken()) session_.ConnectionFailed();
      if (!r || PQresultStatus(r.get()) != PGRES_COMMAND_OK) return -1;
      names_.push_back(std::move(name));
      return int(names_.size() - 1);
    }

    PostgresSession& session_;
    const std::vector<RowStatement>& statements_;
    std::vector<Sent> sent_;
    std::vector<std::string> names_;  // the prepared statements
  };

  [[noreturn]] void ConnectionFailed() {
    throw ESqlError(Trimmed(PQerrorMessage(conn_)), kPgErrorCode);
  }

  void Send(const char* sql) {
    if (!PQsendQueryParams(conn_, sql, 0, nullptr, nullptr, nullptr, nullptr, 0))
      ConnectionFailed();
  }

  // Reads and drops what is left of a pipeline up to its end, and leaves pipeline mode. The
  // nulls between queries are counted so that a connection that gives nothing more ends it.
  void DrainPipeline() {
    for (size_t nulls = 0; nulls <= 4 * kPipelineRows;) {
      PGresult* r = PQgetResult(conn_);
      if (!r) {
        ++nulls;
        continue;
      }
      bool end = PQresultStatus(r) == PGRES_PIPELINE_SYNC;
      PQclear(r);
      if (end) break;
    }
    PQexitPipelineMode(conn_);
  }

  // The next result of the pipeline, or null at the end of one query's results.
  ResultPtr NextResult() { return ResultPtr(PQgetResult(conn_), PQclear); }

  // The status of one query in the pipeline (its results, then the null that ends them).
  ExecStatusType QueryStatus(std::string* error) {
    ExecStatusType status = PGRES_COMMAND_OK;
    bool any = false;
    while (ResultPtr r = NextResult()) {
      ExecStatusType s = PQresultStatus(r.get());
      if (!any || s == PGRES_FATAL_ERROR || s == PGRES_PIPELINE_ABORTED) status = s;
      if (s == PGRES_FATAL_ERROR && error && error->empty()) *error = ErrorText(r.get());
      any = true;
    }
    if (!any) ConnectionFailed();
    return status;
  }

  // Runs statements from `first` on in one pipeline; returns where the next pipeline starts.
  // They are tried together under one savepoint first: a savepoint per statement costs the
  // database two more statements each (about a third of its work for a one-row insert). Only when
  // one of them fails is that undone and each run under a savepoint of its own, so a failing
  // statement still undoes only itself.
  size_t Pipeline(Batch& batch, size_t first, std::vector<std::optional<std::string>>& errors,
                  const ExecLimits& limits) {
    const size_t end = std::min(batch.Size(), first + kPipelineRows);
    if (RunTogether(batch, first, end, limits)) return end;
    if (!PQenterPipelineMode(conn_)) ConnectionFailed();
    for (size_t i = first; i < end; ++i) {
      Send("SAVEPOINT qv_row");
      batch.Send(i);
      Send("RELEASE SAVEPOINT qv_row");
    }
    if (!PQpipelineSync(conn_)) ConnectionFailed();
    size_t failed = end;
    for (size_t i = first; i < end; ++i) {
      for (int part = 0; part < 3; ++part) {
        std::string error;
        ExecStatusType s = QueryStatus(&error);
        if (failed != end) continue;  // the rest of the pipeline was skipped
        if (s == PGRES_FATAL_ERROR) {
          if (part != 1) throw ESqlError(error, kPgErrorCode);  // a savepoint failed
          errors[i] = error;
          failed = i;
        } else if (s == PGRES_PIPELINE_ABORTED) {
          throw ESqlError("A pipelined statement was skipped without an error", kPgErrorCode);
        }
      }
    }
    // The end of the pipeline.
    ResultPtr sync = NextResult();
    if (!sync || PQresultStatus(sync.get()) != PGRES_PIPELINE_SYNC) ConnectionFailed();
    sync.reset();
    if (!PQexitPipelineMode(conn_)) ConnectionFailed();
    if (failed == end) return end;
    Execute("ROLLBACK TO SAVEPOINT qv_row", limits);
    Execute("RELEASE SAVEPOINT qv_row", limits);
    return failed + 1;
  }

  // Statements [first, end) in one pipeline under one savepoint. True when every one succeeded;
  // false when one failed, with the effects of all of them undone.
  bool RunTogether(Batch& batch, size_t first, size_t end, const ExecLimits& limits) {
    if (!PQenterPipelineMode(conn_)) ConnectionFailed();
    Send("SAVEPOINT qv_rows");
    for (size_t i = first; i < end; ++i) batch.Send(i);
    Send("RELEASE SAVEPOINT qv_rows");
    if (!PQpipelineSync(conn_)) ConnectionFailed();
    bool failed = false;
    for (size_t part = 0; part < end - first + 2; ++part) {
      std::string error;
      ExecStatusType s = QueryStatus(&error);
      if (failed) continue;  // the rest of the pipeline was skipped
      const bool statement = part > 0 && part <= end - first;
      if (s == PGRES_FATAL_ERROR && !statement) throw ESqlError(error, kPgErrorCode);
      if (s == PGRES_FATAL_ERROR) failed = true;
      if (s == PGRES_PIPELINE_ABORTED)
        throw ESqlError("A pipelined statement was skipped without an error", kPgErrorCode);
    }
    ResultPtr sync = NextResult();
    if (!sync || PQresultStatus(sync.get()) != PGRES_PIPELINE_SYNC) ConnectionFailed();
    sync.reset();
    if (!PQexitPipelineMode(conn_)) ConnectionFailed();
    if (!failed) return true;
    Execute("ROLLBACK TO SAVEPOINT qv_rows", limits);
    Execute("RELEASE SAVEPOINT qv_rows", limits);
    return false;
  }

  std::string ErrorText(const PGresult* r) const {
    const char* primary = PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY);
    std::string text = primary ? primary : Trimmed(PQresultErrorMessage(r));
    if (text.empty()) text = Trimmed(PQerrorMessage(conn_));
    return text.empty() ? "PostgreSQL reported an error without a message" : text;
  }

  std::unique_ptr<ResultBuilder> StartTable(const PGresult* r, const ExecLimits& limits,
                                            std::vector<Oid>& types) {
    auto b = std::make_unique<ResultBuilder>(limits.maxRows, limits.maxBytes);
    int n = PQnfields(r);
    types.assign(size_t(n), 0);
    for (int i = 0; i < n; ++i) {
      uint32_t size = 0;
      types[size_t(i)] = PQftype(r, i);
      ColumnKind kind = KindOf(PQftype(r, i), PQfmod(r, i), size);
      b->AddColumn(PQfname(r, i), kind, size);
    }
    return b;
  }

  static void AddRow(const PGresult* r, ResultBuilder& b, const std::vector<Oid>& types) {
    b.BeginRow();
    for (int i = 0; i < int(types.size()); ++i) {
      if (PQgetisnull(r, 0, i)) {
        b.AddNull();
      } else {
        AddCell(b, types[size_t(i)], PQgetvalue(r, 0, i), PQgetlength(r, 0, i));
      }
    }
  }

  // Stops a running query and consumes what is left of it.
  void Cancel() {
    if (PGcancel* c = PQgetCancel(conn_)) {
      char buf[256];
      PQcancel(c, buf, sizeof buf);
      PQfreeCancel(c);
    }
    while (PGresult* r = PQgetResult(conn_)) PQclear(r);
  }

  bool userSet_ = false;  // SetUser ran since the last ResetUser
  PGconn* conn_ = nullptr;
  uint64_t preparedCount_ = 0;  // statements prepared over the session's life
};

class PostgresDatabase : public IDatabase {
 public:
  PostgresDatabase(std::string url, const DatabaseOptions& options)
      : url_(std::move(url)), options_(options) {}
  Dialect GetDialect() const override { return Dialect::PostgreSQL; }
  std::unique_ptr<ISession> OpenSession() override {
    return std::make_unique<PostgresSession>(url_, options_);
  }
  std::string Describe() const override {
    // The URL without its password: scheme://user@host... keeps everything but ":secret".
    std::string shown = url_;
    size_t scheme = shown.find("://");
    size_t at = shown.find('@');
    if (scheme != std::string::npos && at != std::string::npos && at > scheme) {
      size_t colon = shown.find(':', scheme + 3);
      if (colon != std::string::npos && colon < at) shown.erase(colon, at - colon);
    }
    size_t q = shown.find("password=");
    if (q != std::string::npos) shown.erase(q, shown.find('&', q) - q);
    return "PostgreSQL " + shown;
  }

 private:
  std::string url_;
  DatabaseOptions options_;
};

}  // namespace

std::shared_ptr<IDatabase> OpenPostgresDatabase(const std::string& url,
                                                const DatabaseOptions& options) {
  return std::make_shared<PostgresDatabase>(url, options);
}

}  // namespace qorvin::server
