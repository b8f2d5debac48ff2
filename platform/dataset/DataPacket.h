// The data packet: the binary form of a client dataset's content (field definitions and rows),
// handed to hosts as a Variant holding a one-dimensional byte array. Byte by byte, with an
// example, in docs/data-packet.md.
//
// Packet (all multi-byte numbers little-endian; "varuint" = 1..5 bytes, seven bits a byte, low
// group first, bit 7 set when another byte follows, value at most 0x7FFFFFFF):
//
// | field          | size        | content                                                   |
// |----------------|-------------|-----------------------------------------------------------|
// | magic          | 4           | "QVDP" (51 56 44 50)                                      |
// | version        | 1           | 2 when a field carries a column type, else 1              |
// | flags          | 1           | 0 (reserved)                                              |
// | code set       | varuint + n | name of the ANSI code set 8-bit text is in (ASCII)        |
// | field count F  | varuint     |                                                           |
// | F fields       |             | name (varuint + UTF-8 bytes), type (1 byte, ftXxx code),  |
// |                |             | attributes (1 byte, fa bits), size (varuint), precision   |
// |                |             | (varuint); version 2 only: column type (varuint, an ADO   |
// |                |             | data type code, 0 = none)                                 |
// | row count R    | varuint     | 0 when F = 0                                              |
// | R rows         |             | null map: ceil(F / 8) bytes, bit (i mod 8) of byte i / 8  |
// |                |             | set when field i is NULL, unused bits 0; then the value   |
// |                |             | of every non-NULL field in field order                    |
//
// Nothing follows the last row. Values by field type (FieldValue.h names the classes):
//
// | value class        | bytes       | content                                               |
// |--------------------|-------------|-------------------------------------------------------|
// | AnsiText           | varuint + n | the 8-bit text's bytes as they are                    |
// | WideText           | varuint + 2n| n UTF-16 code units, little-endian                    |
// | SmallInt / Word    | 2           | signed / unsigned                                     |
// | Integer            | 4           | signed                                                |
// | LargeInt           | 8           | signed                                                |
// | Boolean            | 1           | 0 false, 1 true                                       |
// | Float / DateTime   | 8           | IEEE 754 double (date-time: days since 1899-12-30)    |
// | Currency           | 8           | signed, amount x 10000                                |
// | Bcd                | 34          | precision, sign-and-places, 32 packed digit bytes     |
// | TimeStamp          | 16          | year i16, month, day, hour, minute, second u16,       |
// |                    |             | fractions (nanoseconds) u32                           |
// | Bytes              | varuint + n | the bytes                                             |
// | Any (ftVariant)    | 2 + payload | the value's variant kind, then its payload (below)    |
//
// Payload of an ftVariant value by kind: 0 empty (none); 2, 18 (2 bytes); 3, 4, 10, 19 (4);
// 5, 6, 7, 20, 21 (8); 11 (1 byte, 0 or 1); 16, 17 (1); 8 (as WideText); 256 (as AnsiText);
// 14 (16-byte decimal: reserved u16, scale, sign, high u32, low u64); 259 BCD (as Bcd);
// 260 SQL timestamp (as TimeStamp); 0x2011 (byte array, as Bytes).
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "platform/dataset/ClientFieldDef.h"
#include "platform/dataset/DataSetSource.h"
#include "platform/dataset/FieldValue.h"
#include "platform/rtl/Variant.h"

namespace qorvin {

inline constexpr unsigned char kDataPacketMagic[4] = {'Q', 'V', 'D', 'P'};
// The version written when a field carries a column type, and the one written otherwise;
// readers take both.
inline constexpr uint8_t kDataPacketVersion = 2;
inline constexpr uint8_t kDataPacketVersion1 = 1;

// Limits a packet reader applies. Every count in a packet is also checked against the bytes
// that remain before anything is sized by it.
struct TDataPacketLimits {
  // Bytes the decoded rows may claim (DataPacketMemoryEstimate). A NULL cell costs one bit in a
  // packet but a whole Variant in memory, so a small packet of NULL rows could otherwise demand
  // gigabytes. A packet beyond it fails with EDataPacketTooLarge, whose text names the need and
  // the budget; raise the budget for larger datasets.
  int64_t max_memory = int64_t(2) << 30;
};

// A packet whose decoded rows would exceed the memory budget (TDataPacketLimits::max_memory).
// Not a malformed packet: the same packet loads under a larger budget.
QORVIN_DECLARE_EXCEPTION(EDataPacketTooLarge, EDatabaseError);

// Memory the decoded rows of a packet of `packetBytes` bytes with `rows` rows of `fields` fields
// claim, in bytes: a Variant per cell and a row vector per row, plus at most the packet's bytes
// for text and binary values.
int64_t DataPacketMemoryEstimate(int64_t rows, int64_t fields, int64_t packetBytes);

struct TDataPacketContent {
  std::string ansiCodeSet;  // as the packet names it
  TClientFieldDefs fields;
  std::vector<std::vector<Variant>> rows;  // each row has fields.size() values
};

// Encodes every field definition and row of `source` (which must be active). Values are
// converted to their field's type first (CoerceFieldValue). EDatabaseError for an inactive
// source, an unsupported field definition or a value that does not convert.
std::vector<uint8_t> EncodeDataPacket(const IDataSetSource& source);

// The parts of EncodeDataPacket, for writers that make a packet row by row (DataPacketBuilder.h).
// Appends the bytes before the first row: magic, version, code set, field definitions (checked as
// EncodeDataPacket checks them) and the row count (EDatabaseError when it does not fit).
void AppendDataPacketHeader(std::vector<uint8_t>& bytes, const TClientFieldDefs& fields,
                            int64_t rows);
// Appends the bytes of a non-Null value already in the kind its field's class keeps
// (IsCanonicalFieldValue).
void AppendDataPacketValue(std::vector<uint8_t>& bytes, TValueClass cls, const Variant& value);

// Decodes a whole packet. EDatabaseError "Invalid data packet: <reason> at byte <offset>" for
// anything malformed (wrong magic or version, a count beyond what remains,
// an unsupported field type, a NULL-map bit past the last field, a boolean other than 0 or 1,
// text or a kind that does not decode, bytes after the last row, ...). Never reads outside
// `bytes`. EDataPacketTooLarge (before any row is decoded) when the rows would claim more
// memory than `limits.max_memory`.
TDataPacketContent DecodeDataPacket(std::span<const uint8_t> bytes,
                                    const TDataPacketLimits& limits = {});

// DecodeDataPacket one row at a time, so that a reader keeping the rows elsewhere never holds
// them all as Variants. `onFields` gets the code set, the field definitions and the row count
// before the first row (after the memory check); `onRow` gets each row in turn, in a vector it
// may take the values from (it is cleared before the next row). The same checks and failures
// as DecodeDataPacket; a damaged row fails after the rows before it were handed on. What the
// handlers throw passes through.
using DataPacketFieldsHandler =
    std::function<void(std::string& codeSet, TClientFieldDefs& fields, uint32_t rows)>;
using DataPacketRowHandler = std::function<void(std::vector<Variant>& row)>;
void ForEachDataPacketRow(std::span<const uint8_t> bytes, const TDataPacketLimits& limits,
                          const DataPacketFieldsHandler& onFields,
                          const DataPacketRowHandler& onRow);

// The packet as the Variant hosts receive: a byte array with bounds 0 .. size - 1.
Variant DataPacketToVariant(const std::vector<uint8_t>& bytes);
// The bytes of a packet Variant (by reference or not). EDatabaseError when it is not a
// one-dimensional byte array. The span borrows the Variant's storage.
std::span<const uint8_t> DataPacketBytes(const Variant& packet);

}  // namespace qorvin
