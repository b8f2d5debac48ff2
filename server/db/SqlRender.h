// Translation of the host dialect into the SQL of a database.
//
// What changes, token by token (everything else is written as it came, with single blanks where
// the source had whitespace or comments; comments themselves are dropped, so a "--" comment that
// ends at a lone carriage return can never swallow the next line):
//   [name]                  bare name when it is a plain identifier that is not a reserved word
//                           (so it matches the database's own case rules), else "name"
//   N'text'                 'text'
//   @name                   the variable's value as a literal (SqlLiteral)
//   @@ERROR @@ROWCOUNT @@TRANCOUNT   their current values; @@IDENTITY and SCOPE_IDENTITY() the
//                           last generated key (last_insert_rowid() / lastval())
//   GETDATE()               the server's wall clock as a date-time literal
//   ISNULL(  LEN(           COALESCE(  LENGTH(
//   0x0A1B                  a binary literal (X'0A1B' / '\x0a1b'::bytea)
//   WITH (NOLOCK) and other table hints, also without WITH: dropped
//   SELECT [DISTINCT] TOP n ... / TOP (n)   ... LIMIT n  (top-level SELECT only)
//   !< !>                   >= <=
#pragma once

#include <string>

#include "platform/rtl/Variant.h"
#include "server/db/Database.h"
#include "server/db/SqlParser.h"

namespace qorvin::server {

// Where the renderer finds variable values.
class IVariableSource {
 public:
  virtual ~IVariableSource() = default;
  // The value of @name (name without '@', ASCII case ignored); null when not declared.
  virtual const Variant* FindVariable(const std::string& name) const = 0;
  // @@ERROR, @@ROWCOUNT, @@TRANCOUNT (name upper case, without "@@").
  virtual int64_t SystemValue(const std::string& upperName) const = 0;
};

// The tokens of `range` in the database's SQL. EDatabaseError for an undeclared variable
// ("Must declare the scalar variable \"@x\".") or an unknown system variable.
std::string RenderSql(const Script& script, TokenRange range, Dialect dialect,
                      const IVariableSource& vars);

// The same text as RenderSql, with the places of the variables that stand alone as items of a
// VALUES list at the statement's own level (INSERT ... VALUES (@a, @b), (@c)): an item that is
// one variable and nothing else, so that the database gives its value the type of the column it
// goes to whether it comes as a literal or as a parameter.
RowStatement RenderRowStatement(const Script& script, TokenRange range, Dialect dialect,
                                const IVariableSource& vars);

// A value as an SQL literal of the dialect: NULL, numbers in their exact text (a double as the
// shortest text that reads back to it), text in single quotes with quotes doubled, dates as
// 'YYYY-MM-DD HH:MM:SS[.fff]', binary as a blob literal, booleans as 1/0 (SQLite) or '1'/'0'
// (PostgreSQL, which then reads them as boolean or integer by context). NaN and the infinities
// are 'NaN'::float8, 'Infinity'::float8 and '-Infinity'::float8 for PostgreSQL, 9e999 and -9e999
// (which SQLite reads as its infinities) for SQLite. EDatabaseError for text holding NUL, NaN for
// SQLite and kinds without a literal form.
std::string SqlLiteral(const Variant& value, Dialect dialect);

// A name as an identifier of the database: bare when it is a plain identifier that is not a
// reserved word, else double-quoted with '"' doubled, so that any text is safe to embed. Dots
// separate parts ("dbo.Orders" gives two identifiers); brackets around a part are removed.
// EDatabaseError for an empty name or part.
std::string SqlIdentifier(std::string_view name);

// Transaction control in the dialect. SQLite begins with BEGIN IMMEDIATE so that two writers
// wait for each other instead of failing on a lock upgrade.
std::string BeginSql(Dialect dialect);

}  // namespace qorvin::server
