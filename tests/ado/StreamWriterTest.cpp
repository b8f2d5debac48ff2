// The streaming tablegram writer against the record set's own save: random schemas, row counts
// and batch sizes, NULLs everywhere; the bytes must be the same.
#include <gtest/gtest.h>

#include <random>

#include "platform/ado/AdoDataSet.h"
#include "platform/ado/AdoValues.h"
#include "platform/ado/AdtgStreamWriter.h"
#include "platform/rtl/Text.h"

namespace qorvin::test {
namespace {

struct Column {
  TFieldType type;
  int size;
};

const Column kColumns[] = {{ftInteger, 0},    {ftLargeint, 0},    {ftFloat, 0},
                           {ftBoolean, 0},    {ftDateTime, 0},    {ftDate, 0},
                           {ftWideString, 1}, {ftWideString, 20}, {ftWideString, 300},
                           {ftBlob, 0},       {ftFMTBcd, 4},      {ftSmallint, 0}};

Variant RandomValue(const Column& c, std::mt19937& rng) {
  std::uniform_int_distribution<int> pick(0, 1 << 30);
  switch (c.type) {
    case ftInteger:
      return Variant::Integer(int32_t(pick(rng)) - (1 << 29));
    case ftSmallint:
      return Variant::Smallint(int16_t(pick(rng) % 60000 - 30000));
    case ftLargeint:
      return Variant::Int64(int64_t(pick(rng)) * 1000003 - (int64_t(1) << 40));
    case ftFloat:
      return Variant::Double(pick(rng) / 7.0);
    case ftBoolean:
      return Variant::Boolean(pick(rng) & 1);
    case ftDateTime:
      return Variant::Date(40000.0 + pick(rng) % 100000 / 86400.0);
    case ftDate:
      return Variant::Date(40000.0 + pick(rng) % 1000);
    case ftWideString: {
      std::u16string s(size_t(pick(rng) % (c.size + 1)), u'a');
      for (auto& ch : s) ch = char16_t(u'a' + pick(rng) % 26 + (pick(rng) % 9 == 0 ? 0x400 : 0));
      return Variant::OleStr(s);
    }
    case ftBlob: {
      std::string b(size_t(pick(rng) % 700), '\0');
      for (auto& ch : b) ch = char(pick(rng));
      return Variant::FromArray(VarArray::Bytes(b.data(), b.size()));
    }
    default:
      return Variant::FromBcd(Bcd::FromString(std::to_string(pick(rng) % 100000) + "." +
                                              std::to_string(pick(rng) % 10000)));
  }
}

// A wide text cell set straight from UTF-8 holds what SetCellValue makes of the text's OleStr,
// and anything that does not go so (another column type, text that is not UTF-8 or too long)
// is left to SetCellValue with the cell untouched.
TEST(AdoValues, AWideCellFromUtf8IsTheCellOfItsOleStr) {
  using ado::SetCellValue;
  using ado::SetWideCellFromUtf8;
  TFieldDefs defs;
  defs.Add(u"Var", ftWideString, 20);
  defs.Add(MakeColumnDef(u"Fixed", adWChar, 8, 0, false));  // fixed width: padded
  defs.Add(MakeColumnDef(u"Long", adWChar, 0, 0, false));   // long: no maximum
  defs.Add(u"Number", ftInteger);
  RowStore direct, through;
  direct.Reset(RowLayout::For(defs));
  through.Reset(RowLayout::For(defs));
  const std::string texts[] = {"",
                               "abc",
                               "\xC3\xA9t\xC3\xA9 \xE4\xB8\xAD",
                               "\xF0\x9F\x98\x80 emoji",
                               std::string(19, 'x'),
                               std::string(21, 'y'),
                               "bad \xC3 utf-8",
                               "\xED\xA0\x80 surrogate"};
  for (int col = 0; col < defs.Count(); ++col) {
    for (const std::string& text : texts) {
      SCOPED_TRACE(std::to_string(col) + " " + text);
      const uint32_t a = direct.NewRecord(), b = through.NewRecord();
      const bool taken = SetWideCellFromUtf8(defs[col], direct, direct.Record(a), col, text);
      std::string failure;
      try {
        SetCellValue(defs[col], through, through.Record(b), col,
                     Variant::OleStr(Utf8ToUtf16(text)));
      } catch (const std::exception& e) {
        failure = e.what();
      }
      if (!taken) {
        EXPECT_FALSE(direct.Present(direct.Record(a), col));
        continue;
      }
      EXPECT_EQ(failure, "");
      ASSERT_TRUE(direct.Present(direct.Record(a), col));
      EXPECT_EQ(direct.Var(direct.Record(a), col), through.Var(through.Record(b), col));
    }
  }
  // Wide columns take valid text that fits; the others never.
  const uint32_t r = direct.NewRecord();
  EXPECT_TRUE(SetWideCellFromUtf8(defs[0], direct, direct.Record(r), 0, "fits"));
  EXPECT_TRUE(SetWideCellFromUtf8(defs[1], direct, direct.Record(r), 1, "fits"));
  EXPECT_TRUE(SetWideCellFromUtf8(defs[2], direct, direct.Record(r), 2, std::string(5000, 'z')));
  EXPECT_FALSE(SetWideCellFromUtf8(defs[0], direct, direct.Record(r), 0, std::string(21, 'y')));
  EXPECT_FALSE(SetWideCellFromUtf8(defs[0], direct, direct.Record(r), 0, "bad \xC3 utf-8"));
  EXPECT_FALSE(SetWideCellFromUtf8(defs[3], direct, direct.Record(r), 3, "12"));
}

// Numbers set straight into their cells hold what SetCellValue makes of their Int64 or Double
// Variants; a value out of the column's range, or a column of another type, is left alone.
TEST(AdoValues, ANumberCellIsTheCellOfItsVariant) {
  TFieldDefs defs;
  defs.Add(u"S", ftSmallint);
  defs.Add(u"I", ftInteger);
  defs.Add(u"L", ftLargeint);
  defs.Add(u"D", ftFloat);
  defs.Add(u"B", ftBoolean);
  RowStore direct, through;
  direct.Reset(RowLayout::For(defs));
  through.Reset(RowLayout::For(defs));
  const RowLayout& layout = direct.Layout();
  const int64_t integers[] = {
      0, -1, 32767, 32768, -32769, INT32_MAX, int64_t(INT32_MAX) + 1, INT64_MIN, INT64_MAX};
  for (int col = 0; col < defs.Count(); ++col) {
    const size_t width = layout.cells[size_t(col)].width;
    const auto same = [&](bool taken, const Variant& v, uint32_t a, uint32_t b) {
      bool failed = false;
      try {
        ado::SetCellValue(defs[col], through, through.Record(b), col, v);
      } catch (const std::exception&) {
        failed = true;
      }
      if (!taken) {
        EXPECT_FALSE(direct.Present(direct.Record(a), col));
        return;
      }
      EXPECT_FALSE(failed);
      EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(direct.Cell(direct.Record(a), col)),
                                 width),
                std::string_view(
                    reinterpret_cast<const char*>(through.Cell(through.Record(b), col)), width));
    };
    for (const int64_t v : integers) {
      SCOPED_TRACE(std::to_string(col) + " " + std::to_string(v));
      const uint32_t a = direct.NewRecord(), b = through.NewRecord();
      same(ado::SetNumberCell(direct, direct.Record(a), col, v), Variant::Int64(v), a, b);
    }
    for (const double v : {0.0, -2.5, 1e300}) {
      const uint32_t a = direct.NewRecord(), b = through.NewRecord();
      const bool taken = ado::SetNumberCell(direct, direct.Record(a), col, v);
      EXPECT_EQ(taken, col == 3);
      same(taken, Variant::Double(v), a, b);
    }
  }
  const uint32_t r = direct.NewRecord();
  EXPECT_FALSE(ado::SetNumberCell(direct, direct.Record(r), 0, int64_t(40000)));
  EXPECT_FALSE(ado::SetNumberCell(direct, direct.Record(r), 4, int64_t(1)));
  EXPECT_TRUE(ado::SetNumberCell(direct, direct.Record(r), 2, INT64_MIN));
}

TEST(AdtgStreamWriter, SameBytesAsTheWholeRecordSet) {
  std::mt19937 rng(20261209);
  for (int round = 0; round < 60; ++round) {
    std::vector<Column> columns;
    const int count = 1 + int(rng() % 9);
    for (int i = 0; i < count; ++i) columns.push_back(kColumns[rng() % std::size(kColumns)]);
    const int rows = round % 10 == 0 ? 0 : int(rng() % (round % 3 == 0 ? 5000 : 200));
    const int nullEvery = 2 + int(rng() % 5);

    TAdoDataSet whole;
    for (int i = 0; i < count; ++i)
      whole.MutableFieldDefs().Add(u"C" + std::u16string(1, char16_t(u'a' + i)), columns[i].type,
                                   columns[i].size, false, columns[i].type == ftFMTBcd ? 12 : 0);
    whole.Open();
    std::vector<std::vector<Variant>> values;
    for (int r = 0; r < rows; ++r) {
      values.emplace_back();
      whole.Append();
      for (int i = 0; i < count; ++i) {
        Variant v = rng() % nullEvery == 0 ? Variant::Null() : RandomValue(columns[i], rng);
        values.back().push_back(v);
        if (!v.IsNull()) whole.SetFieldValue(i, v);
      }
      whole.Post();
    }
    TMemoryStream expected;
    whole.Save(expected);

    TMemoryStream streamed;
    {
      ado::AdtgStreamWriter writer(whole.ImageInfo(), whole.FieldDefs(), uint32_t(rows), streamed);
      const size_t batch = 1 + rng() % 700;
      for (int r = 0; r < rows; ++r) {
        RowStore& store = writer.Batch();
        const uint32_t id = store.NewRecord();
        for (int i = 0; i < count; ++i)
          ado::SetCellValue(whole.FieldDefs()[i], store, store.Record(id), i, values[r][i]);
        writer.AddRow(id);
        if (writer.BatchRows() >= batch) writer.WriteBatch();
      }
      writer.Finish();
    }
    ASSERT_EQ(expected.View(), streamed.View()) << "round " << round << ", " << rows << " rows";
  }
}

TEST(AdtgStreamWriter, RowCountMustMatchTheAnnouncedCount) {
  TAdoDataSet ds;
  ds.MutableFieldDefs().Add(u"Id", ftInteger);
  ds.Open();
  TMemoryStream out;
  ado::AdtgStreamWriter fewer(ds.ImageInfo(), ds.FieldDefs(), 2, out);
  fewer.AddRow(fewer.Batch().NewRecord());
  EXPECT_THROW(fewer.Finish(), EAdoError);

  TMemoryStream out2;
  ado::AdtgStreamWriter more(ds.ImageInfo(), ds.FieldDefs(), 1, out2);
  more.AddRow(more.Batch().NewRecord());
  more.AddRow(more.Batch().NewRecord());
  EXPECT_THROW(more.WriteBatch(), EAdoError);
}

}  // namespace
}  // namespace qorvin::test
