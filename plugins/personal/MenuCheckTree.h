// The menu check tree of the common-functions dialog, without widgets: a root (id 0) and the
// application's menu entries that survive pruning, in tree pre-order, each with a check state.
// Check states do not cascade between parents and children.
#pragma once

#include <string>
#include <vector>

#include "basalt/Menu.h"

namespace qorvin {

struct TMenuNode {
  std::string Caption;
  int Id = 0;
  int Parent = -1;  // index of the parent node; -1 for the root
  int Level = 0;    // 0 root, 1 top-level menus, 2 and deeper menu functions
  std::vector<int> Children;
  bool Checked = false;
};

class TMenuCheckTree {
 public:
  // Rebuilds the tree: the root captioned `rootCaption`, the entries of `menus` placed by their
  // order and parent ids (a separator "-" below the top level is skipped and the entry after it
  // joins the separator's parent), then every childless node without an installed plug removed,
  // visiting from the last node back to the second. Returns whether the tree has any node.
  bool Build(const std::string& rootCaption, const TMenuList& menus, const TPlugList& plugs);
  void Clear() { nodes_.clear(); }

  int Count() const { return int(nodes_.size()); }
  // Nodes by position in tree order (0 is the root). The index must be valid.
  const TMenuNode& Node(int index) const { return nodes_.at(size_t(index)); }
  bool HasChildren(int index) const { return !Node(index).Children.empty(); }
  void SetChecked(int index, bool checked) { nodes_.at(size_t(index)).Checked = checked; }

  // The first node in tree order (root included) with `id`; -1 for a negative id or none.
  int FindById(int id) const;
  // Every node with `id`, in tree order.
  std::vector<int> AllWithId(int id) const;

 private:
  std::vector<TMenuNode> nodes_;
};

}  // namespace qorvin
