#include "tools/qorvin/Shell.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace qorvin::cli {

namespace {

constexpr const char* kShellHelp =
    "Statements end with ';' and may span lines; those that start with SELECT, WITH,\n"
    "VALUES, TABLE, SHOW, EXPLAIN or PRAGMA show their rows.\n"
    "  \\q, quit, exit   leave the shell (also Ctrl-D)\n"
    "  \\?               this list\n"
    "Ctrl-C drops the statement being typed, or cancels the one that runs.\n";

void Say(std::FILE* stream, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

std::string HistoryFile() {
  if (const char* named = std::getenv("QORVIN_HISTORY")) return named;
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') return "";
  return std::string(home) + "/.qorvin_history";
}

void RunShell(LineEditor& editor, const std::function<void()>& cancelled,
              const std::function<void(const Statement&)>& run) {
  StatementSplitter splitter;
  for (;;) {
    const LineEditor::Input input =
        editor.Read(splitter.Pending() ? kShellMorePrompt : kShellPrompt);
    if (input.kind == LineEditor::Kind::End) {
      Say(stdout, "\n");
      return;
    }
    if (input.kind == LineEditor::Kind::Cancelled) {
      splitter.Discard();
      cancelled();
      Say(stdout, "\n");
      continue;
    }
    const std::string command = splitter.Pending() ? std::string() : Trim(input.text);
    if (command == "\\q" || command == "quit" || command == "exit") return;
    editor.Remember(input.text);
    if (!command.empty()) {
      if (command == "\\?") {
        Say(stdout, kShellHelp);
        continue;
      }
      if (command[0] == '\\') {
        Say(stderr, "qorvin: unknown command " + command + "; \\? lists the commands\n");
        continue;
      }
    }
    for (const Statement& statement : splitter.Feed(input.text + "\n")) run(statement);
  }
}

}  // namespace qorvin::cli
