// What the program needs of its console, one file per platform.
#pragma once

#include <string>

namespace qorvin::cli {

// Readies the standard streams once, before anything is read or written: their bytes pass
// unchanged (the CR LF of CSV output stays CR LF, an upload read from standard input is read as
// it is). Returns whether standard error is a terminal on which the progress line can be drawn
// (one that understands the line's control sequences).
bool PrepareConsole();

// Whether standard input is a terminal (a person types), not a file or a pipe.
bool StandardInputIsTerminal();

// Writes `text` to standard error as it is; a failure is ignored (a progress line is not worth
// failing over).
void WriteToStderr(const std::string& text);

}  // namespace qorvin::cli
