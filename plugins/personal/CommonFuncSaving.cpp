// Opening, loading, change detection, saving and closing.
#include <vector>

#include "basalt/BasaltError.h"
#include "basalt/Messages.h"
#include "basalt/PlugInfo.h"
#include "basalt/RemoteCalls.h"
#include "basalt/WindowMessages.h"
#include "plugins/personal/CommonFuncEditor.h"
#include "plugins/personal/GroupListText.h"
#include "plugins/personal/PersonalLang.h"
#include "plugins/personal/SaveBatch.h"

namespace qorvin {

namespace {

constexpr const char* kUserGroupReadFailed = "无法获取到用户组常用功能配置, 请重新打开！！！";

std::string MenuIdsOf(const TCommonGroup& group) {
  std::vector<int> ids;
  ids.reserve(group.Functions.size());
  for (const TCommonNode& function : group.Functions) ids.push_back(function.Id);
  return JoinMenuIds(ids);
}

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
  for (const std::string& entry : SplitCommaText(listText)) {
    const int node = menu_.FindById(StrToIntDef(entry, -1));
    if (node < 0) continue;
    common_.AddFunction(group, menu_.Node(node).Caption, menu_.Node(node).Id);
    RequestMenuCheck(node, true);
  }
}

bool TCommonFuncEditor::IsChanged() {
  if (!current_ || !current_->Active()) return false;
  if (current_->IsEmpty()) return !common_.Empty();
  if (common_.Empty()) return true;
  ControlsSuspension suspended(*current_);
  current_->First();
  for (const TCommonGroup& group : common_.Groups()) {
    if (current_->Eof()) return true;
    if (!SameTextIgnoringCase(current_->FieldText("GroupType"), group.Node.Text) ||
        !SameTextIgnoringCase(current_->FieldText("MenuIdList"), MenuIdsOf(group)))
      return true;
    current_->Next();
  }
  return !current_->Eof();
}

std::string TCommonFuncEditor::GroupListText() const {
  std::vector<TGroupLine> lines;
  for (const TCommonGroup& group : common_.Groups())
    lines.push_back({group.Node.Text, MenuIdsOf(group)});
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
  // A user group's rows are not the current user's: no local copy to refresh, no notification.
  if (action_type_ == kActionTypeUserGroup) return false;
  const bool updated = UpdateCurrentDataSet(text, group);
  if (updated && group.empty())
    PostMessage(MainWindow(), kMsgCommonFunctionsSaved, /*wParam=*/1, /*lParam=*/0);
  return updated;
}

// Makes the current dataset hold what the server now holds, so that the host's menu and the next
// change detection see the saved groups; an empty configuration leaves it empty.
bool TCommonFuncEditor::UpdateCurrentDataSet(const std::string& groupListText,
                                             const std::string& group) {
  if (!group.empty()) return true;
  if (!current_ || !current_->Active()) return false;
  for (const char* field : {"GroupType", "MenuIdList", "GroupOrderBy"}) {
    if (current_->FindField(field) < 0)
      throw EDataSetError(std::string("Field '") + field + "' not found");
  }
  ControlsSuspension suspended(*current_);
  current_->EmptyDataSet();
  const std::vector<TGroupLine> lines = ParseGroupListText(groupListText);
  for (size_t i = 0; i < lines.size(); ++i) {
    current_->Append();
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
  if (answer == IDYES) Save(group);
  return true;
}

}  // namespace qorvin
