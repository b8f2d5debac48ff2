// The dataset blob: exact bytes of what is written, reading it back, and every way a blob can be
// short, damaged or lying about its layout.
#include <gtest/gtest.h>

#include "convert_support.h"
#include "datastream/uConvertAdo.h"

namespace qorvin {
namespace {

using test::Bytes;
using test::Inflated;
using test::MakeBlob;
using test::SavedImage;
using test::Trailer;

std::string BlobOf(const TAdoDataSet& ds) {
  TMemoryStream stream;
  EXPECT_TRUE(AdoDataSetToStream(&ds, &stream, true, kPersistADTG, 1));
  return Bytes(stream);
}

TEST(ConvertBlobWrite, InactiveOrDatalessDatasetIsEightZeroBytes) {
  TAdoDataSet closed;
  closed.MutableFieldDefs().Add(u"ID", ftInteger);
  EXPECT_EQ(BlobOf(closed), std::string(8, '\0'));

  TAdoDataSet open;
  test::FillSample(open);
  TMemoryStream stream;
  EXPECT_TRUE(AdoDataSetToStream(&open, &stream, false, kPersistADTG, 1));
  EXPECT_EQ(Bytes(stream), std::string(8, '\0'));
  EXPECT_EQ(stream.Position(), 8);
}

TEST(ConvertBlobWrite, NullDatasetOrStreamWritesNothing) {
  TMemoryStream stream;
  EXPECT_FALSE(AdoDataSetToStream(nullptr, &stream, true, kPersistADTG, 1));
  EXPECT_EQ(stream.Size(), 0);
  TAdoDataSet ds;
  test::FillSample(ds);
  EXPECT_FALSE(AdoDataSetToStream(&ds, nullptr, true, kPersistADTG, 1));
  EXPECT_FALSE(SaveRecordsetToStream(&ds, nullptr, kPersistADTG, 1));
  EXPECT_FALSE(SaveRecordsetToStream(nullptr, &stream, kPersistADTG, 1));
  TAdoDataSet closed;
  EXPECT_FALSE(SaveRecordsetToStream(&closed, &stream, kPersistADTG, 1));
  EXPECT_EQ(stream.Size(), 0);
}

TEST(ConvertBlobWrite, ActivePlainDatasetIsLevelOneSectionThenTrailer) {
  TAdoDataSet ds;
  test::FillSample(ds);
  TMemoryStream stream;
  ASSERT_TRUE(AdoDataSetToStream(&ds, &stream, true, kPersistADTG, 1));
  const std::string blob = Bytes(stream);
  ASSERT_GT(blob.size(), 10u);
  const std::string section = blob.substr(0, blob.size() - 8);
  EXPECT_EQ(blob.substr(blob.size() - 8), Trailer(int64_t(section.size())));
  EXPECT_EQ(uint8_t(section[0]), 0x78);  // zlib header of level 1
  EXPECT_EQ(uint8_t(section[1]), 0x01);
  EXPECT_EQ(Inflated(section), SavedImage(ds));
  EXPECT_EQ(stream.Position(), stream.Size());
}

TEST(ConvertBlobWrite, SectionStartsAtPositionWithTheLevelAsked) {
  TAdoDataSet ds;
  test::FillSample(ds);
  TMemoryStream stream;
  stream.WriteBytes("XYZ");
  ASSERT_TRUE(SaveRecordsetToStream(&ds, &stream, kPersistADTG, 3));
  const std::string bytes = Bytes(stream);
  EXPECT_EQ(bytes.substr(0, 3), "XYZ");
  EXPECT_EQ(uint8_t(bytes[4]), 0xDA);  // level index 3 = zlib level 9
  EXPECT_EQ(Inflated(bytes.substr(3)), SavedImage(ds));
  EXPECT_EQ(stream.Position(), stream.Size());

  EXPECT_THROW(SaveRecordsetToStream(&ds, &stream, kPersistADTG, 13), EZCompressionError);
  EXPECT_EQ(Bytes(stream), bytes);
}

// A record set that cannot be saved must not travel as a blob that looks complete.
TEST(ConvertBlobWrite, FailedSaveIsRaisedAndLeavesStreamAsItWas) {
  TAdoDataSet ds;
  test::FillSample(ds);
  ds.Append();  // a row being edited cannot be saved
  TMemoryStream stream;
  stream.WriteBytes("keep");
  stream.SetPosition(2);
  EXPECT_THROW(SaveRecordsetToStream(&ds, &stream, kPersistADTG, 1), EAdoError);
  EXPECT_EQ(Bytes(stream), "keep");
  EXPECT_EQ(stream.Position(), 2);

  TMemoryStream fresh;
  EXPECT_THROW(AdoDataSetToStream(&ds, &fresh, true, kPersistADTG, 1), EAdoError);
  EXPECT_EQ(fresh.Size(), 0);
  ds.Cancel();

  EXPECT_THROW(SaveRecordsetToStream(&ds, &fresh, 1, 1), EAdoError);  // XML: not supported
  EXPECT_EQ(fresh.Size(), 0);
}

TEST(ConvertBlobRead, RoundTripKeepsDefinitionsRowsAndImageBytes) {
  TAdoDataSet source;
  test::FillSample(source);
  TMemoryStream stream;
  ASSERT_TRUE(AdoDataSetToStream(&source, &stream, true, kPersistADTG, 1));
  const int64_t sectionSize = stream.Size() - 8;

  TAdoDataSet target;
  target.DisableControls();
  ASSERT_TRUE(StreamToAdoDataSet(&target, &stream, true));
  EXPECT_EQ(stream.Size(), sectionSize);   // the caller's stream is left holding the section
  EXPECT_TRUE(target.ControlsDisabled());  // the caller's own nesting is kept
  target.EnableControls();
  EXPECT_FALSE(target.ControlsDisabled());

  EXPECT_EQ(target.FieldDefs(), source.FieldDefs());
  EXPECT_EQ(target.LockType(), ltBatchOptimistic);
  EXPECT_EQ(target.RecNo(), 1);
  ASSERT_EQ(target.RecordCount(), source.RecordCount());
  for (source.First(); !source.Eof(); source.Next(), target.Next()) {
    EXPECT_EQ(target.RowStatus(), TRowStatus::Unchanged);
    for (int f = 0; f < source.FieldCount(); ++f)
      EXPECT_EQ(target.FieldValue(f), source.FieldValue(f)) << "row " << source.RecNo();
  }
  EXPECT_EQ(SavedImage(target), SavedImage(source));
}

TEST(ConvertBlobRead, LoadingReplacesWhatTheDatasetHeld) {
  TAdoDataSet source;
  test::FillSample(source);
  TMemoryStream stream;
  ASSERT_TRUE(AdoDataSetToStream(&source, &stream, true, kPersistADTG, 1));

  TAdoDataSet target;
  target.MutableFieldDefs().Add(u"Other", ftString, 5);
  target.Open();
  target.Append();
  target.SetFieldValue(0, Variant::AnsiString("x"));
  target.Post();
  ASSERT_TRUE(StreamToAdoDataSet(&target, &stream, true));
  EXPECT_EQ(target.FieldDefs(), source.FieldDefs());
  EXPECT_EQ(target.RecordCount(), 3);
}

TEST(ConvertBlobRead, EightZeroBytesReadFalseAndLeaveStreamEmpty) {
  TMemoryStream stream;
  stream.WriteBytes(std::string(8, '\0'));
  TAdoDataSet ds;
  test::FillSample(ds);
  EXPECT_FALSE(StreamToAdoDataSet(&ds, &stream, true));
  EXPECT_EQ(stream.Size(), 0);
  EXPECT_TRUE(ds.Active());  // nothing to load: the dataset is not touched
  EXPECT_EQ(ds.RecordCount(), 3);
}

TEST(ConvertBlobRead, ShortOrEmptySourceReadsFalseAndTouchesNothing) {
  TAdoDataSet ds;
  test::FillSample(ds);
  for (int size = 0; size < 8; ++size) {
    TMemoryStream stream;
    stream.WriteBytes(std::string(size_t(size), '\x01'));
    stream.SetPosition(size / 2);
    EXPECT_FALSE(StreamToAdoDataSet(&ds, &stream, true)) << size;
    EXPECT_EQ(Bytes(stream), std::string(size_t(size), '\x01'));
    EXPECT_EQ(stream.Position(), size / 2);
  }
  TMemoryStream empty;
  EXPECT_FALSE(LoadRecordsetFromStream(&ds, &empty));
  EXPECT_FALSE(LoadRecordsetFromStream(&ds, nullptr));
  EXPECT_FALSE(StreamToAdoDataSet(&ds, nullptr, true));
  EXPECT_TRUE(ds.Active());
  EXPECT_EQ(ds.RecordCount(), 3);

  TMemoryStream blob;
  MakeBlob(blob, "x", "");
  EXPECT_FALSE(StreamToAdoDataSet(nullptr, &blob, true));
  EXPECT_EQ(blob.Size(), 9);
  EXPECT_THROW(LoadRecordsetFromStream(nullptr, &blob), EAdoError);
}

TEST(ConvertBlobRead, WithoutDataOnlyTheParametersSectionIsRead) {
  TAdoDataSet source;
  test::FillSample(source);
  TMemoryStream stream;
  ASSERT_TRUE(AdoDataSetToStream(&source, &stream, true, kPersistADTG, 1));
  const int64_t sectionSize = stream.Size() - 8;
  TAdoDataSet target;
  EXPECT_FALSE(StreamToAdoDataSet(&target, &stream, false));
  EXPECT_FALSE(target.Active());
  EXPECT_EQ(stream.Size(), sectionSize);
}

TEST(ConvertBlobRead, NonZlibSectionsRaiseTheirDecoderFailure) {
  TAdoDataSet ds;
  test::FillSample(ds);
  TMemoryStream stream;
  MakeBlob(stream, "not a zlib stream", "");
  EXPECT_THROW(StreamToAdoDataSet(&ds, &stream, true), EZCompressionError);
  EXPECT_FALSE(ds.Active());  // closed before loading, as the caller is told
  EXPECT_FALSE(ds.ControlsDisabled());

  MakeBlob(stream, "", "not a zlib stream");
  try {
    StreamToAdoDataSet(&ds, &stream, true);
    ADD_FAILURE() << "a damaged parameters section was accepted";
  } catch (const Exception& e) {
    EXPECT_EQ(std::string(e.Message()).rfind("[DecompressStream]", 0), 0u) << e.Message();
  }
}

TEST(ConvertBlobRead, ZlibOfSomethingElseRaisesAdoError) {
  TAdoDataSet ds;
  TMemoryStream stream;
  MakeBlob(stream, test::Deflated("this is no tablegram"), "");
  EXPECT_THROW(StreamToAdoDataSet(&ds, &stream, true), EAdoError);
  EXPECT_FALSE(ds.Active());
}

// The trailer is checked before anything is cut: a lying offset must neither grow the stream nor
// change the dataset.
TEST(ConvertBlobRead, TrailerOffsetOutsideTheDataIsRejected) {
  TAdoDataSet source;
  test::FillSample(source);
  const std::string good = BlobOf(source);
  const int64_t dataSize = int64_t(good.size()) - 8;
  for (int64_t offset : {dataSize + 1, dataSize + 8, int64_t(1) << 40, int64_t(-1), INT64_MIN}) {
    TMemoryStream stream;
    stream.WriteBytes(good.substr(0, size_t(dataSize)) + Trailer(offset));
    stream.SetPosition(5);
    const std::string before = Bytes(stream);
    TAdoDataSet target;
    test::FillSample(target);
    EXPECT_THROW(StreamToAdoDataSet(&target, &stream, true), EReadError) << offset;
    EXPECT_EQ(Bytes(stream), before);
    EXPECT_EQ(stream.Position(), 5);
    EXPECT_TRUE(target.Active());
    EXPECT_EQ(target.RecordCount(), 3);
  }
}

TEST(ConvertBlobRead, TruncatedSectionFailsCleanlyAtEveryLength) {
  TAdoDataSet source;
  test::FillSample(source);
  const std::string blob = BlobOf(source);
  const std::string section = blob.substr(0, blob.size() - 8);
  for (size_t cut = 1; cut < section.size(); ++cut) {
    TMemoryStream stream;
    MakeBlob(stream, section.substr(0, cut), "");
    TAdoDataSet target;
    EXPECT_THROW(StreamToAdoDataSet(&target, &stream, true), EZCompressionError) << cut;
    EXPECT_FALSE(target.Active());
  }
}

TEST(ConvertBlobRead, EveryPrefixOfABlobReadsFalseOrFailsCleanly) {
  TAdoDataSet source;
  test::FillSample(source);
  const std::string blob = BlobOf(source);
  for (size_t cut = 0; cut < blob.size(); ++cut) {
    TMemoryStream stream;
    stream.WriteBytes(blob.substr(0, cut));
    TAdoDataSet target;
    try {
      EXPECT_FALSE(StreamToAdoDataSet(&target, &stream, true)) << cut;
    } catch (const Exception&) {
      EXPECT_FALSE(target.Active());
    }
  }
}

TEST(ConvertBlobRead, ImageBeyondTheLimitIsRejected) {
  TAdoDataSet source;
  test::FillSample(source);
  TMemoryStream stream;
  ASSERT_TRUE(SaveRecordsetToStream(&source, &stream, kPersistADTG, 1));
  const auto imageSize = int64_t(SavedImage(source).size());
  TAdoDataSet target;
  EXPECT_THROW(LoadRecordsetFromStream(&target, &stream, imageSize - 1), EZCompressionError);
  EXPECT_FALSE(target.Active());
  EXPECT_TRUE(LoadRecordsetFromStream(&target, &stream, imageSize));
  EXPECT_EQ(target.RecordCount(), 3);
}

// Rows appended to a batch-optimistic record set are pending inserts, and travel as such.
TEST(ConvertBlobRead, PendingInsertsTravelAsPendingInserts) {
  TAdoDataSet source;
  source.MutableFieldDefs().Add(u"ID", ftInteger);
  source.Open();
  source.SetLockType(ltBatchOptimistic);
  for (int i = 0; i < 2; ++i) {
    source.Append();
    source.SetFieldValue(0, Variant::Integer(10 + i));
    source.Post();
  }
  TMemoryStream stream;
  ASSERT_TRUE(AdoDataSetToStream(&source, &stream, true, kPersistADTG, 1));
  TAdoDataSet target;
  ASSERT_TRUE(StreamToAdoDataSet(&target, &stream, true));
  ASSERT_EQ(target.RecordCount(), 2);
  for (int i = 0; i < 2; ++i, target.Next()) {
    EXPECT_EQ(target.RowStatus(), TRowStatus::Inserted);
    EXPECT_EQ(target.FieldValue(0), Variant::Integer(10 + i));
  }
}

}  // namespace
}  // namespace qorvin
