// Decodes a data packet (docs/data-packet.md) into Python objects: the field definitions and one
// tuple per row (ColumnDecoder.h makes columns instead). The decoder reads only inside the bytes it
// is given; every count and length is checked against the bytes that remain before anything is
// sized by it, and a malformed packet raises ValueError naming the reason and the byte offset.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qorvin::python {

struct PacketField {
  std::string name;  // UTF-8
  uint8_t type = 0;  // field type code
  uint8_t attributes = 0;
  uint32_t size = 0;        // characters, bytes or decimal places
  uint32_t precision = 0;   // digits of a BCD
  uint32_t columnType = 0;  // version 2: the record-set column type, 0 when none
};

struct DecodedPacket {
  std::vector<PacketField> fields;
  pybind11::list rows;  // tuples, one value per field, None for NULL
};

// The packet up to its first row: the fields, the row count, the code set's Python codec and
// the offset of the first row.
struct PacketLayout {
  std::vector<PacketField> fields;
  uint32_t rowCount = 0;
  std::string codeSet;
  size_t rowsAt = 0;
};

// Checks the header and the field definitions; ValueError when they are malformed.
PacketLayout ReadLayout(const uint8_t* bytes, size_t size);

// The rows after `layout` as tuples, one value per field, None for NULL; ValueError for a malformed
// row or bytes after the last. Needs the GIL (it builds Python objects).
pybind11::list DecodeRows(const uint8_t* bytes, size_t size, const PacketLayout& layout);

// ReadLayout and DecodeRows in one. Needs the GIL.
DecodedPacket DecodePacket(const uint8_t* bytes, size_t size);

}  // namespace qorvin::python
