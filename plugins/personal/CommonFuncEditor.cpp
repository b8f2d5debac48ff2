// Editing the two trees: check states, deleting, the popup, adding and renaming groups, dragging.
#include "plugins/personal/CommonFuncEditor.h"

#include <QString>

#include "basalt/Messages.h"
#include "plugins/personal/PersonalLang.h"

namespace qorvin {

bool SameTextIgnoringCase(const std::string& a, const std::string& b) {
  return QString::fromUtf8(a.data(), qsizetype(a.size()))
             .compare(QString::fromUtf8(b.data(), qsizetype(b.size())), Qt::CaseInsensitive) == 0;
}

void TCommonFuncEditor::SetUser(std::string userId) {
  user_id_ = std::move(userId);
}

void TCommonFuncEditor::ShowInfoKey(const char* key) const {
  ShowInfo(lang_.Text(key), "");
}

bool TCommonFuncEditor::RequestMenuCheck(int node, bool checked) {
  if (node < 0 || node >= menu_.Count() || menu_.Node(node).Checked == checked) return false;
  // Refusals, first rule that applies: root and top-level menus never change; a menu with
  // children may be unchecked but not checked; nothing is checked before a group exists.
  if (menu_.Node(node).Level <= 1) return false;
  if (checked && menu_.HasChildren(node)) return false;
  if (common_.Empty()) {
    ShowInfoKey(lang::kPleaseCreateFunctionGroupFirst);
    return false;
  }
  // A menu with children is checked only when the tree holds its id (a stored list named it):
  // unchecking it then removes that function like unchecking any other.
  OnMenuCheckChanged(node, checked);
  SyncMenuChecks(menu_.Node(node).Id);
  return menu_.Node(node).Checked == checked;  // the effect may have left the old state
}

void TCommonFuncEditor::SyncMenuChecks(int id) {
  // A function offered in several places of the menu is one function, whatever the level of
  // each place and whether it has children: every node with its id shows whether the
  // common-functions tree holds it.
  const bool held = common_.FindFunctionById(id).Valid();
  for (int node : menu_.AllWithId(id)) menu_.SetChecked(node, held);
}

void TCommonFuncEditor::OnMenuCheckChanged(int node, bool checked) {
  const TMenuNode& menu = menu_.Node(node);
  const TNodePos found = common_.FindFunctionById(menu.Id);
  if (!checked) {
    // One copy goes; when the id sits in further groups (stored that way), their copies stay
    // and the menu node stays checked for them.
    if (found.Valid()) common_.Remove(found);
    return;
  }
  if (found.Valid()) return;  // a function occurs at most once in the tree
  const TNodePos selected = common_.SelectedPos();
  if (!selected.Valid()) {
    ShowInfoKey(lang::kPleaseSelectFunctionNodeFirst);
    return;  // the node stays unchecked
  }
  common_.AddFunction(selected.Group, menu.Caption, menu.Id);
  if (selected.IsGroup()) SetCollapsed(common_.NodeAt(selected).Key, false);
}

void TCommonFuncEditor::RemoveFunction(uint64_t key) {
  const TNodePos pos = common_.Find(key);
  if (!pos.IsFunction()) return;
  const int id = common_.NodeAt(pos).Id;
  common_.Remove(pos);
  // Only this node goes: copies of the id in other groups stay, and so does their check.
  SyncMenuChecks(id);
}

void TCommonFuncEditor::DeleteSelectedWithConfirm() {
  const TNodePos pos = common_.SelectedPos();
  if (!pos.Valid()) return;
  const TCommonGroup& group = common_.Groups()[size_t(pos.Group)];
  if (pos.IsFunction()) {
    const std::string text =
        lang_.Text(lang::kDeleteNodeX, {group.Node.Text, common_.NodeAt(pos).Text});
    if (ShowComfirm(text, "") == IDYES) RemoveFunction(common_.NodeAt(pos).Key);
    return;
  }
  const uint64_t groupKey = group.Node.Key;
  if (ShowComfirm(lang_.Text(lang::kDeleteGroupX, {group.Node.Text}), "") != IDYES) return;
  // Functions go one by one from the last, each unchecking its menu node unless another group
  // still holds the id.
  for (TNodePos g = common_.Find(groupKey);
       g.Valid() && !common_.Groups()[size_t(g.Group)].Functions.empty();
       g = common_.Find(groupKey)) {
    RemoveFunction(common_.Groups()[size_t(g.Group)].Functions.back().Key);
  }
  common_.Remove(common_.Find(groupKey));
  collapsed_.erase(groupKey);
}

TPopupMode TCommonFuncEditor::PreparePopup(uint64_t keyUnderPointer) {
  const TNodePos pos = common_.Find(keyUnderPointer);
  if (!pos.Valid()) return TPopupMode::AddGroup;
  common_.Select(keyUnderPointer);
  return pos.IsGroup() ? TPopupMode::DeleteGroup : TPopupMode::DeleteFunction;
}

std::string TCommonFuncEditor::NewGroupName() const {
  const std::string base = lang_.Text(lang::kNewGroupName);
  std::string name = base;
  for (int n = 1;; ++n) {
    bool taken = false;
    for (const TCommonGroup& group : common_.Groups()) {
      if (SameTextIgnoringCase(group.Node.Text, name)) {
        taken = true;
        break;
      }
    }
    if (!taken) return name;
    name = base + std::to_string(n);
  }
}

uint64_t TCommonFuncEditor::AddGroup() {
  const uint64_t key = common_.AddGroup(NewGroupName());
  common_.Select(key);
  return key;
}

bool TCommonFuncEditor::RenameGroup(uint64_t key, const std::string& name) {
  const TNodePos pos = common_.Find(key);
  if (!pos.IsGroup()) return false;
  if (name.empty()) {
    ShowErr(lang_.Text(lang::kErrGroupCantBeEmpty), "");
    return false;
  }
  for (const TCommonGroup& group : common_.Groups()) {
    bool clash = group.Node.Key != key && SameTextIgnoringCase(group.Node.Text, name);
    for (const TCommonNode& function : group.Functions)
      clash = clash || SameTextIgnoringCase(function.Text, name);
    if (clash) {
      ShowErr(lang_.Text(lang::kErrAlreadyHasTheSameGroup, {name}), "");
      return false;
    }
  }
  common_.SetText(pos, name);
  return true;
}

bool TCommonFuncEditor::CanDrop(bool fromThisTree, uint64_t target) const {
  if (!fromThisTree) return false;
  const TNodePos dragged = common_.SelectedPos();
  const TNodePos onto = common_.Find(target);
  if (!dragged.Valid() || !onto.Valid() || dragged == onto) return false;
  return dragged.Level() >= onto.Level();
}

void TCommonFuncEditor::Drop(uint64_t target) {
  if (!CanDrop(true, target)) return;
  const TNodePos dragged = common_.SelectedPos();
  const TNodePos onto = common_.Find(target);
  if (dragged.Level() != onto.Level() || TCommonFuncTree::Before(dragged, onto)) {
    common_.MoveToEnd(dragged, onto);
  } else {
    common_.MoveBefore(dragged, onto);
  }
}

void TCommonFuncEditor::SetCollapsed(uint64_t groupKey, bool collapsed) {
  if (collapsed) {
    collapsed_.insert(groupKey);
  } else {
    collapsed_.erase(groupKey);
  }
}

}  // namespace qorvin
