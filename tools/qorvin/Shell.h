// The interactive shell: lines from a LineEditor gathered into statements (SqlScript.h), each
// run as soon as its semicolon comes, until \q, quit, exit or the end of input.
//
//   qorvin> select Id,
//       ->   Name from Customers;
//
// A line that starts with a backslash while no statement is pending is a command of the shell:
// \q quits, \? lists the commands. Ctrl-C while a line is edited drops the statement being
// typed; while a statement runs, it cancels the call (InterruptWatch) and the shell goes on. A
// statement still unfinished at the end of input is dropped.
#pragma once

#include <functional>

#include "tools/qorvin/LineEditor.h"
#include "tools/qorvin/SqlScript.h"

namespace qorvin::cli {

inline constexpr const char* kShellPrompt = "qorvin> ";
inline constexpr const char* kShellMorePrompt = "    -> ";

// Runs the shell until the user quits; `run` runs one statement and shows its outcome;
// `cancelled` is called when Ctrl-C dropped the line being edited.
void RunShell(LineEditor& editor, const std::function<void()>& cancelled,
              const std::function<void(const Statement&)>& run);

}  // namespace qorvin::cli
