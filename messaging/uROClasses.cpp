#include "messaging/uROClasses.h"

#include <algorithm>
#include <list>
#include <map>
#include <mutex>

#include "messaging/uROBinMessage.h"
#include "messaging/uROMessage.h"
#include "platform/rtl/Exceptions.h"

namespace qorvin {

// --- class descriptions --------------------------------------------------------------------------

bool TROClassInfo::InheritsFrom(const TROClassInfo& other) const {
  // Bounded: a chain longer than this is a cycle in a hand-written description.
  int steps = 0;
  for (const TROClassInfo* c = this; c != nullptr && steps < 1024; c = c->parent, ++steps)
    if (c == &other || c->name == other.name) return true;
  return false;
}

int ComparePropertyNames(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const int ca = static_cast<unsigned char>(a[i]) & ~0x20;
    const int cb = static_cast<unsigned char>(b[i]) & ~0x20;
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

std::vector<const TROPropInfo*> TROClassInfo::StreamedProperties() const {
  std::vector<const TROClassInfo*> chain;
  for (const TROClassInfo* c = this; c != nullptr && chain.size() < 1024; c = c->parent)
    chain.push_back(c);
  std::vector<const TROPropInfo*> props;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it)
    for (const TROPropInfo& p : (*it)->properties) props.push_back(&p);
  std::stable_sort(props.begin(), props.end(), [](const TROPropInfo* x, const TROPropInfo* y) {
    return ComparePropertyNames(x->name, y->name) < 0;
  });
  return props;
}

// --- struct and array classes --------------------------------------------------------------------

namespace {

struct ClassRegistry {
  std::mutex lock;
  std::map<std::string, const TROClassInfo*> classes;
};

ClassRegistry& Classes() {
  // Never destroyed: the library end unregisters classes after static destructors may have run.
  static ClassRegistry& registry = *new ClassRegistry;
  return registry;
}

}  // namespace

void RegisterROClass(const TROClassInfo& info) {
  ClassRegistry& r = Classes();
  std::lock_guard guard(r.lock);
  r.classes[info.name] = &info;
}

void UnregisterROClass(const std::string& name) {
  ClassRegistry& r = Classes();
  std::lock_guard guard(r.lock);
  r.classes.erase(name);
}

const TROClassInfo* FindROClass(const std::string& name) {
  ClassRegistry& r = Classes();
  std::lock_guard guard(r.lock);
  auto it = r.classes.find(name);
  return it == r.classes.end() ? nullptr : it->second;
}

// --- exception classes ---------------------------------------------------------------------------

namespace {

bool SameTextNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

std::vector<TROExceptionClass> BuiltInExceptionClasses() {
  std::vector<TROExceptionClass> v;
  v.push_back(MakeExceptionClass<EROUnknownType>("EROUnknownType"));
  v.push_back(MakeExceptionClass<EROMessageTooLarge>("EROMessageTooLarge"));
  v.push_back(MakeExceptionClass<EROSessionNotFound>("EROSessionNotFound"));
  v.push_back(MakeExceptionClass<EROSessionExpired>("EROSessionExpired"));
  v.push_back(MakeExceptionClass<SessionNotFoundException>("SessionNotFoundException"));
  v.push_back(MakeExceptionClass<SessionDoesNotHaveRequiredRolesException>(
      "SessionDoesNotHaveRequiredRolesException"));
  return v;
}

// Entries are never moved (std::list), so a pointer handed out stays valid until its entry is
// removed. The registry is filled with the built-in classes on first use.
struct ExceptionRegistry {
  std::mutex lock;
  std::list<TROExceptionClass> classes;

  ExceptionRegistry() {
    for (TROExceptionClass& c : BuiltInExceptionClasses()) classes.push_back(std::move(c));
  }
  void Add(TROExceptionClass cls) {
    std::lock_guard guard(lock);
    for (TROExceptionClass& c : classes)
      if (SameTextNoCase(c.info.name, cls.info.name)) {
        c = std::move(cls);
        return;
      }
    classes.push_back(std::move(cls));
  }
  void Remove(const std::string& name) {
    std::lock_guard guard(lock);
    classes.remove_if(
        [&](const TROExceptionClass& c) { return SameTextNoCase(c.info.name, name); });
  }
  const TROExceptionClass* Find(const std::string& name) {
    std::lock_guard guard(lock);
    for (const TROExceptionClass& c : classes)
      if (SameTextNoCase(c.info.name, name)) return &c;
    return nullptr;
  }
};

ExceptionRegistry& Exceptions() {
  static ExceptionRegistry& registry = *new ExceptionRegistry;  // never destroyed, see above
  return registry;
}

}  // namespace

void RegisterExceptionClass(TROExceptionClass cls) {
  Exceptions().Add(std::move(cls));
}

void UnregisterExceptionClass(const std::string& name) {
  Exceptions().Remove(name);
}

const TROExceptionClass* FindExceptionClass(const std::string& name) {
  return Exceptions().Find(name);
}

const TROExceptionClass& UnregisteredServerExceptionClass() {
  static const TROExceptionClass cls =
      MakeExceptionClass<EROUnregisteredServerException>("EROUnregisteredServerException");
  return cls;
}

const TROClassInfo& ExceptionClassInfo(const EROException& e) {
  if (const TROExceptionClass* c = FindExceptionClass(e.ClassName())) return c->info;
  static const TROClassInfo none = [] {
    TROClassInfo info;
    info.name = "EROException";
    info.family = TClassFamily::Exception;
    return info;
  }();
  return none;
}

// --- message classes -----------------------------------------------------------------------------

namespace {

TROMessageFactory BinMessageFactory() {
  return [] { return std::unique_ptr<TROMessage>(std::make_unique<TROBinMessage>()); };
}

// Filled with TROBinMessage on first use.
struct MessageRegistry {
  std::mutex lock;
  std::map<std::string, TROMessageFactory> factories{{"TROBinMessage", BinMessageFactory()}};
};

MessageRegistry& Messages() {
  static MessageRegistry& registry = *new MessageRegistry;  // never destroyed, see above
  return registry;
}

}  // namespace

void RegisterMessageClass(const std::string& name, TROMessageFactory factory) {
  MessageRegistry& r = Messages();
  std::lock_guard guard(r.lock);
  r.factories[name] = std::move(factory);
}

void UnregisterMessageClass(const std::string& name) {
  MessageRegistry& r = Messages();
  std::lock_guard guard(r.lock);
  r.factories.erase(name);
}

bool IsMessageClassRegistered(const std::string& name) {
  MessageRegistry& r = Messages();
  std::lock_guard guard(r.lock);
  return r.factories.count(name) != 0;
}

std::unique_ptr<TROMessage> CreateMessageByClassName(const std::string& name) {
  TROMessageFactory factory;
  {
    MessageRegistry& r = Messages();
    std::lock_guard guard(r.lock);
    auto it = r.factories.find(name);
    if (it == r.factories.end()) return nullptr;
    factory = it->second;
  }
  return factory();
}

// --- library start and end -----------------------------------------------------------------------

void RegisterMessagingClasses() {
  for (TROExceptionClass& c : BuiltInExceptionClasses()) RegisterExceptionClass(std::move(c));
  RegisterMessageClass("TROBinMessage", BinMessageFactory());
}

void UnregisterMessagingClasses() {
  for (const TROExceptionClass& c : BuiltInExceptionClasses())
    UnregisterExceptionClass(c.info.name);
  UnregisterMessageClass("TROBinMessage");
}

}  // namespace qorvin
