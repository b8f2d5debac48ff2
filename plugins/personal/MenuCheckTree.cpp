#include "plugins/personal/MenuCheckTree.h"

namespace qorvin {

namespace {

int AddNode(std::vector<TMenuNode>& nodes, int parent, const TMenuInfo& info) {
  TMenuNode node;
  node.Caption = info.GetMenuCaption();
  node.Id = info.GetMenuId();
  node.Parent = parent;
  node.Level = nodes[size_t(parent)].Level + 1;
  nodes.push_back(std::move(node));
  const int index = int(nodes.size()) - 1;
  nodes[size_t(parent)].Children.push_back(index);
  return index;
}

// Places the entries in pre-order under the root. The descendants of a node are the entries that
// follow it while their parent id is the node's id; an explicit stack replaces recursion so that
// deep menus cannot exhaust the call stack.
void PlaceEntries(std::vector<TMenuNode>& nodes, const TMenuList& menus) {
  const int count = menus.GetCount();
  int p = 0;
  std::vector<int> open;
  while (p < count) {
    open.assign(1, AddNode(nodes, 0, menus.GetMenuInfo(p++)));
    while (!open.empty()) {
      const int n = open.back();
      if (p >= count || menus.GetMenuInfo(p).GetMenuParentId() != nodes[size_t(n)].Id) {
        open.pop_back();
        continue;
      }
      while (p < count && menus.GetMenuInfo(p).GetMenuCaption() == "-") ++p;
      if (p >= count) return;
      open.push_back(AddNode(nodes, n, menus.GetMenuInfo(p++)));
    }
  }
}

// Removes childless nodes without a plug, from the last position back to the second, and
// renumbers the survivors (their order is kept).
std::vector<TMenuNode> Prune(const std::vector<TMenuNode>& nodes, const TPlugList& plugs) {
  const size_t n = nodes.size();
  std::vector<bool> alive(n, true);
  std::vector<size_t> liveChildren(n);
  for (size_t i = 0; i < n; ++i) liveChildren[i] = nodes[i].Children.size();
  for (size_t i = n; i-- > 1;) {
    if (liveChildren[i] == 0 && plugs.FindByMenuId(nodes[i].Id) == nullptr) {
      alive[i] = false;
      --liveChildren[size_t(nodes[i].Parent)];
    }
  }
  std::vector<int> newIndex(n, -1);
  std::vector<TMenuNode> kept;
  for (size_t i = 0; i < n; ++i) {
    if (!alive[i]) continue;
    newIndex[i] = int(kept.size());
    TMenuNode node = nodes[i];
    node.Children.clear();
    if (node.Parent >= 0) {
      node.Parent = newIndex[size_t(node.Parent)];
      kept[size_t(node.Parent)].Children.push_back(int(kept.size()));
    }
    kept.push_back(std::move(node));
  }
  return kept;
}

}  // namespace

bool TMenuCheckTree::Build(const std::string& rootCaption, const TMenuList& menus,
                           const TPlugList& plugs) {
  std::vector<TMenuNode> nodes(1);
  nodes[0].Caption = rootCaption;
  PlaceEntries(nodes, menus);
  nodes_ = Prune(nodes, plugs);
  return !nodes_.empty();
}

int TMenuCheckTree::FindById(int id) const {
  if (id < 0) return -1;
  for (size_t i = 0; i < nodes_.size(); ++i) {
    if (nodes_[i].Id == id) return int(i);
  }
  return -1;
}

std::vector<int> TMenuCheckTree::AllWithId(int id) const {
  std::vector<int> found;
  for (size_t i = 0; i < nodes_.size(); ++i) {
    if (nodes_[i].Id == id) found.push_back(int(i));
  }
  return found;
}

}  // namespace qorvin
