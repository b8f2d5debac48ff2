// Damaged images: every truncation, bit flips and hand-made corruptions must fail with EAdoError
// (never a crash or a read outside the image) and leave the dataset and the source as they were.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "platform/ado/AdoDataSet.h"
#include "tests/ado/AdoTestUtil.h"

namespace qorvin::test {
namespace {

std::vector<std::string> CorpusImages() {
  std::vector<std::string> paths;
  for (const auto& e : std::filesystem::recursive_directory_iterator(AdtgDataDir()))
    if (e.path().extension() == ".adtg") paths.push_back(e.path().string());
  std::sort(paths.begin(), paths.end());
  std::vector<std::string> images;
  for (const std::string& p : paths) images.push_back(ReadFileBytes(p));
  return images;
}

// Two columns, ID (I4, no NULLs) and NAME (WSTR 20, NULLs): rows (1, "Ab") and (2, NULL).
// The first row record starts at 0x15A.
std::string TwoRowImage() {
  TAdoDataSet ds;
  ds.SetLockType(ltOptimistic);
  ds.MutableFieldDefs().Add(u"ID", ftInteger, 0, true);
  ds.MutableFieldDefs().Add(u"NAME", ftWideString, 20);
  ds.Open();
  ds.Append();
  ds.SetFieldValue(0, Variant::Integer(1));
  ds.SetFieldValue(1, Variant::OleStr(u"Ab"));
  ds.Post();
  ds.Append();
  ds.SetFieldValue(0, Variant::Integer(2));
  ds.Post();
  return SaveToBytes(ds);
}
constexpr size_t kRows = 0x15A, kNameDescriptor = 0x132, kIdDescriptor = 0x10E;

// Opens images into a dataset that holds a known record set. A failure must change neither the
// dataset nor the source position; an image that opens must be fully usable.
class Prober {
 public:
  Prober() : known_(TwoRowImage()) { Reset(); }
  ~Prober() { EXPECT_EQ(SaveToBytes(ds_), known_); }

  // The error text, or empty when the image opened. `useKnown`: open into the dataset holding
  // the known record set (and check it is untouched by a failure) instead of a fresh one.
  std::string Try(std::string_view bytes, bool useKnown = true) {
    TMemoryStream stream;
    stream.WriteBytes("xy");
    stream.WriteBytes(bytes);
    stream.SetPosition(2);
    TAdoDataSet fresh;
    TAdoDataSet& ds = useKnown ? ds_ : fresh;
    try {
      ds.Open(stream);
    } catch (const EAdoError& e) {
      EXPECT_EQ(stream.Position(), 2);
      if (useKnown) {
        EXPECT_EQ(ds_.RecNo(), 2);
      }
      return e.what();
    }
    CheckUsable(ds);
    if (useKnown) Reset();
    return {};
  }

 private:
  void Reset() {
    OpenFromBytes(ds_, known_);
    ds_.Next();
  }
  static void CheckUsable(const TAdoDataSet& ds) {
    for (int64_t r = 0; r < ds.StoredRowCount(); ++r)
      for (int f = 0; f < ds.FieldCount(); ++f) {
        try {
          ds.StoredValue(r, f, true);
          ds.StoredValue(r, f, false);
        } catch (const EAdoError&) {  // e.g. a variant cell of a type that cannot be read
        }
      }
    TAdoDataSet again;
    OpenFromBytes(again, SaveToBytes(ds));
    EXPECT_EQ(again.StoredRowCount(), ds.StoredRowCount());
  }

  std::string known_;
  TAdoDataSet ds_;
};

std::string TryOpen(std::string_view bytes) {
  return Prober().Try(bytes);
}

TEST(AdtgRobustness, EveryTruncationFailsCleanly) {
  std::vector<std::string> images = CorpusImages();
  images.push_back(TwoRowImage());
  Prober prober;
  for (const std::string& image : images) {
    for (size_t n = 0; n < image.size(); ++n) {
      const std::string error = prober.Try(std::string_view(image).substr(0, n));
      ASSERT_FALSE(error.empty()) << "a prefix of " << n << " of " << image.size() << " opened";
    }
  }
}

TEST(AdtgRobustness, BitFlipsFailCleanlyOrOpenUsably) {
  // Every eighth bit of every fourth corpus image (the corpus repeats its metadata), and every
  // bit of two images with varied columns.
  std::vector<std::pair<std::string, int>> work;
  const std::vector<std::string> images = CorpusImages();
  for (size_t k = 0; k < images.size(); k += 4) work.emplace_back(images[k], 1);
  work.emplace_back(TwoRowImage(), 8);
  work.emplace_back(ReadFileBytes(AdtgDataDir() + "/generated/types_basic.adtg"), 8);
  Prober prober;
  size_t rejected = 0, total = 0;
  for (auto& [image, bits] : work) {
    for (size_t i = 0; i < image.size(); ++i) {
      for (int b = 0; b < bits; ++b) {
        const char mask = char(1 << (bits == 8 ? b : int(i % 8)));
        image[i] ^= mask;
        rejected += !prober.Try(image, total++ % 16 == 0).empty();
        image[i] ^= mask;
      }
    }
  }
  EXPECT_GT(rejected, total / 10);  // the metadata is checked, not skimmed
}

std::string Patched(size_t offset, std::string_view bytes, std::string image = TwoRowImage()) {
  image.replace(offset, bytes.size(), bytes);
  return image;
}

TEST(AdtgRobustness, CorruptionsAreNamed) {
  const std::string base = TwoRowImage();
  const std::string rows = base.substr(kRows);
  auto withRows = [&](const std::string& hex) { return base.substr(0, kRows) + HexToBytes(hex); };
  struct Case {
    std::string image;
    const char* message;
  } cases[] = {
      {Patched(2, "TX"), "no tablegram header"},
      {Patched(7, "\x01"), "big-endian"},
      {Patched(8, "\x01"), "Unicode"},
      {Patched(5, "\x01"), "version 1.0"},
      {withRows("07 FF 01 00 00 00 09 41 00 0F"), "needs 9 bytes"},
      {withRows("07 FF 01 00 00 00 05 41 00 62 00 00 0F"), "odd byte length"},
      {withRows("42"), "unknown row token 0x42"},
      {withRows("87"), "child row token 0x87"},
      {withRows("0A 40 00 0F"), "without an original row"},
      {withRows("07 FF 01 00 00 00 00"), "row token or done token"},
      {Patched(kNameDescriptor + 1, "\x10"), "needs"},                // descriptor cut short
      {Patched(kNameDescriptor + 0x12, "\x09"), "unsupported type"},  // type code IDispatch
      {Patched(kNameDescriptor + 0x20, "\x64\x20"), "chapter column"},
      {Patched(kIdDescriptor + 3, "\x80\x01\x01"), "unknown optional fields"},
      {Patched(kIdDescriptor + 6, "\x02"), "out of ordinal order"},
      {Patched(0x3D, "\x03"), "fewer column descriptors"},
      {Patched(0x3D, "\x01"), "more column descriptors"},
      {Patched(0x41, "\x01"), "table descriptor count"},
      {Patched(0x49, "\x02"), "result descriptor properties"},
  };
  for (const Case& c : cases) {
    const std::string error = TryOpen(c.image);
    EXPECT_NE(error.find(c.message), std::string::npos) << error << " / wanted: " << c.message;
  }
  // A 4-byte length above 2^31 - 1 in a long column.
  TAdoDataSet ds;
  ds.SetLockType(ltOptimistic);
  ds.MutableFieldDefs().Add(u"B", ftBlob, 0, true);
  ds.Open();
  ds.Append();
  ds.SetFieldValue(0, Variant::FromArray(VarArray::Bytes("z", 1)));
  ds.Post();
  std::string image = SaveToBytes(ds);
  image.replace(image.size() - 6, 4, HexToBytes("00 00 00 80"));
  EXPECT_NE(TryOpen(image).find("above 2^31 - 1"), std::string::npos);
}

// A stream that is not a memory stream and hands out at most 5 bytes per read.
class TrickleStream : public TStream {
 public:
  explicit TrickleStream(std::string bytes) : bytes_(std::move(bytes)) {}
  int64_t Read(void* buffer, int64_t count) override {
    const int64_t n = std::min<int64_t>({count, 5, int64_t(bytes_.size()) - position_});
    std::memcpy(buffer, bytes_.data() + position_, size_t(n));
    position_ += n;
    return n;
  }
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Seek(int64_t offset, SeekOrigin origin) override {
    position_ = origin == SeekOrigin::Beginning ? offset
                : origin == SeekOrigin::Current ? position_ + offset
                                                : int64_t(bytes_.size()) + offset;
    return position_;
  }
  int64_t Size() const override { return int64_t(bytes_.size()); }
  void SetSize(int64_t) override {}

 private:
  std::string bytes_;
  int64_t position_ = 0;
};

TEST(AdtgRobustness, OpensFromAnyStreamAndStopsAtTheDoneToken) {
  const std::string image = TwoRowImage();
  TrickleStream stream(image + "trailing bytes");
  TAdoDataSet ds;
  ds.Open(stream);
  EXPECT_EQ(stream.Position(), int64_t(image.size()));
  EXPECT_EQ(ds.RecordCount(), 2);
  EXPECT_EQ(SaveToBytes(ds), image);
}

}  // namespace
}  // namespace qorvin::test
