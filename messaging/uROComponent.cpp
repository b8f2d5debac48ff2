#include "messaging/uROComponent.h"

#include <algorithm>

#include "platform/rtl/Exceptions.h"

namespace qorvin {

namespace {

void Remove(std::vector<TROComponent*>& list, const TROComponent* item) {
  list.erase(std::remove(list.begin(), list.end(), item), list.end());
}

}  // namespace

TROComponent::TROComponent(TROComponent* owner, std::string name)
    : name_(std::move(name)), owner_(owner) {
  if (owner_ != nullptr) {
    std::lock_guard guard(owner_->lock_);
    owner_->owned_.push_back(this);
  }
}

TROComponent::~TROComponent() {
  destroying_ = true;

  // Owned components first, newest first; each leaves our list as it goes. Once none is left,
  // the link list is taken under the same lock; every partner is then unlinked and notified
  // without holding ours.
  std::vector<TROComponent*> partners;
  for (;;) {
    TROComponent* child = nullptr;
    {
      std::lock_guard guard(lock_);
      if (owned_.empty()) {
        partners.swap(links_);
        break;
      }
      child = owned_.back();
    }
    delete child;
  }
  for (TROComponent* partner : partners) {
    {
      std::lock_guard guard(partner->lock_);
      Remove(partner->links_, this);
    }
    partner->Notification(this, TOperation::opRemove);
  }

  if (owner_ != nullptr) owner_->RemoveOwned(this);
}

void TROComponent::RemoveOwned(TROComponent* component) {
  std::lock_guard guard(lock_);
  Remove(owned_, component);
}

std::vector<TROComponent*> TROComponent::OwnedComponents() const {
  std::lock_guard guard(lock_);
  return owned_;
}

void TROComponent::AssertAlive() const {
  if (destroying_) throw EAssertionFailed("Component already destroyed: " + name_);
}

void TROComponent::Link(TROComponent* other) {
  if (other == nullptr || other == this) return;
  // Checked under both locks: a destructor sets the flag before it takes its lock to empty its
  // list, so a link can never slip in behind that.
  std::scoped_lock guard(lock_, other->lock_);
  other->AssertAlive();
  AssertAlive();
  if (std::find(links_.begin(), links_.end(), other) != links_.end()) return;
  links_.push_back(other);
  other->links_.push_back(this);
}

void TROComponent::Unlink(TROComponent* other) {
  if (other == nullptr || other == this) return;
  std::scoped_lock guard(lock_, other->lock_);
  Remove(links_, other);
  Remove(other->links_, this);
}

bool TROComponent::IsLinkedTo(const TROComponent* other) const {
  std::lock_guard guard(lock_);
  return std::find(links_.begin(), links_.end(), other) != links_.end();
}

std::vector<TROComponent*> TROComponent::LinkedComponents() const {
  std::lock_guard guard(lock_);
  return links_;
}

void TROComponent::Notification(TROComponent*, TOperation) {}

}  // namespace qorvin
