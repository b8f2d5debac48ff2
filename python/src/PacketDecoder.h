// Decodes a data packet (docs/data-packet.md) into Python objects: the field definitions and one
// tuple per row. The decoder reads only inside the bytes it is given; every count and length is
// checked against the bytes that remain before anything is sized by it, and a malformed packet
// raises ValueError naming the reason and the byte offset.
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

// Needs the GIL (it builds Python objects).
DecodedPacket DecodePacket(const uint8_t* bytes, size_t size);

}  // namespace qorvin::python
