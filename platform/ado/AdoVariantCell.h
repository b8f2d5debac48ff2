// Cells of VARIANT columns (type code 12): a 16-byte in-memory variant.
//
//   offset 0  size 2  variant type tag (VT_*)
//   offset 2  size 6  not meaningful (ADO leaves stale memory there; we write zeros)
//   offset 8  size 8  the value, little-endian, as wide as its type (the rest not meaningful)
//   VT_DECIMAL (14) uses all 16 bytes as a DECIMAL whose reserved word is the tag.
//   VT_EMPTY is 16 zero bytes; VT_NULL is an absent value, never a cell.
#pragma once

#include <cstdint>

#include "platform/rtl/Variant.h"

namespace qorvin::ado {

// EAdoError for a tag whose value cannot be read back (pointers, strings, arrays).
Variant DecodeVariantCell(const uint8_t cell[16]);
// EAdoError for kinds a VARIANT cell cannot hold (text, arrays, objects).
void EncodeVariantCell(const Variant& value, uint8_t cell[16]);

}  // namespace qorvin::ado
