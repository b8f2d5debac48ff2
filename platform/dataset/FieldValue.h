// Which field types a client dataset holds, the one variant kind each keeps its values in, and
// the conversion of any value into that kind.
//
// | value class | field types                                        | kept as                  |
// |-------------|----------------------------------------------------|--------------------------|
// | AnsiText    | ftString ftFixedChar ftMemo ftFmtMemo ftOraClob    | varString (ANSI bytes)   |
// |             | ftGuid                                             |                          |
// | WideText    | ftWideString                                       | varOleStr                |
// | SmallInt    | ftSmallint                                         | varSmallint              |
// | Integer     | ftInteger ftAutoInc                                | varInteger               |
// | Word        | ftWord                                             | varWord                  |
// | LargeInt    | ftLargeint                                         | varInt64                 |
// | Boolean     | ftBoolean                                          | varBoolean               |
// | Float       | ftFloat                                            | varDouble                |
// | Currency    | ftCurrency                                         | varCurrency              |
// | Bcd         | ftBCD ftFMTBcd                                     | varBcd                   |
// | DateTime    | ftDate ftTime ftDateTime                           | varDate                  |
// | TimeStamp   | ftTimeStamp                                        | varSQLTimeStamp          |
// | Bytes       | ftBytes ftVarBytes ftBlob ftGraphic ftParadoxOle   | byte array, low bound 0  |
// |             | ftDBaseOle ftTypedBinary ftOraBlob                 |                          |
// | Any         | ftVariant                                          | the value's own kind     |
//
// ftUnknown, ftCursor, ftADT, ftArray, ftReference, ftDataSet, ftInterface and ftIDispatch are not
// held. NULL is Null in every field; Empty is a value of its own only in an ftVariant field.
// SQL timestamps count fractions in nanoseconds. Pure functions; thread-safe.
#pragma once

#include <cstdint>

#include "platform/dataset/ClientFieldDef.h"
#include "platform/rtl/Variant.h"

namespace qorvin {

enum class TValueClass : uint8_t {
  Unsupported,
  AnsiText,
  WideText,
  SmallInt,
  Integer,
  Word,
  LargeInt,
  Boolean,
  Float,
  Currency,
  Bcd,
  DateTime,
  TimeStamp,
  Bytes,
  Any,
};

TValueClass ValueClassOf(int fieldType);
inline bool IsClientFieldTypeSupported(int fieldType) {
  return ValueClassOf(fieldType) != TValueClass::Unsupported;
}

// Whether an ftVariant field can keep a value of this kind: Empty, Null, the numeric, boolean,
// date, error, text, BCD, SQL timestamp and 128-bit decimal kinds, and one-dimensional byte arrays.
bool IsStorableVariant(const Variant& value);

// Whether `value` is already in the kind a field of this class keeps (Null counts for every
// class, Empty only for Any): such a value needs no conversion.
bool IsCanonicalFieldValue(TValueClass cls, const Variant& value);

// `value` (dereferenced when held by reference) converted to the kind of the field's type. Null
// and Empty give Null, except that an ftVariant field keeps Empty. Conversions keep the value
// exactly or fail: integers out of the type's range, text that is not a number, decimal values
// beyond 64 digits, text not representable in the ANSI code set, dates outside the years
// 1 .. 9999 all raise EDatabaseError "Field 'NAME': reason".
Variant CoerceFieldValue(const TClientFieldDef& def, const Variant& value);

// Date-time (days since 1899-12-30, the fraction being the time of day also for negative dates)
// to an SQL timestamp, to the millisecond; EConvertError outside the years 1 .. 9999.
SQLTimeStamp TimeStampFromDateTime(double date);
// EConvertError for a timestamp whose fields are out of range.
double DateTimeFromTimeStamp(const SQLTimeStamp& stamp);

}  // namespace qorvin
