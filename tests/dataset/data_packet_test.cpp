// Data packets: round trips of every field type, malformed and truncated packets, limits.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "platform/dataset/ClientDataSet.h"
#include "platform/dataset/DataPacket.h"
#include "platform/dataset/FieldValue.h"
#include "tests/dataset/dataset_support.h"

namespace qorvin {
namespace {

using test::BytesVariant;
using test::PacketOf;

std::string DecodeError(const std::vector<uint8_t>& bytes, const TDataPacketLimits& limits = {}) {
  try {
    DecodeDataPacket(bytes, limits);
  } catch (const EDatabaseError& e) {
    return e.Message();
  }
  return "decoded";
}

// A packet header with code set "UTF-8" and the given field definition bytes.
std::vector<uint8_t> Header(std::initializer_list<uint8_t> rest) {
  std::vector<uint8_t> b = {'Q', 'V', 'D', 'P', 1, 0, 5, 'U', 'T', 'F', '-', '8'};
  b.insert(b.end(), rest);
  return b;
}

TEST(DataPacket, EveryFieldTypeRoundTripsWithNulls) {
  TClientDataSet ds;
  test::FillEveryType(ds);
  const std::vector<uint8_t> bytes = PacketOf(ds);

  TClientDataSet copy;
  copy.SetData(DataPacketToVariant(bytes));
  ASSERT_EQ(copy.FieldDefs(), ds.FieldDefs());
  ASSERT_EQ(copy.RecordCount(), 3);
  for (int64_t r = 0; r < 3; ++r)
    for (int f = 0; f < ds.FieldCount(); ++f)
      EXPECT_EQ(copy.ValueAt(r, f), ds.ValueAt(r, f))
          << "row " << r << " " << ds.FieldDefAt(f).name;
  EXPECT_EQ(copy.ValueAt(1, ds.FieldIndex("auto")), Variant::Integer(11));
  EXPECT_TRUE(copy.ValueAt(2, ds.FieldIndex("wide")).IsNull());
  EXPECT_EQ(PacketOf(copy), bytes);  // the encoding is canonical
}

TEST(DataPacket, VariantFieldsKeepEveryStorableKind) {
  TClientDataSet ds;
  ds.AddFieldDef({"v", ftVariant, 0, 0, 0});
  ds.CreateDataSet();
  const Variant values[] = {Variant(),
                            Variant::Null(),
                            Variant::Smallint(-2),
                            Variant::Integer(-3),
                            Variant::Single(1.5f),
                            Variant::Double(2.5),
                            Variant::Currency(Currency{7}),
                            Variant::Date(3.25),
                            Variant::OleStr(u"w"),
                            Variant::Error(-1),
                            Variant::Boolean(true),
                            Variant::FromDecimal({0, 2, 0x80, 1, 12345}),
                            Variant::ShortInt(-8),
                            Variant::Byte(8),
                            Variant::Word(9),
                            Variant::LongWord(10),
                            Variant::Int64(-11),
                            Variant::UInt64(UINT64_MAX),
                            Variant::AnsiString("a"),
                            Variant::FromBcd(Bcd::FromString("-1.5")),
                            Variant::FromSQLTimeStamp({2000, 1, 2, 3, 4, 5, 6}),
                            BytesVariant({1, 2, 3})};
  for (const Variant& v : values) ds.AppendRecord({v});
  TClientDataSet copy;
  copy.SetData(ds.Data());
  ASSERT_EQ(copy.RecordCount(), int64_t(std::size(values)));
  for (size_t i = 0; i < std::size(values); ++i)
    EXPECT_EQ(copy.ValueAt(int64_t(i), 0), values[i]) << VarTypeName(values[i].Type());

  TClientDataSet bad;
  bad.AddFieldDef({"v", ftVariant, 0, 0, 0});
  bad.CreateDataSet();
  EXPECT_THROW(bad.AppendRecord({Variant::FromArray(VarArray(varInteger, {{0, 1}}))}),
               EDatabaseError);
  EXPECT_EQ(bad.RecordCount(), 0);
}

TEST(DataPacket, AnEmptyDatasetKeepsItsFields) {
  TClientDataSet ds;
  ds.AddFieldDef({"a", ftInteger, 0, 0, faRequired});
  ds.AddFieldDef({"b", ftWideString, 5, 0, 0});
  ds.CreateDataSet();
  TClientDataSet copy;
  copy.SetData(ds.Data());
  EXPECT_TRUE(copy.Active());
  EXPECT_EQ(copy.FieldDefs(), ds.FieldDefs());
  EXPECT_EQ(copy.RecordCount(), 0);
  EXPECT_TRUE(copy.Eof());
}

TEST(DataPacket, EveryPrefixIsRefused) {
  TClientDataSet ds;
  test::FillEveryType(ds);
  const std::vector<uint8_t> bytes = PacketOf(ds);
  for (size_t n = 0; n < bytes.size(); ++n) {
    const std::vector<uint8_t> prefix(bytes.begin(), bytes.begin() + n);
    EXPECT_NE(DecodeError(prefix), "decoded") << n;
  }
}

TEST(DataPacket, MalformedPacketsAreRefusedWithTheReason) {
  const struct {
    std::vector<uint8_t> bytes;
    const char* reason;
  } cases[] = {
      {{'Q', 'V', 'D', 'X', 1, 0, 0, 0, 0}, "does not begin with \"QVDP\""},
      {{'Q', 'V', 'D', 'P', 3, 0, 0, 0, 0}, "version 3 is not supported"},
      {{'Q', 'V', 'D', 'P', 2, 0, 0, 1, 1, 'a', 3, 0, 0, 0, 0x80, 0x80, 0x04, 0},
       "column type 65536 is out of range"},
      {{'Q', 'V', 'D', 'P', 2, 0, 0, 1, 1, 'a', 3, 0, 0, 0}, "column type cut short"},
      {{'Q', 'V', 'D', 'P', 1, 1, 0, 0, 0}, "reserved flags"},
      {Header({1, 1, 'a', 22, 0, 0, 0, 0}), "field type 22 (ftCursor) is not supported"},
      {Header({1, 1, 'a', 3, 0x80, 0, 0, 0}), "unknown field attribute bits"},
      {Header({1, 2, 0xC3, 0x28, 3, 0, 0, 0, 0}), "field name is not UTF-8"},
      {Header({0, 1}), "rows without fields"},
      {Header({1, 1, 'a', 3, 0, 0, 0, 1, 0x02, 1, 0, 0, 0}), "null map bit set past"},
      {Header({1, 1, 'a', 5, 0, 0, 0, 1, 0, 2}), "neither 0 nor 1"},
      {Header({1, 1, 'a', 3, 0, 0, 0, 1, 0, 1, 0, 0, 0, 0}), "1 bytes after the last row"},
      {Header({1, 1, 'a', 32, 0, 0, 0, 1, 0, 9, 0}), "variant kind 9 is not stored"},
      {Header({1, 1, 'a', 3, 0, 0, 0, 1, 0, 1, 0}), "value cut short"},
      {Header({1, 1, 'a', 3, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}), "count too large"},
      {Header({1, 1, 'a', 3, 0, 0, 0, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}), "longer than five"},
  };
  for (const auto& c : cases) {
    const std::string message = DecodeError(c.bytes);
    EXPECT_NE(message.find(c.reason), std::string::npos) << message;
    EXPECT_EQ(message.rfind("Invalid data packet: ", 0), 0u) << message;
  }
}

TEST(DataPacket, BcdValuesAreChecked) {
  std::vector<uint8_t> packet = Header({1, 1, 'a', 37, 0, 0, 0, 1, 0});
  std::vector<uint8_t> bcd(34, 0);
  bcd[0] = 2;
  bcd[2] = 0x1A;  // second digit 10
  std::vector<uint8_t> bad = packet;
  bad.insert(bad.end(), bcd.begin(), bcd.end());
  EXPECT_NE(DecodeError(bad).find("a digit above 9"), std::string::npos);
  bcd[2] = 0x12;
  bcd[0] = 65;
  bad = packet;
  bad.insert(bad.end(), bcd.begin(), bcd.end());
  EXPECT_NE(DecodeError(bad).find("more than 64 digits"), std::string::npos);
}

TEST(DataPacket, CountsBeyondTheRemainingBytesFailBeforeAllocating) {
  const std::vector<uint8_t> cases[] = {
      Header({0xFF, 0xFF, 0xFF, 0xFF, 0x07}),                                   // fields
      Header({1, 1, 'a', 3, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x07}),            // rows
      Header({1, 1, 'a', 1, 0, 0, 0, 1, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x07}),      // text
      Header({1, 1, 'a', 24, 0, 0, 0, 1, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x07, 0}),  // wide text
      Header({1, 1, 'a', 15, 0, 0, 0, 1, 0, 0xFE, 0xFF, 0xFF, 0xFF, 0x07}),     // bytes
  };
  for (const auto& bytes : cases)
    EXPECT_NE(DecodeError(bytes).find("cannot fit"), std::string::npos);
}

TEST(DataPacket, TheMemoryBudgetBoundsWhatNullRowsCanDemand) {
  // 16 NULL fields cost two bytes a row in the packet, and 16 Variants in memory.
  std::vector<uint8_t> packet = Header({16});
  for (int f = 0; f < 16; ++f) packet.insert(packet.end(), {1, uint8_t('a' + f), 3, 0, 0, 0});
  packet.insert(packet.end(), {0x80, 0x08});  // 1024 rows
  for (int r = 0; r < 1024; ++r) packet.insert(packet.end(), {0xFF, 0xFF});
  TDataPacketLimits limits;
  EXPECT_EQ(DecodeError(packet, limits), "decoded");
  const int64_t need = DataPacketMemoryEstimate(1024, 16, int64_t(packet.size()));
  EXPECT_GT(need, 1024 * 16 * int64_t(sizeof(Variant)));
  limits.max_memory = need;
  EXPECT_EQ(DecodeError(packet, limits), "decoded");
  limits.max_memory = need - 1;
  const std::string text = DecodeError(packet, limits);
  EXPECT_NE(text.find("Data packet too large: 1024 rows of 16 fields need about"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("read fewer rows at a time"), std::string::npos) << text;
  EXPECT_EQ(text.find("raise"), std::string::npos) << text;  // nothing a host could raise
  EXPECT_THROW(DecodeDataPacket(packet, limits), EDataPacketTooLarge);
}

TEST(DataPacket, TheVariantFormIsAZeroBasedByteArray) {
  TClientDataSet ds;
  ds.AddFieldDef({"a", ftInteger, 0, 0, 0});
  ds.CreateDataSet();
  Variant packet = ds.Data();
  EXPECT_EQ(packet.Type(), varArray | varByte);
  EXPECT_EQ(packet.AsArray().Bounds()[0].low, 0);
  VarArray held = packet.AsArray();
  TClientDataSet byRef;
  byRef.SetData(Variant::ByRef(varArray | varByte, &held));
  EXPECT_EQ(byRef.FieldDefs(), ds.FieldDefs());
  for (const Variant& notAPacket : {Variant::Integer(1), Variant::AnsiString("QVDP"),
                                    Variant::FromArray(VarArray(varByte, {{0, 1}, {0, 1}})),
                                    Variant::FromArray(VarArray(varInteger, {{0, 3}}))}) {
    TClientDataSet target;
    EXPECT_THROW(target.SetData(notAPacket), EDatabaseError);
  }
}

// Random schemas and rows: packet -> dataset -> packet gives the same bytes and values.
TEST(DataPacket, RandomDatasetsRoundTrip) {
  std::mt19937 rng(20240229);
  const TFieldType types[] = {ftString,  ftSmallint, ftInteger,    ftWord,     ftBoolean,
                              ftFloat,   ftCurrency, ftBCD,        ftDateTime, ftBlob,
                              ftAutoInc, ftMemo,     ftWideString, ftLargeint, ftTimeStamp};
  auto pick = [&](int n) { return int(rng() % unsigned(n)); };
  for (int round = 0; round < 200; ++round) {
    TClientDataSet ds;
    const int fields = 1 + pick(12);
    for (int f = 0; f < fields; ++f)
      ds.AddFieldDef({"f" + std::to_string(f), types[pick(int(std::size(types)))], pick(50), 0,
                      TFieldAttributes(pick(2) ? faFixed : 0)});
    ds.CreateDataSet();
    const int rows = pick(20);
    for (int r = 0; r < rows; ++r) {
      std::vector<Variant> values;
      for (int f = 0; f < fields; ++f) {
        const int n = int(rng() % 30000);
        if (pick(4) == 0) {
          values.push_back(Variant::Null());
        } else if (ds.FieldDefAt(f).dataType == ftBlob) {
          values.push_back(Variant::FromArray(VarArray(varByte, {{0, n % 40 - 1}})));
        } else {
          values.push_back(Variant::Integer(n));
        }
      }
      ds.AppendRecord(values);
    }
    const std::vector<uint8_t> bytes = PacketOf(ds);
    TClientDataSet copy;
    copy.SetData(DataPacketToVariant(bytes));
    ASSERT_EQ(copy.FieldDefs(), ds.FieldDefs());
    ASSERT_EQ(copy.RecordCount(), rows);
    for (int r = 0; r < rows; ++r)
      for (int f = 0; f < fields; ++f) ASSERT_EQ(copy.ValueAt(r, f), ds.ValueAt(r, f));
    ASSERT_EQ(PacketOf(copy), bytes);
  }
}

}  // namespace
}  // namespace qorvin
