// Every ADTG image of the corpus (written by ADO itself) through every conversion and back, under
// the C (UTF-8), GBK and CP1252 code sets: blob -> record set -> client dataset -> data packet ->
// record set -> blob -> record set. Column types and every value must arrive unchanged.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "datastream/uConvertAdo.h"
#include "datastream/uConvertDataSet.h"
#include "platform/rtl/Text.h"
#include "tests/datastream/convert_support.h"

namespace qorvin {
namespace {

namespace fs = std::filesystem;

std::string CorpusDir() {
  if (const char* root = std::getenv("QORVIN_SOURCE_DIR"); root != nullptr && *root != '\0')
    return std::string(root) + "/tests/data/adtg";
  fs::path here = __FILE__;
  return (here.parent_path().parent_path() / "data" / "adtg").string();
}

std::vector<fs::path> CorpusImages() {
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(CorpusDir()))
    if (entry.path().extension() == ".adtg") files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

#ifdef _WIN32
// Windows has no process locale for the 8-bit text: the text layer takes the code page by name.
class CodeSetScope {
 public:
  CodeSetScope(const std::string&, const std::string&, const std::string& charmap) {
    SetAnsiCodeSet(charmap);
  }
  ~CodeSetScope() { SetAnsiCodeSet(""); }
  const std::string& Note() const { return note_; }

 private:
  std::string note_;
};
#else
// Switches the process to `name` (e.g. "zh_CN.GBK"). A locale the system lacks is made with
// localedef from the system's locale sources into a directory of this test's own (no root
// needed); when even that is impossible, the code set is set directly and the test says so.
class CodeSetScope {
 public:
  CodeSetScope(const std::string& name, const std::string& source, const std::string& charmap) {
    if (std::setlocale(LC_ALL, name.c_str()) == nullptr && !source.empty()) {
      const fs::path dir = fs::temp_directory_path() / "qorvin-test-locales";
      fs::create_directories(dir);
      if (!fs::exists(dir / name)) {
        // Made under a name of this process's own and renamed into place, so that test runs at
        // the same time never read a half-made locale.
        const fs::path made = dir / (name + ".making." + std::to_string(::getpid()));
        const std::string command = "localedef -i " + source + " -f " + charmap + " '" +
                                    made.string() + "' >/dev/null 2>&1";
        (void)std::system(command.c_str());  // warnings give a non-zero status: look at files
        std::error_code ignored;
        if (fs::exists(made / "LC_CTYPE")) fs::rename(made, dir / name, ignored);
        fs::remove_all(made, ignored);
      }
      ::setenv("LOCPATH", dir.c_str(), 1);
      if (std::setlocale(LC_ALL, name.c_str()) == nullptr) {
        ::unsetenv("LOCPATH");
        SetAnsiCodeSet(charmap);
        note_ = "locale " + name + " unavailable; code set " + charmap + " set directly";
      }
    }
  }
  ~CodeSetScope() {
    SetAnsiCodeSet("");
    std::setlocale(LC_ALL, "C");
    ::unsetenv("LOCPATH");
  }
  const std::string& Note() const { return note_; }

 private:
  std::string note_;
};
#endif

// A blob holding `image` as its record-set section, as a server sends it.
void BlobOfImage(TMemoryStream& blob, const std::string& image) {
  test::MakeBlob(blob, test::Deflated(image), "");
}

// Rows of a record set as the client dataset sees them (pending deletions left out).
std::vector<std::vector<Variant>> VisibleRows(const TAdoDataSet& ds) {
  std::vector<std::vector<Variant>> rows;
  for (int64_t r = 0; r < ds.StoredRowCount(); ++r) {
    if (ds.StoredRowStatus(r) == TRowStatus::Deleted) continue;
    std::vector<Variant> row;
    for (int f = 0; f < ds.FieldCount(); ++f) row.push_back(ds.StoredValue(r, f));
    rows.push_back(std::move(row));
  }
  return rows;
}

std::string Show(const Variant& v) {
  try {
    return VarTypeName(v.Type()) + " " + v.ToUtf8();
  } catch (const std::exception&) {
    return VarTypeName(v.Type());
  }
}

// Column types, precision and scale, then every value of `back` against `original`.
void ExpectSameColumnsAndValues(const TAdoDataSet& original, const TAdoDataSet& back,
                                const std::string& where) {
  ASSERT_EQ(back.FieldCount(), original.FieldCount()) << where;
  for (int f = 0; f < original.FieldCount(); ++f) {
    const TFieldDef& a = original.FieldDefs()[f];
    const TFieldDef& b = back.FieldDefs()[f];
    EXPECT_EQ(b.name, a.name) << where;
    EXPECT_EQ(b.AdoFieldType(), a.AdoFieldType()) << where << " field " << f;
    EXPECT_EQ(b.dataType, a.dataType) << where << " field " << f;
    if (a.adoType == adDecimal || a.adoType == adNumeric || a.adoType == adVarNumeric) {
      EXPECT_EQ(b.precision, a.precision) << where << " field " << f;
      EXPECT_EQ(b.numericScale, a.numericScale) << where << " field " << f;
    }
  }
  const auto want = VisibleRows(original);
  const auto got = VisibleRows(back);
  ASSERT_EQ(got.size(), want.size()) << where;
  for (size_t r = 0; r < want.size(); ++r)
    for (size_t f = 0; f < want[r].size(); ++f)
      EXPECT_TRUE(got[r][f] == want[r][f]) << where << " row " << r << " field " << f << ": "
                                           << Show(got[r][f]) << " instead of " << Show(want[r][f]);
}

struct CodeSetCase {
  const char* locale;
  const char* source;
  const char* charmap;
};

class CorpusThroughEveryConversion : public ::testing::TestWithParam<CodeSetCase> {};

TEST_P(CorpusThroughEveryConversion, KeepsColumnTypesAndValues) {
  const CodeSetCase c = GetParam();
  CodeSetScope scope(c.locale, c.source, c.charmap);
  if (!scope.Note().empty()) RecordProperty("code_set", scope.Note());
  const auto images = CorpusImages();
  ASSERT_GE(images.size(), 60u) << "corpus missing under " << CorpusDir();
  for (const fs::path& path : images) {
    const std::string where = path.filename().string() + " under " + AnsiCodeSet();
    const std::string image = ReadFile(path);

    TMemoryStream blob;
    BlobOfImage(blob, image);
    TAdoDataSet original;
    ASSERT_TRUE(StreamToAdoDataSet(&original, &blob, true)) << where;

    std::string failure;
    std::unique_ptr<TClientDataSet> client = AdoToClientDataSet(&original, &failure);
    ASSERT_NE(client, nullptr) << where << ": " << failure;
    const Variant packet = client->Data();
    // The packet made straight from the record set has the same bytes.
    const Variant direct = AdoToDataPacket(&original, &failure);
    ASSERT_FALSE(direct.IsNull()) << where << ": " << failure;
    const auto bytes = DataPacketBytes(packet), directBytes = DataPacketBytes(direct);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), directBytes.begin(), directBytes.end()))
        << where;

    std::unique_ptr<TAdoDataSet> uploaded;
    try {
      uploaded = VariantToAdoDataSet(packet);
    } catch (const std::exception& e) {
      ADD_FAILURE() << where << ": " << e.what();
      continue;
    }
    ASSERT_NE(uploaded, nullptr) << where;
    ExpectSameColumnsAndValues(original, *uploaded, where + " (packet)");

    TMemoryStream request;
    ASSERT_TRUE(AdoDataSetToStream(uploaded.get(), &request, true, kPersistADTG, 1)) << where;
    request.SetPosition(0);
    TAdoDataSet received;
    ASSERT_TRUE(StreamToAdoDataSet(&received, &request, true)) << where;
    ExpectSameColumnsAndValues(original, received, where + " (upload blob)");
  }
}

// Packets in the version-1 form, as hosts get them by default: every image gives a version-1
// packet without column types that loads again, with every row, and no wide text without a
// maximum (that is ftMemo in version 1).
TEST(CorpusInVersionOne, EveryImageGivesAVersionOnePacketThatLoads) {
  CodeSetScope scope("C.UTF-8", "", "UTF-8");
  const auto images = CorpusImages();
  ASSERT_GE(images.size(), 60u) << "corpus missing under " << CorpusDir();
  for (const fs::path& path : images) {
    const std::string where = path.filename().string();
    TMemoryStream blob;
    BlobOfImage(blob, ReadFile(path));
    TAdoDataSet original;
    ASSERT_TRUE(StreamToAdoDataSet(&original, &blob, true)) << where;
    std::string failure;
    const Variant packet = AdoToDataPacket(&original, &failure, TPacketForm::Version1);
    ASSERT_FALSE(packet.IsNull()) << where << ": " << failure;
    const auto bytes = DataPacketBytes(packet);
    EXPECT_EQ(bytes[4], 1) << where;
    const TDataPacketContent content = DecodeDataPacket(bytes);
    EXPECT_EQ(int64_t(content.rows.size()), original.RecordCount()) << where;
    for (const TClientFieldDef& d : content.fields) {
      EXPECT_EQ(d.columnType, 0) << where << " " << d.name;
      EXPECT_FALSE(d.dataType == ftWideString && d.size == 0) << where << " " << d.name;
    }
    std::unique_ptr<TAdoDataSet> uploaded = VariantToAdoDataSet(packet);
    ASSERT_NE(uploaded, nullptr) << where;
    EXPECT_EQ(uploaded->RecordCount(), original.RecordCount()) << where;
  }
}

INSTANTIATE_TEST_SUITE_P(CodeSets, CorpusThroughEveryConversion,
                         ::testing::Values(CodeSetCase{"C.UTF-8", "", "UTF-8"},
                                           CodeSetCase{"zh_CN.GBK", "zh_CN", "GBK"},
                                           CodeSetCase{"en_US.CP1252", "en_US", "CP1252"}),
                         [](const auto& info) {
                           return std::string(info.param.charmap) == "UTF-8" ? "Utf8"
                                  : std::string(info.param.charmap) == "GBK" ? "Gbk"
                                                                             : "Cp1252";
                         });

}  // namespace
}  // namespace qorvin
