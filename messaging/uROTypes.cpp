#include "messaging/uROTypes.h"

namespace qorvin {

const char* TypeKindName(TTypeKind kind) {
  switch (kind) {
    case TTypeKind::tkUnknown:
      return "tkUnknown";
    case TTypeKind::tkInteger:
      return "tkInteger";
    case TTypeKind::tkChar:
      return "tkChar";
    case TTypeKind::tkEnumeration:
      return "tkEnumeration";
    case TTypeKind::tkFloat:
      return "tkFloat";
    case TTypeKind::tkString:
      return "tkString";
    case TTypeKind::tkSet:
      return "tkSet";
    case TTypeKind::tkClass:
      return "tkClass";
    case TTypeKind::tkMethod:
      return "tkMethod";
    case TTypeKind::tkWChar:
      return "tkWChar";
    case TTypeKind::tkLString:
      return "tkLString";
    case TTypeKind::tkWString:
      return "tkWString";
    case TTypeKind::tkVariant:
      return "tkVariant";
    case TTypeKind::tkArray:
      return "tkArray";
    case TTypeKind::tkRecord:
      return "tkRecord";
    case TTypeKind::tkInterface:
      return "tkInterface";
    case TTypeKind::tkInt64:
      return "tkInt64";
    case TTypeKind::tkDynArray:
      return "tkDynArray";
  }
  return "tkUnknown";
}

int TTypeInfo::OrdSize() const {
  switch (ord) {
    case TOrdType::otSByte:
    case TOrdType::otUByte:
      return 1;
    case TOrdType::otSWord:
    case TOrdType::otUWord:
      return 2;
    case TOrdType::otSLong:
    case TOrdType::otULong:
      return 4;
  }
  return 4;
}

namespace {

TTypeInfo Ordinal(TTypeKind kind, const char* name, TOrdType ord) {
  TTypeInfo t;
  t.kind = kind;
  t.name = name;
  t.ord = ord;
  return t;
}

TTypeInfo Float(const char* name, TFloatType flt) {
  TTypeInfo t;
  t.kind = TTypeKind::tkFloat;
  t.name = name;
  t.flt = flt;
  return t;
}

TTypeInfo Named(TTypeKind kind, const char* name) {
  TTypeInfo t;
  t.kind = kind;
  t.name = name;
  return t;
}

}  // namespace

// Each descriptor is built once and lives for the whole process (compared by address).
#define QORVIN_TYPEINFO(Func, expr)     \
  const TTypeInfo& Func() {             \
    static const TTypeInfo info = expr; \
    return info;                        \
  }

QORVIN_TYPEINFO(TypeInfo_Integer, Ordinal(TTypeKind::tkInteger, "Integer", TOrdType::otSLong))
QORVIN_TYPEINFO(TypeInfo_Cardinal, Ordinal(TTypeKind::tkInteger, "Cardinal", TOrdType::otULong))
QORVIN_TYPEINFO(TypeInfo_SmallInt, Ordinal(TTypeKind::tkInteger, "SmallInt", TOrdType::otSWord))
QORVIN_TYPEINFO(TypeInfo_Word, Ordinal(TTypeKind::tkInteger, "Word", TOrdType::otUWord))
QORVIN_TYPEINFO(TypeInfo_ShortInt, Ordinal(TTypeKind::tkInteger, "ShortInt", TOrdType::otSByte))
QORVIN_TYPEINFO(TypeInfo_Byte, Ordinal(TTypeKind::tkInteger, "Byte", TOrdType::otUByte))
QORVIN_TYPEINFO(TypeInfo_Int64, Named(TTypeKind::tkInt64, "Int64"))
QORVIN_TYPEINFO(TypeInfo_Boolean, Ordinal(TTypeKind::tkEnumeration, "Boolean", TOrdType::otUByte))
QORVIN_TYPEINFO(TypeInfo_Double, Float("Double", TFloatType::ftDouble))
QORVIN_TYPEINFO(TypeInfo_Single, Float("Single", TFloatType::ftSingle))
QORVIN_TYPEINFO(TypeInfo_Extended, Float("Extended", TFloatType::ftExtended))
QORVIN_TYPEINFO(TypeInfo_Comp, Float("Comp", TFloatType::ftComp))
QORVIN_TYPEINFO(TypeInfo_Currency, Float("Currency", TFloatType::ftCurr))
QORVIN_TYPEINFO(TypeInfo_TDateTime, Float("TDateTime", TFloatType::ftDouble))
QORVIN_TYPEINFO(TypeInfo_String, Named(TTypeKind::tkLString, "String"))
QORVIN_TYPEINFO(TypeInfo_UTF8String, Named(TTypeKind::tkLString, "UTF8String"))
QORVIN_TYPEINFO(TypeInfo_WideString, Named(TTypeKind::tkWString, "WideString"))
QORVIN_TYPEINFO(TypeInfo_Guid, Named(TTypeKind::tkLString, "Guid"))
QORVIN_TYPEINFO(TypeInfo_Variant, Named(TTypeKind::tkVariant, "Variant"))
QORVIN_TYPEINFO(TypeInfo_Decimal, Named(TTypeKind::tkVariant, "Decimal"))
QORVIN_TYPEINFO(TypeInfo_IXMLNode, Named(TTypeKind::tkInterface, "IXMLNode"))
QORVIN_TYPEINFO(TypeInfo_Char, Named(TTypeKind::tkChar, "Char"))

const TTypeInfo& TypeInfo_Binary() {
  static const TTypeInfo info = [] {
    TTypeInfo t = Named(TTypeKind::tkClass, "TROBinaryMemoryStream");
    t.family = TClassFamily::Binary;
    t.className = "TROBinaryMemoryStream";
    return t;
  }();
  return info;
}

#undef QORVIN_TYPEINFO

}  // namespace qorvin
