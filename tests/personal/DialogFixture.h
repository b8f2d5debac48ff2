// The dialog's widget tests: the dialog created the way the framework creates it, shown
// off-screen against a scripted connection and scripted message boxes, and helpers that drive
// its widgets with QTest input.
#pragma once

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDrag>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "PersonalTestSupport.h"
#include "basalt/ShareData.h"
#include "basalt/WindowMessages.h"
#include "plugins/personal/CommonFuncTreeView.h"
#include "plugins/personal/PersonalClasses.h"
#include "plugins/personal/fPersonalCommonFuncForm.h"

namespace qorvin::test {

using Texts = std::vector<std::string>;
using Groups = std::vector<std::pair<std::string, std::string>>;

inline QString Q(const char* text) {
  return QString::fromUtf8(text);
}

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    remote = test::ResetFramework("u1");
    SetMainWindow(&host);
  }
  void TearDown() override {
    form.reset();
    SetMainWindow(nullptr);
    ShareData().Reset();
  }

  // Creates the dialog the way the framework does and shows it off-screen.
  void Open(const Groups& stored, int actionType = 0, std::vector<Variant> args = {}) {
    remote->Reads.push_back(test::GroupRows(stored));
    TPlugMgrInfo info;
    info.ClassName = "TPersonalCommonFuncForm";
    info.ActionType = actionType;
    info.RunMode = TPlugRunMode::Create;
    ASSERT_NE(CallPlug(&PersonalClassLookup, info, args), kCallPlugFailed) << info.ErrorText;
    form.reset(static_cast<TPersonalCommonFuncForm*>(info.Form));
    form->show();
    QApplication::setActiveWindow(form.get());
    QCoreApplication::processEvents();
  }
  template <typename T>
  T* Child(const char* name) const {
    T* child = form->findChild<T*>(name);
    EXPECT_NE(child, nullptr) << name;
    return child;
  }
  QTreeWidget* MenuTree() const { return Child<QTreeWidget>("RzCheckTreeMenu"); }
  QTreeWidget* CommonTree() const { return Child<QTreeWidget>("RzTreeViewCommonFunctions"); }
  static QTreeWidgetItem* Item(QTreeWidget* tree, const char* text, int index = 0) {
    const auto found = tree->findItems(Q(text), Qt::MatchExactly | Qt::MatchRecursive);
    return index < found.size() ? found[index] : nullptr;
  }
  // "group[function,function] group[]" as the common-functions tree shows it.
  std::string Shown() const {
    std::string text;
    for (int g = 0; g < CommonTree()->topLevelItemCount(); ++g) {
      const QTreeWidgetItem* group = CommonTree()->topLevelItem(g);
      text += (g ? " " : "") + group->text(0).toStdString() + "[";
      for (int f = 0; f < group->childCount(); ++f)
        text += (f ? "," : "") + group->child(f)->text(0).toStdString();
      text += "]";
    }
    return text;
  }
  // Toggles the check of a menu node (the `index`-th with that caption) with the space key.
  void ToggleMenu(const char* caption, int index = 0) {
    QTreeWidgetItem* item = Item(MenuTree(), caption, index);
    ASSERT_NE(item, nullptr) << caption;
    MenuTree()->setCurrentItem(item);
    QTest::keyClick(MenuTree(), Qt::Key_Space);
  }
  bool MenuChecked(const char* caption, int index = 0) const {
    return Item(MenuTree(), caption, index)->checkState(0) == Qt::Checked;
  }
  // The in-place editor that is open (closed editors linger hidden until deleted).
  QLineEdit* OpenEditor() const {
    for (QLineEdit* edit : CommonTree()->viewport()->findChildren<QLineEdit*>())
      if (edit->isVisible()) return edit;
    return nullptr;
  }
  void Click(const char* button) { QTest::mouseClick(Child<QPushButton>(button), Qt::LeftButton); }
  void RightClick(QTreeWidgetItem* item) {
    const QPoint at = item ? CommonTree()->visualItemRect(item).center()
                           : QPoint(5, CommonTree()->viewport()->height() - 5);
    QTest::mouseClick(CommonTree()->viewport(), Qt::RightButton, {}, at);
  }

  // A point of the common-functions tree's viewport: the centre of `item`, or the blank area
  // below the nodes.
  QPoint At(QTreeWidgetItem* item) const {
    return item ? CommonTree()->visualItemRect(item).center()
                : QPoint(5, CommonTree()->viewport()->height() - 5);
  }
  // Drags node `from` onto `onto` (null: the blank area) as a user does: a press, moves past the
  // drag distance so that the view starts its drag, and the drag's events at the target carrying
  // the data the view put into the drag. The platform's part (the events while the drag runs) is
  // played here, since the off-screen platform ends every drag at once. Returns whether the
  // drop was accepted.
  bool Drag(QTreeWidgetItem* from, QTreeWidgetItem* onto) {
    auto* view = dynamic_cast<TCommonFuncTreeView*>(CommonTree());
    if (view == nullptr || from == nullptr) {
      ADD_FAILURE() << "no tree view or no dragged node";
      return false;
    }
    QWidget* viewport = view->viewport();
    const QPoint start = At(from);
    const QPoint end = At(onto);
    int drags = 0;
    bool accepted = false;
    view->RunDrag = [&](QDrag& drag) {
      ++drags;
      QMimeData* data = drag.mimeData();
      const Qt::DropActions actions = drag.supportedActions();
      QDragEnterEvent enter(end, actions, data, Qt::LeftButton, Qt::NoModifier);
      QApplication::sendEvent(viewport, &enter);
      QDragMoveEvent move(end, actions, data, Qt::LeftButton, Qt::NoModifier);
      QApplication::sendEvent(viewport, &move);
      if (!move.isAccepted()) {
        QDragLeaveEvent leave;
        QApplication::sendEvent(viewport, &leave);
        return Qt::IgnoreAction;
      }
      QDropEvent drop(end, actions, data, Qt::LeftButton, Qt::NoModifier);
      QApplication::sendEvent(viewport, &drop);
      accepted = drop.isAccepted();
      return accepted ? drop.dropAction() : Qt::IgnoreAction;
    };
    QTest::mousePress(viewport, Qt::LeftButton, {}, start);
    for (const QPoint& to : {start + QPoint(0, 1), end}) {
      QMouseEvent move(QEvent::MouseMove, to, viewport->mapToGlobal(to), Qt::NoButton,
                       Qt::LeftButton, Qt::NoModifier);
      QApplication::sendEvent(viewport, &move);
    }
    QTest::mouseRelease(viewport, Qt::LeftButton, {}, end);
    view->RunDrag = nullptr;
    EXPECT_EQ(drags, 1) << "the view started no drag";
    return accepted;
  }

  test::FakeRemoteSql* remote = nullptr;
  test::MessageScript boxes;
  test::MessageRecorder host;
  std::unique_ptr<TPersonalCommonFuncForm> form;
};

}  // namespace qorvin::test
