// Component links, removal notification, ownership and the destroyed-component assertion.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "messaging/uROComponent.h"
#include "platform/rtl/Exceptions.h"

namespace qorvin::test {
namespace {

// Records removal notifications; optionally tries to link back to the dying component.
class TWatcher : public TROComponent {
 public:
  using TROComponent::TROComponent;
  std::vector<TROComponent*> removed;
  bool relink = false;
  std::string relinkFailure;

 protected:
  void Notification(TROComponent* component, TOperation operation) override {
    if (operation != TOperation::opRemove) return;
    removed.push_back(component);
    if (!relink) return;
    try {
      Link(component);
    } catch (const EAssertionFailed& e) {
      relinkFailure = e.what();
    }
  }
};

TEST(ROComponent, LinksAreMutualAndUnlinkRemovesBothEntries) {
  TWatcher a(nullptr, "A");
  TWatcher b(nullptr, "B");
  a.Link(&b);
  a.Link(&b);  // a second link adds nothing
  b.Link(&a);
  EXPECT_EQ(a.LinkedComponents(), std::vector<TROComponent*>{&b});
  EXPECT_EQ(b.LinkedComponents(), std::vector<TROComponent*>{&a});
  b.Unlink(&a);
  EXPECT_FALSE(a.IsLinkedTo(&b));
  EXPECT_FALSE(b.IsLinkedTo(&a));
  a.Link(&a);
  EXPECT_TRUE(a.LinkedComponents().empty());
}

TEST(ROComponent, DestroyingNotifiesEveryLinkedComponentOnce) {
  TWatcher a(nullptr, "A");
  TWatcher b(nullptr, "B");
  auto* dying = new TWatcher(nullptr, "Dying");
  dying->Link(&a);
  b.Link(dying);
  // Compared as an address: the pointer itself must not be used after the delete.
  const auto dyingAddress = reinterpret_cast<uintptr_t>(static_cast<TROComponent*>(dying));
  delete dying;
  ASSERT_EQ(a.removed.size(), 1u);
  ASSERT_EQ(b.removed.size(), 1u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a.removed[0]), dyingAddress);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(b.removed[0]), dyingAddress);
  EXPECT_TRUE(a.LinkedComponents().empty());
  EXPECT_TRUE(b.LinkedComponents().empty());
}

TEST(ROComponent, LinkingAComponentBeingDestroyedFails) {
  TWatcher watcher(nullptr, "Watcher");
  watcher.relink = true;
  auto* dying = new TWatcher(nullptr, "Dying");
  watcher.Link(dying);
  delete dying;
  EXPECT_EQ(watcher.relinkFailure, "Component already destroyed: Dying");
  EXPECT_TRUE(watcher.LinkedComponents().empty());
}

TEST(ROComponent, OwnerFreesOwnedComponentsNewestFirst) {
  TWatcher observer(nullptr, "Observer");
  TROComponent* first = nullptr;
  TROComponent* second = nullptr;
  {
    TROComponent owner(nullptr, "Owner");
    first = new TWatcher(&owner, "First");
    second = new TWatcher(&owner, "Second");
    auto* early = new TWatcher(&owner, "Early");
    EXPECT_EQ(owner.OwnedComponents(), (std::vector<TROComponent*>{first, second, early}));
    delete early;  // leaves its owner's list
    EXPECT_EQ(owner.OwnedComponents(), (std::vector<TROComponent*>{first, second}));
    first->Link(&observer);
    second->Link(&observer);
  }
  EXPECT_EQ(observer.removed, (std::vector<TROComponent*>{second, first}));
  EXPECT_TRUE(observer.LinkedComponents().empty());
}

}  // namespace
}  // namespace qorvin::test
