// Random schemas and rows: record set -> blob -> record set -> data packet -> record set -> blob
// -> record set keeps every field definition and value.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "convert_support.h"
#include "datastream/uConvertAdo.h"
#include "datastream/uConvertDataSet.h"
#include "platform/rtl/Text.h"

namespace qorvin {
namespace {

class RandomSchema {
 public:
  explicit RandomSchema(uint32_t seed) : rng_(seed) {}

  void Define(TAdoDataSet& ds) {
    static constexpr TFieldType kTypes[] = {
        ftString,   ftFixedChar, ftWideString, ftSmallint,  ftInteger, ftWord,
        ftLargeint, ftBoolean,   ftFloat,      ftCurrency,  ftBCD,     ftFMTBcd,
        ftDate,     ftTime,      ftDateTime,   ftTimeStamp, ftBytes,   ftVarBytes,
        ftBlob,     ftMemo,      ftGuid,       ftVariant};
    const int count = Int(1, 8);
    for (int i = 0; i < count; ++i) {
      const TFieldType type = kTypes[Int(0, int(std::size(kTypes)) - 1)];
      uint32_t size = 0, precision = 0;
      if (type == ftBCD || type == ftFMTBcd) {
        precision = type == ftBCD ? uint32_t(Int(1, 18)) : uint32_t(Int(19, 38));
        size = uint32_t(Int(0, std::min<int>(int(precision), type == ftBCD ? 4 : 10)));
      } else if (type == ftString || type == ftFixedChar || type == ftWideString ||
                 type == ftBytes || type == ftVarBytes) {
        size = uint32_t(Int(1, 300));  // both sides of the one-byte length limit
      }
      const bool required = Int(0, 4) == 0;
      ds.MutableFieldDefs().Add(Utf8ToUtf16("F" + std::to_string(i)), type, size, required,
                                precision);
    }
  }

  void Fill(TAdoDataSet& ds, int rows) {
    for (int r = 0; r < rows; ++r) {
      ds.Append();
      for (int f = 0; f < ds.FieldCount(); ++f) {
        const TFieldDef& def = ds.FieldDefs()[f];
        if (!def.Required() && Int(0, 4) == 0) continue;  // NULL
        ds.SetFieldValue(f, Value(def));
      }
      ds.Post();
    }
  }

 private:
  int Int(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }
  int64_t Int64() { return int64_t(rng_()) << 32 | rng_(); }

  std::string Ascii(int maxLength) {
    std::string s(size_t(Int(0, std::min(maxLength, 40))), ' ');
    for (char& c : s) c = char(Int(0x20, 0x7E));
    return s;
  }

  Variant Value(const TFieldDef& def) {
    const uint32_t size = def.Size();
    switch (def.dataType) {
      case ftString:
      case ftFixedChar:
        return Variant::AnsiString(Ascii(int(size)));
      case ftWideString: {
        std::u16string s(size_t(Int(0, int(std::min<uint32_t>(size, 30)))), u'a');
        for (char16_t& c : s) c = char16_t(Int(0, 2) == 0 ? Int(0x4E00, 0x4FFF) : Int(0x20, 0x7E));
        return Variant::OleStr(s);
      }
      case ftMemo:
        return Variant::OleStr(Utf8ToUtf16(Ascii(1000)));
      case ftSmallint:
        return Variant::Smallint(int16_t(Int(-32768, 32767)));
      case ftInteger:
        return Variant::Integer(int32_t(rng_()));
      case ftWord:
        return Variant::Word(uint16_t(Int(0, 65535)));
      case ftLargeint:
        return Variant::Int64(Int64());
      case ftBoolean:
        return Variant::Boolean(Int(0, 1) == 1);
      case ftFloat:
        return Variant::Double(std::uniform_real_distribution<double>(-1e9, 1e9)(rng_));
      case ftCurrency:
        return Variant::Currency(Currency{Int64() >> 8});
      case ftBCD:
      case ftFMTBcd: {
        const int places = int(def.numericScale);
        std::string digits = std::to_string(uint64_t(Int64()) % 1000000000000000000ull);
        digits = digits.substr(0, std::min<size_t>(digits.size(), def.precision - size_t(places)));
        std::string text = (Int(0, 1) ? "-" : "") + digits;
        if (places > 0) {
          text += '.';
          for (int i = 0; i < places; ++i) text += char('0' + Int(0, 9));
        }
        return Variant::FromBcd(Bcd::FromString(text));
      }
      case ftDate:
        return Variant::Date(Int(-600000, 2900000));
      case ftTime:
        return Variant::Date(Int(0, 86399) / 86400.0);
      case ftDateTime:
        return Variant::Date(Int(0, 80000) + Int(0, 86399999) / 86400000.0);
      case ftTimeStamp: {
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
      case ftBytes:
      case ftVarBytes:
      case ftBlob: {
        std::string b(size_t(Int(0, int(std::min<uint32_t>(def.IsLong() ? 500 : size, 40)))), 0);
        for (char& c : b) c = char(Int(0, 255));
        return Variant::FromArray(VarArray::Bytes(b.data(), b.size()));
      }
      case ftGuid: {
        static const char kHex[] = "0123456789ABCDEF";
        std::string g = "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}";
        for (char& c : g)
          if (c == 'x') c = kHex[Int(0, 15)];
        return Variant::OleStr(Utf8ToUtf16(g));
      }
      case ftVariant:
        return Int(0, 1) ? Variant::Integer(int32_t(rng_()))
                         : Variant::Double(0.25 * Int(-1000, 1000));
      default:
        ADD_FAILURE() << "no value for " << FieldTypeName(def.dataType);
        return Variant::Null();
    }
  }

  std::mt19937 rng_;
};

void ExpectSame(TAdoDataSet& expected, TAdoDataSet& actual, uint32_t seed) {
  ASSERT_EQ(actual.FieldDefs(), expected.FieldDefs()) << "seed " << seed;
  ASSERT_EQ(actual.RecordCount(), expected.RecordCount()) << "seed " << seed;
  expected.First();
  actual.First();
  for (; !expected.Eof(); expected.Next(), actual.Next())
    for (int f = 0; f < expected.FieldCount(); ++f)
      ASSERT_EQ(actual.FieldValue(f), expected.FieldValue(f))
          << "seed " << seed << " row " << expected.RecNo() << " field "
          << FieldTypeName(expected.FieldDefs()[f].dataType);
}

void Reload(TAdoDataSet& from, TAdoDataSet& into) {
  TMemoryStream blob;
  ASSERT_TRUE(AdoDataSetToStream(&from, &blob, true, kPersistADTG, 1));
  ASSERT_TRUE(StreamToAdoDataSet(&into, &blob, true));
}

TEST(ConvertProperty, RandomSchemasSurviveBlobAndPacket) {
  for (uint32_t seed = 1; seed <= 150; ++seed) {
    RandomSchema random(seed);
    TAdoDataSet source;
    random.Define(source);
    source.Open();
    source.SetLockType(ltOptimistic);
    random.Fill(source, int(seed % 13));

    TAdoDataSet received;
    Reload(source, received);
    std::string failure;
    auto client = AdoToClientDataSet(&received, &failure);
    ASSERT_NE(client, nullptr) << "seed " << seed << ": " << failure;
    auto copy = VariantToAdoDataSet(client->Data());
    ASSERT_NE(copy, nullptr) << "seed " << seed;
    ExpectSame(received, *copy, seed);

    TAdoDataSet uploaded;
    Reload(*copy, uploaded);
    ExpectSame(received, uploaded, seed);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace qorvin
