// TROComponent: the component base of the remote-call classes (messages, the remote service,
// channels).
//
// Ownership. A component created with an owner is freed by that owner when the owner is
// destroyed (owned components are freed last-created first). A component without an owner is
// freed by whoever created it, so a component given an owner must be allocated with `new`.
// Destroying an owned component directly is allowed: it leaves its owner's list first.
//
// Links. Two components can be linked; the link is mutual (each enters the other's list) and
// unlinking removes both entries. When a component is destroyed, every component linked to it
// is unlinked and receives `Notification(dying, opRemove)`, in which it must drop every reference
// it holds to the dying component (the remote service clears its Message or Channel there).
// Linking a component that is being destroyed fails with EAssertionFailed
// "Component already destroyed: <name>".
//
// Threads. Each component's link list is guarded by its own lock (recursive, like a critical
// section); `Link` takes both locks at once, so two threads linking the same pair in opposite
// order cannot deadlock. Notifications are delivered without any lock held. A component's
// destruction must not race with other use of that same component.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace qorvin {

enum class TOperation { opInsert, opRemove };

class TROComponent {
 public:
  explicit TROComponent(TROComponent* owner = nullptr, std::string name = {});
  virtual ~TROComponent();
  TROComponent(const TROComponent&) = delete;
  TROComponent& operator=(const TROComponent&) = delete;

  const std::string& Name() const { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }
  TROComponent* Owner() const { return owner_; }
  // Components owned by this one, in creation order (a snapshot).
  std::vector<TROComponent*> OwnedComponents() const;

  // Mutual link; linking twice or linking to itself does nothing. Fails with EAssertionFailed
  // "Component already destroyed: <name>" when either side is being destroyed. A null
  // argument does nothing.
  void Link(TROComponent* other);
  // Removes both entries; does nothing when the two are not linked.
  void Unlink(TROComponent* other);
  bool IsLinkedTo(const TROComponent* other) const;
  // A snapshot of the linked components.
  std::vector<TROComponent*> LinkedComponents() const;

  // True from the start of the base destruction (or after `MarkDestroying`) on.
  bool Destroying() const { return destroying_; }

  // The component's own property check before it is used for a call; fails with an exception
  // naming what is missing. Nothing to check here; channels and messages add their checks.
  virtual void CheckProperties() {}

 protected:
  // A linked component was destroyed (opRemove): drop every reference to it. The pointer may
  // only be compared, never used. Runs on the destroying thread, without locks held.
  virtual void Notification(TROComponent* component, TOperation operation);

  // Lets a descendant announce its destruction before its own destructor tears anything down,
  // so that a link attempt from a notification it triggers is refused.
  void MarkDestroying() { destroying_ = true; }

  std::recursive_mutex& ComponentLock() const { return lock_; }

 private:
  void AssertAlive() const;
  void RemoveOwned(TROComponent* component);

  std::string name_;
  TROComponent* owner_;
  mutable std::recursive_mutex lock_;
  std::vector<TROComponent*> links_;  // guarded by lock_
  std::vector<TROComponent*> owned_;  // guarded by lock_
  std::atomic<bool> destroying_ = false;
};

}  // namespace qorvin
