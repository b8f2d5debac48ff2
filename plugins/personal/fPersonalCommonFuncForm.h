// TPersonalCommonFuncForm: the "常用功能配置" (common-functions configuration) dialog.
//
// Left, the application's menu functions as a check tree; right, the user's common functions as
// named groups. Every decision is TCommonFuncEditor's; this class builds the controls (object
// names as below, for the framework and for tests), passes widget events to the editor and shows
// the editor's trees again after each change.
//
// Created by the framework through CallPlug (see PersonalClasses.h); PlugExec must run before
// PlugInitEvent for user-group mode to take effect. Thread: UI thread only.
#pragma once

#include <QPoint>
#include <chrono>
#include <memory>
#include <string>

#include "basalt/DataSet.h"
#include "basalt/PlugBase.h"
#include "plugins/personal/CommonFuncEditor.h"

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QMenu;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace qorvin {

class TCommonFuncTreeView;

class TPersonalCommonFuncForm : public TPlugBaseDialog {
 public:
  explicit TPersonalCommonFuncForm(QWidget* parent);
  ~TPersonalCommonFuncForm() override;

  static TPlugBaseForm* Create(QWidget* parent);

  // Framework operations.
  std::string InitLang() override;
  void PlugInitEvent(QObject* sender) override;
  int PlugExec(TPlugArgs args) override;

  // Handlers, named after the controls that raise them. Drag over and drop take the drag's
  // source as the tree view reports it (the tree itself for its own drags).
  void RzCheckTreeMenuStateChange(QTreeWidgetItem* item);
  bool RzTreeViewCommonFunctionsDragOver(QObject* source, QTreeWidgetItem* target);
  void RzTreeViewCommonFunctionsDragDrop(QObject* source, QTreeWidgetItem* target);
  void RzTreeViewCommonFunctionsEdited(QTreeWidgetItem* item);
  bool RzTreeViewCommonFunctionsKeyDown(int key);
  void RzTreeViewCommonFunctionsMouseDown(QPoint pos, QPoint globalPos);
  void RzBitBtnAddGroupClick();
  void RzBitBtnRemoveClick();
  void NAddGroupClick();
  void NDelNodeClick();
  void RzCheckBoxSaveToGroupClick(bool checked);
  void RzBitBtnSaveClick();
  void RzBitBtnCancelClick();

  TCommonFuncEditor& Editor() { return editor_; }
  const std::shared_ptr<TBasaltDataSet>& ClientDataSetUserGroup() const { return user_group_ds_; }
  // The tree item showing common-functions node `key`, or null.
  QTreeWidgetItem* CommonItem(uint64_t key) const;

  // The bound of the dialog's own server calls (loading and saving): past it a call is
  // cancelled and reported like any failed call.
  static constexpr std::chrono::milliseconds kCallBound{30000};
  // Whether a load or save is running (closing is refused meanwhile).
  bool Busy() const { return busy_ > 0; }

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  // The window's close button (and close()) asks like 关闭 and Escape; refused while busy.
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildControls();
  QWidget* BuildMenuColumn(QWidget* parent);
  QWidget* BuildCommonColumn(QWidget* parent);
  void BuildBottomRow(QWidget* row);
  void ConnectHandlers();
  void RenderMenuTree();
  void SyncMenuChecks();
  void RenderCommonTree();
  std::string GroupText() const;
  // Asks about unsaved changes (QueryClose); false while busy.
  bool MayClose();
  template <typename F>
  void Guarded(F&& handler);
  // Runs `work`, which may reach the server, with the dialog's call bound, as busy.
  template <typename F>
  void WithServer(F&& work);

  TCommonFuncEditor editor_;
  std::shared_ptr<TBasaltDataSet> user_group_ds_;
  bool rendering_ = false;  // set while the views are filled from the editor
  int busy_ = 0;            // nesting depth of Busy()
  QObject* popup_owner_ = nullptr;

  QTreeWidget* menu_tree_ = nullptr;
  TCommonFuncTreeView* common_tree_ = nullptr;
  QPushButton* add_group_ = nullptr;
  QPushButton* remove_ = nullptr;
  QLabel* user_group_label_ = nullptr;
  QComboBox* group_box_ = nullptr;
  QCheckBox* save_to_group_ = nullptr;
  QPushButton* save_ = nullptr;
  QPushButton* cancel_ = nullptr;
  QMenu* popup_ = nullptr;
  QAction* add_group_item_ = nullptr;
  QAction* del_node_item_ = nullptr;
};

}  // namespace qorvin
