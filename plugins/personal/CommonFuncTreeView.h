// The tree view of the common-functions dialog: a QTreeWidget that hands its drag, drop, key and
// right-button events to the dialog instead of acting on them itself. Drags carry only the fact
// that a node of this tree is being dragged; the dialog decides and performs every move.
#pragma once

#include <QPoint>
#include <QTreeWidget>
#include <functional>

namespace qorvin {

class TCommonFuncTreeView : public QTreeWidget {
 public:
  explicit TCommonFuncTreeView(QWidget* parent);

  // Called for a drag over `target` (may be null) coming from `source`; true accepts the drop.
  std::function<bool(QObject* source, QTreeWidgetItem* target)> OnDragOver;
  std::function<void(QObject* source, QTreeWidgetItem* target)> OnDragDrop;
  // Called for a key press; true when handled.
  std::function<bool(int key)> OnKeyDown;
  // Called for a right-button press at `pos` (viewport coordinates).
  std::function<void(QPoint pos, QPoint globalPos)> OnRightButtonDown;

  // The MIME type of a drag started here.
  static const char* DragMimeType();

 protected:
  void startDrag(Qt::DropActions supportedActions) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
};

}  // namespace qorvin
