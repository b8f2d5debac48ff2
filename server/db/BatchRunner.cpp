#include "server/db/BatchRunner.h"

#include <map>

#include "server/db/SqlRender.h"

namespace qorvin::server {
namespace {

// T-SQL's numbers for the errors the interpreter raises itself.
constexpr int kErrUserRaised = 50000;
constexpr int kErrNoBeginForCommit = 3902;
constexpr int kErrNoBeginForRollback = 3903;
constexpr int kErrOpenAtEnd = 266;
constexpr int kErrGeneral = 50000;

// T-SQL session options that mean nothing here and are accepted without effect.
bool IgnoredOption(const std::string& name) {
  static const char* kNames[] = {"NOCOUNT",
                                 "ANSI_NULLS",
                                 "ANSI_PADDING",
                                 "ANSI_WARNINGS",
                                 "ARITHABORT",
                                 "QUOTED_IDENTIFIER",
                                 "CONCAT_NULL_YIELDS_NULL",
                                 "NUMERIC_ROUNDABORT",
                                 "ANSI_NULL_DFLT_ON",
                                 "CURSOR_CLOSE_ON_COMMIT",
                                 "FMTONLY"};
  for (const char* n : kNames)
    if (name == n) return true;
  return false;
}

}  // namespace

struct BatchRunner::Scope : IVariableSource {
  Scope(const BatchRunner& r, const Script& s) : runner(r), script(s) {}

  const Variant* FindVariable(const std::string& name) const override {
    auto it = vars.find(AsciiUpper(name));
    return it == vars.end() ? nullptr : &it->second;
  }
  int64_t SystemValue(const std::string& upperName) const override {
    return runner.SystemValue(upperName);
  }

  const BatchRunner& runner;
  const Script& script;
  std::map<std::string, Variant> vars;  // key: upper-case name without '@'
  bool returned = false;
  std::optional<int64_t> returnValue;
};

BatchRunner::BatchRunner(ISession& session, const ProcedureCatalog* procedures,
                         BatchOptions options)
    : session_(session),
      procedures_(procedures),
      options_(options),
      dialect_(session.GetDialect()) {}

BatchRunner::~BatchRunner() {
  try {
    RollbackAll();
  } catch (...) {
    // The pool discards or resets the session; nothing more can be done here.
  }
}

int64_t BatchRunner::SystemValue(const std::string& name) const {
  if (name == "ERROR") return error_number_;
  if (name == "ROWCOUNT") return rowcount_;
  if (name == "TRANCOUNT") return trancount_;
  throw EDatabaseError("Unknown system variable @@" + name);
}

// ---- units: a batch, or one procedure call made by a service ----

template <typename F>
void BatchRunner::RunUnit(F body) {
  first_error_.reset();
  first_error_code_ = 0;
  error_number_ = 0;
  rowcount_ = 0;
  xact_abort_ = options_.atomic;
  trancount_ = 0;
  doomed_ = false;
  bool ownImplicit = false;
  try {
    if (options_.atomic && !implicit_) {
      Control(BeginSql(dialect_));
      implicit_ = true;
    }
    ownImplicit = body();
    if (trancount_ > 0) {
      RollbackExplicit();
      if (!first_error_)
        StatementFailed(
            "The batch ended inside a transaction (BEGIN TRAN without COMMIT TRAN); the "
            "transaction was rolled back",
            kErrOpenAtEnd);
    }
    if (!implicit_ && session_.InTransaction()) Control("ROLLBACK");
    if (ownImplicit && implicit_) {
      if (first_error_) {
        RollbackAll();
      } else {
        Control("COMMIT");
        implicit_ = false;
      }
    }
  } catch (const Abort&) {
    // StatementFailed rolled everything back already.
  } catch (...) {
    RollbackAll();
    throw;
  }
  if (first_error_) {
    if (options_.atomic) RollbackAll();
    throw ESqlError(*first_error_, first_error_code_);
  }
}

void BatchRunner::Run(const std::string& sql) {
  std::shared_ptr<const Script> script = ParseScript(sql);
  RunUnit([&] {
    bool own = false;
    const auto& list = script->statements;
    if (!options_.atomic && !list.empty() && list[0]->kind == StmtKind::SetOption &&
        list[0]->name == "XACT_ABORT" && list[0]->on) {
      Control(BeginSql(dialect_));
      implicit_ = true;
      own = true;
    }
    Scope scope(*this, *script);
    ExecList(list, scope);
    return own;
  });
}

CallResult BatchRunner::CallProcedure(const std::string& name, const std::vector<NamedValue>& args,
                                      bool ignoreUnknownNames) {
  if (!procedures_) throw EDatabaseError("Could not find stored procedure '" + name + "'.");
  return CallProcedure(*procedures_->Find(name), args, ignoreUnknownNames);
}

CallResult BatchRunner::CallProcedure(const Procedure& proc, const std::vector<NamedValue>& args,
                                      bool ignoreUnknownNames) {
  auto values = Bind(proc, args, ignoreUnknownNames);
  CallResult result;
  RunUnit([&] {
    result = Invoke(proc, std::move(values));
    return false;
  });
  return result;
}

namespace {

// RETURN without a value or with an integer literal that fits 32 bits: its value.
std::optional<int32_t> LiteralReturn(const Script& script, const Stmt& s) {
  if (s.tokens.Empty()) return 0;
  size_t at = s.tokens.begin;
  bool negative = false;
  if (s.tokens.end - at == 2 && script.tokens[at].IsSymbol("-")) {
    negative = true;
    ++at;
  }
  if (s.tokens.end - at != 1 || script.tokens[at].kind != TokenKind::Number) return std::nullopt;
  const std::string& digits = script.tokens[at].text;
  if (digits.empty() || digits.size() > 10 ||
      digits.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  int64_t v = std::stoll(digits) * (negative ? -1 : 1);
  if (v < INT32_MIN || v > INT32_MAX) return std::nullopt;
  return int32_t(v);
}

}  // namespace

std::optional<SimpleCall> BatchRunner::PlanSimpleCall(const std::string& name,
                                                      const std::vector<NamedValue>& args,
                                                      bool ignoreUnknownNames) {
  if (!procedures_) throw EDatabaseError("Could not find stored procedure '" + name + "'.");
  return PlanSimpleCall(*procedures_->Find(name), args, ignoreUnknownNames);
}

std::optional<SimpleCall> BatchRunner::PlanSimpleCall(const Procedure& proc,
                                                      const std::vector<NamedValue>& args,
                                                      bool ignoreUnknownNames) {
  const Script& script = *proc.body;
  const auto& list = script.statements;
  if (list.empty() || list.size() > 2 || list[0]->kind != StmtKind::Sql || list[0]->tokens.Empty())
    return std::nullopt;
  const Token& verb = script.tokens[list[0]->tokens.begin];
  if (!verb.IsWord("INSERT") && !verb.IsWord("UPDATE") && !verb.IsWord("DELETE"))
    return std::nullopt;
  SimpleCall call;
  if (list.size() == 2) {
    if (list[1]->kind != StmtKind::Return) return std::nullopt;
    std::optional<int32_t> value = LiteralReturn(script, *list[1]);
    if (!value) return std::nullopt;
    call.returnValue = *value;
  }
  auto values = Bind(proc, args, ignoreUnknownNames);
  Scope scope(*this, script);
  for (size_t i = 0; i < values.size(); ++i) {
    std::string param = proc.declared ? proc.params[i].name : "p" + std::to_string(i + 1);
    scope.vars[AsciiUpper(param)] = *values[i];
  }
  call.statement = RenderRowStatement(script, list[0]->tokens, dialect_, scope);
  return call;
}

void BatchRunner::Finish() {
  if (implicit_) {
    implicit_ = false;
    Control("COMMIT");
  }
}

// ---- statements ----

void BatchRunner::ExecList(const std::vector<std::unique_ptr<Stmt>>& list, Scope& scope) {
  for (const auto& s : list) {
    if (scope.returned) return;
    ExecStmt(*s, scope);
  }
}

void BatchRunner::ExecStmt(const Stmt& s, Scope& scope) {
  switch (s.kind) {
    case StmtKind::Sql:
      return ExecSql(s, scope);
    case StmtKind::Block:
      return ExecList(s.body, scope);
    case StmtKind::If: {
      bool cond = false;
      if (!Guarded([&] { cond = EvalCondition(s.tokens, scope); })) return;
      if (cond) return ExecStmt(*s.body[0], scope);
      if (s.body.size() > 1) ExecStmt(*s.body[1], scope);
      return;
    }
    case StmtKind::BeginTran:
      return BeginTran();
    case StmtKind::CommitTran:
      return CommitTran();
    case StmtKind::RollbackTran:
      return RollbackTran();
    case StmtKind::SetOption:
      return ExecSetOption(s, scope);
    case StmtKind::Declare:
    case StmtKind::SetVar:
      return ExecAssign(s, scope);
    case StmtKind::Return:
      return ExecReturn(s, scope);
    case StmtKind::RaiseError: {
      std::string message;
      if (Guarded([&] { message = VariantToText(EvalScalar(s.tokens, scope)); }))
        StatementFailed(message, kErrUserRaised);
      return;
    }
    case StmtKind::Print:
      Guarded([&] { EvalScalar(s.tokens, scope); });
      return;
    case StmtKind::Exec:
      return ExecProcStatement(s, scope);
  }
}

// DECLARE @x [= expr] and SET @x = expr.
void BatchRunner::ExecAssign(const Stmt& s, Scope& scope) {
  Guarded([&] {
    std::string key = AsciiUpper(s.name);
    bool declared = scope.vars.count(key) != 0;
    if (s.kind == StmtKind::Declare && declared)
      throw EDatabaseError("The variable name '@" + s.name + "' has already been declared.");
    if (s.kind == StmtKind::SetVar && !declared)
      throw EDatabaseError("Must declare the scalar variable \"@" + s.name + "\".");
    scope.vars[key] = s.tokens.Empty() ? Variant::Null() : EvalScalar(s.tokens, scope);
  });
}

void BatchRunner::ExecReturn(const Stmt& s, Scope& scope) {
  int64_t value = 0;
  if (!s.tokens.Empty() && !Guarded([&] {
        value = EvalScalar(s.tokens, scope).ToInt64();
        if (value < INT32_MIN || value > INT32_MAX)
          throw EDatabaseError("RETURN " + std::to_string(value) +
                               ": a return value must fit in 32 bits");
      }))
    return;
  scope.returnValue = value;
  scope.returned = true;
}

void BatchRunner::ExecSql(const Stmt& s, Scope& scope) {
  Guarded([&] {
    std::string sql = RenderSql(scope.script, s.tokens, dialect_, scope);
    StatementResult r = session_.Execute(sql, options_.limits);
    rowcount_ = r.rowsAffected;
    if (!r.hasRows) {
      outcome_.rowsAffected += r.rowsAffected;
      return;
    }
    if (int(outcome_.resultSets.size()) >= options_.maxResultSets)
      throw EDatabaseError("The batch returned more than " +
                           std::to_string(options_.maxResultSets) + " result sets");
    outcome_.resultSets.push_back(std::move(r.table));
  });
}

void BatchRunner::ExecSetOption(const Stmt& s, Scope& scope) {
  if (s.name == "XACT_ABORT") {
    xact_abort_ = s.on || options_.atomic;
  } else if (s.name == "IMPLICIT_TRANSACTIONS" && s.on) {
    StatementFailed("SET IMPLICIT_TRANSACTIONS ON is not supported by this server", kErrGeneral);
  } else if (!IgnoredOption(s.name)) {
    ExecSql(s, scope);  // a setting of the database itself
  }
}

void BatchRunner::ExecProcStatement(const Stmt& s, Scope& scope) {
  std::shared_ptr<const Procedure> proc;
  std::vector<NamedValue> args;
  std::vector<std::string> outputTargets;  // caller variable per bound output argument
  if (!Guarded([&] {
        if (!procedures_)
          throw EDatabaseError("Could not find stored procedure '" + s.procName + "'.");
        proc = procedures_->Find(s.procName);
        for (const ExecArg& a : s.args) {
          NamedValue nv;
          nv.name = a.param;
          const Token& first = scope.script.tokens[a.value.begin];
          bool single = a.value.end == a.value.begin + 1;
          if (single && first.IsWord("DEFAULT")) {
            nv.value = Variant();  // Empty marks "use the default"
          } else {
            nv.value = EvalScalar(a.value, scope);
          }
          if (a.output) {
            if (!single || first.kind != TokenKind::Variable)
              throw EDatabaseError("Only a variable can receive an OUTPUT parameter of " +
                                   s.procName);
            outputTargets.push_back(first.value);
          } else {
            outputTargets.emplace_back();
          }
          args.push_back(std::move(nv));
        }
      }))
    return;
  std::vector<std::optional<Variant>> values;
  if (!Guarded([&] { values = Bind(*proc, args, false); })) return;
  Scope* caller = &scope;
  CallResult result = Invoke(*proc, std::move(values));
  // Output arguments: a caller variable given with OUTPUT receives the parameter's final value.
  for (size_t i = 0; i < s.args.size() && i < outputTargets.size(); ++i) {
    if (outputTargets[i].empty()) continue;
    int p = s.args[i].param.empty() ? int(i) : proc->ParamIndex(s.args[i].param);
    if (p >= 0 && p < int(proc->params.size()) && proc->params[size_t(p)].output &&
        result.finalValues.size() > size_t(p))
      caller->vars[AsciiUpper(outputTargets[i])] = result.finalValues[size_t(p)];
  }
  if (!s.name.empty()) {
    std::string key = AsciiUpper(s.name);
    if (!caller->vars.count(key)) {
      StatementFailed("Must declare the scalar variable \"@" + s.name + "\".", kErrGeneral);
      return;
    }
    caller->vars[key] = Variant::Int64(result.returnValue);
  }
  if (depth_ == 0) {
    outcome_.procedureCalled = true;
    outcome_.returnValue = result.returnValue;
    outcome_.outputValue = result.outputValue;
  }
}

std::vector<std::optional<Variant>> BatchRunner::Bind(const Procedure& proc,
                                                      const std::vector<NamedValue>& args,
                                                      bool ignoreUnknownNames) const {
  std::vector<std::optional<Variant>> values(proc.params.size());
  if (!proc.declared) {
    // Positional arguments only: @p1, @p2, ...
    values.clear();
    for (const NamedValue& a : args) {
      if (!a.name.empty())
        throw EDatabaseError("Procedure " + proc.name +
                             " declares no parameters; pass its arguments by position");
      values.emplace_back(a.value.IsEmpty() ? Variant::Null() : a.value);
    }
    return values;
  }
  size_t position = 0;
  bool named = false;
  for (const NamedValue& a : args) {
    int index;
    if (a.name.empty()) {
      if (named)
        throw EDatabaseError("Must pass parameter number " + std::to_string(position + 1) +
                             " and subsequent parameters as '@name = value'.");
      if (position >= proc.params.size())
        throw EDatabaseError("Procedure or function " + proc.name +
                             " has too many arguments specified.");
      index = int(position++);
    } else {
      named = true;
      index = proc.ParamIndex(a.name);
      if (index < 0) {
        if (ignoreUnknownNames) continue;
        throw EDatabaseError("@" + a.name + " is not a parameter for procedure " + proc.name + ".");
      }
    }
    if (!a.value.IsEmpty()) values[size_t(index)] = a.value;
  }
  for (size_t i = 0; i < values.size(); ++i) {
    const ProcedureParam& p = proc.params[i];
    if (values[i]) continue;
    if (p.hasDefault) {
      values[i] = p.defaultValue;
    } else if (p.output) {
      values[i] = Variant::Null();
    } else {
      throw EDatabaseError("Procedure or function '" + proc.name + "' expects parameter '@" +
                           p.name + "', which was not supplied.");
    }
  }
  return values;
}

CallResult BatchRunner::Invoke(const Procedure& proc, std::vector<std::optional<Variant>> values) {
  CallResult result;
  if (depth_ >= options_.maxCallDepth) {
    StatementFailed("Maximum procedure nesting level exceeded (limit " +
                        std::to_string(options_.maxCallDepth) + ").",
                    kErrGeneral);
    return result;
  }
  Scope inner(*this, *proc.body);
  for (size_t i = 0; i < values.size(); ++i) {
    std::string name = proc.declared ? proc.params[i].name : "p" + std::to_string(i + 1);
    inner.vars[AsciiUpper(name)] = *values[i];
  }
  ++depth_;
  struct Depth {
    int& d;
    ~Depth() { --d; }
  } restore{depth_};
  ExecList(proc.body->statements, inner);
  result.returnValue = inner.returnValue.value_or(0);
  result.finalValues.assign(proc.params.size(), Variant::Null());
  bool first = true;
  for (size_t i = 0; i < proc.params.size(); ++i) {
    if (!proc.params[i].output) continue;
    result.finalValues[i] = inner.vars[AsciiUpper(proc.params[i].name)];
    if (first) result.outputValue = result.finalValues[i];
    first = false;
  }
  if (first) result.outputValue = Variant::Null();
  return result;
}

// ---- expressions ----

StatementResult BatchRunner::Query(const std::string& sql) {
  ExecLimits limits = options_.limits;
  limits.packRows = false;  // the runner reads these values itself
  return session_.Execute(sql, limits);
}

Variant BatchRunner::EvalScalar(TokenRange range, Scope& scope) {
  const Token& first = scope.script.tokens[range.begin];
  if (range.end == range.begin + 1 && first.kind == TokenKind::Variable) {
    const Variant* v = scope.FindVariable(first.value);
    if (!v) throw EDatabaseError("Must declare the scalar variable \"@" + first.value + "\".");
    return *v;
  }
  StatementResult r = Query("SELECT " + RenderSql(scope.script, range, dialect_, scope));
  if (!r.hasRows || r.table.rows.empty() || r.table.rows[0].empty()) return Variant::Null();
  return r.table.rows[0][0];
}

bool BatchRunner::EvalCondition(TokenRange range, Scope& scope) {
  StatementResult r = Query("SELECT CASE WHEN (" + RenderSql(scope.script, range, dialect_, scope) +
                            ") THEN 1 ELSE 0 END");
  return r.hasRows && !r.table.rows.empty() && r.table.rows[0][0].ToInt64() == 1;
}

// ---- errors and transactions ----

template <typename F>
bool BatchRunner::Guarded(F f) {
  // PostgreSQL aborts a whole transaction at the first error; a savepoint around each statement
  // keeps the statement-level undo that the dialect promises when the batch goes on.
  bool savepoint = dialect_ == Dialect::PostgreSQL && !AbortMode() && trancount_ > 0;
  try {
    if (savepoint) Control("SAVEPOINT qv_stmt");
    f();
    if (savepoint) Control("RELEASE SAVEPOINT qv_stmt");
    return true;
  } catch (const Abort&) {
    throw;
  } catch (const Exception& e) {
    if (savepoint && session_.InTransaction()) {
      try {
        Control("ROLLBACK TO SAVEPOINT qv_stmt");
        Control("RELEASE SAVEPOINT qv_stmt");
      } catch (const Exception&) {
        RollbackAll();
      }
    }
    auto* sql = dynamic_cast<const ESqlError*>(&e);
    StatementFailed(e.Message(), sql ? sql->Code() : kErrGeneral);
    return false;
  }
}

void BatchRunner::StatementFailed(const std::string& message, int code) {
  if (!first_error_) {
    first_error_ = message;
    first_error_code_ = code;
  }
  if (error_number_ == 0) error_number_ = code == 0 ? kErrGeneral : code;
  rowcount_ = 0;
  if ((trancount_ > 0 || implicit_) && !session_.InTransaction()) {
    // The database ended the transaction on its own (a full disk, a lost lock, ...).
    trancount_ = 0;
    doomed_ = false;
    if (implicit_) {
      implicit_ = false;
      throw Abort{};
    }
  }
  if (trancount_ > 0) doomed_ = true;
  if (AbortMode()) {
    RollbackAll();
    throw Abort{};
  }
}

void BatchRunner::Control(const std::string& sql) {
  session_.Execute(sql, options_.limits);
}

void BatchRunner::BeginTran() {
  Guarded([&] {
    if (trancount_ == 0) Control(implicit_ ? "SAVEPOINT qv_tran" : BeginSql(dialect_));
    ++trancount_;
  });
}

void BatchRunner::CommitTran() {
  if (trancount_ == 0) {
    StatementFailed("The COMMIT TRANSACTION request has no corresponding BEGIN TRANSACTION.",
                    kErrNoBeginForCommit);
    return;
  }
  if (--trancount_ > 0) return;
  if (doomed_) {
    ++trancount_;
    RollbackExplicit();
    return;
  }
  Guarded([&] { Control(implicit_ ? "RELEASE SAVEPOINT qv_tran" : "COMMIT"); });
}

void BatchRunner::RollbackTran() {
  if (trancount_ == 0) {
    StatementFailed("The ROLLBACK TRANSACTION request has no corresponding BEGIN TRANSACTION.",
                    kErrNoBeginForRollback);
    return;
  }
  RollbackExplicit();
}

void BatchRunner::RollbackExplicit() {
  trancount_ = 0;
  doomed_ = false;
  if (!session_.InTransaction()) return;
  if (implicit_) {
    Control("ROLLBACK TO SAVEPOINT qv_tran");
    Control("RELEASE SAVEPOINT qv_tran");
  } else {
    Control("ROLLBACK");
  }
}

void BatchRunner::RollbackAll() {
  trancount_ = 0;
  doomed_ = false;
  implicit_ = false;
  if (session_.InTransaction()) Control("ROLLBACK");
}

}  // namespace qorvin::server
