// Cipher keys written as hexadecimal text.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace qorvin {

// Converts key text to bytes, two digits per byte (upper or lower case), first pair first. An odd
// final digit completes no byte and is dropped, but every character must be a hexadecimal digit:
// otherwise EConvertError names the position of the first bad character (never the key itself).
std::vector<uint8_t> HexKeyBytes(std::string_view text);

}  // namespace qorvin
