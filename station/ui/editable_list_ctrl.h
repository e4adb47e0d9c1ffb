// EditableListCtrl: a table in which the operator picks one cell (not the
// row) with the mouse and edits its text in place. The first click picks and
// highlights the cell; a second click on the same cell opens a CellEdit over
// it holding the cell's text. Every cell is drawn here, so only the picked
// cell carries the highlight.
#pragma once

#include <QLineEdit>
#include <QStyledItemDelegate>
#include <QTableWidget>

namespace ardentix::ui {

// The in-place edit box. It stays at editLeft, the picked cell's left edge + 4
// in the list's viewport coordinates, whatever moves it.
class CellEdit final : public QLineEdit {
  Q_OBJECT
 public:
  explicit CellEdit(QWidget* parent) : QLineEdit(parent) {}
  int editLeft = 0;

 protected:
  void moveEvent(QMoveEvent* event) override;
};

class EditableListCtrl final : public QTableWidget {
  Q_OBJECT
 public:
  explicit EditableListCtrl(QWidget* parent = nullptr);

  int editColumn = -1;  // the picked cell; -1: none
  int editRow = -1;
  bool cellPicked = false;
  bool clicked = false;          // clicked since the pick was last dropped; the highlight shows only then
  CellEdit* cellEdit = nullptr;  // the open edit box, attached for one edit

  // Where the picked cell's highlight box lies, in viewport coordinates:
  // from 4 px into the cell, the text's width (41 px for an empty cell)
  // + 6 px, no further than the cell's right edge.
  QRect HighlightRect(int row, int column) const;
  bool IsPicked(int row, int column) const { return row == editRow && column == editColumn; }
  // Commits and closes an open edit box (the dialog closes with it open).
  void CommitOpenEdit();
  void DropPick();

  // Plain cell text access for the dialog.
  void SetCellText(int row, int column, const QString& text);
  QString CellText(int row, int column) const;

 Q_SIGNALS:
  // The operator committed `text` into a cell.
  void cellEdited(int row, int column, const QString& text);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint) override;

 private:
  friend class CellDelegate;
  bool CursorInside() const;
};

// Draws each cell of an EditableListCtrl and makes its CellEdit.
class CellDelegate final : public QStyledItemDelegate {
  Q_OBJECT
 public:
  explicit CellDelegate(EditableListCtrl* list) : QStyledItemDelegate(list), list_(list) {}

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  void setEditorData(QWidget* editor, const QModelIndex& index) const override;
  void setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const override;
  void updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const override;

 private:
  EditableListCtrl* list_;
};

}  // namespace ardentix::ui
