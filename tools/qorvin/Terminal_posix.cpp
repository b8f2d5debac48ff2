#include <unistd.h>

#include "tools/qorvin/Terminal.h"

namespace qorvin::cli {

bool PrepareConsole() {
  return isatty(2) != 0;
}

bool StandardInputIsTerminal() {
  return isatty(0) != 0;
}

void WriteToStderr(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(2, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += size_t(n);
  }
}

}  // namespace qorvin::cli
