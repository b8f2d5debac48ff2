#include "plugins/personal/CommonFuncTreeView.h"

#include <QDrag>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>

namespace qorvin {

TCommonFuncTreeView::TCommonFuncTreeView(QWidget* parent) : QTreeWidget(parent) {
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
  if (currentItem() == nullptr) return;
  auto* mime = new QMimeData;
  mime->setData(DragMimeType(), QByteArray());
  auto* drag = new QDrag(this);
  drag->setMimeData(mime);
  drag->exec(Qt::MoveAction);  // the drop handler has already moved the node
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
  if (OnDragOver && OnDragOver(event->source(), target)) {
    event->acceptProposedAction();
  } else {
    event->ignore();
  }
}

void TCommonFuncTreeView::dropEvent(QDropEvent* event) {
  QTreeWidgetItem* target = itemAt(event->position().toPoint());
  if (OnDragOver && OnDragOver(event->source(), target) && OnDragDrop) {
    OnDragDrop(event->source(), target);
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
  QTreeWidget::mousePressEvent(event);
}

}  // namespace qorvin
