// TCommonFuncEditor: everything the common-functions dialog decides, without widgets. The dialog
// turns widget events into calls of this class and shows its two trees; tests drive it directly.
//
// Messages, questions, server calls and the host notification go through the framework
// (basalt/Messages.h, basalt/RemoteCalls.h, basalt/WindowMessages.h). Framework errors (a
// dataset without the expected fields, for example) propagate as exceptions; the dialog reports
// them. Thread: UI thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "basalt/DataSet.h"
#include "basalt/Lang.h"
#include "basalt/Menu.h"
#include "plugins/personal/CommonFuncTree.h"
#include "plugins/personal/MenuCheckTree.h"

class QWidget;

namespace qorvin {

// The message a personal save posts to the host's main window (wParam 1, lParam 0).
inline constexpr uint32_t kMsgCommonFunctionsSaved = 0x80CC;

// What the popup menu offers for the node under the pointer.
enum class TPopupMode { AddGroup, DeleteGroup, DeleteFunction };

class TCommonFuncEditor {
 public:
  // `lang` and `owner` (the dialog, used as the owner of boxes; may be null) must outlive the
  // editor.
  TCommonFuncEditor(const TLangTable& lang, QWidget* owner) : lang_(lang), owner_(owner) {}

  // The current user: the owner of personal rows and the operator written with every save.
  void SetUser(std::string userId);

  const TMenuCheckTree& MenuTree() const { return menu_; }
  const TCommonFuncTree& CommonTree() const { return common_; }
  std::shared_ptr<TBasaltDataSet> CurrentDataSet() const { return current_; }
  void SetCurrentDataSet(std::shared_ptr<TBasaltDataSet> dataset) { current_ = std::move(dataset); }

  // ---- opening
  // Reads the stored groups (user-group mode: `group`'s rows into `userGroupDataSet`; personal
  // mode: the framework's bUserCommon table), builds the menu tree and loads the common-functions
  // tree. On failure shows the load error and returns false; the caller closes the dialog.
  bool Open(bool userGroupMode, const std::string& group,
            const std::shared_ptr<TBasaltDataSet>& userGroupDataSet, const TMenuList& menus,
            const TPlugList& plugs);
  bool BuildMenuTree(const TMenuList& menus, const TPlugList& plugs);
  // Replaces the common-functions tree with the current dataset's rows, in the dataset's order;
  // leaves it unchanged when the dataset is closed or empty. Selects the first group.
  void LoadCommonFunctions();
  // Adds a group from a name and a MenuIdList text. Ids without a menu node are kept hidden in
  // the group (see THiddenId); entries that are not integers are dropped. Every menu node with
  // an id the group shows is checked directly, whatever its level (no refusal rules apply).
  void AddGroupFromList(const std::string& name, const std::string& listText);

  // ---- the menu check tree
  // The user asks menu node `node` to become `checked`: applies the refusal rules, then the
  // effect on the common-functions tree: checking adds the function
  // to the selection unless the tree holds it, unchecking removes its first copy. Afterwards
  // every menu node with that id, at any level, is checked exactly when the tree still holds
  // the id. Returns whether the node was in another state and now holds the requested one.
  bool RequestMenuCheck(int node, bool checked);

  // ---- the common-functions tree
  void Select(uint64_t key) { common_.Select(key); }
  // Removes one function node; unchecks every menu node with its id unless another copy of the
  // id remains in the tree.
  void RemoveFunction(uint64_t key);
  // Delete key, delete button and popup delete: asks, then removes the selected node.
  void DeleteSelectedWithConfirm();
  // Right button on `keyUnderPointer` (0: no node): selects the node, says what to offer.
  TPopupMode PreparePopup(uint64_t keyUnderPointer);
  // Adds a group with a free "新建分组", "新建分组1", ... name and selects it; returns its key.
  uint64_t AddGroup();
  std::string NewGroupName() const;
  // In-place edit of group `key` finished with `name`: refuses an empty name or one equal,
  // ignoring case, to another node's text (with a message); returns whether it was applied.
  bool RenameGroup(uint64_t key, const std::string& name);
  // Whether a drag from `fromThisTree` may drop the selected node on node `target`.
  bool CanDrop(bool fromThisTree, uint64_t target) const;
  // Drops the selected node on `target` (nothing when CanDrop refuses).
  void Drop(uint64_t target);

  // Group expansion as the user left it; every group is expanded after a load.
  bool IsCollapsed(uint64_t groupKey) const { return collapsed_.count(groupKey) != 0; }
  void SetCollapsed(uint64_t groupKey, bool collapsed);

  // ---- change detection and saving
  // Whether the groups differ from the current dataset's rows: names exactly, lists by the ids
  // the menu shows.
  bool IsChanged();
  std::string GroupListText() const;
  // Saves with the user-group box's text `group`: the user group's rows when it is not empty,
  // the current user's own otherwise. Returns whether the groups were stored and the current
  // dataset now holds them (the caller then shows the success message); only a personal save
  // notifies the host.
  bool Save(const std::string& group);
  // The close button or Escape: returns whether the dialog may close. Asks when changed;
  // "yes" closes only after a successful save.
  bool QueryClose(const std::string& group);

 private:
  void ShowInfoKey(const char* key) const;
  // The ids of a MenuIdList text that the menu tree shows, in order.
  std::vector<int> ShownIdsOf(const std::string& listText) const;
  void OnMenuCheckChanged(int node, bool checked);
  // Sets every menu node with `id` to whether the common-functions tree holds `id`.
  void SyncMenuChecks(int id);
  bool UpdateCurrentDataSet(const std::string& groupListText, const std::string& group);

  const TLangTable& lang_;
  QWidget* owner_;
  std::string user_id_;
  TMenuCheckTree menu_;
  TCommonFuncTree common_;
  std::shared_ptr<TBasaltDataSet> current_;
  std::set<uint64_t> collapsed_;
};

// Whether two texts are equal ignoring case (Unicode case folding).
bool SameTextIgnoringCase(const std::string& a, const std::string& b);

}  // namespace qorvin
