#include "platform/crypto/HexKey.h"

#include "platform/rtl/Exceptions.h"

namespace qorvin {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::vector<uint8_t> HexKeyBytes(std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i)
    if (HexValue(text[i]) < 0)
      throw EConvertError(
          Format("Encryption key is not hexadecimal text: character %zu is not a hexadecimal digit",
                 i + 1));
  std::vector<uint8_t> bytes(text.size() / 2);
  for (size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = uint8_t(HexValue(text[2 * i]) << 4 | HexValue(text[2 * i + 1]));
  return bytes;
}

}  // namespace qorvin
