// The controls of the common-functions dialog: names, captions, sizes and visibility.
//
// Client area 554 x 431:
//   PanelTop 5 high
//   PanelSecMain 388 high: PanelSecMainLeft 5 | RzGroupBox2 371 | PanelTopGroupSpliter 5 |
//                          Panel1 168 | PanelSecMainRight 5
//   PanelBottom 8 high
//   PanelCommonFuncEdit 30 high: user-group label, box and check box, save, close
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFont>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "plugins/personal/CommonFuncTreeView.h"
#include "plugins/personal/fPersonalCommonFuncForm.h"

namespace qorvin {

namespace {

constexpr int kTreeIndent = 19;

QString Q(const char* utf8) {
  return QString::fromUtf8(utf8);
}

template <typename Layout>
Layout* Tight(QWidget* owner) {
  auto* layout = new Layout(owner);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  return layout;
}

QFrame* Panel(QWidget* parent, const char* name) {
  auto* panel = new QFrame(parent);
  panel->setObjectName(name);
  return panel;
}

QFrame* FixedPanel(QWidget* parent, const char* name, int width, int height) {
  QFrame* panel = Panel(parent, name);
  if (width > 0) panel->setFixedWidth(width);
  if (height > 0) panel->setFixedHeight(height);
  return panel;
}

void MakeRed(QLabel* label) {
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, Qt::red);
  label->setPalette(palette);
}

QPushButton* Button(QWidget* parent, const char* name, const char* caption) {
  auto* button = new QPushButton(Q(caption), parent);
  button->setObjectName(name);
  button->setAutoDefault(false);
  return button;
}

QGroupBox* GroupBox(QWidget* parent, const char* name, const char* caption) {
  auto* box = new QGroupBox(Q(caption), parent);
  box->setObjectName(name);
  auto* layout = new QVBoxLayout(box);
  layout->setContentsMargins(2, 2, 2, 2);
  layout->setSpacing(0);
  return box;
}

// Latin and Chinese text come from different fonts, whose lines differ in height (about 14
// and 18 pixels): the trees draw every row in a font that holds both, put first in the list of
// families, and every row as high as the first.
void SetUpTree(QTreeWidget* tree, const char* name) {
  tree->setObjectName(name);
  tree->setHeaderHidden(true);
  tree->setColumnCount(1);
  tree->setIndentation(kTreeIndent);
  tree->setSelectionMode(QAbstractItemView::SingleSelection);
  QFont font = tree->font();
  QStringList families = font.families();
  // A string of its own, not a literal: Qt's font cache keeps the name beyond this plug-in's
  // unloading.
  families.prepend(QString::fromUtf8("Noto Sans CJK SC"));
  font.setFamilies(families);
  tree->setFont(font);
  tree->setUniformRowHeights(true);
}

}  // namespace

void TPersonalCommonFuncForm::BuildControls() {
  setWindowTitle(Q("常用功能配置"));
  setFixedSize(554, 431);
  auto* form = Tight<QVBoxLayout>(this);
  form->addWidget(FixedPanel(this, "PanelTop", 0, 5));

  QFrame* middle = FixedPanel(this, "PanelSecMain", 0, 388);
  auto* columns = Tight<QHBoxLayout>(middle);
  columns->addWidget(FixedPanel(middle, "PanelSecMainLeft", 5, 0));
  columns->addWidget(BuildMenuColumn(middle));
  columns->addWidget(FixedPanel(middle, "PanelTopGroupSpliter", 5, 0));
  columns->addWidget(BuildCommonColumn(middle));
  columns->addWidget(FixedPanel(middle, "PanelSecMainRight", 5, 0));
  form->addWidget(middle);

  form->addWidget(FixedPanel(this, "PanelBottom", 0, 8));
  QFrame* bottom = FixedPanel(this, "PanelCommonFuncEdit", 0, 30);
  BuildBottomRow(bottom);
  form->addWidget(bottom);

  popup_ = new QMenu(this);
  popup_->setObjectName("PopupMenuTree");
  add_group_item_ = popup_->addAction(Q("新增分组"));
  add_group_item_->setObjectName("NAddGroup");
  del_node_item_ = popup_->addAction(Q("删除分组"));
  del_node_item_->setObjectName("NDelNode");
}

QWidget* TPersonalCommonFuncForm::BuildMenuColumn(QWidget* parent) {
  QGroupBox* available = GroupBox(parent, "RzGroupBox2", "可选功能");
  available->setFixedWidth(371);
  menu_tree_ = new QTreeWidget(available);
  SetUpTree(menu_tree_, "RzCheckTreeMenu");
  available->layout()->addWidget(menu_tree_);
  QFrame* hints = FixedPanel(available, "Panel3", 0, 41);
  auto* hintLines = Tight<QVBoxLayout>(hints);
  for (const char* hint :
       {"1. 勾选(或反选)上述功能即可添加(或删除)常用功能", "2. 拖拽常用功能分组或条目可自由排序"}) {
    auto* label = new QLabel(Q(hint), hints);
    MakeRed(label);
    hintLines->addWidget(label);
  }
  available->layout()->addWidget(hints);
  return available;
}

QWidget* TPersonalCommonFuncForm::BuildCommonColumn(QWidget* parent) {
  QFrame* right = FixedPanel(parent, "Panel1", 168, 0);
  auto* rightLayout = Tight<QVBoxLayout>(right);
  QGroupBox* common = GroupBox(right, "RzGroupBoxCommonFunctions", "常用功能");
  common_tree_ = new TCommonFuncTreeView(common);
  SetUpTree(common_tree_, "RzTreeViewCommonFunctions");
  common_tree_->setEditTriggers(QAbstractItemView::EditKeyPressed |
                                QAbstractItemView::SelectedClicked);
  common->layout()->addWidget(common_tree_);
  QFrame* groupButtons = FixedPanel(common, "Panel2", 0, 41);
  auto* buttonRow = new QHBoxLayout(groupButtons);
  buttonRow->setContentsMargins(4, 6, 4, 6);
  add_group_ = Button(groupButtons, "RzBitBtnAddGroup", "添加分组");
  remove_ = Button(groupButtons, "RzBitBtnRemove", "删除");
  buttonRow->addWidget(add_group_);
  buttonRow->addWidget(remove_);
  common->layout()->addWidget(groupButtons);
  rightLayout->addWidget(common);
  return right;
}

void TPersonalCommonFuncForm::BuildBottomRow(QWidget* row) {
  auto* layout = new QHBoxLayout(row);
  layout->setContentsMargins(5, 2, 5, 2);
  user_group_label_ = new QLabel(Q("当前用户组"), row);
  user_group_label_->setObjectName("RzLabelUserGroup");
  user_group_label_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  MakeRed(user_group_label_);
  user_group_label_->hide();
  group_box_ = new QComboBox(row);
  group_box_->setObjectName("RzComboBoxGroup");
  group_box_->setEditable(true);
  group_box_->lineEdit()->setReadOnly(true);
  group_box_->setMinimumWidth(150);
  group_box_->setEnabled(false);
  group_box_->hide();
  save_to_group_ = new QCheckBox(Q("保存到用户组"), row);
  save_to_group_->setObjectName("RzCheckBoxSaveToGroup");
  save_to_group_->setChecked(false);
  save_to_group_->hide();
  save_ = Button(row, "RzBitBtnSave", "保存");
  save_->setDefault(true);  // Return saves; Escape is 关闭's
  cancel_ = Button(row, "RzBitBtnCancel", "关闭");
  layout->addWidget(user_group_label_);
  layout->addWidget(group_box_);
  layout->addWidget(save_to_group_);
  layout->addStretch(1);
  layout->addWidget(save_);
  layout->addWidget(cancel_);
}

}  // namespace qorvin
