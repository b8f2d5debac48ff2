// Field types, field attributes, dataset states and the dataset error class shared by every dataset
// of the platform (the ADO-style record set and the in-memory client dataset).
//
// The field type codes are wire values: they travel as one byte in parameter sections and in data
// packets, so the numbering below is fixed (ftUnknown = 0 .. ftFMTBcd = 37).
#pragma once

#include <cstdint>

#include "platform/rtl/Exceptions.h"

namespace qorvin {

enum TFieldType : uint8_t {
  ftUnknown = 0,
  ftString = 1,
  ftSmallint = 2,
  ftInteger = 3,
  ftWord = 4,
  ftBoolean = 5,
  ftFloat = 6,
  ftCurrency = 7,
  ftBCD = 8,
  ftDate = 9,
  ftTime = 10,
  ftDateTime = 11,
  ftBytes = 12,
  ftVarBytes = 13,
  ftAutoInc = 14,
  ftBlob = 15,
  ftMemo = 16,
  ftGraphic = 17,
  ftFmtMemo = 18,
  ftParadoxOle = 19,
  ftDBaseOle = 20,
  ftTypedBinary = 21,
  ftCursor = 22,
  ftFixedChar = 23,
  ftWideString = 24,
  ftLargeint = 25,
  ftADT = 26,
  ftArray = 27,
  ftReference = 28,
  ftDataSet = 29,
  ftOraBlob = 30,
  ftOraClob = 31,
  ftVariant = 32,
  ftInterface = 33,
  ftIDispatch = 34,
  ftGuid = 35,
  ftTimeStamp = 36,
  ftFMTBcd = 37,
};
inline constexpr int kFieldTypeCount = 38;

// The type's name as the platform spells it ("ftInteger"); "ft?" for codes outside the table.
inline const char* FieldTypeName(int type) {
  static constexpr const char* kNames[kFieldTypeCount] = {
      "ftUnknown",    "ftString",     "ftSmallint", "ftInteger",     "ftWord",      "ftBoolean",
      "ftFloat",      "ftCurrency",   "ftBCD",      "ftDate",        "ftTime",      "ftDateTime",
      "ftBytes",      "ftVarBytes",   "ftAutoInc",  "ftBlob",        "ftMemo",      "ftGraphic",
      "ftFmtMemo",    "ftParadoxOle", "ftDBaseOle", "ftTypedBinary", "ftCursor",    "ftFixedChar",
      "ftWideString", "ftLargeint",   "ftADT",      "ftArray",       "ftReference", "ftDataSet",
      "ftOraBlob",    "ftOraClob",    "ftVariant",  "ftInterface",   "ftIDispatch", "ftGuid",
      "ftTimeStamp",  "ftFMTBcd"};
  return type >= 0 && type < kFieldTypeCount ? kNames[type] : "ft?";
}

// Field attributes, a bit set. The first six are the platform's; faAutoInc marks a column whose
// values the data source assigns (always implied by ftAutoInc).
enum TFieldAttribute : uint8_t {
  faHiddenCol = 0x01,
  faReadonly = 0x02,
  faRequired = 0x04,
  faLink = 0x08,
  faUnNamed = 0x10,
  faFixed = 0x20,
  faAutoInc = 0x40,
};
using TFieldAttributes = uint8_t;
inline constexpr TFieldAttributes kAllFieldAttributes = 0x7F;

// What a dataset is doing: closed, browsing, editing the current row, or building a new row.
enum TDataSetState : uint8_t { dsInactive, dsBrowse, dsEdit, dsInsert };

// Failures of dataset operations (state, field lookup, value conversion, malformed data packets).
QORVIN_DECLARE_EXCEPTION(EDatabaseError, Exception);

}  // namespace qorvin
