// The host dialect: tokens, statement boundaries and the translation for each database.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <ctime>
#include <limits>
#include <map>

#include "platform/rtl/Text.h"
#include "server/db/DateTimeText.h"
#include "server/db/PgParameters.h"
#include "server/db/SqlParser.h"
#include "server/db/SqlRender.h"
#include "server/db/SqlTokenizer.h"

namespace qorvin::server {
namespace {

struct Vars : IVariableSource {
  std::map<std::string, Variant> values;
  const Variant* FindVariable(const std::string& name) const override {
    auto it = values.find(AsciiUpper(name));
    return it == values.end() ? nullptr : &it->second;
  }
  int64_t SystemValue(const std::string& name) const override {
    if (name == "ERROR") return 547;
    if (name == "ROWCOUNT") return 3;
    throw EDatabaseError("Unknown system variable @@" + name);
  }
};

// The plain statements of a batch, each rendered for SQLite.
std::vector<std::string> Rendered(const std::string& sql, Dialect d = Dialect::SQLite,
                                  const Vars& vars = Vars()) {
  auto script = ParseScript(sql);
  std::vector<std::string> out;
  for (const auto& s : script->statements) {
    EXPECT_EQ(s->kind, StmtKind::Sql) << "statement at line " << s->line;
    out.push_back(RenderSql(*script, s->tokens, d, vars));
  }
  return out;
}

std::string ErrorOf(const std::string& sql) {
  try {
    ParseScript(sql);
  } catch (const EDatabaseError& e) {
    return e.Message();
  }
  return "";
}

TEST(SqlTokenizer, StringsBracketsCommentsAndLineBreaks) {
  auto t = Tokenize(
      "select N'it''s'\r[a]]b] -- note\r\"q\"\"x\" /* a /* nested */ c */ 0x1F\n@v @@Error");
  ASSERT_EQ(t.size(), 7u);
  EXPECT_EQ(t[1].kind, TokenKind::String);
  EXPECT_EQ(t[1].value, "it's");
  EXPECT_TRUE(t[1].national);
  EXPECT_EQ(t[2].kind, TokenKind::Bracketed);
  EXPECT_EQ(t[2].value, "a]b");
  EXPECT_EQ(t[2].line, 2);  // a lone CR is a line break
  EXPECT_EQ(t[3].kind, TokenKind::Quoted);
  EXPECT_EQ(t[3].value, "q\"x");
  EXPECT_EQ(t[3].line, 3);  // the "--" comment ended at the CR
  EXPECT_TRUE(t[3].spaceBefore);
  EXPECT_EQ(t[4].kind, TokenKind::HexNumber);
  EXPECT_EQ(t[4].value, "1F");
  EXPECT_EQ(t[5].kind, TokenKind::Variable);
  EXPECT_EQ(t[5].line, 4);
  EXPECT_EQ(t[6].kind, TokenKind::SystemVar);
  EXPECT_EQ(t[6].value, "ERROR");
}

TEST(SqlTokenizer, UnterminatedPiecesNameTheirLine) {
  EXPECT_NE(ErrorOf("select 1\r\rselect 'abc").find("(line 3)"), std::string::npos);
  EXPECT_NE(ErrorOf("select [abc").find("Unclosed bracket"), std::string::npos);
  EXPECT_NE(ErrorOf("select 1 /* never closed").find("'*/'"), std::string::npos);
  EXPECT_NE(ErrorOf("select `x`").find("Incorrect syntax near '`'"), std::string::npos);
  // A quote inside a string is not an end: the statement stays one string.
  auto t = Tokenize("'a''; drop table x; --'");
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t[0].value, "a'; drop table x; --");
}

TEST(SqlParser, SaveBatchSplitsIntoItsStatements) {
  const std::string batch =
      "BEGIN TRAN\r"
      "delete from bUserCommon where [UserId]='u''1'\r"
      "insert into bUserCommon([UserID],GroupType,MenuIdList,\r"
      "GroupOrderBy,CreateDatetime,CreateOperator)\r"
      "values('u''1','g','1,2',1, getdate(),'u''1')\r"
      "if @@error=0\r"
      "begin\r"
      "  COMMIT TRAN\r"
      "end else begin\r"
      "  ROLLBACK TRAN\r"
      "end\r";
  auto script = ParseScript(batch);
  ASSERT_EQ(script->statements.size(), 4u);
  EXPECT_EQ(script->statements[0]->kind, StmtKind::BeginTran);
  EXPECT_EQ(script->statements[1]->kind, StmtKind::Sql);
  EXPECT_EQ(script->statements[2]->kind, StmtKind::Sql);
  EXPECT_EQ(script->statements[2]->line, 3);
  const Stmt& ifs = *script->statements[3];
  ASSERT_EQ(ifs.kind, StmtKind::If);
  ASSERT_EQ(ifs.body.size(), 2u);
  ASSERT_EQ(ifs.body[0]->kind, StmtKind::Block);
  EXPECT_EQ(ifs.body[0]->body[0]->kind, StmtKind::CommitTran);
  EXPECT_EQ(ifs.body[1]->body[0]->kind, StmtKind::RollbackTran);
  Vars vars;
  EXPECT_EQ(RenderSql(*script, script->statements[1]->tokens, Dialect::SQLite, vars),
            "delete from bUserCommon where UserId='u''1'");
  EXPECT_EQ(RenderSql(*script, ifs.tokens, Dialect::SQLite, vars), "547=0");
}

TEST(SqlParser, KeywordsThatContinueAStatement) {
  auto s = Rendered(
      "insert into t(a) select b from u union all select c from v\r"
      "update t set a = case when a > 1 then 2 else 3 end where a in (select a from t)\r"
      "create table if not exists w (id int references t(a) on delete set null)\r"
      "with x as (select 1 as a) select a from x\r"
      "insert into t values(1) select 2\r"
      "alter table t add column b int\r;"
      "drop table if exists w");
  ASSERT_EQ(s.size(), 8u);
  EXPECT_EQ(s[0], "insert into t(a) select b from u union all select c from v");
  EXPECT_EQ(s[1].substr(0, 18), "update t set a = c");
  EXPECT_EQ(s[2], "create table if not exists w (id int references t(a) on delete set null)");
  EXPECT_EQ(s[3], "with x as (select 1 as a) select a from x");
  EXPECT_EQ(s[4], "insert into t values(1)");
  EXPECT_EQ(s[5], "select 2");
  EXPECT_EQ(s[6], "alter table t add column b int");
  EXPECT_EQ(s[7], "drop table if exists w");
}

// The privileges of GRANT and REVOKE are statement words too; a statement after the grant
// still begins on its own.
TEST(SqlParser, GrantsKeepTheirPrivileges) {
  auto s = Rendered(
      "grant select on t to reporting\r"
      "grant select, insert, update, delete, truncate on t to \"Sales\"\r"
      "revoke grant option for delete on t from r\r"
      "revoke insert on t from r select 1\r"
      "grant execute on function f() to r\r"
      "grant create on schema s to r with grant option\r"
      "select 2 grant select on u to r");
  ASSERT_EQ(s.size(), 9u);
  EXPECT_EQ(s[0], "grant select on t to reporting");
  EXPECT_EQ(s[1], "grant select, insert, update, delete, truncate on t to \"Sales\"");
  EXPECT_EQ(s[2], "revoke grant option for delete on t from r");
  EXPECT_EQ(s[3], "revoke insert on t from r");
  EXPECT_EQ(s[4], "select 1");
  EXPECT_EQ(s[5], "grant execute on function f() to r");
  EXPECT_EQ(s[6], "grant create on schema s to r with grant option");
  EXPECT_EQ(s[7], "select 2");
  EXPECT_EQ(s[8], "grant select on u to r");
}

TEST(SqlParser, DialectStatements) {
  auto script = ParseScript(
      "SET XACT_ABORT ON\r"
      "declare @a int = 1, @b varchar(10)\r"
      "set @b = 'x'\r"
      "exec @rc = dbo.[AddGroup] 'u', @Name = @b, @Id = @id output\r"
      "raiserror('bad %s', 16, 1) with nowait\r"
      "return 5");
  const auto& st = script->statements;
  ASSERT_EQ(st.size(), 7u);
  EXPECT_EQ(st[0]->kind, StmtKind::SetOption);
  EXPECT_EQ(st[0]->name, "XACT_ABORT");
  EXPECT_TRUE(st[0]->on);
  EXPECT_EQ(st[1]->kind, StmtKind::Declare);
  EXPECT_EQ(st[2]->kind, StmtKind::Declare);
  EXPECT_TRUE(st[2]->tokens.Empty());
  EXPECT_EQ(st[3]->kind, StmtKind::SetVar);
  const Stmt& exec = *st[4];
  ASSERT_EQ(exec.kind, StmtKind::Exec);
  EXPECT_EQ(exec.name, "rc");
  EXPECT_EQ(exec.procName, "AddGroup");
  ASSERT_EQ(exec.args.size(), 3u);
  EXPECT_EQ(exec.args[0].param, "");
  EXPECT_EQ(exec.args[1].param, "Name");
  EXPECT_TRUE(exec.args[2].output);
  EXPECT_EQ(exec.args[2].value.end - exec.args[2].value.begin, 1u);
  EXPECT_EQ(st[5]->kind, StmtKind::RaiseError);
  EXPECT_EQ(st[6]->kind, StmtKind::Return);
}

TEST(SqlParser, MalformedBatchesFailBeforeAnythingRuns) {
  EXPECT_NE(ErrorOf("begin\rselect 1").find("BEGIN without END"), std::string::npos);
  EXPECT_NE(ErrorOf("select 1\rend").find("Incorrect syntax near 'end' (line 2)"),
            std::string::npos);
  EXPECT_NE(ErrorOf("if @@error=0").find("end of the batch"), std::string::npos);
  EXPECT_NE(ErrorOf("exec ('select 1')").find("not supported"), std::string::npos);
  EXPECT_NE(ErrorOf("while 1=1 select 1").find("WHILE is not supported"), std::string::npos);
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "begin ";
  EXPECT_NE(ErrorOf(deep).find("more than 200 levels"), std::string::npos);
  deep.clear();
  for (int i = 0; i < 100000; ++i) deep += "if 1=1 ";
  EXPECT_NE(ErrorOf(deep + "select 1").find("more than 200 levels"), std::string::npos);
}

TEST(SqlRender, TranslationForEachDatabase) {
  Vars vars;
  vars.values["NAME"] = Variant::OleStr(u"O'Brien");
  vars.values["N"] = Variant::Int64(-7);
  vars.values["FLAG"] = Variant::Boolean(true);
  vars.values["BIN"] = Variant::FromArray(VarArray::Bytes("\x01\xAB", 2));
  auto sqlite = Rendered(
      "select top 5 isnull([Order], 0), len(N'x') from [my table] with (nolock) "
      "where a = @name and b = @n and c = @flag and d = @bin and e !< 0x0F",
      Dialect::SQLite, vars);
  ASSERT_EQ(sqlite.size(), 1u);
  EXPECT_EQ(sqlite[0],
            "select COALESCE(\"Order\", 0), LENGTH('x') from \"my table\" where a = 'O''Brien' "
            "and b = -7 and c = 1 and d = X'01ab' and e >= X'0F' LIMIT 5");
  auto pg =
      Rendered("select * from t (nolock) where c = @flag and d = @bin", Dialect::PostgreSQL, vars);
  ASSERT_EQ(pg.size(), 1u);
  EXPECT_EQ(pg[0], "select * from t where c = '1' and d = '\\x01ab'::bytea");
  auto script = ParseScript("select @missing");
  EXPECT_THROW(RenderSql(*script, script->statements[0]->tokens, Dialect::SQLite, vars),
               EDatabaseError);
}

TEST(SqlRender, GetDateBecomesTheServerClock) {
  auto s = Rendered("select getdate()");
  ASSERT_EQ(s.size(), 1u);
  ASSERT_EQ(s[0].substr(0, 8), "select '");
  ASSERT_EQ(s[0].back(), '\'');
  double when = 0;
  ASSERT_TRUE(ParseDateTimeText(s[0].substr(8, s[0].size() - 9), when)) << s[0];
  EXPECT_NEAR(when, NowOleDate(), 60.0 / 86400);
}

// The local time as the C library gives it for `ms` milliseconds since 1970, as an OLE date.
double LocalOleDate(int64_t ms) {
  std::time_t secs = std::time_t(ms / 1000);
  std::tm local{};
  localtime_r(&secs, &local);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  double ole = 0;
  EXPECT_TRUE(ParseDateTimeText(text, ole)) << text;
  return ole + double(ms % 1000) / 86400000;
}

int64_t EpochMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The clock keeps each second's local date: it must still move with every millisecond and
// carry over into the next second (and day) exactly as a fresh conversion does.
TEST(DateTimeText, NowFollowsTheLocalClockAcrossSeconds) {
  const double kMs = 1.0 / 86400000;
  int passed = 0;
  int64_t lastSecond = EpochMs() / 1000;
  const int64_t giveUp = EpochMs() + 10000;
  while (passed < 1 && EpochMs() < giveUp) {
    int64_t before = EpochMs();
    double now = NowOleDate();
    int64_t after = EpochMs();
    ASSERT_GE(now, LocalOleDate(before) - kMs / 2);
    ASSERT_LE(now, LocalOleDate(after) + kMs / 2);
    if (before / 1000 != lastSecond) ++passed, lastSecond = before / 1000;
  }
  EXPECT_EQ(passed, 1) << "the clock did not pass a second within ten";
}

// A negative date's fraction is the time of day after its (whole) day, so a time that rounds up
// to midnight (at the microsecond) moves on to the next calendar day, as for a positive date.
TEST(DateTimeText, ATimeRoundedUpToMidnightMovesToTheNextDay) {
  EXPECT_EQ(FormatDateTimeText(-0.99999999999999), "1899-12-31 00:00:00");
  EXPECT_EQ(FormatDateTimeText(-1.99999999999999), "1899-12-30 00:00:00");
  EXPECT_EQ(FormatDateTimeText(0.99999999999999), "1899-12-31 00:00:00");
  EXPECT_EQ(SqlLiteral(Variant::Date(-0.99999999999999), Dialect::SQLite), "'1899-12-31 00:00:00'");
  // Short of midnight by more than half a microsecond: the day itself, with its time.
  EXPECT_EQ(FormatDateTimeText(-0.9999999999), "1899-12-30 23:59:59.999991");
  EXPECT_EQ(FormatDateTimeText(-657434.9999999999), "0100-01-01 23:59:59.999990");
  EXPECT_EQ(FormatDateTimeText(-1.25), "1899-12-29 06:00:00");
  EXPECT_EQ(FormatDateTimeText(-0.5), "1899-12-30 12:00:00");
  double back = 0;
  ASSERT_TRUE(ParseDateTimeText("0100-01-02 00:00:00", back));
  EXPECT_EQ(back, -657433.0);
}

// Fractions of a second are read to the microsecond and written with three digits when they are
// whole milliseconds, six otherwise.
TEST(DateTimeText, FractionsOfASecondKeepTheirMicroseconds) {
  double d = 0;
  ASSERT_TRUE(ParseDateTimeText("2024-02-29 13:14:15.123456", d));
  EXPECT_EQ(FormatDateTimeText(d), "2024-02-29 13:14:15.123456");
  ASSERT_TRUE(ParseDateTimeText("2024-02-29 13:14:15.1234565", d));  // the 7th digit rounds
  EXPECT_EQ(FormatDateTimeText(d), "2024-02-29 13:14:15.123457");
  ASSERT_TRUE(ParseDateTimeText("23:59:59.999", d));
  EXPECT_EQ(FormatDateTimeText(d), "1899-12-30 23:59:59.999");
  ASSERT_TRUE(ParseDateTimeText("12:00:00.5+02", d));
  EXPECT_EQ(FormatDateTimeText(d), "1899-12-30 12:00:00.500");
  ASSERT_TRUE(ParseDateTimeText("2024-02-29 23:59:59.9999999", d));  // rounds to the next day
  EXPECT_EQ(FormatDateTimeText(d), "2024-03-01 00:00:00");
  bool subSecond = true;
  EXPECT_FALSE(HasTimeOfDay(45000.0, subSecond));
  EXPECT_FALSE(subSecond);
  ASSERT_TRUE(ParseDateTimeText("08:30:00.000001", d));
  EXPECT_TRUE(HasTimeOfDay(d, subSecond));
  EXPECT_TRUE(subSecond);
}

TEST(SqlRender, LiteralsRefuseWhatTheDatabaseCannotHold) {
  EXPECT_EQ(SqlLiteral(Variant::Null(), Dialect::SQLite), "NULL");
  EXPECT_EQ(SqlLiteral(Variant::Currency(Currency{-12345}), Dialect::SQLite), "-1.2345");
  EXPECT_EQ(SqlLiteral(Variant::Date(1.5), Dialect::PostgreSQL), "'1899-12-31 12:00:00'");
  EXPECT_EQ(SqlLiteral(Variant::AnsiString("a'b"), Dialect::SQLite), "'a''b'");
  EXPECT_THROW(SqlLiteral(Variant::OleStr(std::u16string(u"a\0b", 3)), Dialect::SQLite),
               EDatabaseError);
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(SqlLiteral(Variant::Double(inf), Dialect::SQLite), "9e999");
  EXPECT_EQ(SqlLiteral(Variant::Double(-inf), Dialect::SQLite), "-9e999");
  EXPECT_THROW(SqlLiteral(Variant::Double(std::nan("")), Dialect::SQLite), EDatabaseError);
  EXPECT_EQ(SqlLiteral(Variant::Double(std::nan("")), Dialect::PostgreSQL), "'NaN'::float8");
  EXPECT_EQ(SqlLiteral(Variant::Single(-inf), Dialect::PostgreSQL), "'-Infinity'::float8");
  // Finite doubles as the shortest text that reads back to them.
  EXPECT_EQ(SqlLiteral(Variant::Double(0.1), Dialect::SQLite), "0.1");
  EXPECT_EQ(SqlLiteral(Variant::Double(123456789.123456789), Dialect::PostgreSQL),
            "123456789.12345679");
}

// The literals a statement prepared for many rows may take apart: only variables that are a
// whole item of a VALUES list at the statement's own level, and the text stays RenderSql's.
TEST(SqlRender, RowStatementsMarkTheValuesItemsThatStandAlone) {
  Vars vars;
  vars.values["A"] = Variant::OleStr(u"x'y");
  vars.values["B"] = Variant::Integer(-5);
  vars.values["C"] = Variant::Null();
  const std::string sql =
      "insert into t (a, b, c, d, e) values (@a, @b + 1, coalesce(@c, 0), (@b), @c), (@b, 2, "
      "@a, 3, 4) on conflict (a) do update set b = @b";
  auto script = ParseScript(sql);
  const TokenRange range = script->statements[0]->tokens;
  RowStatement st = RenderRowStatement(*script, range, Dialect::PostgreSQL, vars);
  EXPECT_EQ(st.sql, RenderSql(*script, range, Dialect::PostgreSQL, vars));
  std::vector<std::string> items;
  for (const RowStatement::Span& span : st.values)
    items.push_back(st.sql.substr(span.offset, span.length));
  EXPECT_EQ(items, (std::vector<std::string>{"'x''y'", "NULL", "-5", "'x''y'"})) << st.sql;

  for (const char* other : {"update t set a = @a where b = @b", "insert into t select @a, @b",
                            "insert into t (a) select * from (values (@a)) v"}) {
    auto s2 = ParseScript(other);
    EXPECT_TRUE(RenderRowStatement(*s2, s2->statements[0]->tokens, Dialect::PostgreSQL, vars)
                    .values.empty())
        << other;
  }
}

TEST(PgParameters, EachLiteralKeepsTheTypeTheDatabaseGivesIt) {
  struct Case {
    const char* literal;
    uint32_t type;
    const char* value;
  };
  // 23 integer, 20 bigint, 1700 numeric, 17 bytea, 0 unknown (the column decides).
  for (const Case& c : std::initializer_list<Case>{
           {"0", 23, "0"},
           {"-5", 23, "-5"},
           {"2147483647", 23, "2147483647"},
           {"-2147483648", 23, "-2147483648"},
           {"2147483648", 20, "2147483648"},
           {"-9223372036854775808", 20, "-9223372036854775808"},
           {"9223372036854775808", 1700, "9223372036854775808"},
           {"2.5", 1700, "2.5"},
           {"-1.2345", 1700, "-1.2345"},
           {"1e+300", 1700, "1e+300"},
           {"1.0000000000000001e-300", 1700, "1.0000000000000001e-300"},
           {"'O''Brien'", 0, "O'Brien"},
           {"''", 0, ""},
           {"'2024-01-05 10:03:00'", 0, "2024-01-05 10:03:00"},
           {"'a\\b'", 0, "a\\b"},
           {"'\\x01ab'::bytea", 17, "\\x01ab"},
           {"'NaN'::float8", 701, "NaN"},
           {"'Infinity'::float8", 701, "Infinity"},
           {"'-Infinity'::float8", 701, "-Infinity"},
       }) {
    std::optional<PgParameter> p = PgParameterOfLiteral(c.literal);
    ASSERT_TRUE(p.has_value()) << c.literal;
    EXPECT_EQ(p->type, c.type) << c.literal;
    EXPECT_FALSE(p->null) << c.literal;
    EXPECT_EQ(p->value, c.value) << c.literal;
  }
  std::optional<PgParameter> null = PgParameterOfLiteral("NULL");
  ASSERT_TRUE(null.has_value());
  EXPECT_TRUE(null->null);
  EXPECT_EQ(null->type, 0u);
  for (const char* other : {"", "-", ".", "1e", "1.2.3", "5 ", "'a'b'", "'unclosed", "a'",
                            "'x'::text", "'01'::bytea", "lastval()", "TRUE"})
    EXPECT_FALSE(PgParameterOfLiteral(other).has_value()) << other;
}

}  // namespace
}  // namespace qorvin::server

namespace qorvin::server {
namespace {

TEST(SqlParser, TriggerBodiesStayWhole) {
  auto s = Rendered(
      "create trigger t_ins after insert on t begin\r"
      "  update t set n = case when n > 0 then n else 0 end where id = new.id;\r"
      "  insert into log values(new.id);\r"
      "end\r"
      "select 1");
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[0].substr(0, 40), "create trigger t_ins after insert on t b");
  EXPECT_EQ(s[0].substr(s[0].size() - 5), "; end");
  EXPECT_EQ(s[1], "select 1");
}

}  // namespace
}  // namespace qorvin::server
