// Shared helpers for the client dataset tests.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "platform/dataset/ClientDataSet.h"
#include "platform/dataset/DataPacket.h"

namespace qorvin::test {

inline std::vector<uint8_t> PacketOf(TClientDataSet& ds) {
  const Variant packet = ds.Data();
  const std::span<const uint8_t> bytes = DataPacketBytes(packet);
  return {bytes.begin(), bytes.end()};
}

inline Variant BytesVariant(std::initializer_list<uint8_t> bytes) {
  const std::vector<uint8_t> v(bytes);
  return Variant::FromArray(VarArray::Bytes(v.data(), v.size()));
}

// Every field type a client dataset holds, one field each, with a row of typical values, a row
// of extreme values and a row of NULLs.
inline void FillEveryType(TClientDataSet& ds) {
  const TClientFieldDef defs[] = {
      {"s", ftString, 20, 0, faRequired},
      {"smallint", ftSmallint, 0, 0, 0},
      {"int", ftInteger, 0, 0, faReadonly},
      {"word", ftWord, 0, 0, 0},
      {"bool", ftBoolean, 0, 0, 0},
      {"float", ftFloat, 0, 0, 0},
      {"cur", ftCurrency, 0, 0, 0},
      {"bcd", ftBCD, 4, 18, 0},
      {"date", ftDate, 0, 0, 0},
      {"time", ftTime, 0, 0, 0},
      {"dt", ftDateTime, 0, 0, 0},
      {"bytes", ftBytes, 4, 0, faFixed},
      {"varbytes", ftVarBytes, 10, 0, 0},
      {"auto", ftAutoInc, 0, 0, faReadonly | faAutoInc},
      {"blob", ftBlob, 0, 0, 0},
      {"memo", ftMemo, 0, 0, 0},
      {"graphic", ftGraphic, 0, 0, 0},
      {"fmtmemo", ftFmtMemo, 0, 0, 0},
      {"pole", ftParadoxOle, 0, 0, 0},
      {"dole", ftDBaseOle, 0, 0, 0},
      {"typed", ftTypedBinary, 0, 0, 0},
      {"fixed", ftFixedChar, 3, 0, faFixed},
      {"wide", ftWideString, 30, 0, 0},
      {"large", ftLargeint, 0, 0, 0},
      {"orablob", ftOraBlob, 0, 0, 0},
      {"oraclob", ftOraClob, 0, 0, 0},
      {"variant", ftVariant, 0, 0, 0},
      {"guid", ftGuid, 38, 0, 0},
      {"stamp", ftTimeStamp, 0, 0, 0},
      {"fmtbcd", ftFMTBcd, 8, 32, 0},
  };
  for (const auto& d : defs) ds.AddFieldDef(d);
  ds.CreateDataSet();
  ds.AppendRecord({Variant::AnsiString("abc"),
                   Variant::Smallint(-5),
                   Variant::Integer(7),
                   Variant::Word(65535),
                   Variant::Boolean(true),
                   Variant::Double(-0.25),
                   Variant::Currency(Currency{-15000}),
                   Variant::FromBcd(Bcd::FromString("12345.6789")),
                   Variant::Date(45000),
                   Variant::Date(0.5),
                   Variant::Date(45000.75),
                   BytesVariant({1, 2, 3, 4}),
                   BytesVariant({}),
                   Variant::Integer(10),
                   BytesVariant({0, 255}),
                   Variant::AnsiString(std::string(300, 'm')),
                   BytesVariant({9}),
                   Variant::AnsiString("f"),
                   BytesVariant({1}),
                   BytesVariant({2}),
                   BytesVariant({3}),
                   Variant::AnsiString("abc"),
                   Variant::OleStr(u"\u4e2d\u6587\U0001F600"),
                   Variant::Int64(INT64_MIN),
                   BytesVariant({4}),
                   Variant::AnsiString("clob"),
                   Variant::Int64(-9),
                   Variant::AnsiString("{00000000-0000-0000-0000-000000000001}"),
                   Variant::FromSQLTimeStamp({2024, 2, 29, 23, 59, 58, 123000000}),
                   Variant::FromBcd(Bcd::FromString("-0.00000001"))});
  ds.AppendRecord({Variant::AnsiString(""),
                   Variant::Smallint(INT16_MIN),
                   Variant::Integer(INT32_MIN),
                   Variant::Word(0),
                   Variant::Boolean(false),
                   Variant::Double(1e308),
                   Variant::Currency(Currency{INT64_MAX}),
                   Variant::FromBcd(Bcd::FromString("0")),
                   Variant::Date(-693593),
                   Variant::Date(0),
                   Variant::Date(2958465.999988426),
                   BytesVariant({0, 0, 0, 0}),
                   BytesVariant({255}),
                   Variant(),
                   BytesVariant({}),
                   Variant::AnsiString(""),
                   BytesVariant({}),
                   Variant::AnsiString(""),
                   BytesVariant({}),
                   BytesVariant({}),
                   BytesVariant({}),
                   Variant::AnsiString(""),
                   Variant::OleStr(u""),
                   Variant::Int64(INT64_MAX),
                   BytesVariant({}),
                   Variant::AnsiString(""),
                   Variant::OleStr(u"v"),
                   Variant::AnsiString(""),
                   Variant::FromSQLTimeStamp({1, 1, 1, 0, 0, 0, 0}),
                   Variant::FromBcd(Bcd::FromString(std::string(64, '9')))});
  ds.AppendRecord({Variant::AnsiString("required")});
}

}  // namespace qorvin::test
