// Save and open again: every column type the record set holds, with boundary values, NULLs,
// empty and large values, in both row forms; the image must come back byte for byte.
#include <gtest/gtest.h>

#include <array>
#include <cfloat>

#include "platform/ado/AdoDataSet.h"
#include "tests/ado/AdoTestUtil.h"

namespace qorvin::test {
namespace {

Variant Bytes(std::string_view bytes) {
  return Variant::FromArray(VarArray::Bytes(bytes.data(), bytes.size()));
}
Variant DecimalValue(uint8_t scale, bool negative, uint32_t hi, uint64_t lo) {
  Decimal d;
  d.scale = scale;
  d.sign = negative ? 0x80 : 0;
  d.hi32 = hi;
  d.lo64 = lo;
  return Variant::FromDecimal(d);
}
Variant BcdValue(const char* text) {
  return Variant::FromBcd(Bcd::FromString(text));
}
double OleTimeOf(int hour, int minute, int second) {
  return (hour * 3600.0 + minute * 60.0 + second) / 86400.0;
}

struct Column {
  Column(TFieldDef d, std::array<Variant, 2> v, std::array<Variant, 2> r = {})
      : def(std::move(d)), values(std::move(v)), readBack(std::move(r)) {}
  TFieldDef def;
  std::array<Variant, 2> values;
  std::array<Variant, 2> readBack;  // Empty: reads back as written
};

TFieldDef Ft(const char16_t* name, TFieldType type, uint32_t size = 0, uint32_t precision = 0) {
  return MakeFieldDef(name, type, size, false, precision);
}
TFieldDef Ado(const char16_t* name, uint16_t type, uint32_t maxLength, uint32_t flags = 0,
              uint32_t precision = 0, int32_t scale = 0) {
  TFieldDef def;
  def.name = name;
  def.adoType = type;
  def.maxLength = maxLength;
  def.attributes = adFldUpdatable | adFldIsNullable | flags;
  def.precision = precision;
  def.numericScale = scale;
  def.dataType = FieldTypeFromAdo(type, def.attributes, precision, scale, false);
  return def;
}

std::vector<Column> EveryType() {
  const std::u16string wide127(127, u'w'), wide128(128, u'W');
  const std::string bytes1000(1000, '\xA5');
  std::string bytes8 = "\x00\x01\x02\x03\x04\x05\x06\x07";
  bytes8.resize(8);
  return {
      {Ft(u"S", ftString, 30), {Variant::AnsiString("hello"), Variant::AnsiString("")}},
      {Ft(u"FC", ftFixedChar, 10),
       {Variant::AnsiString("abc"), Variant::AnsiString("0123456789")},
       {Variant::AnsiString("abc       "), Variant()}},
      {Ft(u"WS", ftWideString, 40),
       {Variant::OleStr(u"Gr\u00FC\u00DFe \U0001F600"), Variant::OleStr(std::u16string(40, u'x'))}},
      {Ft(u"I2", ftSmallint), {Variant::Smallint(-32768), Variant::Smallint(32767)}},
      {Ft(u"I4", ftInteger), {Variant::Integer(INT32_MIN), Variant::Integer(INT32_MAX)}},
      {Ft(u"U2", ftWord), {Variant::Word(0), Variant::Word(65535)}},
      {Ft(u"B", ftBoolean), {Variant::Boolean(true), Variant::Boolean(false)}},
      {Ft(u"F", ftFloat), {Variant::Double(3.14159), Variant::Double(-DBL_MAX)}},
      {Ft(u"CY", ftCurrency),
       {Variant::Currency(Currency{15000}), Variant::Currency(Currency{INT64_MIN})}},
      {Ft(u"BCD", ftBCD, 4), {BcdValue("-12.3400"), BcdValue("99999999999999.9999")}},
      {Ft(u"FMT", ftFMTBcd, 10),
       {BcdValue("0.0000000001"), BcdValue("-999999999999999999.9999999999")}},
      {Ft(u"D", ftDate), {Variant::Date(45000.0), Variant::Date(-1.0)}},
      {Ft(u"T", ftTime), {Variant::Date(0.5), Variant::Date(86399.0 / 86400.0)}},
      {Ft(u"DT", ftDateTime), {Variant::Date(36925.170208333335), Variant::Date(-657434.0)}},
      {Ft(u"TS", ftTimeStamp),
       {Variant::FromSQLTimeStamp({2026, 2, 3, 4, 5, 6, 500000000}),
        Variant::FromSQLTimeStamp({1, 1, 1, 0, 0, 0, 0})}},
      {Ft(u"BY", ftBytes, 8),
       {Bytes("\x01\x02\x03"), Bytes(bytes8)},
       {Bytes(std::string("\x01\x02\x03\0\0\0\0\0", 8)), Variant()}},
      {Ft(u"VB", ftVarBytes, 16), {Bytes(std::string(16, '\xFF')), Bytes("")}},
      {Ft(u"BL", ftBlob), {Bytes(bytes1000), Bytes("")}},
      {Ft(u"M", ftMemo),
       {Variant::AnsiString(std::string(300, 'm')), Variant::AnsiString("\xff\xfe\x80")}},
      {Ft(u"W", ftWideString), {Variant::OleStr(std::u16string(300, u'w')), Variant::OleStr(u"")}},
      {Ft(u"I8", ftLargeint), {Variant::Int64(INT64_MIN), Variant::Int64(INT64_MAX)}},
      {Ft(u"V", ftVariant), {Variant::Integer(7), Variant()}},
      {Ft(u"G", ftGuid),
       {Variant::OleStr(u"{01234567-89AB-CDEF-0123-456789ABCDEF}"),
        Variant::OleStr(u"{00000000-0000-0000-0000-000000000000}")}},
      {Ado(u"I1", adTinyInt, 1), {Variant::ShortInt(-128), Variant::ShortInt(127)}},
      {Ado(u"U1", adUnsignedTinyInt, 1), {Variant::Byte(0), Variant::Byte(255)}},
      {Ado(u"U4", adUnsignedInt, 4), {Variant::LongWord(0), Variant::LongWord(UINT32_MAX)}},
      {Ado(u"U8", adUnsignedBigInt, 8), {Variant::UInt64(0), Variant::UInt64(UINT64_MAX)}},
      {Ado(u"R4", adSingle, 4), {Variant::Single(1.5f), Variant::Single(-FLT_MAX)}},
      {Ado(u"FT", adFileTime, 8), {Variant::Date(36925.5), Variant::Date(-109205.0)}},
      {Ado(u"DEC", adDecimal, 16, 0, 28, 6),
       {DecimalValue(4, true, 0, 9223375808u), DecimalValue(0, false, UINT32_MAX, UINT64_MAX)}},
      {Ado(u"VN", adVarNumeric, 20), {BcdValue("1234.5"), BcdValue("-0.001")}},
      {Ado(u"BSTR", adWChar, kAdoUnlimited, adFldLong),
       {Variant::OleStr(std::u16string(70000, u'b')), Variant::OleStr(u"")}},
      {Ado(u"LSTR", adChar, 4000, adFldLong),
       {Variant::AnsiString(std::string(5000, 'a')), Variant::AnsiString("")}},
      {Ado(u"FW12", adWChar, 12, adFldFixed),
       {Variant::OleStr(u"abc"), Variant::OleStr(u"twelve chars")},
       {Variant::OleStr(u"abc         "), Variant()}},
      {Ado(u"FS300", adChar, 300, adFldFixed),
       {Variant::AnsiString("xyz"), Variant::AnsiString(std::string(300, 'z'))},
       {Variant::AnsiString("xyz" + std::string(297, ' ')), Variant()}},
      {Ado(u"W127", adWChar, 127), {Variant::OleStr(wide127), Variant::OleStr(u"")}},
      {Ado(u"W128", adWChar, 128), {Variant::OleStr(wide128), Variant::OleStr(u"")}},
      {Ado(u"S255", adChar, 255),
       {Variant::AnsiString(std::string(255, 's')), Variant::AnsiString("")}},
      {Ado(u"S256", adChar, 256),
       {Variant::AnsiString(std::string(256, 'S')), Variant::AnsiString("")}},
  };
}

// Rows: the first values, the second values, all NULL.
void Fill(TAdoDataSet& ds, const std::vector<Column>& columns) {
  for (const Column& c : columns) ds.MutableFieldDefs().Add(c.def);
  ds.Open();
  for (int row = 0; row < 3; ++row) {
    ds.Append();
    for (size_t i = 0; i < columns.size(); ++i)
      ds.SetFieldValue(int(i), row < 2 ? columns[i].values[row] : Variant::Null());
    ds.Post();
  }
}

void ExpectRows(TAdoDataSet& ds, const std::vector<Column>& columns) {
  ASSERT_EQ(ds.RecordCount(), 3);
  ds.First();
  for (int row = 0; row < 3; ++row, ds.Next()) {
    for (size_t i = 0; i < columns.size(); ++i) {
      const Column& c = columns[i];
      SCOPED_TRACE("row " + std::to_string(row) + " field " + std::to_string(i));
      if (row == 2) {
        EXPECT_TRUE(ds.FieldIsNull(int(i)));
        continue;
      }
      const Variant& want = c.readBack[row].IsEmpty() ? c.values[row] : c.readBack[row];
      EXPECT_EQ(ds.FieldValue(int(i)), want) << VarTypeName(ds.FieldValue(int(i)).Type());
    }
  }
}

class EveryTypeRoundTrip : public ::testing::TestWithParam<TLockType> {};

TEST_P(EveryTypeRoundTrip, ValuesNullsAndBytesSurvive) {
  const std::vector<Column> columns = EveryType();
  TAdoDataSet built;
  built.SetLockType(GetParam());
  Fill(built, columns);
  ExpectRows(built, columns);
  const std::string image = SaveToBytes(built);

  TAdoDataSet opened;
  OpenFromBytes(opened, image);
  EXPECT_EQ(opened.FieldDefs().Count(), built.FieldDefs().Count());
  for (int i = 0; i < built.FieldCount(); ++i)
    EXPECT_EQ(opened.FieldDefs()[i], built.FieldDefs()[i]) << "field " << i;
  const TRowStatus status =
      GetParam() == ltBatchOptimistic ? TRowStatus::Inserted : TRowStatus::Unchanged;
  for (int64_t r = 0; r < opened.StoredRowCount(); ++r)
    EXPECT_EQ(opened.StoredRowStatus(r), status);
  ExpectRows(opened, columns);
  EXPECT_EQ(SaveToBytes(opened), image);
}

INSTANTIATE_TEST_SUITE_P(RowForms, EveryTypeRoundTrip,
                         ::testing::Values(ltOptimistic, ltBatchOptimistic));

TEST(AdtgRoundTrip, EmptyRecordSetKeepsItsDefinitions) {
  const std::vector<Column> columns = EveryType();
  TAdoDataSet built;
  for (const Column& c : columns) built.MutableFieldDefs().Add(c.def);
  built.Open();
  const std::string image = SaveToBytes(built);
  EXPECT_EQ(uint8_t(image.back()), 0x0F);

  TAdoDataSet opened;
  OpenFromBytes(opened, image);
  EXPECT_TRUE(opened.IsEmpty());
  EXPECT_TRUE(opened.Bof());
  EXPECT_TRUE(opened.Eof());
  EXPECT_EQ(opened.RecNo(), 0);
  EXPECT_TRUE(opened.FieldValue(0).IsNull());
  EXPECT_EQ(opened.FieldDefs(), built.FieldDefs());
  EXPECT_EQ(SaveToBytes(opened), image);
}

// The bytes of the only row of a one-column record set, between the metadata and the done token.
std::string RowBytes(TFieldDef def, const Variant& value) {
  TAdoDataSet ds;
  ds.SetLockType(ltOptimistic);
  ds.MutableFieldDefs().Add(std::move(def));
  ds.Open();
  const size_t metadata = SaveToBytes(ds).size() - 1;
  ds.Append();
  ds.SetFieldValue(0, value);
  ds.Post();
  const std::string image = SaveToBytes(ds);
  return image.substr(metadata, image.size() - metadata - 1);
}

TEST(AdtgRoundTrip, LengthPrefixFollowsTheByteCapacity) {
  // WSTR capacity is twice the length: 127 units fit a 1-byte length, 128 need 4 bytes.
  EXPECT_EQ(RowBytes(Ado(u"W", adWChar, 127), Variant::OleStr(u"A")), HexToBytes("07 FF 02 41 00"));
  EXPECT_EQ(RowBytes(Ado(u"W", adWChar, 128), Variant::OleStr(u"A")),
            HexToBytes("07 FF 02 00 00 00 41 00"));
  EXPECT_EQ(RowBytes(Ado(u"S", adChar, 255), Variant::AnsiString("")), HexToBytes("07 FF 00"));
  EXPECT_EQ(RowBytes(Ado(u"S", adChar, 256), Variant::AnsiString("")),
            HexToBytes("07 FF 00 00 00 00"));
  // Fixed length: no length up to 255 bytes, padded; past 255 a 4-byte length of the full width.
  EXPECT_EQ(RowBytes(Ado(u"F", adWChar, 3, adFldFixed), Variant::OleStr(u"A")),
            HexToBytes("07 FF 41 00 20 00 20 00"));
  EXPECT_EQ(RowBytes(Ado(u"F", adBinary, 256, adFldFixed), Bytes("\x01")).substr(0, 7),
            HexToBytes("07 FF 00 01 00 00 01"));
  EXPECT_EQ(RowBytes(Ado(u"L", adBinary, kAdoUnlimited, adFldLong), Bytes("\x01")),
            HexToBytes("07 FF 01 00 00 00 01"));
}

TEST(AdtgRoundTrip, NumericEncodings) {
  // NUMERIC: precision and scale of the column, sign 1 for positive and zero.
  EXPECT_EQ(RowBytes(Ado(u"N", adNumeric, 19, 0, 18, 4), BcdValue("1.2345")),
            HexToBytes("07 FF 12 04 01 39 30 00 00 00 00 00 00 00 00 00 00 00 00 00 00"));
  EXPECT_EQ(RowBytes(Ado(u"N", adNumeric, 19, 0, 1, 0), Variant::Integer(0)),
            HexToBytes("07 FF 01 00 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"));
  // Rounded half away from zero to the column's scale.
  EXPECT_EQ(RowBytes(Ado(u"N", adNumeric, 19, 0, 5, 2), Variant::Double(-1.005)).substr(2, 4),
            HexToBytes("05 02 00 65"));
  // VARNUMERIC: trailing fraction zeros dropped, shortest magnitude.
  EXPECT_EQ(RowBytes(Ado(u"V", adVarNumeric, 20), BcdValue("1234.5")),
            HexToBytes("07 FF 05 05 01 01 39 30"));
  EXPECT_EQ(RowBytes(Ado(u"V", adVarNumeric, 20), BcdValue("123456.7890")),
            HexToBytes("07 FF 07 09 03 01 15 CD 5B 07"));
  EXPECT_EQ(RowBytes(Ado(u"D", adDecimal, 16), BcdValue("-922337.5808")),
            HexToBytes("07 FF 00 00 04 80 00 00 00 00 C0 8B C1 25 02 00 00 00"));
  EXPECT_EQ(RowBytes(Ado(u"C", adCurrency, 8), Variant::Double(-7.89)),
            HexToBytes("07 FF CC CB FE FF FF FF FF FF"));
}

TEST(AdtgRoundTrip, DateEncodings) {
  EXPECT_EQ(RowBytes(Ado(u"D", adDate, 8), Variant::FromSQLTimeStamp({2001, 2, 3, 4, 5, 6, 0})),
            HexToBytes("07 FF 26 BF 58 72 A5 07 E2 40"));
  EXPECT_EQ(RowBytes(Ado(u"D", adDBDate, 6), Variant::FromSQLTimeStamp({2026, 6, 12, 9, 0, 0, 0})),
            HexToBytes("07 FF EA 07 06 00 0C 00"));
  EXPECT_EQ(RowBytes(Ado(u"T", adDBTime, 6), Variant::Date(OleTimeOf(14, 30, 15))),
            HexToBytes("07 FF 0E 00 1E 00 0F 00"));
  EXPECT_EQ(RowBytes(Ado(u"F", adFileTime, 8), Variant::Date(0.0)),
            HexToBytes("07 FF 00 C0 0C A9 A9 35 4F 01"));
}

}  // namespace
}  // namespace qorvin::test
