#include "platform/ado/AdoFieldDef.h"

#include <algorithm>

#include "platform/ado/RowStore.h"
#include "platform/rtl/Text.h"

namespace qorvin {

namespace {

constexpr uint32_t kNullable = adFldIsNullable;

// ADO type, byte size (0 = sized by the caller) and extra flags for each field type the record
// set can hold; adoType 0 marks the ones it cannot.
struct TypeRule {
  uint16_t adoType;
  uint32_t fixedSize;
  uint32_t flags;
};

TypeRule RuleFor(TFieldType type) {
  switch (type) {
    case ftString:
      return {adChar, 0, 0};
    case ftFixedChar:
      return {adChar, 0, adFldFixed};
    case ftWideString:
      return {adWChar, 0, 0};
    case ftSmallint:
      return {adSmallInt, 2, adFldFixed};
    case ftInteger:
    case ftAutoInc:
      return {adInteger, 4, adFldFixed};
    case ftWord:
      return {adUnsignedSmallInt, 2, adFldFixed};
    case ftBoolean:
      return {adBoolean, 2, adFldFixed};
    case ftFloat:
      return {adDouble, 8, adFldFixed};
    case ftCurrency:
      return {adCurrency, 8, adFldFixed};
    case ftBCD:
    case ftFMTBcd:
      return {adNumeric, 19, adFldFixed};
    case ftDate:
      return {adDBDate, 6, adFldFixed};
    case ftTime:
      return {adDBTime, 6, adFldFixed};
    case ftDateTime:
      return {adDate, 8, adFldFixed};
    case ftTimeStamp:
      return {adDBTimeStamp, 16, adFldFixed};
    case ftBytes:
      return {adBinary, 0, adFldFixed};
    case ftVarBytes:
      return {adBinary, 0, 0};
    case ftBlob:
    case ftGraphic:
    case ftTypedBinary:
    case ftParadoxOle:
    case ftDBaseOle:
    case ftOraBlob:
      return {adBinary, kAdoUnlimited, adFldLong};
    case ftMemo:
    case ftFmtMemo:
    case ftOraClob:
      // 8-bit text without a maximum: a long STR column, so the bytes travel as they are.
      return {adChar, kAdoUnlimited, adFldLong};
    case ftLargeint:
      return {adBigInt, 8, adFldFixed};
    case ftVariant:
      return {adVariant, 16, adFldFixed};
    case ftGuid:
      return {adGUID, 16, adFldFixed};
    default:
      return {adEmpty, 0, 0};
  }
}

char16_t FoldAscii(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c;
}

}  // namespace

TFieldType FieldTypeOfVariant(const Variant& value) {
  if (value.IsByRef()) return FieldTypeOfVariant(value.Deref());
  if (value.IsArray()) return value.AsArray().ElementType() == varByte ? ftBlob : ftVariant;
  switch (value.Kind()) {
    case varSmallint:
    case varShortInt:
    case varByte:
      return ftSmallint;
    case varInteger:
      return ftInteger;
    case varWord:
      return ftWord;
    case varLongWord:
    case varInt64:
    case varUInt64:
      return ftLargeint;
    case varSingle:
    case varDouble:
      return ftFloat;
    case varCurrency:
      return ftCurrency;
    case varDate:
      return ftDateTime;
    case varOleStr:
    case varUString:
      return ftWideString;
    case varString:
      return ftString;
    case varBoolean:
      return ftBoolean;
    case varDecimal:
    case varBcd:
      return ftFMTBcd;
    case varSQLTimeStamp:
      return ftTimeStamp;
    case varVariant:
      return ftVariant;
    case varDispatch:
      return ftIDispatch;
    case varUnknown:
      return ftInterface;
    default:
      return ftUnknown;
  }
}

bool IsSupportedAdoType(uint16_t adoType) {
  switch (adoType) {
    case adSmallInt:
    case adInteger:
    case adSingle:
    case adDouble:
    case adCurrency:
    case adDate:
    case adBSTR:
    case adBoolean:
    case adVariant:
    case adDecimal:
    case adTinyInt:
    case adUnsignedTinyInt:
    case adUnsignedSmallInt:
    case adUnsignedInt:
    case adBigInt:
    case adUnsignedBigInt:
    case adFileTime:
    case adGUID:
    case adBinary:
    case adChar:
    case adWChar:
    case adNumeric:
    case adDBDate:
    case adDBTime:
    case adDBTimeStamp:
    case adVarNumeric:
      return true;
    default:
      return false;
  }
}

TFieldType FieldTypeFromAdo(uint16_t adoType, uint32_t attributes, uint32_t precision,
                            int32_t scale, bool autoIncrement) {
  const bool isLong = (attributes & adFldLong) != 0;
  const bool fixed = (attributes & adFldFixed) != 0;
  switch (adoType) {
    case adSmallInt:
    case adTinyInt:
      return ftSmallint;
    case adInteger:
      return autoIncrement ? ftAutoInc : ftInteger;
    case adUnsignedTinyInt:
    case adUnsignedSmallInt:
      return ftWord;
    case adUnsignedInt:
    case adBigInt:
    case adUnsignedBigInt:
      return ftLargeint;
    case adSingle:
    case adDouble:
      return ftFloat;
    case adCurrency:
      return ftCurrency;
    case adDate:
    case adFileTime:
      return ftDateTime;
    case adBoolean:
      return ftBoolean;
    case adVariant:
      return ftVariant;
    case adDecimal:
    case adNumeric:
      return (precision <= 18 && scale >= 0 && scale <= 4) ? ftBCD : ftFMTBcd;
    case adVarNumeric:
      return ftFMTBcd;
    case adGUID:
      return ftGuid;
    case adBinary:
      return isLong ? ftBlob : fixed ? ftBytes : ftVarBytes;
    case adChar:
      return isLong ? ftMemo : fixed ? ftFixedChar : ftString;
    case adWChar:
    case adBSTR:
      return ftWideString;  // wide text stays wide, long or not (size 0: no maximum)
    case adDBDate:
      return ftDate;
    case adDBTime:
      return ftTime;
    case adDBTimeStamp:
      return ftTimeStamp;
    default:
      return ftUnknown;
  }
}

TFieldDef MakeFieldDef(std::u16string name, TFieldType type, uint32_t size, bool required,
                       uint32_t precision) {
  const TypeRule rule = RuleFor(type);
  if (rule.adoType == adEmpty)
    throw EAdoError(Format("Field '%s': a record set cannot hold fields of type %s",
                           Utf16ToUtf8(name).c_str(), FieldTypeName(type)));
  TFieldDef def;
  def.dataType = type;
  def.adoType = rule.adoType;
  def.attributes = adFldUpdatable | rule.flags | (required ? 0 : kNullable);
  def.autoIncrement = type == ftAutoInc;
  def.maxLength = rule.fixedSize;
  if (type == ftWideString && size == 0) {  // wide text without a maximum: long WSTR
    def.maxLength = kAdoUnlimited;
    def.attributes |= adFldLong;
  } else if (rule.fixedSize == 0) {
    if (size == 0)
      throw EAdoError(Format("Field '%s' of type %s needs a size", Utf16ToUtf8(name).c_str(),
                             FieldTypeName(type)));
    def.maxLength = size;
  }
  if (type == ftBCD || type == ftFMTBcd) {
    def.precision = precision != 0 ? precision : (type == ftBCD ? 18 : 28);
    def.numericScale = int32_t(size);
    if (def.precision > 38 || size > def.precision)
      throw EAdoError(Format("Field '%s': precision %u with %u decimal places is not possible",
                             Utf16ToUtf8(name).c_str(), def.precision, size));
  }
  def.name = std::move(name);
  return def;
}

TFieldDef MakeColumnDef(std::u16string name, uint16_t adoType, uint32_t size, uint32_t precision,
                        bool required) {
  if (!IsSupportedAdoType(adoType))
    throw EAdoError(Format("Field '%s': a record set cannot hold columns of type code %u",
                           Utf16ToUtf8(name).c_str(), unsigned(adoType)));
  TFieldDef def;
  def.adoType = adoType;
  def.attributes = adFldUpdatable | (required ? 0 : kNullable);
  switch (adoType) {
    case adChar:
    case adWChar:
    case adBSTR:
    case adBinary:
      def.maxLength = size == 0 ? kAdoUnlimited : size;
      if (size == 0) def.attributes |= adFldLong;
      break;
    case adDecimal:
    case adNumeric:
    case adVarNumeric:
      def.precision = precision;
      def.numericScale = int32_t(size);
      // A VARNUMERIC cell holds sign, scale, precision and up to `precision` digits.
      def.maxLength = adoType == adVarNumeric ? 4 + std::min<uint32_t>(precision, 255) / 2
                                              : (adoType == adDecimal ? 16 : 19);
      if (adoType != adVarNumeric) def.attributes |= adFldFixed;
      break;
    default:
      def.maxLength = FixedWidthOf(adoType);
      def.attributes |= adFldFixed;
  }
  def.dataType =
      FieldTypeFromAdo(def.adoType, def.attributes, def.precision, def.numericScale, false);
  def.name = std::move(name);
  return def;
}

uint32_t TFieldDef::Size() const {
  switch (adoType) {
    case adChar:
    case adWChar:
    case adBSTR:
    case adBinary:
      return maxLength;
    case adDecimal:
    case adNumeric:
    case adVarNumeric:
      return numericScale < 0 ? 0 : uint32_t(numericScale);
    default:
      return 0;
  }
}

AdoDataType TFieldDef::AdoFieldType() const {
  const int variant = IsLong() ? 2 : FixedLength() ? 0 : 1;
  switch (adoType) {
    case adChar:
      return variant == 0 ? adChar : variant == 1 ? adVarChar : adLongVarChar;
    case adWChar:
      return variant == 0 ? adWChar : variant == 1 ? adVarWChar : adLongVarWChar;
    case adBinary:
      return variant == 0 ? adBinary : variant == 1 ? adVarBinary : adLongVarBinary;
    default:
      return AdoDataType(adoType);
  }
}

void TFieldDef::SetDataType(TFieldType type) {
  TFieldDef made = MakeFieldDef(name, type, Size(), Required(), precision);
  constexpr uint32_t kTypeFlags = adFldFixed | adFldLong;
  made.attributes = (made.attributes & kTypeFlags) | (attributes & ~kTypeFlags);
  made.visible = visible;
  made.adtg = std::move(adtg);
  *this = std::move(made);
}

bool SameFieldName(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  return true;
}

TFieldDef& TFieldDefs::Add(std::u16string name, TFieldType type, uint32_t size, bool required,
                           uint32_t precision) {
  return Add(MakeFieldDef(std::move(name), type, size, required, precision));
}

TFieldDef& TFieldDefs::Add(TFieldDef def) {
  defs_.push_back(std::move(def));
  return defs_.back();
}

int TFieldDefs::IndexOf(std::u16string_view name) const {
  for (size_t i = 0; i < defs_.size(); ++i)
    if (SameFieldName(defs_[i].name, name)) return int(i);
  return -1;
}

}  // namespace qorvin
