// The streaming tablegram writer against the record set's own save: random schemas, row counts
// and batch sizes, NULLs everywhere; the bytes must be the same.
#include <gtest/gtest.h>

#include <random>

#include "platform/ado/AdoDataSet.h"
#include "platform/ado/AdoValues.h"
#include "platform/ado/AdtgStreamWriter.h"

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
