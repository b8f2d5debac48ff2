#include "plugins/personal/CommonFuncTree.h"

#include <stdexcept>

namespace qorvin {

std::vector<int> TCommonGroup::ShownIds() const {
  std::vector<int> ids;
  ids.reserve(Functions.size());
  for (const TCommonNode& function : Functions) ids.push_back(function.Id);
  return ids;
}

std::vector<int> TCommonGroup::StoredIds() const {
  std::vector<int> ids;
  ids.reserve(Functions.size() + Hidden.size());
  std::vector<bool> placed(Hidden.size(), false);
  // Places the hidden ids that followed `after` in the stored list.
  const auto placeAfter = [&](std::optional<int> after) {
    for (size_t i = 0; i < Hidden.size(); ++i) {
      if (placed[i] || Hidden[i].After != after) continue;
      ids.push_back(Hidden[i].Id);
      placed[i] = true;
    }
  };
  placeAfter(std::nullopt);
  for (const TCommonNode& function : Functions) {
    ids.push_back(function.Id);
    placeAfter(function.Id);
  }
  for (size_t i = 0; i < Hidden.size(); ++i) {
    if (!placed[i]) ids.push_back(Hidden[i].Id);
  }
  return ids;
}

void TCommonFuncTree::Clear() {
  groups_.clear();
  selected_ = 0;
}

uint64_t TCommonFuncTree::AddGroup(std::string name) {
  TCommonGroup group;
  group.Node = TCommonNode{NextKey(), std::move(name), 0};
  groups_.push_back(std::move(group));
  return groups_.back().Node.Key;
}

uint64_t TCommonFuncTree::AddFunction(int group, std::string caption, int id) {
  std::vector<TCommonNode>& functions = groups_.at(size_t(group)).Functions;
  functions.push_back(TCommonNode{NextKey(), std::move(caption), id});
  return functions.back().Key;
}

void TCommonFuncTree::AddHiddenId(int group, THiddenId hidden) {
  groups_.at(size_t(group)).Hidden.push_back(hidden);
}

TNodePos TCommonFuncTree::Find(uint64_t key) const {
  if (key == 0) return {};
  for (size_t g = 0; g < groups_.size(); ++g) {
    if (groups_[g].Node.Key == key) return {int(g), -1};
    const auto& functions = groups_[g].Functions;
    for (size_t f = 0; f < functions.size(); ++f) {
      if (functions[f].Key == key) return {int(g), int(f)};
    }
  }
  return {};
}

TNodePos TCommonFuncTree::FindFunctionById(int id) const {
  for (size_t g = 0; g < groups_.size(); ++g) {
    const auto& functions = groups_[g].Functions;
    for (size_t f = 0; f < functions.size(); ++f) {
      if (functions[f].Id == id) return {int(g), int(f)};
    }
  }
  return {};
}

const TCommonNode& TCommonFuncTree::NodeAt(TNodePos pos) const {
  const TCommonGroup& group = groups_.at(size_t(pos.Group));
  return pos.Func < 0 ? group.Node : group.Functions.at(size_t(pos.Func));
}

void TCommonFuncTree::SetText(TNodePos pos, std::string text) {
  TCommonGroup& group = groups_.at(size_t(pos.Group));
  (pos.Func < 0 ? group.Node : group.Functions.at(size_t(pos.Func))).Text = std::move(text);
}

bool TCommonFuncTree::Before(TNodePos a, TNodePos b) {
  return a.Group < b.Group || (a.Group == b.Group && a.Func < b.Func);
}

void TCommonFuncTree::Remove(TNodePos pos) {
  if (!pos.Valid()) return;
  const bool movesSelection = NodeAt(pos).Key == selected_;
  uint64_t successor = 0;
  if (movesSelection && pos.IsGroup()) {
    const size_t g = size_t(pos.Group);
    if (g + 1 < groups_.size())
      successor = groups_[g + 1].Node.Key;
    else if (g > 0)
      successor = groups_[g - 1].Node.Key;
  } else if (movesSelection) {
    const TCommonGroup& group = groups_[size_t(pos.Group)];
    const size_t f = size_t(pos.Func);
    if (f + 1 < group.Functions.size())
      successor = group.Functions[f + 1].Key;
    else if (f > 0)
      successor = group.Functions[f - 1].Key;
    else
      successor = group.Node.Key;
  }
  Take(pos);
  if (movesSelection) selected_ = successor;
}

TCommonNode TCommonFuncTree::Take(TNodePos pos) {
  TCommonGroup& group = groups_.at(size_t(pos.Group));
  if (pos.Func < 0) {
    TCommonNode node = group.Node;
    groups_.erase(groups_.begin() + pos.Group);
    return node;
  }
  TCommonNode node = group.Functions.at(size_t(pos.Func));
  group.Functions.erase(group.Functions.begin() + pos.Func);
  return node;
}

void TCommonFuncTree::MoveToEnd(TNodePos from, TNodePos target) {
  if (!from.Valid() || !target.Valid()) throw std::invalid_argument("MoveToEnd: invalid node");
  if (from.IsGroup()) {
    TCommonGroup group = std::move(groups_.at(size_t(from.Group)));
    groups_.erase(groups_.begin() + from.Group);
    groups_.push_back(std::move(group));
    return;
  }
  const uint64_t targetGroupKey = groups_.at(size_t(target.Group)).Node.Key;
  TCommonNode node = Take(from);
  groups_.at(size_t(Find(targetGroupKey).Group)).Functions.push_back(std::move(node));
}

void TCommonFuncTree::MoveBefore(TNodePos from, TNodePos before) {
  if (!from.Valid() || !before.Valid() || from.Level() != before.Level())
    throw std::invalid_argument("MoveBefore: nodes of different levels");
  const uint64_t beforeKey = NodeAt(before).Key;
  if (from.IsGroup()) {
    TCommonGroup group = std::move(groups_.at(size_t(from.Group)));
    groups_.erase(groups_.begin() + from.Group);
    const TNodePos at = Find(beforeKey);
    groups_.insert(groups_.begin() + at.Group, std::move(group));
    return;
  }
  TCommonNode node = Take(from);
  const TNodePos at = Find(beforeKey);
  auto& functions = groups_.at(size_t(at.Group)).Functions;
  functions.insert(functions.begin() + at.Func, std::move(node));
}

}  // namespace qorvin
