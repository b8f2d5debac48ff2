// Result sets kept packed and streamed into a blob give the same record-set image as the same
// result set held as Variants and written at once (the compressed bytes are the compressor's
// choice, and differ between the paths): random schemas and sizes, every natural value form,
// NULLs, mixed columns, texts that are and are not dates, rows across writer batches and values
// across packing blocks.
#include <gtest/gtest.h>

#include <random>

#include "platform/rtl/Text.h"
#include "server/db/PackedRows.h"
#include "server/services/DataSetBlob.h"
#include "tests/server/blob_image.h"

namespace qorvin::server {
namespace {

enum class Form {
  Int,
  SmallInt,
  Bit,
  Real,
  Bool,
  Date,
  Decimal,
  WideDecimal,
  Ascii,
  Utf8,
  DateText,
  Blob
};

using test::BlobImage;

// Feeds the same cells to several builders.
struct Builders {
  std::vector<ResultBuilder*> all;
  template <typename F>
  void Each(F f) {
    for (ResultBuilder* b : all) f(*b);
  }
};

void AddRandom(Builders& b, Form form, std::mt19937& rng, bool big) {
  const uint32_t x = rng();
  switch (form) {
    case Form::Int:
      return b.Each([&](ResultBuilder& r) { r.AddInt(int64_t(x) * 977 - (int64_t(1) << 40)); });
    case Form::SmallInt:
      return b.Each([&](ResultBuilder& r) { r.AddInt(int64_t(x % 100000) - 50000); });
    case Form::Bit:
      return b.Each([&](ResultBuilder& r) { r.AddInt(x & 1); });
    case Form::Real:
      return b.Each([&](ResultBuilder& r) { r.AddReal(x / 3.0); });
    case Form::Bool:
      return b.Each([&](ResultBuilder& r) { r.AddBool(x & 1); });
    case Form::Date:
      return b.Each([&](ResultBuilder& r) { r.AddDate(45000 + (x % 100000) / 1000.0); });
    case Form::Decimal:
    case Form::WideDecimal: {
      std::string digits = std::to_string(x % 1000000) + "." + std::to_string(x % 997);
      if (form == Form::WideDecimal) digits = "1234567890123456789012345678901234567" + digits;
      return b.Each([&](ResultBuilder& r) { r.AddDecimal(Bcd::FromString(digits)); });
    }
    case Form::Ascii:
    case Form::Utf8: {
      std::string s(size_t(big ? 300000 + x % 900000 : x % 60), 'a');
      for (size_t i = 0; i < s.size() && i < 64; ++i) s[i] = char('a' + (x >> (i % 24)) % 26);
      if (form == Form::Utf8) s += "\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80";
      return b.Each([&](ResultBuilder& r) { r.AddText(s); });
    }
    case Form::DateText: {
      std::string s = x % 13 == 0 ? "not a date"
                                  : "2024-0" + std::to_string(1 + x % 9) + "-1" +
                                        std::to_string(x % 10) + " 10:20:30";
      return b.Each([&](ResultBuilder& r) { r.AddText(s); });
    }
    case Form::Blob: {
      std::string bytes(size_t(x % 50), '\0');
      for (auto& c : bytes) c = char(rng());
      return b.Each([&](ResultBuilder& r) { r.AddBlob(bytes.data(), bytes.size()); });
    }
  }
}

TEST(PackedBlob, StreamedBlobEqualsTheWholeSetWrittenAtOnce) {
  std::mt19937 rng(4242);
  const ColumnKind kinds[] = {ColumnKind::Unknown, ColumnKind::Integer,  ColumnKind::Float,
                              ColumnKind::Text,    ColumnKind::DateTime, ColumnKind::Date,
                              ColumnKind::Boolean, ColumnKind::Decimal,  ColumnKind::Blob};
  for (int round = 0; round < 40; ++round) {
    ResultBuilder whole(1 << 30, int64_t(1) << 40), packed(1 << 30, int64_t(1) << 40);
    Builders b{{&whole, &packed}};
    const int columns = 1 + int(rng() % 7);
    std::vector<std::vector<Form>> forms{size_t(columns)};
    for (int c = 0; c < columns; ++c) {
      const ColumnKind kind = kinds[rng() % std::size(kinds)];
      const uint32_t declared = rng() % 30;
      b.Each([&](ResultBuilder& r) { r.AddColumn(c % 3 == 0 ? "Name" : "", kind, declared); });
      // Mostly one form per column; some columns mix two.
      forms[size_t(c)].push_back(Form(rng() % 12));
      if (rng() % 4 == 0) forms[size_t(c)].push_back(Form(rng() % 12));
    }
    const int rows = round == 0 ? 0 : round % 8 == 0 ? 5000 : int(rng() % 300);
    const bool bigTexts = round % 10 == 5;
    for (int r = 0; r < rows; ++r) {
      b.Each([](ResultBuilder& x) { x.BeginRow(); });
      const int cells = rng() % 50 == 0 ? columns - 1 : columns;  // a short row: NULLs after
      for (int c = 0; c < cells; ++c) {
        const auto& f = forms[size_t(c)];
        if (rng() % 5 == 0) {
          b.Each([](ResultBuilder& x) { x.AddNull(); });
        } else {
          AddRandom(b, f[rng() % f.size()], rng, bigTexts && r % 40 == 0);
        }
      }
    }
    ResultTable held = whole.Finish(false);
    ResultTable pack = packed.Finish(true);
    ASSERT_TRUE(pack.packed || columns == 0);
    ASSERT_EQ(held.RowCount(), pack.RowCount());
    ASSERT_EQ(held.columns.size(), pack.columns.size());
    for (size_t c = 0; c < held.columns.size(); ++c) {
      EXPECT_EQ(held.columns[c].type, pack.columns[c].type) << c;
      EXPECT_EQ(held.columns[c].size, pack.columns[c].size) << c;
    }
    std::string expected = BlobImage(ResultTableToBlob(held));
    ASSERT_EQ(expected, BlobImage(ResultTableToBlob(pack))) << "round " << round;  // readable twice
    ASSERT_EQ(expected, BlobImage(TakeResultTableBlob(std::move(pack)))) << "round " << round;
  }
}

// A result of a few rows goes in stored blocks (compressing it costs more than it saves); one
// of some hundred rows is compressed. Both are zlib streams that inflate to the image.
TEST(PackedBlob, AFewRowsAreStoredAndMoreAreCompressed) {
  for (const int rows : {3, 400}) {
    ResultBuilder builder(1 << 30, int64_t(1) << 40);
    builder.AddColumn("id", ColumnKind::Integer, 0);
    builder.AddColumn("name", ColumnKind::Text, 40);
    for (int r = 0; r < rows; ++r) {
      builder.BeginRow();
      builder.AddInt(r);
      builder.AddText("name number " + std::to_string(r % 7));
    }
    const std::string blob = TakeResultTableBlob(builder.Finish(true));
    const std::string image = BlobImage(blob);
    ASSERT_GT(image.size(), 100u) << image;
    ASSERT_GT(blob.size(), 3u);
    // After the two bytes of the zlib header, the first block's header: bits 1-2 are its type
    // (00 stored).
    const bool stored = (uint8_t(blob[2]) >> 1 & 3) == 0;
    if (rows == 3) {
      EXPECT_TRUE(stored);
      EXPECT_GT(blob.size(), image.size());
    } else {
      EXPECT_FALSE(stored);
      EXPECT_LT(blob.size(), image.size() / 2);
    }
  }
}

TEST(PackedBlob, ALargeSetCompressedOnASecondThreadGivesTheSameBlob) {
  // Enough cells that the packed path compresses on a thread of its own, with texts long enough
  // that pieces, batches and packing blocks all break at different places.
  std::mt19937 rng(99);
  ResultBuilder whole(1 << 30, int64_t(1) << 40), packed(1 << 30, int64_t(1) << 40);
  Builders b{{&whole, &packed}};
  const Form forms[] = {Form::Int, Form::Real, Form::Utf8, Form::Date, Form::Decimal};
  for (int c = 0; c < int(std::size(forms)); ++c)
    b.Each([&](ResultBuilder& r) { r.AddColumn("c" + std::to_string(c), ColumnKind::Unknown); });
  for (int r = 0; r < 20000; ++r) {
    b.Each([](ResultBuilder& x) { x.BeginRow(); });
    for (Form f : forms) {
      if (rng() % 7 == 0) {
        b.Each([](ResultBuilder& x) { x.AddNull(); });
      } else {
        AddRandom(b, f, rng, false);
      }
    }
  }
  ResultTable held = whole.Finish(false);
  ResultTable pack = packed.Finish(true);
  const std::string expected = BlobImage(ResultTableToBlob(held));
  EXPECT_EQ(expected, BlobImage(TakeResultTableBlob(std::move(pack))));
}

// "3.500" -> "3.5", "7.00" -> "7".
std::string WithoutTrailingZeros(std::string text) {
  if (text.find('.') == std::string::npos) return text;
  text.erase(text.find_last_not_of('0') + 1);
  if (text.back() == '.') text.pop_back();
  return text;
}

TEST(PackedBlob, DecimalsOfDifferentScalesAndIntegersAllFitTheirColumn) {
  // A numeric column without a declared scale gives values of any scale; one column also mixes
  // in integers. Every value must come back exactly, both ways of writing.
  const std::vector<std::vector<std::string>> columns = {
      {"12345.1", "1.12345", "99999999999.5", "-0.001", "0"},
      {"0.25", "7", "-12345678901234", "3.5", "1"}};
  for (bool packed : {false, true}) {
    ResultBuilder b(1 << 20, int64_t(1) << 30);
    b.AddColumn("a", ColumnKind::Unknown);
    b.AddColumn("b", ColumnKind::Unknown);
    for (size_t r = 0; r < columns[0].size(); ++r) {
      b.BeginRow();
      b.AddDecimal(Bcd::FromString(columns[0][r]));
      const std::string& v = columns[1][r];
      if (v.find('.') == std::string::npos) {
        b.AddInt(std::stoll(v));
      } else {
        b.AddDecimal(Bcd::FromString(v));
      }
    }
    ResultTable t = b.Finish(packed);
    TMemoryStream blob;
    blob.WriteBytes(TakeResultTableBlob(std::move(t)));
    const std::optional<ResultTable> back = BlobToResultTable(blob);
    ASSERT_TRUE(back.has_value());
    ASSERT_EQ(back->rows.size(), columns[0].size());
    for (size_t r = 0; r < columns[0].size(); ++r)
      for (size_t c = 0; c < 2; ++c)
        EXPECT_EQ(WithoutTrailingZeros(VariantToText(back->rows[r][c])), columns[c][r])
            << "row " << r << " column " << c << (packed ? " packed" : "");
  }
}

TEST(PackedBlob, LimitsHoldForPackedRows) {
  ResultBuilder rows(3, 1 << 20);
  rows.AddColumn("a", ColumnKind::Integer);
  for (int i = 0; i < 3; ++i) {
    rows.BeginRow();
    rows.AddInt(i);
  }
  EXPECT_THROW(rows.BeginRow(), EDatabaseError);

  ResultBuilder bytes(100, 100);
  bytes.AddColumn("a", ColumnKind::Text);
  bytes.BeginRow();
  EXPECT_THROW(bytes.AddText(std::string(60, 'x')), EDatabaseError);
}

// A set larger than the small packing blocks goes on in large blocks, faulted in a stretch at a
// time: values that end exactly at a stretch, that are larger than a stretch or than a whole
// block, and the small values around them all read back as written, in order.
TEST(PackedBlob, ValuesInLargePackingBlocksReadBackAsWritten) {
  PackedRows rows(2);
  std::vector<size_t> sizes;
  for (int i = 0; i < 520; ++i) sizes.push_back(100000 + size_t(i) * 7);  // past the small blocks
  sizes.push_back(size_t(5) << 20);                                       // over a stretch
  sizes.push_back(size_t(4) << 20);
  sizes.push_back(size_t(40) << 20);  // over a large block
  for (int i = 0; i < 300; ++i) sizes.push_back(size_t(i) * 13);
  std::string bytes;
  for (size_t r = 0; r < sizes.size(); ++r) {
    rows.NewRow();
    rows.AddInt(int64_t(r));
    bytes.assign(sizes[r], char('a' + r % 26));
    if (!bytes.empty()) bytes.back() = 'Z';
    rows.AddBlob(bytes.data(), bytes.size());
  }
  PackedRows::Reader reader(rows, true);
  for (size_t r = 0; r < sizes.size(); ++r) {
    ASSERT_EQ(reader.Next().AsIntegerValue(), int64_t(r));
    const Variant blob = reader.Next();
    const std::vector<uint8_t>& got = blob.AsArray().RawData();
    ASSERT_EQ(got.size(), sizes[r]) << r;
    if (got.empty()) continue;
    ASSERT_EQ(got.front(), sizes[r] == 1 ? 'Z' : 'a' + r % 26) << r;
    ASSERT_EQ(got.back(), 'Z') << r;
  }
  EXPECT_THROW(reader.Next(), EDatabaseError);
}

}  // namespace
}  // namespace qorvin::server
