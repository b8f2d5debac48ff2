// The common-functions tree without widgets: groups (level 0) holding menu functions (level 1),
// nothing deeper. Every node has a key that stays the same while the node exists, so views and
// the selection can follow nodes through moves. Groups carry the id 0; functions their menu id.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qorvin {

struct TCommonNode {
  uint64_t Key = 0;
  std::string Text;  // group name or function caption
  int Id = 0;
};

// A stored menu id that no menu node shows (its plug is not installed here, or the menu does not
// offer it). It is neither shown nor compared, and every save writes it back at its place:
// directly after the group's first function with id `After`, or at the front when `After` is
// empty (it led the stored list); after the group's last function once that function has left.
struct THiddenId {
  std::optional<int> After;
  int Id = 0;
};

struct TCommonGroup {
  TCommonNode Node;
  std::vector<TCommonNode> Functions;
  std::vector<THiddenId> Hidden;

  // The ids of the functions shown, in order.
  std::vector<int> ShownIds() const;
  // What a save writes: the shown ids with the hidden ones at their places.
  std::vector<int> StoredIds() const;
};

// A node's position: a group (Func < 0) or a function of a group. Invalid when Group < 0.
struct TNodePos {
  int Group = -1;
  int Func = -1;
  bool Valid() const { return Group >= 0; }
  bool IsGroup() const { return Group >= 0 && Func < 0; }
  bool IsFunction() const { return Group >= 0 && Func >= 0; }
  int Level() const { return Func < 0 ? 0 : 1; }
  bool operator==(const TNodePos&) const = default;
};

class TCommonFuncTree {
 public:
  const std::vector<TCommonGroup>& Groups() const { return groups_; }
  bool Empty() const { return groups_.empty(); }
  void Clear();

  // Adds a group at the end of the top level; returns its key.
  uint64_t AddGroup(std::string name);
  // Adds a function as the last of group `group`; returns its key.
  uint64_t AddFunction(int group, std::string caption, int id);
  // Adds a hidden id to group `group` (see THiddenId).
  void AddHiddenId(int group, THiddenId hidden);

  TNodePos Find(uint64_t key) const;
  // The first function in tree order with `id`; invalid when none.
  TNodePos FindFunctionById(int id) const;
  const TCommonNode& NodeAt(TNodePos pos) const;
  void SetText(TNodePos pos, std::string text);
  // Whether `a` comes before `b` in tree order (a group before its functions).
  static bool Before(TNodePos a, TNodePos b);

  // Removes a function, or a group with its functions. When the selected node goes, the
  // selection moves to the next sibling, else the previous sibling, else the parent group.
  void Remove(TNodePos pos);

  // Moves node `from` as the last sibling of `target`'s level: a group to the end of the groups,
  // a function to the end of `target`'s group (target a function) or of group `target`.
  void MoveToEnd(TNodePos from, TNodePos target);
  // Moves node `from` directly before node `before` of the same level.
  void MoveBefore(TNodePos from, TNodePos before);

  // The selected node's key; 0 when nothing is selected.
  uint64_t Selected() const { return selected_; }
  TNodePos SelectedPos() const { return Find(selected_); }
  void Select(uint64_t key) { selected_ = Find(key).Valid() ? key : 0; }

 private:
  TCommonNode Take(TNodePos pos);
  uint64_t NextKey() { return ++last_key_; }

  std::vector<TCommonGroup> groups_;
  uint64_t last_key_ = 0;
  uint64_t selected_ = 0;
};

}  // namespace qorvin
