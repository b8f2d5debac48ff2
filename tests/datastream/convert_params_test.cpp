// Blobs that carry a parameters section: where it sits, what reading it does to the dataset's
// command and parameters, and how it combines with the record-set section.
#include <gtest/gtest.h>

#include "convert_support.h"
#include "datastream/uAdoParamsStream.h"
#include "datastream/uConvertAdo.h"

namespace qorvin {
namespace {

using test::Bytes;
using test::Deflated;
using test::Inflated;
using test::MakeBlob;
using test::Trailer;

std::string Plain(std::initializer_list<int> bytes) {
  std::string out;
  for (int b : bytes) out += char(b);
  return out;
}

// Command "SELECT 1", then "Existing": input-output, typed ftInteger, size 4, value 42; and
// "Memo": output, kind 249, value the 8-bit string "hi".
const std::string kSection = Plain({
    0x08, 'S',  'E',  'L',  'E',  'C',  'T',  ' ', '1',  // command text
    0x02, 0x00,                                          // two entries
    0x08, 'E',  'x',  'i',  's',  't',  'i',  'n', 'g',  // name
    0x03, 0x01, 0x03, 0x04, 0x00, 0x00, 0x00,            // direction, kind 1, ftInteger, size 4
    0x03, 0x00, 0x2A, 0x00, 0x00, 0x00,                  // Integer 42
    0x04, 'M',  'e',  'm',  'o',                         // name
    0x02, 0xF9,                                          // output, kind 249
    0x00, 0x01, 0x02, 'h',  'i',                         // tag 256, "hi"
});

TEST(ConvertParams, SectionAddsNewAndUpdatesExistingParameters) {
  TAdoDataSet query(dkQuery);
  TParameter& existing = query.Parameters().Add(u"EXISTING");
  existing.SetDataType(ftString);
  existing.SetValue(Variant::AnsiString("old"));

  TMemoryStream stream;
  MakeBlob(stream, "", Deflated(kSection));
  EXPECT_TRUE(StreamToAdoDataSet(&query, &stream, true));
  EXPECT_EQ(stream.Size(), 0);  // cut to the (empty) record-set section
  EXPECT_FALSE(query.Active());

  EXPECT_EQ(query.SQLText(), u"SELECT 1");
  ASSERT_EQ(query.Parameters().Count(), 2);
  EXPECT_EQ(&query.Parameters()[0], &existing);  // updated in place, name kept
  EXPECT_EQ(existing.Name(), u"EXISTING");
  EXPECT_EQ(existing.Direction(), pdInputOutput);
  EXPECT_EQ(existing.DataType(), ftInteger);
  EXPECT_EQ(existing.Size(), 4);
  EXPECT_EQ(existing.Value(), Variant::Integer(42));
  const TParameter& memo = query.Parameters()[1];
  EXPECT_EQ(memo.Name(), u"Memo");
  EXPECT_EQ(memo.Direction(), pdOutput);
  EXPECT_EQ(memo.DataType(), ftMemo);  // kind 249: memo before and after the value
  EXPECT_EQ(memo.Value().ToUtf8(), "hi");
}

TEST(ConvertParams, PlainDatasetTakesTheCommandText) {
  TAdoDataSet plain;
  TMemoryStream stream;
  MakeBlob(stream, "", Deflated(kSection));
  EXPECT_TRUE(StreamToAdoDataSet(&plain, &stream, false));
  EXPECT_EQ(plain.CommandText(), u"SELECT 1");
  EXPECT_EQ(plain.Parameters().Count(), 2);
}

TEST(ConvertParams, QueryBlobCarriesRowsThenParametersThenTrailer) {
  TAdoDataSet query(dkQuery);
  test::FillSample(query);
  query.SetSQLText(u"SELECT 1");
  TParameter& p = query.Parameters().Add(u"Existing");
  p.SetDirection(pdInputOutput);
  p.SetDataType(ftInteger);
  p.SetSize(4);
  p.SetValue(Variant::Integer(42));
  TParameter& m = query.Parameters().Add(u"Memo");
  m.SetDirection(pdOutput);
  m.SetDataType(ftMemo);
  m.SetValue(Variant::AnsiString("hi"));

  TMemoryStream stream;
  ASSERT_TRUE(AdoDataSetToStream(&query, &stream, true, kPersistADTG, 1));
  const std::string blob = Bytes(stream);
  const std::string trailer = blob.substr(blob.size() - 8);
  int64_t offset = 0;
  for (int i = 7; i >= 0; --i) offset = offset << 8 | uint8_t(trailer[size_t(i)]);
  ASSERT_GT(offset, 0);
  ASSERT_LT(offset, int64_t(blob.size()) - 8);
  EXPECT_EQ(Inflated(blob.substr(0, size_t(offset))), test::SavedImage(query));
  EXPECT_EQ(Inflated(blob.substr(size_t(offset), blob.size() - 8 - size_t(offset))), kSection);

  TAdoDataSet back(dkQuery);
  ASSERT_TRUE(StreamToAdoDataSet(&back, &stream, true));
  EXPECT_EQ(stream.Size(), offset);
  EXPECT_EQ(back.SQLText(), u"SELECT 1");
  ASSERT_EQ(back.Parameters().Count(), 2);
  EXPECT_EQ(back.Parameters()[1].DataType(), ftMemo);
  EXPECT_EQ(back.RecordCount(), 3);
  EXPECT_EQ(back.FieldDefs(), query.FieldDefs());
}

TEST(ConvertParams, DamagedSectionRaisesBeforeTheRowsAreTouched) {
  TAdoDataSet source;
  test::FillSample(source);
  TMemoryStream good;
  ASSERT_TRUE(SaveRecordsetToStream(&source, &good, kPersistADTG, 1));
  const std::string section = Bytes(good);
  const std::string cut = Deflated(kSection.substr(0, kSection.size() - 3));

  TAdoDataSet query(dkQuery);
  test::FillSample(query);
  TMemoryStream stream;
  MakeBlob(stream, section, cut);
  EXPECT_THROW(StreamToAdoDataSet(&query, &stream, true), EReaderError);
  EXPECT_TRUE(query.Active());
  EXPECT_EQ(query.Parameters().Count(), 0);
  EXPECT_EQ(Bytes(stream), section + cut);  // only the trailer was cut
}

}  // namespace
}  // namespace qorvin
