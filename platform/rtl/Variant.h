// Variant: the platform's tagged value.
//
// The type word follows the OLE Automation codes (`VarType`), extended the way the platform
// extends them: 0x0100 for an 8-bit string, 0x0102 for a Unicode string held as UTF-16, and two
// codes of ours for the BCD decimal and the SQL timestamp value. Bit 0x2000 marks an array, bit
// 0x4000 a value held by reference.
//
// Ownership: a Variant owns its strings and arrays and copies them deeply. A by-reference Variant
// borrows the referenced storage; the caller keeps it alive while the Variant is in use.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qorvin {

enum VarType : uint16_t {
  varEmpty = 0x0000,
  varNull = 0x0001,
  varSmallint = 0x0002,
  varInteger = 0x0003,
  varSingle = 0x0004,
  varDouble = 0x0005,
  varCurrency = 0x0006,
  varDate = 0x0007,
  varOleStr = 0x0008,
  varDispatch = 0x0009,
  varError = 0x000A,
  varBoolean = 0x000B,
  varVariant = 0x000C,
  varUnknown = 0x000D,
  varDecimal = 0x000E,
  varShortInt = 0x0010,
  varByte = 0x0011,
  varWord = 0x0012,
  varLongWord = 0x0013,
  varInt64 = 0x0014,
  varUInt64 = 0x0015,
  varString = 0x0100,        // 8-bit text in the ANSI code set
  varUString = 0x0102,       // Unicode text (UTF-16)
  varBcd = 0x0103,           // BCD decimal (our code; no fixed platform code exists)
  varSQLTimeStamp = 0x0104,  // SQL timestamp (our code)
  varTypeMask = 0x0FFF,
  varArray = 0x2000,
  varByRef = 0x4000,
};

// The OLE error value for a missing optional parameter.
inline constexpr int32_t kDispEParamNotFound = int32_t(0x80020004u);

// Currency: a 64-bit integer holding the amount times 10 000.
struct Currency {
  int64_t scaled = 0;
  static Currency FromDouble(double value);
  double ToDouble() const { return double(scaled) / 10000.0; }
  bool operator==(const Currency&) const = default;
};

// The BCD decimal record: precision (digit count), sign-and-places (bit 7 sign, bit 6 special,
// bits 0-5 decimal places) and 32 bytes of packed digits, two per byte, high nibble first.
struct Bcd {
  uint8_t precision = 0;
  uint8_t sign_places = 0;
  std::array<uint8_t, 32> digits{};
  bool operator==(const Bcd&) const = default;
  bool Negative() const { return (sign_places & 0x80) != 0; }
  int Places() const { return sign_places & 0x3F; }
  // Exact decimal text ("-12.340"); "0" for a zero value.
  std::string ToString() const;
  // Parses optional '-', digits and an optional '.' fraction; EConvertError otherwise.
  static Bcd FromString(const std::string& text);
};

struct SQLTimeStamp {
  int16_t year = 0;
  uint16_t month = 0, day = 0, hour = 0, minute = 0, second = 0;
  uint32_t fractions = 0;
  bool operator==(const SQLTimeStamp&) const = default;
};

// The 16-byte OLE DECIMAL: reserved word, scale, sign byte, 96-bit magnitude (hi32, lo64).
struct Decimal {
  uint16_t reserved = 0;
  uint8_t scale = 0;
  uint8_t sign = 0;  // 0x80 = negative
  uint32_t hi32 = 0;
  uint64_t lo64 = 0;
  bool operator==(const Decimal&) const = default;
  std::string ToString() const;
};

class VarArray;

class Variant {
 public:
  Variant() = default;
  Variant(const Variant& other);
  Variant(Variant&& other) noexcept;
  Variant& operator=(const Variant& other);
  Variant& operator=(Variant&& other) noexcept;
  ~Variant();

  // Typed constructors; each gives the natural variant kind of the C++ type.
  static Variant Null();
  static Variant Smallint(int16_t v);
  static Variant Integer(int32_t v);
  static Variant Single(float v);
  static Variant Double(double v);
  static Variant Currency(qorvin::Currency v);
  static Variant Date(double v);
  static Variant OleStr(std::u16string v);   // varOleStr
  static Variant UString(std::u16string v);  // varUString
  static Variant Error(int32_t code);
  static Variant Boolean(bool v);
  static Variant ShortInt(int8_t v);
  static Variant Byte(uint8_t v);
  static Variant Word(uint16_t v);
  static Variant LongWord(uint32_t v);
  static Variant Int64(int64_t v);
  static Variant UInt64(uint64_t v);
  static Variant AnsiString(std::string v);  // varString: bytes in the ANSI code set
  static Variant FromBcd(const qorvin::Bcd& v);
  static Variant FromSQLTimeStamp(const qorvin::SQLTimeStamp& v);
  static Variant FromDecimal(const qorvin::Decimal& v);
  // A by-reference value: `type` is the referenced kind (without varByRef); `target` points to
  // storage of that kind (int16_t for varSmallint, Variant for varVariant, std::u16string for
  // varOleStr, std::string for varString, ...). The caller keeps `target` alive.
  static Variant ByRef(uint16_t type, void* target);
  static Variant FromArray(VarArray array);

  // The full type word (kind | varArray | varByRef).
  uint16_t Type() const { return type_; }
  uint16_t Kind() const { return type_ & varTypeMask; }
  bool IsArray() const { return (type_ & varArray) != 0; }
  bool IsByRef() const { return (type_ & varByRef) != 0; }
  bool IsEmpty() const { return type_ == varEmpty; }
  bool IsNull() const { return type_ == varNull; }

  // For a by-reference value, the referenced value as an ordinary Variant; otherwise a copy.
  Variant Deref() const;

  // Accessors of the stored kind; EVariantError when the kind differs (no conversion).
  int64_t AsIntegerValue() const;  // any integer kind, boolean (0/1), error code
  double AsDoubleValue() const;    // single, double, date
  qorvin::Currency AsCurrency() const;
  bool AsBoolean() const;
  const std::u16string& AsWide() const;  // varOleStr, varUString
  const std::string& AsAnsi() const;     // varString
  const qorvin::Bcd& AsBcd() const;
  const qorvin::SQLTimeStamp& AsSQLTimeStamp() const;
  const qorvin::Decimal& AsDecimal() const;
  const VarArray& AsArray() const;
  VarArray& AsArray();
  void* RefTarget() const { return ref_; }

  // Conversions in the manner of the platform: numbers between kinds, numbers to text and back.
  // EVariantError ("Could not convert variant of type (%s) into type (%s)") when impossible.
  int64_t ToInt64() const;
  double ToDouble() const;
  std::u16string ToWide() const;
  std::string ToUtf8() const;

  bool operator==(const Variant& other) const;

 private:
  void Release();
  void CopyFrom(const Variant& other);

  uint16_t type_ = varEmpty;
  union {
    int64_t i64;
    uint64_t u64;
    double dbl;
    float sgl;
  } num_{};
  std::u16string wide_;
  std::string ansi_;
  std::unique_ptr<qorvin::Bcd> bcd_;
  std::unique_ptr<qorvin::SQLTimeStamp> ts_;
  std::unique_ptr<qorvin::Decimal> dec_;
  std::unique_ptr<VarArray> array_;
  void* ref_ = nullptr;
};

// One bound of an array dimension (inclusive; count = high - low + 1, may be 0).
struct VarBound {
  int32_t low = 0;
  int32_t high = -1;
  int64_t Count() const { return int64_t(high) - int64_t(low) + 1; }
  bool operator==(const VarBound&) const = default;
};

// A multi-dimensional array of one element kind with arbitrary bounds.
//
// Elements of a fixed-size kind (smallint, integer, single, double, currency, date, boolean as
// the platform's 16-bit boolean 0/-1, shortint, byte, word, longword, int64, uint64, error) are
// kept as raw little-endian storage in the platform's safe-array order: the first dimension
// varies fastest. Other kinds (strings, variants, decimals) are kept as Variants in the same
// order. `RawData()` gives the raw storage; it is empty for the other kinds.
class VarArray {
 public:
  // EVariantError for an element kind that arrays cannot hold or a negative element count.
  VarArray(uint16_t elementType, std::vector<VarBound> bounds);
  static VarArray Bytes(const void* data, size_t size);  // one dimension, low bound 0
  // An array of the given bounds whose elements, in storage order, are `elements` (taken over,
  // converted as PutFlat converts). Lets a reader collect elements as it decodes them instead of
  // sizing storage by a count it has not yet seen backed. EVariantError as the constructor, or
  // when the number of elements is not the bounds' element count.
  static VarArray FromFlat(uint16_t elementType, std::vector<VarBound> bounds,
                           std::vector<Variant> elements);

  uint16_t ElementType() const { return element_type_; }
  const std::vector<VarBound>& Bounds() const { return bounds_; }
  int DimCount() const { return int(bounds_.size()); }
  int64_t ElementCount() const { return count_; }
  // Size in bytes of one element in raw storage; 0 for kinds held as Variants.
  static size_t FixedElementSize(uint16_t elementType);
  size_t ElementSize() const { return FixedElementSize(element_type_); }

  std::vector<uint8_t>& RawData() { return raw_; }
  const std::vector<uint8_t>& RawData() const { return raw_; }

  // Element by index tuple (one index per dimension); ERangeError outside the bounds.
  Variant Get(const std::vector<int32_t>& index) const;
  void Put(const std::vector<int32_t>& index, const Variant& value);
  // Element by storage position (0 .. ElementCount()-1).
  Variant GetFlat(int64_t position) const;
  void PutFlat(int64_t position, const Variant& value);

  bool operator==(const VarArray&) const = default;

 private:
  int64_t FlatIndex(const std::vector<int32_t>& index) const;

  uint16_t element_type_;
  std::vector<VarBound> bounds_;
  int64_t count_ = 0;
  std::vector<uint8_t> raw_;
  std::vector<Variant> items_;
};

// Name of a variant kind for error texts ("Integer", "OleStr", ...).
std::string VarTypeName(uint16_t type);

}  // namespace qorvin
