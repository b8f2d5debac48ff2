// The statement splitter of SQL scripts and the choice between read and exec-sql.
#include <gtest/gtest.h>

#include "tools/qorvin/SqlScript.h"
#include "tools/qorvin/Table.h"

namespace qorvin::cli {
namespace {

std::vector<Statement> SplitAll(const std::string& text) {
  StatementSplitter splitter;
  std::vector<Statement> out = splitter.Feed(text);
  for (Statement& s : splitter.Finish("test.sql")) out.push_back(std::move(s));
  return out;
}

std::vector<std::string> Texts(const std::vector<Statement>& statements) {
  std::vector<std::string> out;
  for (const Statement& s : statements) out.push_back(s.text);
  return out;
}

TEST(SqlScript, SemicolonsInsideQuotesAndCommentsDoNotEndAStatement) {
  using V = std::vector<std::string>;
  EXPECT_EQ(Texts(SplitAll("select 'a;b', 'it''s;'; select \"x;y\" from t;")),
            (V{"select 'a;b', 'it''s;'", "select \"x;y\" from t"}));
  // In E'...' a backslash escapes a quote; elsewhere it is an ordinary character.
  EXPECT_EQ(Texts(SplitAll("select E'it\\'s; \\\\'; select 'a\\'; select name'a\\';")),
            (V{"select E'it\\'s; \\\\'", "select 'a\\'", "select name'a\\'"}));
  EXPECT_EQ(Texts(SplitAll("select 1 -- not; the end\n + 1; /* nor; this */ select 2")),
            (V{"select 1 -- not; the end\n + 1", "select 2"}));
  // Dollar-quoted bodies; $1 is a parameter, a$b$ a name.
  EXPECT_EQ(Texts(SplitAll("create function f() returns int as $$ begin; return 1; end $$ "
                           "language plpgsql; select $1; select a$b$c;")),
            (V{"create function f() returns int as $$ begin; return 1; end $$ language plpgsql",
               "select $1", "select a$b$c"}));
  EXPECT_EQ(Texts(SplitAll("do $body$ x; $x$ y; $x$ $body$;")),
            (V{"do $body$ x; $x$ y; $x$ $body$"}));
  // Empty statements and comments alone are dropped; the last needs no semicolon.
  EXPECT_EQ(Texts(SplitAll(";;\n-- only a comment\n;  /* and this */ ; select 3  \n")),
            (V{"select 3"}));
  EXPECT_TRUE(SplitAll("  -- nothing\n").empty());
}

TEST(SqlScript, ATriggerBodyKeepsItsSemicolonsUntilEnd) {
  using V = std::vector<std::string>;
  const std::string trigger =
      "CREATE TEMP TRIGGER tr AFTER INSERT ON t BEGIN\n"
      "  insert into log values (1);\n  update t set b = 'end;';\nEND";
  EXPECT_EQ(Texts(SplitAll(trigger + ";\nselect 1;")), (V{trigger, "select 1"}));
  // A trigger without BEGIN (PostgreSQL's) ends at its first semicolon, and BEGIN alone is a
  // statement of its own.
  EXPECT_EQ(Texts(SplitAll("create trigger tr before insert on t for each row execute function "
                           "f(); begin; commit;")),
            (V{"create trigger tr before insert on t for each row execute function f()", "begin",
               "commit"}));
}

TEST(SqlScript, LinesAndPiecesAsAShellFeedsThem) {
  StatementSplitter splitter;
  EXPECT_TRUE(splitter.Feed("\n-- head\nselect 1,\n").empty());
  EXPECT_TRUE(splitter.Pending());
  EXPECT_TRUE(splitter.Feed("  'two\n").empty());
  EXPECT_EQ(splitter.Unclosed(), "a quoted text opened on line 4 is not closed");
  std::vector<Statement> done = splitter.Feed("lines'; select 3; sel");
  ASSERT_EQ(done.size(), 2u);
  EXPECT_EQ(done[0].text, "select 1,\n  'two\nlines'");
  EXPECT_EQ(done[0].line, 3);
  EXPECT_EQ(done[1].text, "select 3");
  EXPECT_EQ(done[1].line, 5);
  EXPECT_TRUE(splitter.Pending());
  splitter.Discard();  // Ctrl-C in a shell: the unfinished line goes
  EXPECT_FALSE(splitter.Pending());
  done = splitter.Feed("\nselect 4;\n");
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].text, "select 4");
  EXPECT_EQ(done[0].line, 6);
  EXPECT_FALSE(splitter.Pending());  // a line break alone waits for nothing
}

TEST(SqlScript, AQuoteOrCommentOpenAtTheEndIsAnError) {
  for (const auto& [text, message] : std::vector<std::pair<std::string, std::string>>{
           {"select 1;\nselect 'abc;", "test.sql: a quoted text opened on line 2 is not closed"},
           {"select \"x\n\n", "test.sql: a quoted name opened on line 1 is not closed"},
           {"select 1; /* x;\n", "test.sql: a /* comment opened on line 1 is not closed"},
           {"\n\ndo $f$ begin;", "test.sql: a $-quoted text opened on line 3 is not closed"},
       }) {
    try {
      SplitAll(text);
      ADD_FAILURE() << text;
    } catch (const UsageError& e) {
      EXPECT_EQ(std::string(e.what()), message);
    }
  }
}

TEST(SqlScript, StatementsThatHandBackRowsRunAsReads) {
  for (const char* s : {"select 1", "  SELECT 1", "(select 1) union (select 2)",
                        "-- c\n/* d */ with x as (select 1) select * from x", "values (1)",
                        "Pragma table_info(t)", "explain select 1", "show search_path"})
    EXPECT_TRUE(ReturnsRows(s)) << s;
  for (const char* s : {"insert into t select 1", "update t set a = 1", "create table t(a int)",
                        "selection", "delete from t", "", "-- select"})
    EXPECT_FALSE(ReturnsRows(s)) << s;
}

}  // namespace
}  // namespace qorvin::cli
