// TROSerializer: turns typed values into an encoding and back, choosing the typed operation from
// the value's type description.
//
// Values are passed as (name, type description, pointer to storage); the storage type for each
// description is listed in uROTypes.h. Names are informational (the binary encoding carries
// none). `arrayIndex` is -1 for a value that is not an array element.
//
// Dispatch order of WriteValue / ReadValue (first match wins):
//   1 "Guid" alias            -> Guid          6 tkClass: Custom -> custom path, Array -> array,
//   2 tkInteger               -> Integer          Struct -> struct, Binary -> binary,
//   3 tkEnumeration           -> Enumerated       Exception -> exception object, other -> error
//   4 tkFloat: "TDateTime"    -> DateTime      7 tkWString               -> WideString
//              other          -> Double        8 tkVariant: "Decimal" -> Decimal, other -> Variant
//   5 tkLString / tkString: "UTF8String"       9 tkInterface: "IXMLNode" -> Xml, other -> error
//              -> UTF8String, other -> String  10 tkInt64                -> Int64
//                                              11 any other kind         -> error
// Errors: writing an uncovered type raises EROUnknownType "Type \"%s\" not supported" with the
// kind's name; reading raises EROUnknownType for class and interface kinds and EROException
// (same text) for the others.
//
// Failures leave the underlying stream wherever the failing operation stopped. Not thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "messaging/uROBinaryHelpers.h"
#include "messaging/uROClasses.h"
#include "messaging/uROExceptions.h"
#include "messaging/uROTypes.h"
#include "platform/rtl/Stream.h"
#include "platform/rtl/Variant.h"

namespace qorvin {

// The element name given to array elements.
inline constexpr const char* kArrayElementName = "item";

class TROSerializer {
 public:
  virtual ~TROSerializer() = default;

  void WriteValue(const std::string& name, const TTypeInfo& type, const void* ref,
                  int arrayIndex = -1);
  void ReadValue(const std::string& name, const TTypeInfo& type, void* ref, int arrayIndex = -1);

  // Object bodies: the streamed properties of `info` (sorted unless property order is kept),
  // each with WriteValue / ReadValue. `object` points to the family's root type (TROObject* or
  // EROException*, see uROClasses.h).
  virtual void WriteObject(const TROClassInfo& info, const void* object);
  virtual void ReadObject(const TROClassInfo& info, void* object);
  // Whether object bodies keep declaration order; false: sorted by name.
  virtual bool KeepsPropertyOrder() const { return false; }

  // Hooks around objects and the custom path; they do nothing here.
  virtual void BeginReadObject(const std::string& name, const TROClassInfo& info) {
    (void)name, (void)info;
  }
  virtual void EndReadObject(const std::string& name, const TROClassInfo& info) {
    (void)name, (void)info;
  }
  virtual void BeginWriteObject(const std::string& name, const TROClassInfo& info) {
    (void)name, (void)info;
  }
  virtual void EndWriteObject(const std::string& name, const TROClassInfo& info) {
    (void)name, (void)info;
  }
  virtual void CustomWriteObject(const std::string& name, const IROCustomStreamable& object);
  virtual void CustomReadObject(const std::string& name, IROCustomStreamable& object);

  // --- typed writes (slot order) ---
  // `ref` points to the integer of the ordinal's own size.
  virtual void WriteInteger(const std::string& name, TOrdType ord, const void* ref,
                            int arrayIndex = -1) = 0;
  virtual void WriteInt64(const std::string& name, const int64_t& ref, int arrayIndex = -1) = 0;
  // `ref` points to the ordinal in the enumeration's own size (type.OrdSize()).
  virtual void WriteEnumerated(const std::string& name, const TTypeInfo& type, const void* ref,
                               int arrayIndex = -1) = 0;
  virtual void WriteUTF8String(const std::string& name, const std::string& ref,
                               int arrayIndex = -1) = 0;
  virtual void WriteString(const std::string& name, const std::string& ref,
                           int arrayIndex = -1) = 0;
  virtual void WriteWideString(const std::string& name, const std::u16string& ref,
                               int arrayIndex = -1) = 0;
  // Same encoding as WriteWideString.
  virtual void WriteUnicodeString(const std::string& name, const std::u16string& ref,
                                  int arrayIndex = -1) {
    WriteWideString(name, ref, arrayIndex);
  }
  virtual void WriteDateTime(const std::string& name, const double& ref, int arrayIndex = -1) = 0;
  // `ref`: float, double, long double, int64_t (comp) or Currency by `ft`.
  virtual void WriteDouble(const std::string& name, TFloatType ft, const void* ref,
                           int arrayIndex = -1) = 0;
  virtual void WriteVariant(const std::string& name, const Variant& ref, int arrayIndex = -1) = 0;
  // The node's XML text; empty = absent node.
  virtual void WriteXml(const std::string& name, const std::string& ref, int arrayIndex = -1) = 0;
  // Braced GUID text; EConvertError "'%s' is not a valid GUID value" otherwise.
  virtual void WriteGuid(const std::string& name, const std::string& ref, int arrayIndex = -1) = 0;
  virtual void WriteDecimal(const std::string& name, const Variant& ref, int arrayIndex = -1) = 0;
  // Null = absent. The stream is read from offset 0 (its position changes).
  virtual void WriteBinary(const std::string& name, TStream* ref, int arrayIndex = -1) = 0;
  // Null = nil. `type` is the declared description (family Struct or Custom).
  virtual void WriteStruct(const std::string& name, const TTypeInfo& type,
                           const TROComplexType* ref, int arrayIndex = -1) = 0;
  virtual void WriteArray(const std::string& name, const TTypeInfo& type, const TROArray* ref,
                          int arrayIndex = -1) = 0;
  // The object body only; nothing for null.
  virtual void WriteException(const std::string& name, const EROException* ref,
                              int arrayIndex = -1) = 0;

  // --- typed reads (slot order) ---
  // String reads: `maxLength` < 0 means no limit (besides the stream's size).
  virtual void ReadInteger(const std::string& name, TOrdType ord, void* ref,
                           int arrayIndex = -1) = 0;
  virtual void ReadInt64(const std::string& name, int64_t& ref, int arrayIndex = -1) = 0;
  virtual void ReadEnumerated(const std::string& name, const TTypeInfo& type, void* ref,
                              int arrayIndex = -1) = 0;
  virtual void ReadUTF8String(const std::string& name, std::string& ref, int arrayIndex = -1,
                              int32_t maxLength = -1) = 0;
  virtual void ReadString(const std::string& name, std::string& ref, int arrayIndex = -1,
                          int32_t maxLength = -1) = 0;
  virtual void ReadWideString(const std::string& name, std::u16string& ref, int arrayIndex = -1,
                              int32_t maxLength = -1) = 0;
  virtual void ReadUnicodeString(const std::string& name, std::u16string& ref, int arrayIndex = -1,
                                 int32_t maxLength = -1) {
    ReadWideString(name, ref, arrayIndex, maxLength);
  }
  virtual void ReadDateTime(const std::string& name, double& ref, int arrayIndex = -1) = 0;
  virtual void ReadDouble(const std::string& name, TFloatType ft, void* ref,
                          int arrayIndex = -1) = 0;
  virtual void ReadVariant(const std::string& name, Variant& ref, int arrayIndex = -1) = 0;
  virtual void ReadXml(const std::string& name, std::string& ref, int arrayIndex = -1) = 0;
  virtual void ReadGuid(const std::string& name, std::string& ref, int arrayIndex = -1) = 0;
  // Yields a variant holding a 16-element byte array (low bound 0).
  virtual void ReadDecimal(const std::string& name, Variant& ref, int arrayIndex = -1) = 0;
  // Always a new stream (or null for an absent value); a stream passed in is replaced.
  virtual void ReadBinary(const std::string& name, std::unique_ptr<TROBinaryMemoryStream>& ref,
                          int arrayIndex = -1) = 0;
  virtual void ReadStruct(const std::string& name, const TTypeInfo& type,
                          std::unique_ptr<TROComplexType>& ref, int arrayIndex = -1) = 0;
  // Creates the expected class (type.className) when `ref` is null.
  virtual void ReadArray(const std::string& name, const TTypeInfo& type,
                         std::unique_ptr<TROArray>& ref, int arrayIndex = -1) = 0;
  // Reads the object body into an existing exception; nothing for null.
  virtual void ReadException(const std::string& name, EROException* ref, int arrayIndex = -1) = 0;

  virtual std::string GetArrayElementName() const { return kArrayElementName; }

 private:
  void WriteClassValue(const std::string& name, const TTypeInfo& type, const void* ref,
                       int arrayIndex);
  void ReadClassValue(const std::string& name, const TTypeInfo& type, void* ref, int arrayIndex);
};

}  // namespace qorvin
