// Every ADTG image of the corpus (written by ADO itself) must open to the field definitions,
// row states and values of its XML twin, and save back to the same bytes.
#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "platform/ado/AdoDataSet.h"
#include "platform/ado/AdoDates.h"
#include "platform/ado/AdoNumeric.h"
#include "platform/rtl/Text.h"
#include "tests/ado/AdoTestUtil.h"
#include "tests/ado/AdoXml.h"

namespace qorvin::test {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> CorpusFiles() {
  std::vector<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(AdtgDataDir()))
    if (entry.path().extension() == ".adtg") files.push_back(entry.path().string());
  std::sort(files.begin(), files.end());
  return files;
}

// The corpus's 8-bit text is in code page 949, made here by the system's own converter (not the
// text layer under test).
#ifdef _WIN32
std::string Utf8ToCp949(const std::string& text) {
  if (text.empty()) return {};
  const int wide =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), int(text.size()), nullptr, 0);
  if (wide <= 0) throw std::runtime_error("text is not UTF-8");
  std::wstring utf16(size_t(wide), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), int(text.size()), utf16.data(),
                      wide);
  BOOL lossy = FALSE;
  const int n = WideCharToMultiByte(949, WC_NO_BEST_FIT_CHARS, utf16.data(), wide, nullptr, 0,
                                    nullptr, &lossy);
  std::string out(size_t(n > 0 ? n : 0), '\0');
  if (n > 0)
    WideCharToMultiByte(949, WC_NO_BEST_FIT_CHARS, utf16.data(), wide, out.data(), n, nullptr,
                        &lossy);
  if (n <= 0 || lossy) throw std::runtime_error("text not representable in CP949");
  return out;
}
#else
std::string Utf8ToCp949(const std::string& text) {
  iconv_t cd = iconv_open("CP949", "UTF-8");
  if (cd == iconv_t(-1)) throw std::runtime_error("iconv CP949 unavailable");
  std::string out(text.size() * 2 + 4, '\0');
  char* in = const_cast<char*>(text.data());
  size_t inLeft = text.size();
  char* outPtr = out.data();
  size_t outLeft = out.size();
  const size_t rc = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
  iconv_close(cd);
  if (rc == size_t(-1)) throw std::runtime_error("text not representable in CP949");
  out.resize(out.size() - outLeft);
  return out;
}
#endif

uint16_t ExpectedType(const TwinColumn& c) {
  if (c.type == "int") return adInteger;
  if (c.type == "i2") return adSmallInt;
  if (c.type == "i1") return adTinyInt;
  if (c.type == "i8") return adBigInt;
  if (c.type == "ui1") return adUnsignedTinyInt;
  if (c.type == "ui2") return adUnsignedSmallInt;
  if (c.type == "ui4") return adUnsignedInt;
  if (c.type == "ui8") return adUnsignedBigInt;
  if (c.type == "boolean") return adBoolean;
  if (c.type == "float") return adDouble;
  if (c.type == "r4") return adSingle;
  if (c.type == "uuid") return adGUID;
  if (c.type == "bin.hex") return adBinary;
  if (c.type == "date") return adDBDate;
  if (c.type == "time") return adDBTime;
  if (c.type == "number") {
    if (c.dbtype == "currency") return adCurrency;
    if (c.dbtype == "decimal") return adDecimal;
    if (c.dbtype == "numeric") return adNumeric;
    if (c.dbtype == "varnumeric") return adVarNumeric;
  }
  if (c.type == "dateTime") {
    if (c.dbtype == "variantdate") return adDate;
    if (c.dbtype == "filetime") return adFileTime;
    if (c.dbtype == "timestamp") return adDBTimeStamp;
  }
  if (c.type == "string") {
    if (c.dbtype == "str") return adChar;
    return c.maxLength ? adWChar : adVariant;
  }
  return 0xFFFF;
}

// Decimal text without leading zeros, trailing fraction zeros or a negative zero.
std::string CanonicalNumber(const std::string& text) {
  return ado::FormatDecimal(ado::TrimFraction(ado::ParseDecimal(text)));
}

std::string TwoDigits(unsigned v) {
  return (v < 10 ? "0" : "") + std::to_string(v);
}

std::string IsoDateTime(int year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                        unsigned second, uint32_t nanos) {
  std::string text = std::to_string(year) + "-" + TwoDigits(month) + "-" + TwoDigits(day) + "T" +
                     TwoDigits(hour) + ":" + TwoDigits(minute) + ":" + TwoDigits(second);
  if (nanos != 0) {
    std::string fraction = std::to_string(nanos);
    fraction.insert(0, 9 - fraction.size(), '0');
    while (fraction.back() == '0') fraction.pop_back();
    text += "." + fraction;
  }
  return text;
}

std::string IsoOfDate(double date) {
  const ado::DateTimeParts p = ado::PartsFromOleDate(date);
  return IsoDateTime(p.year, p.month, p.day, p.hour, p.minute, p.second, p.nanos);
}

// ADO's en-US text of a date held in a variant column: "M/D/YYYY h:mm:ss AM", the date left out
// on day 0 and the time left out at midnight.
std::string UsDateText(double date) {
  const ado::DateTimeParts p = ado::PartsFromOleDate(date);
  std::string text;
  if (std::trunc(date) != 0)
    text = std::to_string(p.month) + "/" + std::to_string(p.day) + "/" + std::to_string(p.year);
  if (p.hour || p.minute || p.second || std::trunc(date) == 0) {
    const unsigned hour12 = p.hour % 12 == 0 ? 12 : p.hour % 12;
    if (!text.empty()) text += " ";
    text += std::to_string(hour12) + ":" + TwoDigits(p.minute) + ":" + TwoDigits(p.second) +
            (p.hour < 12 ? " AM" : " PM");
  }
  return text;
}

std::string FloatText(double v, int digits) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*g", digits, v);
  return buffer;
}

// The value as its XML twin writes it, and the twin's text brought to the same form.
std::pair<std::string, std::string> Canonical(const TwinColumn& c, const Variant& v,
                                              const std::string& xml) {
  switch (ExpectedType(c)) {
    case adBoolean:
      return {v.AsBoolean() ? "True" : "False", xml};
    case adDouble:
      return {FloatText(v.AsDoubleValue(), 17), FloatText(std::strtod(xml.c_str(), nullptr), 17)};
    case adSingle:
      return {FloatText(v.AsDoubleValue(), 9), FloatText(std::strtof(xml.c_str(), nullptr), 9)};
    case adCurrency:
    case adDecimal:
    case adNumeric:
    case adVarNumeric:
      return {CanonicalNumber(v.ToUtf8()), CanonicalNumber(xml)};
    case adDate:
    case adFileTime:
      return {IsoOfDate(v.AsDoubleValue()), xml};
    case adDBTimeStamp: {
      const SQLTimeStamp& t = v.AsSQLTimeStamp();
      return {IsoDateTime(t.year, t.month, t.day, t.hour, t.minute, t.second, t.fractions), xml};
    }
    case adDBDate:
      return {IsoOfDate(v.AsDoubleValue()).substr(0, 10), xml};
    case adBinary: {
      const auto& raw = v.AsArray().RawData();
      return {BytesToHex(std::string(raw.begin(), raw.end())), xml};
    }
    case adChar:
      return {BytesToHex(v.AsAnsi()), BytesToHex(Utf8ToCp949(xml))};
    case adWChar:
      return {Utf16ToUtf8(v.AsWide()), xml};
    case adVariant:
      switch (v.Kind()) {
        case varBoolean:
          return {v.AsBoolean() ? "True" : "False", xml};
        case varDate:
          return {UsDateText(v.AsDoubleValue()), xml};
        case varSingle:
          return {FloatText(v.AsDoubleValue(), 7), xml};
        case varDouble:
          return {FloatText(v.AsDoubleValue(), 15), xml};
        case varCurrency:
        case varDecimal:
          return {CanonicalNumber(v.ToUtf8()), CanonicalNumber(xml)};
        default:
          return {v.ToUtf8(), xml};
      }
    default:
      return {v.ToUtf8(), xml};
  }
}

class CorpusFile {
 public:
  explicit CorpusFile(const std::string& path) : path_(path) {}

  void Check() {
    image_ = ReadFileBytes(path_);
    ASSERT_NO_THROW(OpenFromBytes(ds_, image_)) << path_;
    const std::string xmlPath = path_.substr(0, path_.size() - 5) + ".xml";
    twin_ = ParseTwin(ReadFileBytes(xmlPath));
    CheckColumns();
    CheckRows();
    EXPECT_EQ(BytesToHex(SaveToBytes(ds_)), BytesToHex(image_)) << path_ << ": saved bytes differ";
  }

 private:
  void CheckColumns() {
    ASSERT_EQ(ds_.FieldCount(), int(twin_.columns.size())) << path_;
    for (int i = 0; i < ds_.FieldCount(); ++i) {
      const TFieldDef& def = ds_.FieldDefs()[i];
      const TwinColumn& c = twin_.columns[size_t(i)];
      SCOPED_TRACE(path_ + " column " + c.name);
      EXPECT_EQ(Utf16ToUtf8(def.name), c.name);
      EXPECT_EQ(c.number, i + 1);
      EXPECT_EQ(def.adoType, ExpectedType(c));
      EXPECT_EQ(def.dataType, FieldTypeFromAdo(def.adoType, def.attributes, def.precision,
                                               def.numericScale, def.autoIncrement));
      EXPECT_NE(def.dataType, ftUnknown);
      // The XML form gives date-times of DATE and FILETIME columns 16 bytes (its own size for a
      // date-time); the image has the 8 of the type. It also never marks VARIANT columns fixed.
      const bool xmlDateSize = def.adoType == adDate || def.adoType == adFileTime;
      if (c.maxLength && !xmlDateSize) {
        EXPECT_EQ(def.maxLength, *c.maxLength);
      }
      if (c.precision) {
        EXPECT_EQ(def.precision, uint32_t(*c.precision));
      }
      if (c.scale) {
        EXPECT_EQ(def.numericScale, *c.scale);
      }
      EXPECT_EQ(def.FixedLength(), c.fixed || def.adoType == adVariant);
      EXPECT_EQ(def.IsLong(), c.isLong);
      EXPECT_EQ((def.attributes & adFldIsNullable) != 0, c.nullable);
      EXPECT_EQ((def.attributes & adFldMayBeNull) != 0, c.maybeNull);
      EXPECT_EQ(!def.ReadOnly(), c.write);
    }
  }

  // One stored row against one twin row: `original` compares the before-image.
  void CompareValues(int64_t row, const std::map<std::string, std::string>& values,
                     const std::set<std::string>& forceNull, bool original, bool onlyAssigned) {
    for (int i = 0; i < ds_.FieldCount(); ++i) {
      const TwinColumn& c = twin_.columns[size_t(i)];
      SCOPED_TRACE(path_ + " stored row " + std::to_string(row) + " column " + c.name);
      const auto it = values.find(c.name);
      const bool nulled = forceNull.count(c.name) != 0;
      const Variant v = ds_.StoredValue(row, i, original);
      // A variant column assigned Empty shows no attribute in the XML form.
      const bool emptyCell = c.type == "string" && !c.maxLength && v.IsEmpty();
      if (onlyAssigned) {
        EXPECT_EQ(ds_.StoredFieldAssigned(row, i), it != values.end() || nulled || emptyCell);
        if (it == values.end() && !nulled) continue;
      }
      if (it == values.end()) {
        // Absent: NULL, or an empty cell of a variant column.
        EXPECT_TRUE(v.IsNull() || emptyCell) << "expected no value, got " << VarTypeName(v.Type());
        continue;
      }
      ASSERT_FALSE(v.IsNull()) << "expected " << it->second;
      const auto [got, want] = Canonical(c, v, it->second);
      EXPECT_EQ(got, want);
    }
  }

  void CheckRows() {
    // Images hold pending deletions first; the XML form lists them last.
    std::vector<int64_t> kept, deleted;
    for (int64_t r = 0; r < ds_.StoredRowCount(); ++r)
      (ds_.StoredRowStatus(r) == TRowStatus::Deleted ? deleted : kept).push_back(r);
    std::vector<const TwinRow*> twinKept, twinDeleted;
    for (const TwinRow& row : twin_.rows)
      (row.state == TwinState::Deleted ? twinDeleted : twinKept).push_back(&row);
    ASSERT_EQ(kept.size(), twinKept.size()) << path_;
    ASSERT_EQ(deleted.size(), twinDeleted.size()) << path_;
    EXPECT_EQ(ds_.RecordCount(), int64_t(kept.size()));
    for (size_t k = 0; k < kept.size(); ++k) {
      const TwinRow& t = *twinKept[k];
      const int64_t r = kept[k];
      switch (t.state) {
        case TwinState::Unchanged:
          EXPECT_EQ(ds_.StoredRowStatus(r), TRowStatus::Unchanged) << path_ << " row " << r;
          CompareValues(r, t.values, {}, false, false);
          break;
        case TwinState::Modified:
          EXPECT_EQ(ds_.StoredRowStatus(r), TRowStatus::Modified) << path_ << " row " << r;
          CompareValues(r, t.original, {}, true, false);
          CompareValues(r, t.values, t.forceNull, false, true);
          break;
        default:
          EXPECT_EQ(ds_.StoredRowStatus(r), TRowStatus::Inserted) << path_ << " row " << r;
          CompareValues(r, t.values, t.forceNull, false, false);
      }
    }
    for (size_t k = 0; k < deleted.size(); ++k)
      CompareValues(deleted[k], twinDeleted[k]->values, {}, true, false);
  }

  std::string path_;
  std::string image_;
  Twin twin_;
  TAdoDataSet ds_;
};

TEST(AdtgCorpus, EveryImageMatchesItsXmlTwinAndSavesBackUnchanged) {
  const std::vector<std::string> files = CorpusFiles();
  ASSERT_EQ(files.size(), 83u) << "corpus incomplete under " << AdtgDataDir();
  for (const std::string& file : files) CorpusFile(file).Check();
}

}  // namespace
}  // namespace qorvin::test
