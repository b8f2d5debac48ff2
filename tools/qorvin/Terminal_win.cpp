// The Windows console: streams in binary mode; the progress line only on a console that takes
// the control sequences (virtual terminal processing, switched on here when it can be).
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "tools/qorvin/Terminal.h"

namespace qorvin::cli {

bool PrepareConsole() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (error == INVALID_HANDLE_VALUE || error == nullptr || !GetConsoleMode(error, &mode))
    return false;                             // a file or a pipe
  constexpr DWORD kVirtualTerminal = 0x0004;  // ENABLE_VIRTUAL_TERMINAL_PROCESSING
  return (mode & kVirtualTerminal) != 0 || SetConsoleMode(error, mode | kVirtualTerminal) != 0;
}

bool StandardInputIsTerminal() {
  return _isatty(_fileno(stdin)) != 0;
}

void WriteToStderr(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const int n = _write(2, text.data() + done, unsigned(text.size() - done));
    if (n <= 0) return;
    done += size_t(n);
  }
}

}  // namespace qorvin::cli
