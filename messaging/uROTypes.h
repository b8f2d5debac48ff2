// Type descriptions: what a proxy hands to the message with each value so that the serializer
// can choose the encoding, in place of the platform's run-time type information.
//
// A value travels as (name, descriptor, pointer to the value's storage). The storage type for
// each descriptor is fixed:
//
//   descriptor kind / alias        C++ storage the pointer refers to
//   ------------------------------ ------------------------------------------------------------
//   tkInteger, ordinal size n      int8_t/uint8_t, int16_t/uint16_t, int32_t/uint32_t (by TOrdType)
//   tkInt64                        int64_t
//   tkEnumeration (Boolean incl.)  an unsigned integer of the ordinal size (bool for Boolean)
//   tkFloat single/double/ext/comp float / double / long double (80-bit x87) / int64_t
//   tkFloat currency               qorvin::Currency
//   tkFloat "TDateTime"            double
//   tkLString / tkString           std::string (bytes; ANSI text, or UTF-8 for "UTF8String")
//   tkLString "Guid"               std::string (braced GUID text)
//   tkWString                      std::u16string
//   tkVariant                      qorvin::Variant ("Decimal": Variant holding 16 bytes or a value)
//   tkInterface "IXMLNode"         std::string holding the XML text (empty = absent node)
//   tkClass, binary                std::unique_ptr<TROBinaryMemoryStream> (null = absent)
//   tkClass, struct/array/exception std::unique_ptr<TROComplexType> / std::unique_ptr<TROArray> /
//                                  std::unique_ptr<EROException>
//
// Descriptors are immutable objects with static storage duration; compare them by address.
#pragma once

#include <cstdint>
#include <string>

namespace qorvin {

enum class TTypeKind {
  tkUnknown,
  tkInteger,
  tkChar,
  tkEnumeration,
  tkFloat,
  tkString,
  tkSet,
  tkClass,
  tkMethod,
  tkWChar,
  tkLString,
  tkWString,
  tkVariant,
  tkArray,
  tkRecord,
  tkInterface,
  tkInt64,
  tkDynArray,
};

// Name of a kind as the platform spells it ("tkChar", ...), for "Type \"%s\" not supported".
const char* TypeKindName(TTypeKind kind);

enum class TOrdType { otSByte, otUByte, otSWord, otUWord, otSLong, otULong };
enum class TFloatType { ftSingle, ftDouble, ftExtended, ftComp, ftCurr };

// Which class family a tkClass descriptor stands for.
enum class TClassFamily { None, Binary, Struct, Array, Exception, Custom };

struct TTypeInfo {
  TTypeKind kind = TTypeKind::tkUnknown;
  std::string name;  // "Integer", "TDateTime", "UTF8String", "Guid", "Decimal", "IXMLNode", ...
  TOrdType ord = TOrdType::otSLong;
  TFloatType flt = TFloatType::ftDouble;
  TClassFamily family = TClassFamily::None;
  // For struct, array and exception classes: the expected class name (registry lookups).
  std::string className;
  // For arrays: the element type.
  const TTypeInfo* element = nullptr;

  // Byte size of an ordinal of this descriptor (1, 2 or 4).
  int OrdSize() const;
};

// The descriptors of the contract's wire types (and the other built-in types).
const TTypeInfo& TypeInfo_Integer();   // signed 32-bit
const TTypeInfo& TypeInfo_Cardinal();  // unsigned 32-bit
const TTypeInfo& TypeInfo_SmallInt();  // signed 16-bit
const TTypeInfo& TypeInfo_Word();      // unsigned 16-bit
const TTypeInfo& TypeInfo_ShortInt();  // signed 8-bit
const TTypeInfo& TypeInfo_Byte();      // unsigned 8-bit
const TTypeInfo& TypeInfo_Int64();
const TTypeInfo& TypeInfo_Boolean();  // enumeration of ordinal size 1, storage bool
const TTypeInfo& TypeInfo_Double();
const TTypeInfo& TypeInfo_Single();
const TTypeInfo& TypeInfo_Extended();
const TTypeInfo& TypeInfo_Comp();
const TTypeInfo& TypeInfo_Currency();
const TTypeInfo& TypeInfo_TDateTime();
const TTypeInfo& TypeInfo_String();  // ANSI byte string
const TTypeInfo& TypeInfo_UTF8String();
const TTypeInfo& TypeInfo_WideString();
const TTypeInfo& TypeInfo_Guid();
const TTypeInfo& TypeInfo_Variant();
const TTypeInfo& TypeInfo_Decimal();
const TTypeInfo& TypeInfo_IXMLNode();
const TTypeInfo& TypeInfo_Binary();  // TROBinaryMemoryStream
const TTypeInfo& TypeInfo_Char();    // no encoding: "tkChar" failures

// `TParamAttributes`: travels to the parameter events; no effect on the encoding.
enum TParamAttribute : uint8_t { paIsDateTime = 1, paIsArrayElement = 2 };
using TParamAttributes = uint8_t;

}  // namespace qorvin
