#include "ui/editable_list_ctrl.h"

#include <QApplication>
#include <QCursor>
#include <QFocusEvent>
#include <QHeaderView>
#include <QMouseEvent>
#include <QPainter>

namespace ardentix::ui {
namespace {

constexpr int kBoxInset = 4;         // highlight box and edit box from the cell's left edge
constexpr int kEmptyTextWidth = 41;  // highlight width of an empty cell's text
constexpr int kBoxPadding = 6;       // added to the text width
constexpr int kTextInset = 6;        // text from the cell's left edge

}  // namespace

void CellEdit::moveEvent(QMoveEvent* event) {
  QLineEdit::moveEvent(event);
  if (x() != editLeft) move(editLeft, y());
}

EditableListCtrl::EditableListCtrl(QWidget* parent) : QTableWidget(parent) {
  setItemDelegate(new CellDelegate(this));
  // Editing starts only from a second click on the picked cell.
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  // Only the picked cell is ever highlighted: no row selection is drawn. The
  // current row, which every click sets, is the selection mark.
  setSelectionMode(QAbstractItemView::NoSelection);
  setShowGrid(true);
  setWordWrap(false);
  verticalHeader()->setVisible(false);
  horizontalHeader()->setHighlightSections(false);
  setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
}

QRect EditableListCtrl::HighlightRect(int row, int column) const {
  const QModelIndex index = model()->index(row, column);
  const QRect cell = visualRect(index);
  const QString text = index.data(Qt::DisplayRole).toString();
  const int textWidth = text.isEmpty() ? kEmptyTextWidth : fontMetrics().horizontalAdvance(text);
  const int left = cell.left() + kBoxInset;
  const int width = std::max(0, std::min(textWidth + kBoxPadding, cell.left() + cell.width() - left));
  return QRect(left, cell.top(), width, cell.height());
}

void EditableListCtrl::DropPick() {
  editRow = -1;
  editColumn = -1;
  cellPicked = false;
  clicked = false;
}

bool EditableListCtrl::CursorInside() const { return rect().contains(mapFromGlobal(QCursor::pos())); }

void EditableListCtrl::mousePressEvent(QMouseEvent* event) {
  clicked = true;
  const QModelIndex hit = indexAt(event->position().toPoint());
  if (hit.isValid()) {
    QTableWidget::mousePressEvent(event);
    if (cellPicked && IsPicked(hit.row(), hit.column())) {
      edit(hit);
      return;
    }
    editRow = hit.row();
    editColumn = hit.column();
    cellPicked = true;
  } else {
    if (cellEdit == nullptr) cellPicked = false;
    QTableWidget::mousePressEvent(event);
  }
  viewport()->update();
}

// A double click is a first and a second click: pick, then edit.
void EditableListCtrl::mouseDoubleClickEvent(QMouseEvent* event) { mousePressEvent(event); }

// Gaining the focus changes nothing: the view would otherwise make a
// current cell of its own.
void EditableListCtrl::focusInEvent(QFocusEvent* event) { event->accept(); }

void EditableListCtrl::focusOutEvent(QFocusEvent* event) {
  QTableWidget::focusOutEvent(event);
  if (CursorInside()) return;
  // Focus that went to another window of ours drops the pick; focus that
  // left the application, or went into our own edit box, keeps it.
  QWidget* to = QApplication::focusWidget();
  if (to == nullptr || to == this || isAncestorOf(to) || event->reason() == Qt::ActiveWindowFocusReason) return;
  DropPick();
  viewport()->update();
}

void EditableListCtrl::closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint) {
  // Tab must not open the next cell's editor behind the pick's back.
  if (hint == QAbstractItemDelegate::EditNextItem || hint == QAbstractItemDelegate::EditPreviousItem)
    hint = QAbstractItemDelegate::NoHint;
  QTableWidget::closeEditor(editor, hint);
  if (editor == cellEdit) cellEdit = nullptr;
  if (!CursorInside()) DropPick();
  viewport()->update();
}

void EditableListCtrl::CommitOpenEdit() {
  if (cellEdit == nullptr) return;
  CellEdit* editor = cellEdit;
  commitData(editor);
  closeEditor(editor, QAbstractItemDelegate::NoHint);
}

void EditableListCtrl::SetCellText(int row, int column, const QString& text) {
  QTableWidgetItem* cell = item(row, column);
  if (cell == nullptr) {
    cell = new QTableWidgetItem;
    setItem(row, column, cell);
  }
  cell->setText(text);
}

QString EditableListCtrl::CellText(int row, int column) const {
  const QTableWidgetItem* cell = item(row, column);
  return cell != nullptr ? cell->text() : QString();
}

void CellDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
  const int row = index.row(), column = index.column();
  const QRect label = option.rect;
  const QPalette& palette = option.palette;
  painter->save();
  // Beside the open edit box the cell stays blank.
  if (list_->cellEdit != nullptr && list_->IsPicked(row, column)) {
    painter->fillRect(label, palette.brush(QPalette::Base));
    painter->restore();
    return;
  }
  QColor textColour = palette.color(QPalette::Text);
  if (list_->clicked && list_->IsPicked(row, column)) {
    const QRect box = list_->HighlightRect(row, column);
    if (list_->cellPicked) {
      textColour = palette.color(QPalette::HighlightedText);
      painter->fillRect(box, palette.brush(QPalette::Highlight));
    }
    QStyleOptionFocusRect focus;
    focus.initFrom(list_);
    focus.rect = box;
    focus.backgroundColor = palette.color(QPalette::Highlight);
    list_->style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, painter, list_);
  }
  const QRect textRect = label.adjusted(kTextInset, 0, 0, 0);
  const QString text =
      option.fontMetrics.elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideRight, textRect.width());
  painter->setPen(textColour);
  painter->drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, text);
  painter->restore();
}

QWidget* CellDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                                    const QModelIndex& index) const {
  auto* editor = new CellEdit(parent);
  editor->setFrame(true);
  editor->editLeft = option.rect.left() + (list_->editColumn == -1 ? 0 : kBoxInset);
  list_->cellEdit = editor;
  return editor;
}

void CellDelegate::setEditorData(QWidget* editor, const QModelIndex& index) const {
  auto* edit = static_cast<CellEdit*>(editor);
  edit->setText(index.data(Qt::DisplayRole).toString());
  edit->selectAll();
}

void CellDelegate::setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const {
  const QString text = static_cast<CellEdit*>(editor)->text();
  // Only the picked cell takes the text; the row's first column is left alone.
  model->setData(index, text, Qt::EditRole);
  Q_EMIT list_->cellEdited(index.row(), index.column(), text);
}

void CellDelegate::updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option, const QModelIndex&) const {
  auto* edit = static_cast<CellEdit*>(editor);
  const QRect cell = option.rect;
  edit->setGeometry(edit->editLeft, cell.top(), std::max(1, cell.left() + cell.width() - edit->editLeft),
                    cell.height());
}

}  // namespace ardentix::ui
