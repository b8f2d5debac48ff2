// Images read a window at a time (ReadAdtg / ReadAdtgRows over a source) against the same images
// read whole: every corpus image opens to a record set that saves back to the same bytes and
// hands out the same rows, whatever pieces the source yields and however small the window;
// damaged images fail with the same text.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <random>

#include "platform/ado/AdoDataSet.h"
#include "platform/ado/AdoValues.h"
#include "platform/ado/AdtgCodec.h"
#include "tests/ado/AdoTestUtil.h"

namespace qorvin::test {
namespace {

std::vector<std::string> Images() {
  std::vector<std::string> paths;
  for (const auto& e : std::filesystem::recursive_directory_iterator(AdtgDataDir()))
    if (e.path().extension() == ".adtg") paths.push_back(e.path().string());
  std::sort(paths.begin(), paths.end());
  std::vector<std::string> images;
  for (const std::string& p : paths) images.push_back(ReadFileBytes(p));
  return images;
}

// Yields the image in pieces of 1 .. `most` bytes.
class PieceSource final : public ado::AdtgSource {
 public:
  PieceSource(std::string bytes, size_t most, uint32_t seed)
      : bytes_(std::move(bytes)), most_(most), rng_(seed) {}
  size_t Read(uint8_t* into, size_t room) override {
    const size_t n = std::min({room, bytes_.size() - at_, size_t(1 + rng_() % most_)});
    std::copy_n(bytes_.data() + at_, n, into);
    at_ += n;
    return n;
  }

 private:
  std::string bytes_;
  size_t most_;
  size_t at_ = 0;
  std::mt19937 rng_;
};

// Every handed-out row's values.
class RowValues final : public ado::AdtgRowSink {
 public:
  void Columns(const TFieldDefs& defs, uint32_t) override { defs_ = defs; }
  void Row(const RowStore& store, const uint8_t* rec) override {
    for (int col = 0; col < defs_.Count(); ++col)
      values.push_back(ado::CellValue(defs_[col], store, rec, col));
  }
  std::vector<Variant> values;

 private:
  TFieldDefs defs_;
};

std::vector<Variant> WholeRows(const std::string& image) {
  TAdoDataSet ds;
  TMemoryStream in;
  in.WriteBytes(image);
  in.SetPosition(0);
  ds.Open(in);
  std::vector<Variant> values;
  for (ds.First(); !ds.Eof(); ds.Next())
    for (int col = 0; col < ds.FieldCount(); ++col) values.push_back(ds.FieldValue(col));
  return values;
}

std::string Failure(const std::function<void()>& read) {
  try {
    read();
  } catch (const EAdoError& e) {
    return e.what();
  }
  return "";
}

TEST(AdtgWindowedRead, CorpusImagesReadAsWhole) {
  uint32_t seed = 0;
  for (const std::string& image : Images()) {
    for (const size_t window : {size_t(1), size_t(100), size_t(1) << 20}) {
      ++seed;
      PieceSource source(image + "after", 1 + seed % 300, seed);
      TAdoDataSet ds;
      ds.Open(source);
      ASSERT_EQ(SaveToBytes(ds), image) << "window " << window;

      PieceSource again(image, 1 + seed % 300, seed);
      RowValues rows;
      ASSERT_EQ(ado::ReadAdtgRows(again, rows, window), image.size());
      ASSERT_TRUE(rows.values == WholeRows(image)) << "window " << window;
    }
  }
}

TEST(AdtgWindowedRead, DamageFailsWithTheTextOfTheWholeRead) {
  const std::vector<std::string> images = Images();
  const std::string& image = images.front();
  std::mt19937 rng(3);
  for (size_t at = 0; at < image.size(); at += 1 + at / 64) {
    for (const bool cut : {true, false}) {
      std::string damaged = image;
      if (cut)
        damaged.resize(at);
      else
        damaged[at] = char(damaged[at] ^ (1 + rng() % 255));
      const std::string whole = Failure([&] {
        ado::AdtgImage read;
        ado::ReadAdtg(std::span(reinterpret_cast<const uint8_t*>(damaged.data()), damaged.size()),
                      read);
      });
      PieceSource source(damaged, 7, uint32_t(at));
      const std::string windowed = Failure([&] {
        ado::AdtgImage read;
        ado::ReadAdtg(source, read, 16);
      });
      ASSERT_EQ(windowed, whole) << (cut ? "cut at " : "damaged at ") << at;
      if (cut) {
        ASSERT_FALSE(whole.empty());
      }
    }
  }
}

}  // namespace
}  // namespace qorvin::test
