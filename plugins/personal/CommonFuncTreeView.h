// The tree view of the common-functions dialog: a QTreeWidget that hands its drag, drop, key and
// right-button events to the dialog instead of acting on them itself. The dialog decides and
// performs every move.
//
// A drag started here carries a MIME part of its own type naming this view; a drop comes "from
// this tree" exactly when this view's drag is running and the dropped data carries that part, so
// the decision does not depend on the platform reporting the drag's source.
#pragma once

#include <QByteArray>
#include <QPoint>
#include <QTreeWidget>
#include <functional>

class QDrag;

namespace qorvin {

class TCommonFuncTreeView : public QTreeWidget {
 public:
  explicit TCommonFuncTreeView(QWidget* parent);

  // Called for a drag over `target` (may be null) coming from `source` (this view for its own
  // drags; otherwise what the platform reports, may be null); true accepts the drop.
  std::function<bool(QObject* source, QTreeWidgetItem* target)> OnDragOver;
  std::function<void(QObject* source, QTreeWidgetItem* target)> OnDragDrop;
  // Called for a key press; true when handled.
  std::function<bool(int key)> OnKeyDown;
  // Called for a right-button press at `pos` (viewport coordinates).
  std::function<void(QPoint pos, QPoint globalPos)> OnRightButtonDown;
  // Runs a drag started here and returns its outcome. Empty: QDrag::exec, the platform's drag.
  // A test sets it to deliver the drag's events itself where the platform has no drag (the
  // off-screen platform ends every drag at once).
  std::function<Qt::DropAction(QDrag& drag)> RunDrag;

  // The MIME type of a drag started here.
  static const char* DragMimeType();

 protected:
  void startDrag(Qt::DropActions supportedActions) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;

 private:
  // The source to report for a drag event: this view exactly when the event carries the data of
  // this view's running drag; otherwise the platform's source, never this view.
  QObject* SourceOf(const QDropEvent* event) const;

  QByteArray drag_token_;  // names this view in the data of its drags
  bool dragging_ = false;  // a drag started here is running
};

}  // namespace qorvin
