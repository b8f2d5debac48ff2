// Field definitions of the ADO-style record set.
//
// A definition carries both views of a column: the dataset's field type (`dataType`) and the ADO
// data type with size, precision, scale and attributes that an ADTG image stores. Definitions made
// from a field type derive the ADO side (`MakeFieldDef`); definitions read from an image derive the
// field type (`FieldTypeFromAdo`). Names compare without regard to ASCII case.
//
// Not thread-safe; a definition list belongs to one dataset.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ado/AdoTypes.h"

namespace qorvin {

inline constexpr uint32_t kAdoUnlimited = 0xFFFFFFFFu;

// Optional column-descriptor fields of an ADTG image. They mean nothing to the record set; they
// are kept so that an image saves back byte for byte. `presence` holds the descriptor's 24-bit
// presence map; fields whose bit is clear are absent.
struct AdtgColumnExtras {
  static constexpr uint32_t kName = 0x800000, kBaseTableOrdinal = 0x400000,
                            kBaseColumnOrdinal = 0x200000, kBaseColumnName = 0x100000,
                            kCatalog = 0x020000, kSchema = 0x010000, kCollating = 0x008000,
                            kComputeMode = 0x004000, kDateTimePrecision = 0x002000,
                            kDefaultValue = 0x001000, kAutoIncrement = 0x000100,
                            kCaseSensitive = 0x000080, kMultivalued = 0x000040,
                            kSearchable = 0x000020, kUnique = 0x000010, kOctetLength = 0x000008;
  // Name and IsAutoIncrement: what a record set built from definitions writes.
  static constexpr uint32_t kDefaultPresence = kName | kAutoIncrement;

  uint32_t presence = kDefaultPresence;
  uint16_t baseTableOrdinal = 0;
  uint16_t baseColumnOrdinal = 0;
  std::u16string baseColumnName;
  std::u16string baseCatalogName;
  std::u16string baseSchemaName;
  int32_t collatingSequence = 0;
  int32_t computeMode = 0;
  uint32_t dateTimePrecision = 0;
  std::array<uint8_t, 16> defaultValue{};
  uint16_t isCaseSensitive = 0;
  uint16_t isMultivalued = 0;
  uint32_t isSearchable = 0;
  uint8_t searchableWidth = 4;  // 2 or 4 bytes, as the image had it
  uint16_t isUnique = 0;
  uint32_t octetLength = 0;
  std::string trailer;  // bytes after IsVisible (relation conditions, calculation info)

  bool operator==(const AdtgColumnExtras&) const = default;
};

struct TFieldDef {
  std::u16string name;
  TFieldType dataType = ftUnknown;
  uint16_t adoType = adEmpty;  // column type code of the image (AdoDataType up to 139)
  // Fixed-size types: their byte size. STR and BYTES: bytes. WSTR/BSTR: UTF-16 code units.
  // kAdoUnlimited: no maximum.
  uint32_t maxLength = 0;
  uint32_t precision = 0;
  int32_t numericScale = 0;
  uint32_t attributes = 0;  // AdoFieldAttribute bits
  bool autoIncrement = false;
  bool visible = true;
  AdtgColumnExtras adtg;

  // No NULLs: neither adFldIsNullable nor adFldMayBeNull.
  bool Required() const { return (attributes & (adFldIsNullable | adFldMayBeNull)) == 0; }
  // Neither adFldUpdatable nor adFldUnknownUpdatable.
  bool ReadOnly() const { return (attributes & (adFldUpdatable | adFldUnknownUpdatable)) == 0; }
  bool FixedLength() const { return (attributes & adFldFixed) != 0; }
  bool IsLong() const { return (attributes & adFldLong) != 0; }
  // The dataset's size: decimal places for ftBCD / ftFMTBcd, the maximum length for strings
  // and binary, 0 for other types.
  uint32_t Size() const;
  // ADO's type name for the column, 200-205 included (adVarWChar, adLongVarBinary, ...).
  AdoDataType AdoFieldType() const;
  // Changes the field type and re-derives the ADO type, size and flags from it, keeping the name,
  // nullability and writability. EAdoError for types a record set cannot hold.
  void SetDataType(TFieldType type);

  bool operator==(const TFieldDef&) const = default;
};

// A definition for a field type. `size`: characters for ftString / ftFixedChar / ftWideString,
// bytes for ftBytes / ftVarBytes (0 = EAdoError), decimal places for ftBCD / ftFMTBcd, ignored
// otherwise. `precision`: digits for ftBCD / ftFMTBcd (0 = 18 and 28). Flags follow what ADO
// writes for fields it creates: adFldUpdatable, adFldFixed for fixed-size kinds, adFldIsNullable
// unless required, adFldLong for memo and blob kinds. Memo kinds are long 8-bit (STR) columns;
// ftWideString of size 0 is a long WSTR column. EAdoError for ftUnknown, ftCursor, ftADT,
// ftArray, ftReference, ftDataSet, ftInterface, ftIDispatch.
TFieldDef MakeFieldDef(std::u16string name, TFieldType type, uint32_t size = 0,
                       bool required = false, uint32_t precision = 0);

// A definition for an image column type (an AdoDataType code up to 139), as an image describes
// such a column: `size` is characters for STR / WSTR / BSTR and bytes for BYTES (0: no maximum,
// a long column), decimal places for DECIMAL / NUMERIC / VARNUMERIC (with `precision` digits, kept
// as given, 255 / 255 included), ignored otherwise. Flags: adFldUpdatable, adFldFixed for
// fixed-width types, adFldIsNullable unless required, adFldLong for long columns. The field type
// follows FieldTypeFromAdo. EAdoError for a code the record set cannot hold.
TFieldDef MakeColumnDef(std::u16string name, uint16_t adoType, uint32_t size, uint32_t precision,
                        bool required);

// The field type of an image column: from its type code, flags, precision, scale and
// auto-increment mark (long 8-bit text is ftMemo; wide text, long or not, ftWideString). ftUnknown
// for a code the record set cannot hold.
TFieldType FieldTypeFromAdo(uint16_t adoType, uint32_t attributes, uint32_t precision,
                            int32_t scale, bool autoIncrement);

// Whether the record set can hold columns of this type code (the codes of AdoDataType up to 139,
// except adEmpty).
bool IsSupportedAdoType(uint16_t adoType);

// ASCII-case-insensitive equality of two names.
bool SameFieldName(std::u16string_view a, std::u16string_view b);

class TFieldDefs {
 public:
  int Count() const { return int(defs_.size()); }
  const TFieldDef& operator[](int index) const { return defs_.at(size_t(index)); }
  TFieldDef& operator[](int index) { return defs_.at(size_t(index)); }
  // Adds MakeFieldDef(name, type, size, required, precision).
  TFieldDef& Add(std::u16string name, TFieldType type, uint32_t size = 0, bool required = false,
                 uint32_t precision = 0);
  // Adds any definition as it is (checked when the dataset opens).
  TFieldDef& Add(TFieldDef def);
  // Index of the first definition of that name (ASCII case ignored), -1 if none.
  int IndexOf(std::u16string_view name) const;
  void Clear() { defs_.clear(); }

  std::vector<TFieldDef>::const_iterator begin() const { return defs_.begin(); }
  std::vector<TFieldDef>::const_iterator end() const { return defs_.end(); }
  bool operator==(const TFieldDefs&) const = default;

 private:
  std::vector<TFieldDef> defs_;
};

}  // namespace qorvin
