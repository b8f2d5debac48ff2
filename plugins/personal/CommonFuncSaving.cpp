// Opening, loading, change detection, saving and closing.
#include <optional>
#include <vector>

#include "basalt/BasaltError.h"
#include "basalt/Messages.h"
#include "basalt/RemoteCalls.h"
#include "basalt/WindowMessages.h"
#include "plugins/personal/CommonFuncEditor.h"
#include "plugins/personal/GroupListText.h"
#include "plugins/personal/PersonalLang.h"
#include "plugins/personal/SaveBatch.h"

namespace qorvin {

namespace {

constexpr const char* kUserGroupReadFailed = "无法获取到用户组常用功能配置, 请重新打开！！！";

}  // namespace

bool TCommonFuncEditor::Open(bool userGroupMode, const std::string& group,
                             const std::shared_ptr<TBasaltDataSet>& userGroupDataSet,
                             const TMenuList& menus, const TPlugList& plugs) {
  bool ok = false;
  if (userGroupMode) {
    ok = SynchReadData(owner_, UserGroupSelectSql(group), *userGroupDataSet, kUserGroupReadFailed,
                       "", "");
    if (ok) current_ = userGroupDataSet;
  } else {
    std::shared_ptr<TBasaltDataSet> dataset;
    ok = OpenXMLDataSet(owner_, dataset, "bUserCommon");
    if (ok) current_ = std::move(dataset);
  }
  if (!ok) {
    ShowErr(lang_.Text(lang::kErrDataLoadFailed), "");
    return false;
  }
  BuildMenuTree(menus, plugs);
  LoadCommonFunctions();
  return true;
}

bool TCommonFuncEditor::BuildMenuTree(const TMenuList& menus, const TPlugList& plugs) {
  return menu_.Build(lang_.Text(lang::kMenu), menus, plugs);
}

void TCommonFuncEditor::LoadCommonFunctions() {
  if (!current_ || !current_->Active() || current_->IsEmpty()) return;
  {
    ControlsSuspension suspended(*current_);
    current_->First();
    common_.Clear();
    collapsed_.clear();
    for (; !current_->Eof(); current_->Next())
      AddGroupFromList(current_->FieldText("GroupType"), current_->FieldText("MenuIdList"));
  }
  if (!common_.Empty()) common_.Select(common_.Groups().front().Node.Key);
}

void TCommonFuncEditor::AddGroupFromList(const std::string& name, const std::string& listText) {
  common_.AddGroup(name);
  const int group = int(common_.Groups().size()) - 1;
  std::optional<int> lastShown;
  for (const std::string& entry : SplitCommaText(listText)) {
    int id = 0;
    if (!TryStrToInt(entry, id)) continue;  // not a menu id at all: dropped
    const int node = menu_.FindById(id);
    if (node < 0) {
      common_.AddHiddenId(group, {lastShown, id});
      continue;
    }
    common_.AddFunction(group, menu_.Node(node).Caption, menu_.Node(node).Id);
    SyncMenuChecks(id);
    lastShown = id;
  }
}

std::vector<int> TCommonFuncEditor::ShownIdsOf(const std::string& listText) const {
  std::vector<int> ids;
  for (const std::string& entry : SplitCommaText(listText)) {
    int id = 0;
    if (TryStrToInt(entry, id) && menu_.FindById(id) >= 0) ids.push_back(id);
  }
  return ids;
}

bool TCommonFuncEditor::IsChanged() {
  if (!current_ || !current_->Active()) return false;
  if (current_->IsEmpty()) return !common_.Empty();
  if (common_.Empty()) return true;
  ControlsSuspension suspended(*current_);
  current_->First();
  for (const TCommonGroup& group : common_.Groups()) {
    if (current_->Eof()) return true;
    // Names compare exactly, so that a change of letter case is saved. Lists compare by the ids
    // the menu shows: hidden ids are written back as they were, and blanks or entries that are
    // no ids at all do not count as a change.
    if (current_->FieldText("GroupType") != group.Node.Text ||
        ShownIdsOf(current_->FieldText("MenuIdList")) != group.ShownIds())
      return true;
    current_->Next();
  }
  return !current_->Eof();
}

std::string TCommonFuncEditor::GroupListText() const {
  std::vector<TGroupLine> lines;
  for (const TCommonGroup& group : common_.Groups())
    lines.push_back({group.Node.Text, JoinMenuIds(group.StoredIds())});
  return BuildGroupListText(lines);
}

bool TCommonFuncEditor::Save(const std::string& group) {
  if (!IsChanged()) {
    ShowInfoKey(lang::kNotEditedAnything);
    return false;
  }
  const std::string text = GroupListText();
  if (text.empty() && ShowComfirm(lang_.Text(lang::kComfirmDeleteAllFuncs), "") != IDYES)
    return false;
  TErrorReturnValueProperty error;
  if (!SynchExecSQL(owner_, BuildSaveBatch(text, user_id_, group), error,
                    lang_.Text(lang::kErrUpdateCommonFunctions)))
    return false;
  // The mode is the one the batch was written for: a user group's rows when the user-group box
  // names one, the current user's own rows otherwise (whatever the action type).
  const bool updated = UpdateCurrentDataSet(text, group);
  if (updated && group.empty())
    PostMessage(MainWindow(), kMsgCommonFunctionsSaved, /*wParam=*/1, /*lParam=*/0);
  return updated;
}

// Makes the current dataset (the user's local table, or the user group's rows) hold what the
// server now holds, so that the host's menu and the next change detection see the saved groups;
// an empty configuration leaves it empty. A dataset that came without any field list (an answer
// without data) is given the table's columns first.
bool TCommonFuncEditor::UpdateCurrentDataSet(const std::string& groupListText,
                                             const std::string& group) {
  if (!current_ || !current_->Active()) return false;
  const char* owner = group.empty() ? "UserID" : "UserGroup";
  if (current_->FieldNames().empty()) {
    current_->SetFields(
        {owner, "GroupType", "MenuIdList", "GroupOrderBy", "CreateDatetime", "CreateOperator"});
    current_->Open();
  }
  for (const char* field : {"GroupType", "MenuIdList", "GroupOrderBy"}) {
    if (current_->FindField(field) < 0)
      throw EDataSetError(std::string("Field '") + field + "' not found");
  }
  const bool hasOwner = current_->FindField(owner) >= 0;
  ControlsSuspension suspended(*current_);
  current_->EmptyDataSet();
  const std::vector<TGroupLine> lines = ParseGroupListText(groupListText);
  for (size_t i = 0; i < lines.size(); ++i) {
    current_->Append();
    if (hasOwner)
      current_->SetFieldValue(owner, Variant::AnsiString(group.empty() ? user_id_ : group));
    current_->SetFieldValue("GroupType", Variant::AnsiString(lines[i].Name));
    current_->SetFieldValue("MenuIdList", Variant::AnsiString(lines[i].MenuIdList));
    current_->SetFieldValue("GroupOrderBy", Variant::Integer(int32_t(i + 1)));
    current_->Post();
  }
  return true;
}

bool TCommonFuncEditor::QueryClose(const std::string& group) {
  if (!IsChanged()) return true;
  const int answer = MsgBox(owner_, lang_.Text(lang::kComfirmCloseWithoutSave),
                            lang_.Text(lang::kComfirm), MB_YESNOCANCEL | MB_ICONQUESTION);
  if (answer == IDCANCEL) return false;
  // Yes closes only once the edits are stored: a failed save, or a "no" to saving an empty
  // configuration, keeps the dialog open with the edits.
  if (answer == IDYES) return Save(group);
  return true;
}

}  // namespace qorvin
