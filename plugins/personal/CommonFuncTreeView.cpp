#include "plugins/personal/CommonFuncTreeView.h"

#include <QCoreApplication>
#include <QDrag>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPointer>

namespace qorvin {

TCommonFuncTreeView::TCommonFuncTreeView(QWidget* parent)
    : QTreeWidget(parent),
      drag_token_(QByteArray::number(QCoreApplication::applicationPid()) + ':' +
                  QByteArray::number(quintptr(this), 16)) {
  setDragEnabled(true);
  setAcceptDrops(true);
  viewport()->setAcceptDrops(true);
  setDragDropMode(QAbstractItemView::DragDrop);
  setDefaultDropAction(Qt::MoveAction);
  setDropIndicatorShown(false);
}

const char* TCommonFuncTreeView::DragMimeType() {
  return "application/x-qorvin-common-function";
}

void TCommonFuncTreeView::startDrag(Qt::DropActions /*supportedActions*/) {
  if (currentItem() == nullptr || dragging_) return;
  auto* mime = new QMimeData;
  mime->setData(DragMimeType(), drag_token_);
  // On the heap, as the platform's drag may delete it later itself.
  QPointer<QDrag> drag = new QDrag(this);
  drag->setMimeData(mime);  // owned by the drag
  dragging_ = true;
  // The drop handler has already moved the node when this returns.
  if (RunDrag) {
    RunDrag(*drag);
  } else {
    drag->exec(Qt::MoveAction);
  }
  dragging_ = false;
  if (drag) drag->deleteLater();
}

QObject* TCommonFuncTreeView::SourceOf(const QDropEvent* event) const {
  if (dragging_ && event->mimeData()->data(DragMimeType()) == drag_token_)
    return const_cast<TCommonFuncTreeView*>(this);
  return event->source() == this ? nullptr : event->source();
}

void TCommonFuncTreeView::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasFormat(DragMimeType())) {
    event->acceptProposedAction();
  } else {
    event->ignore();
  }
}

void TCommonFuncTreeView::dragMoveEvent(QDragMoveEvent* event) {
  QTreeWidgetItem* target = itemAt(event->position().toPoint());
  if (OnDragOver && OnDragOver(SourceOf(event), target)) {
    event->acceptProposedAction();
  } else {
    event->ignore();
  }
}

void TCommonFuncTreeView::dropEvent(QDropEvent* event) {
  QTreeWidgetItem* target = itemAt(event->position().toPoint());
  QObject* source = SourceOf(event);
  if (OnDragOver && OnDragOver(source, target) && OnDragDrop) {
    OnDragDrop(source, target);
    event->acceptProposedAction();
  } else {
    event->ignore();
  }
}

void TCommonFuncTreeView::keyPressEvent(QKeyEvent* event) {
  if (OnKeyDown && OnKeyDown(event->key())) {
    event->accept();
    return;
  }
  QTreeWidget::keyPressEvent(event);
}

void TCommonFuncTreeView::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::RightButton) {
    if (OnRightButtonDown)
      OnRightButtonDown(event->position().toPoint(), event->globalPosition().toPoint());
    event->accept();
    return;
  }
  // A press on the blank area below the nodes keeps the selected group, as a native tree does:
  // the item views would clear it, and the next check in the menu tree would then be refused.
  if (itemAt(event->position().toPoint()) == nullptr) {
    setFocus(Qt::MouseFocusReason);
    event->accept();
    return;
  }
  QTreeWidget::mousePressEvent(event);
}

}  // namespace qorvin
