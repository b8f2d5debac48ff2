// The one-pass blob -> data packet path against the path through a record set and a client
// dataset: the same packet bytes for random schemas of every column type, NULLs, pending changes,
// deletions and insertions, values across window boundaries; the same failures for damaged input.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "convert_support.h"
#include "datastream/uBlobToPacket.h"
#include "datastream/uConvertAdo.h"
#include "datastream/uConvertDataSet.h"
#include "datastream/uInflatedImage.h"
#include "platform/rtl/Text.h"

namespace qorvin {
namespace {

// What one path made of a blob: a packet, nothing (no record set), or a failure.
struct Outcome {
  bool packet = false;
  std::string bytes;
  std::string error;
};

Outcome ThroughRecordSet(const std::string& blob, TPacketForm form) {
  Outcome out;
  TMemoryStream stream;
  stream.WriteBytes(blob);
  stream.SetPosition(0);
  TAdoDataSet ado;
  try {
    if (!StreamToAdoDataSet(&ado, &stream, true)) return out;
  } catch (const std::exception& e) {
    out.error = e.what();
    return out;
  }
  std::string failure;
  const auto client = AdoToClientDataSet(&ado, &failure, form);
  if (!client) {
    out.error = "conversion: " + failure;
    return out;
  }
  const Variant data = client->Data();
  const auto bytes = DataPacketBytes(data);
  out.packet = true;
  out.bytes.assign(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  return out;
}

Outcome OnePass(const std::string& blob, size_t window, int64_t budget = InflateBudget(),
                TPacketForm form = TPacketForm::ColumnTypes) {
  Outcome out;
  TMemoryStream stream;
  stream.WriteBytes(blob);
  stream.SetPosition(0);
  TPacketBlock block;
  try {
    out.packet = BlobToDataPacket(stream, block, budget, form, window);
  } catch (const EDataPacketConversion& e) {
    out.error = std::string("conversion: ") + e.what();
  } catch (const std::exception& e) {
    out.error = e.what();
  }
  if (out.packet) out.bytes.assign(reinterpret_cast<const char*>(block.Data()), block.Size());
  return out;
}

size_t FirstDifference(const std::string& a, const std::string& b) {
  const auto at = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
  return at.first == a.end() && at.second == b.end() ? std::string::npos
                                                     : size_t(at.first - a.begin());
}

// Both paths give the same packet, or both fail with the same text, in either form. One
// exception: the one-pass path meets a row that does not convert before it meets damage further
// on, which the other path reports first; both must still fail.
void ExpectSamePaths(const std::string& blob, const std::string& context,
                     TPacketForm form = TPacketForm::ColumnTypes) {
  if (form == TPacketForm::ColumnTypes) {
    ExpectSamePaths(blob, context + " (version 1)", TPacketForm::Version1);
    if (::testing::Test::HasFatalFailure()) return;
  }
  const Outcome expected = ThroughRecordSet(blob, form);
  for (const size_t window : {size_t(64), size_t(1000), size_t(1) << 20}) {
    const Outcome actual = OnePass(blob, window, InflateBudget(), form);
    ASSERT_EQ(actual.packet, expected.packet)
        << context << " window " << window << ": " << actual.error << " / " << expected.error;
    if (expected.packet) {
      ASSERT_EQ(FirstDifference(actual.bytes, expected.bytes), std::string::npos)
          << context << " window " << window << ": " << actual.bytes.size() << " against "
          << expected.bytes.size() << " bytes";
      continue;
    }
    ASSERT_EQ(actual.error.empty(), expected.error.empty()) << context;
    const bool convertedFirst =
        actual.error.rfind("conversion: ", 0) == 0 && expected.error.rfind("conversion: ", 0) != 0;
    if (!convertedFirst) {
      ASSERT_EQ(actual.error, expected.error) << context << " window " << window;
    }
  }
}

// Columns of every type code a record set holds, and values for them.
class RandomRecordSet {
 public:
  explicit RandomRecordSet(uint32_t seed) : rng_(seed) {}

  void Define(TAdoDataSet& ds) {
    static constexpr uint16_t kTypes[] = {adTinyInt,     adUnsignedTinyInt,
                                          adSmallInt,    adUnsignedSmallInt,
                                          adInteger,     adUnsignedInt,
                                          adBigInt,      adUnsignedBigInt,
                                          adSingle,      adDouble,
                                          adCurrency,    adDate,
                                          adBoolean,     adVariant,
                                          adDecimal,     adNumeric,
                                          adVarNumeric,  adFileTime,
                                          adDBDate,      adDBTime,
                                          adDBTimeStamp, adGUID,
                                          adChar,        adWChar,
                                          adBSTR,        adBinary};
    const int count = Int(1, 12);
    for (int i = 0; i < count; ++i) {
      const uint16_t type = kTypes[Int(0, int(std::size(kTypes)) - 1)];
      uint32_t size = 0, precision = 0;
      if (type == adDecimal || type == adNumeric || type == adVarNumeric) {
        precision = uint32_t(Int(1, 28));
        size = uint32_t(Int(0, int(std::min<uint32_t>(precision, 6))));
      } else if (type == adChar || type == adWChar || type == adBSTR || type == adBinary) {
        // Long columns, short ones and both sides of the one-byte length limit.
        size = Int(0, 3) == 0 ? 0 : uint32_t(Int(1, 300));
      }
      TFieldDef def = MakeColumnDef(Utf8ToUtf16("C" + std::to_string(i)), type, size, precision,
                                    Int(0, 5) == 0);
      const bool text = type == adChar || type == adWChar || type == adBinary;
      if (text && size != 0 && Int(0, 2) == 0) {
        def.attributes |= adFldFixed;  // fixed width: padded, and its NUL fill cut when read
        def.dataType =
            FieldTypeFromAdo(def.adoType, def.attributes, def.precision, def.numericScale, false);
      }
      ds.MutableFieldDefs().Add(def);
    }
  }

  void Fill(TAdoDataSet& ds, int rows) {
    for (int r = 0; r < rows; ++r) {
      ds.Append();
      SetRow(ds);
      ds.Post();
    }
  }

  // Pending changes on a record set opened from an image: edited rows (values and NULLs),
  // deleted rows and appended rows, which its image carries as change, delete and insert
  // records.
  void Change(TAdoDataSet& ds) {
    for (ds.First(); !ds.Eof();) {
      const int what = Int(0, 5);
      if (what == 0) {
        ds.Delete();
        continue;
      }
      if (what == 1) {
        ds.Edit();
        const int field = Int(0, ds.FieldCount() - 1);
        if (ds.FieldDefs()[field].Required() || Int(0, 1) == 0)
          Set(ds, field);
        else
          ds.SetFieldValue(field, Variant::Null());
        ds.Post();
      }
      ds.Next();
    }
    Fill(ds, Int(0, 3));
  }

  int Int(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }

 private:
  int64_t Int64() { return int64_t(uint64_t(rng_()) << 32 | rng_()); }

  void SetRow(TAdoDataSet& ds) {
    for (int f = 0; f < ds.FieldCount(); ++f)
      if (ds.FieldDefs()[f].Required() || Int(0, 3) != 0) Set(ds, f);
  }

  void Set(TAdoDataSet& ds, int field) {
    const TFieldDef& def = ds.FieldDefs()[field];
    const Variant value = Value(def);
    try {
      ds.SetFieldValue(field, value);
    } catch (const EAdoError& e) {
      ADD_FAILURE() << "column type " << def.adoType << ": " << e.what();
    }
  }

  std::u16string Text(uint32_t maxLength, bool wide) {
    const uint32_t cap = maxLength == kAdoUnlimited ? 400 : std::min<uint32_t>(maxLength, 60);
    std::u16string s(size_t(Int(0, int(cap))), u'a');
    for (char16_t& c : s) {
      const int kind = Int(0, 20);
      c = kind == 0            ? u'\0'
          : (wide && kind < 6) ? char16_t(Int(0x4E00, 0x4FFF))
                               : char16_t(Int(0x20, 0x7E));
    }
    return s;
  }

  std::string Number(const TFieldDef& def) {
    const int places = def.numericScale;
    const int whole = std::max(0, int(def.precision) - places);
    std::string text = Int(0, 1) ? "-" : "";
    text += whole == 0 ? "0"
                       : std::to_string(uint64_t(Int64()) % 1000000000000000000ull)
                             .substr(0, size_t(std::min(whole, 18)));
    if (places > 0) {
      text += '.';
      for (int i = 0; i < places; ++i) text += char('0' + Int(0, 9));
    }
    return text;
  }

  Variant Value(const TFieldDef& def) {
    switch (def.adoType) {
      case adTinyInt:
        return Variant::ShortInt(int8_t(Int(-128, 127)));
      case adUnsignedTinyInt:
        return Variant::Byte(uint8_t(Int(0, 255)));
      case adSmallInt:
        return Variant::Smallint(int16_t(Int(-32768, 32767)));
      case adUnsignedSmallInt:
        return Variant::Word(uint16_t(Int(0, 65535)));
      case adInteger:
        return Variant::Integer(int32_t(rng_()));
      case adUnsignedInt:
        return Variant::LongWord(uint32_t(rng_()));
      case adBigInt:
        return Variant::Int64(Int64());
      case adUnsignedBigInt:
        return Variant::UInt64(uint64_t(Int64()));
      case adSingle:
        return Variant::Single(float(Int(-100000, 100000)) / 8.0f);
      case adDouble:
        return Variant::Double(std::uniform_real_distribution<double>(-1e12, 1e12)(rng_));
      case adCurrency:
        return Variant::Currency(Currency{Int64() >> 8});
      case adDate:
      case adFileTime:
        return Variant::Date(Int(0, 80000) + Int(0, 86399) / 86400.0);
      case adBoolean:
        return Variant::Boolean(Int(0, 1) == 1);
      case adVariant:
        switch (Int(0, 4)) {
          case 0:
            return Variant::Integer(int32_t(rng_()));
          case 1:
            return Variant::Double(0.25 * Int(-1000, 1000));
          case 2:
            return Variant::Boolean(Int(0, 1) == 1);
          case 3:
            return Variant::Int64(Int64());
          default:
            return Variant();
        }
      case adDecimal:
      case adNumeric:
      case adVarNumeric:
        return Variant::FromBcd(Bcd::FromString(Number(def)));
      case adDBDate:
        return Variant::Date(Int(-600000, 2900000));
      case adDBTime:
        return Variant::Date(Int(0, 86399) / 86400.0);
      case adDBTimeStamp: {
        SQLTimeStamp t;
        t.year = int16_t(Int(1, 9999));
        t.month = uint16_t(Int(1, 12));
        t.day = uint16_t(Int(1, 28));
        t.hour = uint16_t(Int(0, 23));
        t.minute = uint16_t(Int(0, 59));
        t.second = uint16_t(Int(0, 59));
        t.fractions = uint32_t(Int(0, 999999999));
        return Variant::FromSQLTimeStamp(t);
      }
      case adGUID: {
        static const char kHex[] = "0123456789ABCDEF";
        std::string g = "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}";
        for (char& c : g)
          if (c == 'x') c = kHex[Int(0, 15)];
        return Variant::OleStr(Utf8ToUtf16(g));
      }
      case adChar:
        return Variant::AnsiString(Utf16ToUtf8(Text(def.maxLength, false)));
      case adWChar:
      case adBSTR:
        return Variant::OleStr(Text(def.maxLength, true));
      default: {  // adBinary
        const uint32_t cap = def.maxLength == kAdoUnlimited ? 400 : def.maxLength;
        std::string b(size_t(Int(0, int(std::min<uint32_t>(cap, 60)))), 0);
        for (char& c : b) c = char(Int(0, 255));
        return Variant::FromArray(VarArray::Bytes(b.data(), b.size()));
      }
    }
  }

  std::mt19937 rng_;
};

std::string BlobOf(const TAdoDataSet& ds) {
  TMemoryStream blob;
  AdoDataSetToStream(&ds, &blob, true, kPersistADTG, 1);
  return test::Bytes(blob);
}

TEST(BlobToPacket, RandomRecordSetsGiveTheSamePacketBothWays) {
  for (uint32_t seed = 1; seed <= 200; ++seed) {
    RandomRecordSet random(seed);
    TAdoDataSet source;
    random.Define(source);
    source.Open();
    source.SetLockType(ltOptimistic);
    random.Fill(source, random.Int(0, 40));
    const std::string plain = BlobOf(source);
    ExpectSamePaths(plain, "seed " + std::to_string(seed));

    // The same rows opened from the blob, then changed, deleted and added to while pending.
    TMemoryStream stream;
    stream.WriteBytes(plain);
    stream.SetPosition(0);
    TAdoDataSet pending;
    ASSERT_TRUE(StreamToAdoDataSet(&pending, &stream, true));
    random.Change(pending);
    ExpectSamePaths(BlobOf(pending), "pending, seed " + std::to_string(seed));
    if (HasFatalFailure()) return;
  }
}

// A row count whose count bytes change length once deleted rows are left out, a row larger than
// the window, and text right up to a window boundary.
// `rows` rows of an integer ID (the row's index) and a text of `length`(index) characters.
template <typename Length>
void FillIdAndText(TAdoDataSet& ds, int rows, Length length) {
  ds.MutableFieldDefs().Add(u"ID", ftInteger, 0, true);
  ds.MutableFieldDefs().Add(u"Text", ftWideString, 0);
  ds.Open();
  for (int i = 0; i < rows; ++i) {
    ds.Append();
    ds.SetFieldValue(0, Variant::Integer(i));
    ds.SetFieldValue(1, Variant::OleStr(std::u16string(length(i), u'x')));
    ds.Post();
  }
}

// `ds` saved and read back, with `deletes` rows deleted from row `skip` on (pending deletions
// the image still counts), then its blob turned into a packet through windows of `window`
// bytes; both paths are checked to agree first. No rows when the packet fails.
TDataPacketContent PacketWithDeletions(TAdoDataSet& ds, int skip, int deletes, size_t window,
                                       const std::string& context) {
  TMemoryStream stream;
  stream.WriteBytes(BlobOf(ds));
  stream.SetPosition(0);
  TAdoDataSet pending;
  EXPECT_TRUE(StreamToAdoDataSet(&pending, &stream, true)) << context;
  pending.First();
  for (int i = 0; i < skip; ++i) pending.Next();
  for (int i = 0; i < deletes; ++i) pending.Delete();
  ExpectSamePaths(BlobOf(pending), context);
  const Outcome packet = OnePass(BlobOf(pending), window);
  EXPECT_TRUE(packet.packet) << context << ": " << packet.error;
  if (!packet.packet) return {};
  return DecodeDataPacket(
      {reinterpret_cast<const uint8_t*>(packet.bytes.data()), packet.bytes.size()});
}

TEST(BlobToPacket, RowCountsAndLongValuesAcrossWindows) {
  TAdoDataSet ds;
  FillIdAndText(ds, 130, [](int i) { return size_t(i == 7 ? 5000 : i); });
  ExpectSamePaths(BlobOf(ds), "130 rows");
  // 125 rows: a one-byte count
  const TDataPacketContent content = PacketWithDeletions(ds, 0, 5, 64, "125 of 130 rows");
  ASSERT_EQ(content.rows.size(), 125u);
  EXPECT_EQ(content.rows[0][0], Variant::Integer(5));
  EXPECT_EQ(content.rows[2][1].AsWide().size(), 5000u);
}

// Past a few hundred rows the packet is sized from the rows so far and the announced count: rows
// longer than the estimate, and fewer rows than announced (deleted ones), still give the packet.
TEST(BlobToPacket, PacketsSizedFromTheirFirstRowsStillTakeEveryRow) {
  TAdoDataSet ds;
  FillIdAndText(ds, 3000, [](int i) { return i % 997 == 996 ? size_t(200000) : size_t(i % 5); });
  ExpectSamePaths(BlobOf(ds), "3000 rows, some long");
  // Announced 3000, 1500 left.
  const TDataPacketContent content = PacketWithDeletions(ds, 1000, 1500, 1000, "1500 of 3000 rows");
  ASSERT_EQ(content.rows.size(), 1500u);
  EXPECT_EQ(content.rows[999][0], Variant::Integer(999));
  EXPECT_EQ(content.rows[1000][0], Variant::Integer(2500));
  EXPECT_EQ(content.rows[996][1].AsWide().size(), 200000u);
  EXPECT_EQ(content.rows[1490][1].AsWide().size(), 200000u);  // row 2990
}

// Every cut of the image, and single damaged bytes in it, fail the same way both ways (or, where
// the damage still reads, give the same packet).
TEST(BlobToPacket, DamagedImagesFailAlike) {
  TAdoDataSet ds;
  test::FillSample(ds);
  const std::string image = test::SavedImage(ds);
  for (size_t cut = 0; cut < image.size(); ++cut) {
    TMemoryStream blob;
    test::MakeBlob(blob, test::Deflated(image.substr(0, cut)), "");
    ExpectSamePaths(test::Bytes(blob), "cut at " + std::to_string(cut));
    if (HasFatalFailure()) return;
  }
  std::mt19937 rng(7);
  for (size_t at = 0; at < image.size(); ++at) {
    std::string damaged = image;
    damaged[at] = char(uint8_t(damaged[at]) ^ uint8_t(1 + rng() % 255));
    TMemoryStream blob;
    test::MakeBlob(blob, test::Deflated(damaged), "");
    ExpectSamePaths(test::Bytes(blob), "byte " + std::to_string(at) + " damaged");
    if (HasFatalFailure()) return;
  }
}

// A deflated section cut short, and with a wrong check value, fail the same way both ways.
void ExpectDamagedZlibFailsAlike(const std::string& deflated, size_t cutTo) {
  TMemoryStream blob;
  test::MakeBlob(blob, deflated.substr(0, cutTo), "");
  ExpectSamePaths(test::Bytes(blob), "zlib data cut short");
  std::string badCheck = deflated;
  badCheck.back() = char(badCheck.back() ^ 0x55);
  test::MakeBlob(blob, badCheck, "");
  ExpectSamePaths(test::Bytes(blob), "bad check value");
}

// zlib data cut short, a check value that does not match, an image beyond the inflation budget,
// a damaged trailer and a blob without a record-set section.
TEST(BlobToPacket, BlobAndZlibFailures) {
  TAdoDataSet ds;
  test::FillSample(ds);
  const std::string image = test::SavedImage(ds);
  const std::string deflated = test::Deflated(image);
  TMemoryStream blob;

  ExpectDamagedZlibFailsAlike(deflated, deflated.size() - 6);

  test::MakeBlob(blob, deflated, "");
  const Outcome small = OnePass(test::Bytes(blob), 64, int64_t(image.size()) - 1);
  EXPECT_FALSE(small.packet);
  EXPECT_NE(small.error.find("Inflated data exceeds the budget"), std::string::npos) << small.error;
  EXPECT_TRUE(OnePass(test::Bytes(blob), 64, int64_t(image.size())).packet);

  // Not an image at all, and beyond the budget: the budget is what the host hears of.
  test::MakeBlob(blob, test::Deflated(std::string(size_t(3) << 20, '\0')), "");
  const Outcome zeros = OnePass(test::Bytes(blob), 64, int64_t(1) << 20);
  EXPECT_NE(zeros.error.find("Inflated data exceeds the budget of 1 MiB"), std::string::npos)
      << zeros.error;
  ExpectSamePaths(test::Bytes(blob), "zeros");

  test::MakeBlob(blob, deflated, "");
  std::string badTrailer = test::Bytes(blob);
  badTrailer[badTrailer.size() - 1] = '\x7f';
  EXPECT_FALSE(OnePass(badTrailer, 64).packet);  // left to the record-set path, which refuses it
  EXPECT_NE(
      ThroughRecordSet(badTrailer, TPacketForm::ColumnTypes).error.find("Invalid dataset blob"),
      std::string::npos);
  EXPECT_FALSE(OnePass("short", 64).packet);
  test::MakeBlob(blob, "", "");
  EXPECT_FALSE(OnePass(test::Bytes(blob), 64).packet);
}

// A record-set section large enough to be inflated ahead of the reader, on a thread of its own:
// the same packet as the other path, and the same failures where its zlib data is cut short, its
// check value is wrong or the image is past the inflation budget.
TEST(BlobToPacket, SectionsInflatedAheadOfTheReaderGiveTheSamePacketAndFailures) {
  TAdoDataSet ds;
  ds.MutableFieldDefs().Add(u"ID", ftInteger, 0, true);
  ds.MutableFieldDefs().Add(u"Text", ftWideString, 0);
  ds.Open();
  std::mt19937 rng(17);
  for (int i = 0; i < 5000; ++i) {
    ds.Append();
    ds.SetFieldValue(0, Variant::Integer(i));
    std::u16string text(size_t(100 + rng() % 500), u' ');
    for (char16_t& c : text) c = char16_t(u'A' + rng() % 58);
    if (i % 11 != 3) ds.SetFieldValue(1, Variant::OleStr(text));
    ds.Post();
  }
  const std::string image = test::SavedImage(ds);
  const std::string deflated = test::Deflated(image);
  ASSERT_GE(int64_t(deflated.size()), TInflatedImage::kReadAheadFrom) << "not read ahead";
  TMemoryStream blob;
  test::MakeBlob(blob, deflated, "");
  ExpectSamePaths(test::Bytes(blob), "whole");
  ExpectDamagedZlibFailsAlike(deflated, deflated.size() * 3 / 4);
  test::MakeBlob(blob, deflated, "");
  const Outcome overBudget = OnePass(test::Bytes(blob), 4096, int64_t(image.size() / 2));
  EXPECT_FALSE(overBudget.packet);
  EXPECT_NE(overBudget.error.find("budget"), std::string::npos) << overBudget.error;
}

}  // namespace
}  // namespace qorvin
