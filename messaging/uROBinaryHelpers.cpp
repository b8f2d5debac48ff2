#include "messaging/uROBinaryHelpers.h"

namespace qorvin {

TROBinaryMemoryStream::TROBinaryMemoryStream(std::string_view bytes) {
  LoadFromString(bytes);
}

void TROBinaryMemoryStream::LoadFromString(std::string_view bytes) {
  SetSize(0);
  Reserve(int64_t(bytes.size()));
  WriteBuffer(bytes.data(), int64_t(bytes.size()));
  SetPosition(0);
}

std::string TROBinaryMemoryStream::ToString() {
  std::string out(View());
  SetPosition(Size());
  return out;
}

}  // namespace qorvin
