// SQL scripts: text split into statements the way a user of an SQL shell expects, and each
// statement's way to the server.
//
// A statement ends at a semicolon outside quotes and comments: '...' texts ('' inside; in
// E'...' a backslash escapes the next character),
// "..." names, -- comments to the end of the line, /* ... */ comments (not nested) and
// $tag$ ... $tag$ texts (tag empty or a name; "$1" is no quote). A CREATE TRIGGER statement
// whose body opened with BEGIN ends only at a semicolon after END, so the semicolons inside
// its body stay in it. Empty statements (";", comments alone) are dropped.
//
// The splitter is fed text piece by piece (a file at once, or the lines of an interactive
// shell) and hands back each statement once its semicolon has come; the rest waits for more.
#pragma once

#include <string>
#include <vector>

namespace qorvin::cli {

struct Statement {
  std::string text;  // without its semicolon and the blanks around it
  int line = 0;      // the line, counted from 1 over everything fed, where its text starts
};

class StatementSplitter {
 public:
  // Adds `text` and returns the statements it completed, in order.
  std::vector<Statement> Feed(const std::string& text);

  // Whether text of an unfinished statement is waiting (comments and blanks alone do not count).
  bool Pending() const;

  // What is open at the end of the text fed so far, for messages: "" when nothing is,
  // else e.g. "a quoted text opened on line 3".
  std::string Unclosed() const;

  // The end of the text: the statement still waiting, if any, is complete without its semicolon
  // (and returned). UsageError naming `source` when a quote or comment is still open.
  std::vector<Statement> Finish(const std::string& source);

  // Forgets the unfinished statement (an interactive shell's Ctrl-C); lines go on counting.
  void Discard();

 private:
  std::string pending_;  // the text since the last complete statement
  int pendingLine_ = 1;  // the line on which pending_ starts
};

// Whether the statement hands back rows and so runs as `read` (SynchReadData), not `exec-sql`
// (SynchExecSQL): its first word, after comments and opening parentheses, is SELECT, WITH,
// VALUES, TABLE, SHOW, EXPLAIN or PRAGMA (any case).
bool ReturnsRows(const std::string& statement);

}  // namespace qorvin::cli
