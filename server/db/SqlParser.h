// Parser of the batch dialect: turns the tokens of one batch into a tree of statements.
//
// Statements need no separator. A new statement starts at a word that begins one (SELECT,
// INSERT, UPDATE, DELETE, CREATE, DROP, ALTER, TRUNCATE, BEGIN, COMMIT, ROLLBACK, IF, ELSE, END,
// SET, EXEC, EXECUTE, DECLARE, RETURN, RAISERROR, THROW, PRINT, WHILE) at parenthesis depth 0 and
// outside CASE ... END, except where such a word continues the statement in progress:
//   - SELECT after UNION / ALL / EXCEPT / INTERSECT / AS, as the query of an INSERT (also one
//     that follows a WITH clause) before any VALUES, and as the main statement after a WITH clause;
//   - INSERT, UPDATE, DELETE, SELECT after ON, AFTER, BEFORE, OF, FOR, DO (foreign-key actions,
//     trigger events, row locks, upserts) and as the main statement after a WITH clause;
//   - SET as the first SET of an UPDATE, and after DELETE or UPDATE (ON DELETE SET NULL);
//   - IF inside CREATE / DROP / ALTER (IF NOT EXISTS, IF EXISTS);
//   - everything but ';', END and ELSE inside ALTER (end ALTER statements with ';');
//   - a CREATE TRIGGER statement runs to the END that closes its BEGIN.
// "WITH name AS (", "WITH name (...)" and "WITH RECURSIVE" start a new statement (a common table
// expression), except between the target of an INSERT and its query, where they begin that
// query; any other WITH (table hints, index options) continues the one in progress.
// A ';' always ends a statement. Statements that are not one of the dialect's own (see StmtKind)
// are plain SQL and go to the database after translation (SqlRender.h).
//
// Failure: EDatabaseError "Incorrect syntax near '<token>' (line N)" and the like; a parse error
// runs nothing of the batch.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "server/db/SqlTokenizer.h"

namespace qorvin::server {

// A half-open range [begin, end) of token indices.
struct TokenRange {
  size_t begin = 0;
  size_t end = 0;
  bool Empty() const { return begin >= end; }
};

enum class StmtKind {
  Sql,           // plain SQL: `tokens`
  Block,         // BEGIN ... END: `body`
  If,            // IF `tokens` (condition) `body[0]` [ELSE `body[1]`]
  BeginTran,     // BEGIN TRAN[SACTION] [name]
  CommitTran,    // COMMIT [TRAN | TRANSACTION | WORK] [name]
  RollbackTran,  // ROLLBACK [TRAN | TRANSACTION | WORK] [name]
  SetOption,     // SET `name` ON | OFF  (`on`); `tokens` holds the three words
  SetVar,        // SET @`name` = `tokens`
  Declare,  // DECLARE @name type [= expr], ...: one statement per variable, `tokens` may be empty
  Exec,     // EXEC [@`name` =] `procName` args
  Return,   // RETURN [`tokens`]
  RaiseError,  // RAISERROR(`tokens`, severity, state) or THROW number, `tokens`, state
  Print,       // PRINT `tokens` (evaluated, then ignored)
};

// One argument of EXEC: [@param =] value [OUTPUT].
struct ExecArg {
  std::string param;  // without '@'; empty for a positional argument
  TokenRange value;   // an expression, a variable or DEFAULT
  bool output = false;
};

struct Stmt {
  StmtKind kind = StmtKind::Sql;
  int line = 1;
  TokenRange tokens;
  std::vector<std::unique_ptr<Stmt>> body;
  std::string name;      // option name (upper case), variable name, or the variable for EXEC @rc =
  std::string procName;  // EXEC: the procedure name as written, without brackets or schema
  std::vector<ExecArg> args;
  bool on = false;
};

// A parsed batch. Owns its tokens; statements refer to them by index.
struct Script {
  std::vector<Token> tokens;
  std::vector<std::unique_ptr<Stmt>> statements;
};

// Tokenizes and parses a whole batch.
std::shared_ptr<const Script> ParseScript(std::string_view sql);

}  // namespace qorvin::server
