// Class descriptions and the process-wide class registries of the messaging layer.
//
// In place of run-time type information, a streamable class describes itself with a
// `TROClassInfo`: its name, its parent's description, a factory and its published properties.
// A property is (name, type description, accessor); the accessor maps an object to the storage
// of the property inside it (storage types as listed in uROTypes.h). Object bodies stream the
// properties of the class and all its ancestors, sorted by name (see TROSerializer).
//
// The `void*` handed to a property accessor is a pointer to the family's root type:
// `TROObject*` for structs and arrays, `EROException*` for exceptions. Use the helpers
// `StructProperty` / `ExceptionProperty`, which do the casts.
//
// Registries (all process-wide, guarded by a mutex; filled at start-up and read afterwards):
// - struct/array classes by name (`RegisterROClass`, `FindROClass`);
// - exception classes by name, compared without regard to case (`FindExceptionClass`);
//   it holds, from first use, EROUnknownType, EROMessageTooLarge, EROSessionNotFound,
//   EROSessionExpired, SessionNotFoundException and SessionDoesNotHaveRequiredRolesException.
// - message classes by name (declared in uROMessage.h); it holds TROBinMessage from first use.
// The built-in entries are present from first use, so code linked statically needs no start-up
// call. `RegisterMessagingClasses()` (re)registers the built-in exception classes and the binary
// message class; `UnregisterMessagingClasses()` removes them (library start and end). Both are
// idempotent. Registered descriptions must outlive their registration (use static storage).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "messaging/uROExceptions.h"
#include "messaging/uROTypes.h"

namespace qorvin {

class TROObject;
class TROSerializer;

struct TROPropInfo {
  std::string name;
  const TTypeInfo* type = nullptr;
  // Storage of this property inside `object` (a pointer to the family's root type).
  std::function<void*(void* object)> field;
};

struct TROClassInfo {
  std::string name;
  const TROClassInfo* parent = nullptr;
  TClassFamily family = TClassFamily::Struct;
  // A new default-constructed instance (structs and arrays); may be empty for abstract classes.
  std::function<std::unique_ptr<TROObject>()> create;
  // Own published properties (the parent's are added by StreamedProperties).
  std::vector<TROPropInfo> properties;

  // True when this class is `other` or descends from it (compared by name).
  bool InheritsFrom(const TROClassInfo& other) const;
  // The properties of the class and its ancestors in object-body order: sorted by name, bytes
  // compared with bit 32 cleared (letters without regard to case), a prefix first.
  std::vector<const TROPropInfo*> StreamedProperties() const;
};

// Name order of object bodies (negative, 0, positive like strcmp).
int ComparePropertyNames(std::string_view a, std::string_view b);

// Root of the streamable classes (structs and arrays).
class TROObject {
 public:
  virtual ~TROObject() = default;
  virtual const TROClassInfo& ClassInfo() const = 0;
};

// Streams itself instead of its properties (the serializer's custom path).
class IROCustomStreamable {
 public:
  virtual ~IROCustomStreamable() = default;
  virtual void WriteCustom(TROSerializer& serializer) const = 0;
  virtual void ReadCustom(TROSerializer& serializer) = 0;
};

// Base of struct classes.
class TROComplexType : public TROObject {};

// Base of array classes: a resizable sequence of elements of one type description.
class TROArray : public TROObject {
 public:
  virtual const TTypeInfo& ElementType() const = 0;
  virtual int32_t Count() const = 0;
  // New elements are default-constructed; the serializer checks counts before calling it.
  virtual void Resize(int32_t count) = 0;
  // Storage of element `index` (0 <= index < Count()), storage types as in uROTypes.h.
  virtual void* ItemRef(int32_t index) = 0;
  const void* ItemRef(int32_t index) const { return const_cast<TROArray*>(this)->ItemRef(index); }
};

// An array class over std::vector<T>; a concrete class supplies ClassInfo() and ElementType().
template <typename T>
class TROArrayOf : public TROArray {
 public:
  std::vector<T> items;
  int32_t Count() const override { return int32_t(items.size()); }
  void Resize(int32_t count) override { items.resize(size_t(count < 0 ? 0 : count)); }
  void* ItemRef(int32_t index) override { return &items.at(size_t(index)); }
};

template <class C, class M>
TROPropInfo StructProperty(std::string name, const TTypeInfo& type, M C::*member) {
  return {std::move(name), &type, [member](void* object) -> void* {
            return &(dynamic_cast<C&>(*static_cast<TROObject*>(object)).*member);
          }};
}
template <class C, class M>
TROPropInfo ExceptionProperty(std::string name, const TTypeInfo& type, M C::*member) {
  return {std::move(name), &type, [member](void* object) -> void* {
            return &(dynamic_cast<C&>(*static_cast<EROException*>(object)).*member);
          }};
}

// --- struct and array classes -------------------------------------------------------------------

// Registering a name a second time replaces the entry.
void RegisterROClass(const TROClassInfo& info);
void UnregisterROClass(const std::string& name);
// Null when not registered.
const TROClassInfo* FindROClass(const std::string& name);

// --- exception classes --------------------------------------------------------------------------

struct TROExceptionClass {
  // Name, parent and published properties (family Exception; `create` unused).
  TROClassInfo info;
  // A new exception of this class carrying `message`.
  std::function<std::unique_ptr<EROException>(const std::string& message)> create;
  // Throws a copy of `e` as this class (e must be of this class).
  std::function<void(const EROException& e)> raise;
};

// The description of exception class E (properties optional).
template <class E>
TROExceptionClass MakeExceptionClass(const char* name, std::vector<TROPropInfo> properties = {}) {
  TROExceptionClass c;
  c.info.name = name;
  c.info.family = TClassFamily::Exception;
  c.info.properties = std::move(properties);
  c.create = [](const std::string& message) -> std::unique_ptr<EROException> {
    return std::make_unique<E>(message);
  };
  c.raise = [](const EROException& e) { throw dynamic_cast<const E&>(e); };
  return c;
}

// Registering a name a second time (without regard to case) replaces the entry.
void RegisterExceptionClass(TROExceptionClass cls);
void UnregisterExceptionClass(const std::string& name);
// Lookup without regard to case; null when not registered. The pointer stays valid until the
// class is unregistered.
const TROExceptionClass* FindExceptionClass(const std::string& name);
// The class used for server exceptions whose name is not registered (never in the registry).
const TROExceptionClass& UnregisteredServerExceptionClass();
// The description used for the object body of `e`: its registered class when there is one,
// otherwise a description without properties.
const TROClassInfo& ExceptionClassInfo(const EROException& e);

// Library start and end (see the header comment).
void RegisterMessagingClasses();
void UnregisterMessagingClasses();

}  // namespace qorvin
