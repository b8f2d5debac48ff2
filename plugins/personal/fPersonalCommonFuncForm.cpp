#include "plugins/personal/fPersonalCommonFuncForm.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QScrollBar>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <exception>
#include <vector>

#include "basalt/Messages.h"
#include "basalt/PlugInfo.h"
#include "basalt/RemoteCalls.h"
#include "basalt/ShareData.h"
#include "basalt/WindowMessages.h"
#include "plugins/personal/CommonFuncTreeView.h"
#include "plugins/personal/PersonalLang.h"

namespace qorvin {

namespace {

QString Q(const std::string& s) {
  return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

uint64_t KeyOf(const QTreeWidgetItem* item) {
  return item == nullptr ? 0 : item->data(0, Qt::UserRole).toULongLong();
}

// An invocation argument as 8-bit framework text.
std::string ArgAsText(const Variant& arg) {
  if (arg.IsEmpty() || arg.IsNull()) return {};
  if (arg.Kind() == varString && !arg.IsByRef()) return arg.AsAnsi();
  return arg.ToUtf8();
}

}  // namespace

TPersonalCommonFuncForm::TPersonalCommonFuncForm(QWidget* parent)
    : TPlugBaseDialog(parent),
      editor_(Lang(), this),
      user_group_ds_(std::make_shared<TBasaltDataSet>()) {
  BuildControls();
  ConnectHandlers();
}

TPersonalCommonFuncForm::~TPersonalCommonFuncForm() = default;

TPlugBaseForm* TPersonalCommonFuncForm::Create(QWidget* parent) {
  return new TPersonalCommonFuncForm(parent);
}

template <typename F>
void TPersonalCommonFuncForm::Guarded(F&& handler) {
  try {
    handler();
  } catch (const std::exception& e) {
    ShowErr(e.what(), "");
  }
}

template <typename F>
void TPersonalCommonFuncForm::WithServer(F&& work) {
  ++busy_;
  struct Done {
    int& busy;
    ~Done() { --busy; }
  } done{busy_};
  TRemoteCallBound bound(kCallBound);
  work();
}

void TPersonalCommonFuncForm::ConnectHandlers() {
  connect(menu_tree_, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* item, int) {
    if (!rendering_) RzCheckTreeMenuStateChange(item);
  });
  connect(common_tree_, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* item, int) {
    if (!rendering_) RzTreeViewCommonFunctionsEdited(item);
  });
  connect(common_tree_, &QTreeWidget::itemSelectionChanged, this, [this] {
    if (rendering_) return;
    const QList<QTreeWidgetItem*> selected = common_tree_->selectedItems();
    editor_.Select(selected.isEmpty() ? 0 : KeyOf(selected.first()));
  });
  connect(common_tree_, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* item) {
    if (!rendering_) editor_.SetCollapsed(KeyOf(item), false);
  });
  connect(common_tree_, &QTreeWidget::itemCollapsed, this, [this](QTreeWidgetItem* item) {
    if (!rendering_) editor_.SetCollapsed(KeyOf(item), true);
  });
  common_tree_->OnDragOver = [this](QObject* source, QTreeWidgetItem* target) {
    return RzTreeViewCommonFunctionsDragOver(source, target);
  };
  common_tree_->OnDragDrop = [this](QObject* source, QTreeWidgetItem* target) {
    RzTreeViewCommonFunctionsDragDrop(source, target);
  };
  common_tree_->OnKeyDown = [this](int key) { return RzTreeViewCommonFunctionsKeyDown(key); };
  common_tree_->OnRightButtonDown = [this](QPoint pos, QPoint globalPos) {
    RzTreeViewCommonFunctionsMouseDown(pos, globalPos);
  };
  connect(add_group_, &QPushButton::clicked, this, [this] { RzBitBtnAddGroupClick(); });
  connect(remove_, &QPushButton::clicked, this, [this] { RzBitBtnRemoveClick(); });
  connect(add_group_item_, &QAction::triggered, this, [this] { NAddGroupClick(); });
  connect(del_node_item_, &QAction::triggered, this, [this] { NDelNodeClick(); });
  connect(save_to_group_, &QCheckBox::toggled, this,
          [this](bool checked) { RzCheckBoxSaveToGroupClick(checked); });
  connect(save_, &QPushButton::clicked, this, [this] { RzBitBtnSaveClick(); });
  connect(cancel_, &QPushButton::clicked, this, [this] { RzBitBtnCancelClick(); });
}

std::string TPersonalCommonFuncForm::InitLang() {
  return TPlugBaseDialog::InitLang() + lang::PersonalLangLines();
}

int TPersonalCommonFuncForm::PlugExec(TPlugArgs args) {
  if (args.empty()) return 0;
  const int result = TPlugBaseDialog::PlugExec(args);
  if (GetPlugInfo().GetActionType() == kActionTypeUserGroup) {
    const std::string group = ArgAsText(args[0]);
    if (!group.empty()) {
      group_box_->addItem(Q(group));  // the box's list offers the group it shows
      group_box_->setEditText(Q(group));
      save_to_group_->setChecked(true);  // stays hidden; selects user-group mode
      user_group_label_->show();
      group_box_->show();
    }
  }
  return result;
}

void TPersonalCommonFuncForm::PlugInitEvent(QObject* sender) {
  TPlugBaseDialog::PlugInitEvent(sender);
  editor_.SetUser(GetUserInfo().GetUserId());
  bool opened = false;
  WithServer([&] {
    opened = editor_.Open(save_to_group_->isChecked(), GroupText(), user_group_ds_,
                          ShareData().GetMenuList(), *GetPlugList());
  });
  if (!opened) {
    PostMessage(this, WM_CLOSE, 0, 0);
    return;
  }
  RenderMenuTree();
  RenderCommonTree();
}

std::string TPersonalCommonFuncForm::GroupText() const {
  return group_box_->currentText().toStdString();
}

QTreeWidgetItem* TPersonalCommonFuncForm::CommonItem(uint64_t key) const {
  for (QTreeWidgetItemIterator it(common_tree_); *it; ++it) {
    if (KeyOf(*it) == key) return *it;
  }
  return nullptr;
}

// ---- showing the editor's trees

void TPersonalCommonFuncForm::RenderMenuTree() {
  rendering_ = true;
  menu_tree_->clear();
  const TMenuCheckTree& tree = editor_.MenuTree();
  std::vector<QTreeWidgetItem*> items(size_t(tree.Count()), nullptr);
  for (int i = 0; i < tree.Count(); ++i) {
    const TMenuNode& node = tree.Node(i);
    auto* item = node.Parent < 0 ? new QTreeWidgetItem(menu_tree_)
                                 : new QTreeWidgetItem(items[size_t(node.Parent)]);
    item->setText(0, Q(node.Caption));
    item->setToolTip(0, Q(node.Caption));  // the whole text of a caption cut off with "…"
    item->setData(0, Qt::UserRole, i);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
    item->setCheckState(0, node.Checked ? Qt::Checked : Qt::Unchecked);
    items[size_t(i)] = item;
  }
  menu_tree_->expandAll();
  if (!items.empty()) menu_tree_->setCurrentItem(items.front());
  rendering_ = false;
}

void TPersonalCommonFuncForm::SyncMenuChecks() {
  rendering_ = true;
  const TMenuCheckTree& tree = editor_.MenuTree();
  for (QTreeWidgetItemIterator it(menu_tree_); *it; ++it) {
    const int index = (*it)->data(0, Qt::UserRole).toInt();
    if (index < 0 || index >= tree.Count()) continue;
    const Qt::CheckState state = tree.Node(index).Checked ? Qt::Checked : Qt::Unchecked;
    if ((*it)->checkState(0) != state) (*it)->setCheckState(0, state);
  }
  rendering_ = false;
}

void TPersonalCommonFuncForm::RenderCommonTree() {
  rendering_ = true;
  const int scroll = common_tree_->verticalScrollBar()->value();
  common_tree_->clear();
  QTreeWidgetItem* selected = nullptr;
  const uint64_t selectedKey = editor_.CommonTree().Selected();
  for (const TCommonGroup& group : editor_.CommonTree().Groups()) {
    auto* groupItem = new QTreeWidgetItem(common_tree_, QStringList(Q(group.Node.Text)));
    groupItem->setToolTip(0, Q(group.Node.Text));
    groupItem->setData(0, Qt::UserRole, QVariant::fromValue<qulonglong>(group.Node.Key));
    groupItem->setFlags(groupItem->flags() | Qt::ItemIsEditable);
    if (group.Node.Key == selectedKey) selected = groupItem;
    for (const TCommonNode& function : group.Functions) {
      auto* item = new QTreeWidgetItem(groupItem, QStringList(Q(function.Text)));
      item->setToolTip(0, Q(function.Text));
      item->setData(0, Qt::UserRole, QVariant::fromValue<qulonglong>(function.Key));
      item->setFlags(item->flags() & ~Qt::ItemIsEditable);
      if (function.Key == selectedKey) selected = item;
    }
    groupItem->setExpanded(!editor_.IsCollapsed(group.Node.Key));
  }
  if (selected != nullptr) {
    common_tree_->setCurrentItem(selected);
  } else {
    common_tree_->clearSelection();
  }
  common_tree_->verticalScrollBar()->setValue(scroll);
  rendering_ = false;
}

// ---- handlers

void TPersonalCommonFuncForm::RzCheckTreeMenuStateChange(QTreeWidgetItem* item) {
  const int node = item->data(0, Qt::UserRole).toInt();
  const bool checked = item->checkState(0) == Qt::Checked;
  // The view shows the editor's state until the editor took the change, so that a refusal's
  // message is never shown beside a check that does not hold.
  SyncMenuChecks();
  Guarded([&] { editor_.RequestMenuCheck(node, checked); });
  SyncMenuChecks();
  RenderCommonTree();
}

bool TPersonalCommonFuncForm::RzTreeViewCommonFunctionsDragOver(QObject* source,
                                                                QTreeWidgetItem* target) {
  return target != nullptr && editor_.CanDrop(source == common_tree_, KeyOf(target));
}

void TPersonalCommonFuncForm::RzTreeViewCommonFunctionsDragDrop(QObject* source,
                                                                QTreeWidgetItem* target) {
  if (!RzTreeViewCommonFunctionsDragOver(source, target)) return;
  const uint64_t key = KeyOf(target);
  Guarded([&] { editor_.Drop(key); });
  RenderCommonTree();
}

void TPersonalCommonFuncForm::RzTreeViewCommonFunctionsEdited(QTreeWidgetItem* item) {
  const uint64_t key = KeyOf(item);
  const std::string name = item->text(0).toStdString();
  Guarded([&] { editor_.RenameGroup(key, name); });
  const TNodePos pos = editor_.CommonTree().Find(key);
  if (!pos.Valid()) return;
  // Only the item's text changes: the edit that raised this is still finishing on the item.
  rendering_ = true;
  item->setText(0, Q(editor_.CommonTree().NodeAt(pos).Text));
  item->setToolTip(0, item->text(0));
  rendering_ = false;
}

bool TPersonalCommonFuncForm::RzTreeViewCommonFunctionsKeyDown(int key) {
  if (key != Qt::Key_Delete) return false;
  RzBitBtnRemoveClick();
  return true;
}

void TPersonalCommonFuncForm::RzTreeViewCommonFunctionsMouseDown(QPoint pos, QPoint globalPos) {
  QTreeWidgetItem* item = common_tree_->itemAt(pos);
  const TPopupMode mode = editor_.PreparePopup(KeyOf(item));
  if (item != nullptr) {
    rendering_ = true;
    common_tree_->setCurrentItem(item);
    rendering_ = false;
  }
  add_group_item_->setVisible(mode == TPopupMode::AddGroup);
  del_node_item_->setVisible(mode != TPopupMode::AddGroup);
  if (mode == TPopupMode::DeleteFunction) del_node_item_->setText(Q(tr(lang::kDeleteNode)));
  if (mode == TPopupMode::DeleteGroup) del_node_item_->setText(Q(tr(lang::kDeleteGroup)));
  popup_owner_ = common_tree_;
  popup_->popup(globalPos);
}

void TPersonalCommonFuncForm::RzBitBtnAddGroupClick() {
  uint64_t key = 0;
  Guarded([&] { key = editor_.AddGroup(); });
  RenderCommonTree();
  if (QTreeWidgetItem* item = CommonItem(key)) {
    common_tree_->setFocus();
    common_tree_->editItem(item, 0);
  }
}

void TPersonalCommonFuncForm::RzBitBtnRemoveClick() {
  Guarded([&] { editor_.DeleteSelectedWithConfirm(); });
  SyncMenuChecks();
  RenderCommonTree();
}

void TPersonalCommonFuncForm::NAddGroupClick() {
  if (popup_owner_ == common_tree_) RzBitBtnAddGroupClick();
}

void TPersonalCommonFuncForm::NDelNodeClick() {
  if (popup_owner_ == common_tree_) RzBitBtnRemoveClick();
}

void TPersonalCommonFuncForm::RzCheckBoxSaveToGroupClick(bool checked) {
  group_box_->setEnabled(checked);
  if (!checked) group_box_->setEditText(QString());
}

void TPersonalCommonFuncForm::RzBitBtnSaveClick() {
  if (Busy()) return;
  bool saved = false;
  WithServer([&] { Guarded([&] { saved = editor_.Save(GroupText()); }); });
  if (saved) ShowInfo(tr(lang::kInfoSaveCommonFunctionsOK), "");
}

bool TPersonalCommonFuncForm::MayClose() {
  if (Busy()) return false;  // a load or save is waiting for the server
  bool mayClose = false;
  WithServer([&] { Guarded([&] { mayClose = editor_.QueryClose(GroupText()); }); });
  return mayClose;
}

void TPersonalCommonFuncForm::RzBitBtnCancelClick() {
  if (MayClose()) reject();
}

void TPersonalCommonFuncForm::closeEvent(QCloseEvent* event) {
  // The window's close button, close() and WM_CLOSE: the same question as 关闭. A dialog that
  // is already hidden (closed through 关闭) has nothing left to ask.
  if (isVisible() && !MayClose()) {
    event->ignore();
    return;
  }
  TPlugBaseDialog::closeEvent(event);
}

void TPersonalCommonFuncForm::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    RzBitBtnCancelClick();
    event->accept();
    return;
  }
  TPlugBaseDialog::keyPressEvent(event);
}

}  // namespace qorvin
