#include "messaging/uROSerializer.h"

#include "messaging/uROBinaryHelpers.h"
#include "platform/rtl/Exceptions.h"

namespace qorvin {

namespace {

[[noreturn]] void ThrowNotSupported(const TTypeInfo& type, bool reading) {
  const std::string text = Format("Type \"%s\" not supported", TypeKindName(type.kind));
  // On reading, only class and interface kinds are "unknown types"; the rest are general errors.
  if (!reading || type.kind == TTypeKind::tkClass || type.kind == TTypeKind::tkInterface)
    throw EROUnknownType(text);
  throw EROException(text);
}

}  // namespace

void TROSerializer::WriteValue(const std::string& name, const TTypeInfo& type, const void* ref,
                               int arrayIndex) {
  if (type.name == "Guid") {
    WriteGuid(name, *static_cast<const std::string*>(ref), arrayIndex);
    return;
  }
  switch (type.kind) {
    case TTypeKind::tkInteger:
      WriteInteger(name, type.ord, ref, arrayIndex);
      return;
    case TTypeKind::tkEnumeration:
      WriteEnumerated(name, type, ref, arrayIndex);
      return;
    case TTypeKind::tkFloat:
      if (type.name == "TDateTime")
        WriteDateTime(name, *static_cast<const double*>(ref), arrayIndex);
      else
        WriteDouble(name, type.flt, ref, arrayIndex);
      return;
    case TTypeKind::tkLString:
    case TTypeKind::tkString:
      if (type.name == "UTF8String")
        WriteUTF8String(name, *static_cast<const std::string*>(ref), arrayIndex);
      else
        WriteString(name, *static_cast<const std::string*>(ref), arrayIndex);
      return;
    case TTypeKind::tkClass:
      WriteClassValue(name, type, ref, arrayIndex);
      return;
    case TTypeKind::tkWString:
      WriteWideString(name, *static_cast<const std::u16string*>(ref), arrayIndex);
      return;
    case TTypeKind::tkVariant:
      if (type.name == "Decimal")
        WriteDecimal(name, *static_cast<const Variant*>(ref), arrayIndex);
      else
        WriteVariant(name, *static_cast<const Variant*>(ref), arrayIndex);
      return;
    case TTypeKind::tkInterface:
      if (type.name != "IXMLNode") ThrowNotSupported(type, false);
      WriteXml(name, *static_cast<const std::string*>(ref), arrayIndex);
      return;
    case TTypeKind::tkInt64:
      WriteInt64(name, *static_cast<const int64_t*>(ref), arrayIndex);
      return;
    default:
      ThrowNotSupported(type, false);
  }
}

void TROSerializer::ReadValue(const std::string& name, const TTypeInfo& type, void* ref,
                              int arrayIndex) {
  if (type.name == "Guid") {
    ReadGuid(name, *static_cast<std::string*>(ref), arrayIndex);
    return;
  }
  switch (type.kind) {
    case TTypeKind::tkInteger:
      ReadInteger(name, type.ord, ref, arrayIndex);
      return;
    case TTypeKind::tkEnumeration:
      ReadEnumerated(name, type, ref, arrayIndex);
      return;
    case TTypeKind::tkFloat:
      if (type.name == "TDateTime")
        ReadDateTime(name, *static_cast<double*>(ref), arrayIndex);
      else
        ReadDouble(name, type.flt, ref, arrayIndex);
      return;
    case TTypeKind::tkLString:
    case TTypeKind::tkString:
      if (type.name == "UTF8String")
        ReadUTF8String(name, *static_cast<std::string*>(ref), arrayIndex, -1);
      else
        ReadString(name, *static_cast<std::string*>(ref), arrayIndex, -1);
      return;
    case TTypeKind::tkClass:
      ReadClassValue(name, type, ref, arrayIndex);
      return;
    case TTypeKind::tkWString:
      ReadWideString(name, *static_cast<std::u16string*>(ref), arrayIndex, -1);
      return;
    case TTypeKind::tkVariant:
      if (type.name == "Decimal")
        ReadDecimal(name, *static_cast<Variant*>(ref), arrayIndex);
      else
        ReadVariant(name, *static_cast<Variant*>(ref), arrayIndex);
      return;
    case TTypeKind::tkInterface:
      if (type.name != "IXMLNode") ThrowNotSupported(type, true);
      ReadXml(name, *static_cast<std::string*>(ref), arrayIndex);
      return;
    case TTypeKind::tkInt64:
      ReadInt64(name, *static_cast<int64_t*>(ref), arrayIndex);
      return;
    default:
      ThrowNotSupported(type, true);
  }
}

void TROSerializer::WriteClassValue(const std::string& name, const TTypeInfo& type, const void* ref,
                                    int arrayIndex) {
  switch (type.family) {
    case TClassFamily::Custom:
    case TClassFamily::Struct:
      WriteStruct(name, type, static_cast<const std::unique_ptr<TROComplexType>*>(ref)->get(),
                  arrayIndex);
      return;
    case TClassFamily::Array:
      WriteArray(name, type, static_cast<const std::unique_ptr<TROArray>*>(ref)->get(), arrayIndex);
      return;
    case TClassFamily::Binary:
      WriteBinary(name, static_cast<const std::unique_ptr<TROBinaryMemoryStream>*>(ref)->get(),
                  arrayIndex);
      return;
    case TClassFamily::Exception:
      WriteException(name, static_cast<const std::unique_ptr<EROException>*>(ref)->get(),
                     arrayIndex);
      return;
    case TClassFamily::None:
      break;
  }
  ThrowNotSupported(type, false);
}

void TROSerializer::ReadClassValue(const std::string& name, const TTypeInfo& type, void* ref,
                                   int arrayIndex) {
  switch (type.family) {
    case TClassFamily::Custom:
    case TClassFamily::Struct:
      ReadStruct(name, type, *static_cast<std::unique_ptr<TROComplexType>*>(ref), arrayIndex);
      return;
    case TClassFamily::Array:
      ReadArray(name, type, *static_cast<std::unique_ptr<TROArray>*>(ref), arrayIndex);
      return;
    case TClassFamily::Binary:
      ReadBinary(name, *static_cast<std::unique_ptr<TROBinaryMemoryStream>*>(ref), arrayIndex);
      return;
    case TClassFamily::Exception:
      ReadException(name, static_cast<std::unique_ptr<EROException>*>(ref)->get(), arrayIndex);
      return;
    case TClassFamily::None:
      break;
  }
  ThrowNotSupported(type, true);
}

namespace {

std::vector<const TROPropInfo*> BodyProperties(const TROClassInfo& info, bool keepOrder) {
  std::vector<const TROPropInfo*> props;
  if (keepOrder) {
    std::vector<const TROClassInfo*> chain;
    for (const TROClassInfo* c = &info; c != nullptr && chain.size() < 1024; c = c->parent)
      chain.push_back(c);
    for (auto it = chain.rbegin(); it != chain.rend(); ++it)
      for (const TROPropInfo& p : (*it)->properties) props.push_back(&p);
  } else {
    props = info.StreamedProperties();
  }
  // Event properties never travel.
  std::erase_if(props, [](const TROPropInfo* p) { return p->type->kind == TTypeKind::tkMethod; });
  return props;
}

}  // namespace

void TROSerializer::WriteObject(const TROClassInfo& info, const void* object) {
  void* target = const_cast<void*>(object);
  for (const TROPropInfo* p : BodyProperties(info, KeepsPropertyOrder()))
    WriteValue(p->name, *p->type, p->field(target), -1);
}

void TROSerializer::ReadObject(const TROClassInfo& info, void* object) {
  for (const TROPropInfo* p : BodyProperties(info, KeepsPropertyOrder()))
    ReadValue(p->name, *p->type, p->field(object), -1);
}

void TROSerializer::CustomWriteObject(const std::string& name, const IROCustomStreamable& object) {
  (void)name;
  object.WriteCustom(*this);
}

void TROSerializer::CustomReadObject(const std::string& name, IROCustomStreamable& object) {
  (void)name;
  object.ReadCustom(*this);
}

}  // namespace qorvin
