// A build without libedit: no line editor, so no interactive shell.
#include "tools/qorvin/LineEditor.h"

namespace qorvin::cli {

std::unique_ptr<LineEditor> LineEditor::Open(const std::string&, std::string& why) {
  why = "this qorvin was built without line editing (libedit), so it has no interactive shell";
  return nullptr;
}

}  // namespace qorvin::cli
