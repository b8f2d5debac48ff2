// Reading the lines of the interactive shell from the terminal, with line editing and a history
// kept in a file (libedit; LineEditor_edit.cpp). A build without libedit has none
// (LineEditor_none.cpp): Open says why, and the shell is not offered.
//
// Ctrl-C stays SIGINT on the terminal; InterruptWatch takes it and, when no call was in flight,
// calls Interrupt(), which ends the line being edited as cancelled.
#pragma once

#include <memory>
#include <string>

namespace qorvin::cli {

class LineEditor {
 public:
  enum class Kind { Line, Cancelled, End };
  struct Input {
    Kind kind = Kind::End;
    std::string text;  // a Line without its line break
  };

  virtual ~LineEditor() = default;

  // An editor on the terminal of standard input and output, its history loaded from
  // `historyFile` (none when empty; a file that does not exist yet is no error). Null, with
  // `why` set, when this build has no line editing.
  static std::unique_ptr<LineEditor> Open(const std::string& historyFile, std::string& why);

  // Shows `prompt` and reads one line: Cancelled after Ctrl-C, End at the end of input (Ctrl-D
  // on an empty line).
  virtual Input Read(const std::string& prompt) = 0;

  // Adds `line` to the history and writes the history file (readable by its owner only); a file
  // that cannot be written is given up silently, as the shell goes on without it.
  virtual void Remember(const std::string& line) = 0;

  // May be called from any thread: the line being read (or the next one) ends as Cancelled.
  virtual void Interrupt() = 0;
};

// Where the history is kept: $QORVIN_HISTORY when set (empty: nowhere), else ~/.qorvin_history
// ($HOME; nowhere without it).
std::string HistoryFile();

}  // namespace qorvin::cli
