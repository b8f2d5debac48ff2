// The interpreter of host batches: runs the statements of the dialect on one session, with the
// dialect's transaction and error semantics.
//
// Transactions. BEGIN TRAN / COMMIT TRAN / ROLLBACK TRAN nest as a count (@@TRANCOUNT); the
// outermost BEGIN starts the database transaction, the matching COMMIT commits it, and ROLLBACK
// undoes all of it. A batch (or a run with BatchOptions::atomic) that starts with
// SET XACT_ABORT ON runs inside one implicit transaction: it commits when the batch ends without
// error and rolls back entirely at the first failing statement.
//
// Errors. A failing statement records its error; the batch then reports the first error as an
// ESqlError (class name EDatabaseError) once it has run to its end. In detail:
//   - with XACT_ABORT ON (or an atomic run) the batch stops at the first failure and everything
//     it did in its transaction is rolled back;
//   - otherwise the batch goes on with the next statement (only the failing statement is
//     undone), and @@ERROR reports the error: it keeps the number of the first error of the
//     batch rather than being reset by later statements that succeed, so a closing
//     "if @@error=0 COMMIT TRAN else ROLLBACK TRAN" can never commit a transaction in which an
//     earlier statement failed;
//   - a transaction in which a statement failed cannot commit: its COMMIT TRAN rolls it back;
//   - a batch that ends inside a transaction (BEGIN TRAN without COMMIT or ROLLBACK) has that
//     transaction rolled back and reports it.
// Whatever happens, when Run returns or throws, no transaction of this batch is left open
// (except the implicit transaction of an atomic run, which Finish commits and the destructor
// rolls back).
//
// Variables: DECLARE @x type [= expr], SET @x = expr, @x inside statements (as a literal of its
// value); expressions are evaluated by the database ("SELECT <expr>"). RETURN [expr] ends a
// procedure (or the batch). RAISERROR(msg, sev, state) and THROW num, msg, state fail like a
// statement with that message. EXEC [@rc =] name args runs a procedure script (Procedures.h).
//
// Threads: one runner serves one request on one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "server/db/Database.h"
#include "server/db/Procedures.h"
#include "server/db/ResultTable.h"
#include "server/db/SqlParser.h"

namespace qorvin::server {

struct BatchOptions {
  // Everything run until Finish is one transaction, aborted at the first error.
  bool atomic = false;
  ExecLimits limits;
  int maxResultSets = 64;
  int maxCallDepth = 16;
};

struct BatchOutcome {
  std::vector<ResultTable> resultSets;  // every result set, in order, procedures' included
  int64_t rowsAffected = 0;             // rows changed by the statements
  bool procedureCalled = false;         // an EXEC ran at the top level of a batch
  int64_t returnValue = 0;              // the last such procedure's RETURN value (0 without)
  Variant outputValue;                  // its first output parameter (Null when none)
};

// An argument for CallProcedure: a name (without '@') binds by name, an empty name by position.
struct NamedValue {
  std::string name;
  Variant value;
};

struct CallResult {
  int64_t returnValue = 0;
  Variant outputValue;               // first output parameter, Null when none
  std::vector<Variant> finalValues;  // final value of each declared output parameter, by index
};

// A procedure call that is one plain statement (see BatchRunner::PlanSimpleCall).
struct SimpleCall {
  RowStatement statement;  // the arguments written in as literals (RenderRowStatement)
  int32_t returnValue = 0;
};

class BatchRunner {
 public:
  // `procedures` may be null (no EXEC possible).
  BatchRunner(ISession& session, const ProcedureCatalog* procedures, BatchOptions options);
  // Rolls back whatever is still open.
  ~BatchRunner();
  BatchRunner(const BatchRunner&) = delete;
  BatchRunner& operator=(const BatchRunner&) = delete;

  // Parses and runs one batch (UTF-8). A parse error runs nothing. Throws the first error.
  void Run(const std::string& sql);
  // Runs one procedure as a batch of its own. With `ignoreUnknownNames`, named arguments that
  // the procedure does not declare are left out instead of failing.
  CallResult CallProcedure(const std::string& name, const std::vector<NamedValue>& args,
                           bool ignoreUnknownNames);
  // The same with the procedure already looked up: a caller running it for many rows looks it
  // up once (a lookup reads the procedures' folder).
  CallResult CallProcedure(const Procedure& proc, const std::vector<NamedValue>& args,
                           bool ignoreUnknownNames);
  // When procedure `name` is one INSERT, UPDATE or DELETE statement, optionally followed by
  // RETURN of an integer literal: the statement a call with `args` runs and the value the call
  // returns, so that many such calls can be run together (ISession::ExecuteEach) with the
  // effect of calling them one by one. nullopt for any other procedure. Raises what
  // CallProcedure would report for these arguments when they cannot be bound or written in.
  std::optional<SimpleCall> PlanSimpleCall(const std::string& name,
                                           const std::vector<NamedValue>& args,
                                           bool ignoreUnknownNames);
  std::optional<SimpleCall> PlanSimpleCall(const Procedure& proc,
                                           const std::vector<NamedValue>& args,
                                           bool ignoreUnknownNames);
  // Atomic runs: commits the implicit transaction. ESqlError when the commit fails.
  void Finish();

  BatchOutcome& Outcome() { return outcome_; }

 private:
  struct Scope;
  struct Abort {};

  template <typename F>
  void RunUnit(F body);
  void ExecList(const std::vector<std::unique_ptr<Stmt>>& list, Scope& scope);
  void ExecStmt(const Stmt& s, Scope& scope);
  void ExecSql(const Stmt& s, Scope& scope);
  void ExecAssign(const Stmt& s, Scope& scope);
  void ExecReturn(const Stmt& s, Scope& scope);
  void ExecSetOption(const Stmt& s, Scope& scope);
  void ExecProcStatement(const Stmt& s, Scope& scope);
  CallResult Invoke(const Procedure& proc, std::vector<std::optional<Variant>> values);
  std::vector<std::optional<Variant>> Bind(const Procedure& proc,
                                           const std::vector<NamedValue>& args,
                                           bool ignoreUnknownNames) const;

  Variant EvalScalar(TokenRange range, Scope& scope);
  bool EvalCondition(TokenRange range, Scope& scope);
  StatementResult Query(const std::string& sql);
  // Runs `f`; a failure becomes the statement's error (see StatementFailed). False on failure.
  template <typename F>
  bool Guarded(F f);
  void StatementFailed(const std::string& message, int code);
  void Control(const std::string& sql);
  void BeginTran();
  void CommitTran();
  void RollbackTran();
  void RollbackExplicit();
  void RollbackAll();
  bool AbortMode() const { return xact_abort_ || implicit_ || options_.atomic; }
  int64_t SystemValue(const std::string& name) const;

  ISession& session_;
  const ProcedureCatalog* procedures_;
  BatchOptions options_;
  Dialect dialect_;

  int trancount_ = 0;
  bool implicit_ = false;  // the implicit transaction is open
  bool doomed_ = false;    // a statement failed inside the explicit transaction
  bool xact_abort_ = false;
  int64_t error_number_ = 0;
  int64_t rowcount_ = 0;
  std::optional<std::string> first_error_;
  int first_error_code_ = 0;
  int depth_ = 0;
  BatchOutcome outcome_;
};

}  // namespace qorvin::server
