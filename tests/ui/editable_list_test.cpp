// The editable list on its own: picking, editing in place, cancelling, and
// when the pick's highlight goes away.
#include <QCursor>
#include <QDialog>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QSignalSpy>
#include <QtTest>

#include "ui/editable_list_ctrl.h"

using ardentix::ui::EditableListCtrl;

class EditableListTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QDialog> dialog_;
  EditableListCtrl* list_ = nullptr;
  QLineEdit* other_ = nullptr;

  QPoint CellCentre(int row, int column) const {
    return list_->visualRect(list_->model()->index(row, column)).center();
  }
  // A click as the operator makes it: the mouse is where it clicks.
  void Click(const QPoint& at) {
    QCursor::setPos(list_->viewport()->mapToGlobal(at));
    QTest::mouseClick(list_->viewport(), Qt::LeftButton, {}, at);
  }
  void ClickCell(int row, int column) { Click(CellCentre(row, column)); }
  QColor PixelAt(const QPoint& viewportPoint) const {
    return list_->viewport()->grab().toImage().pixelColor(viewportPoint);
  }
  QColor Highlight() const { return list_->palette().color(QPalette::Highlight); }

 private Q_SLOTS:
  void init() {
    dialog_ = std::make_unique<QDialog>();
    auto* layout = new QHBoxLayout(dialog_.get());
    list_ = new EditableListCtrl(dialog_.get());
    other_ = new QLineEdit(dialog_.get());
    layout->addWidget(list_);
    layout->addWidget(other_);
    list_->setColumnCount(4);
    list_->setRowCount(3);
    const char* texts[3][4] = {{"1", "W25Q128", "001840EF", "16384"}, {"2", "W25Q64", "", "8192"}, {"3", "", "", ""}};
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 4; ++c) list_->SetCellText(r, c, texts[r][c]);
    for (int c = 0; c < 4; ++c) list_->setColumnWidth(c, c == 3 ? 30 : 100);
    dialog_->resize(600, 300);
    dialog_->show();
    QApplication::setActiveWindow(dialog_.get());
    QVERIFY(QTest::qWaitForWindowActive(dialog_.get()));
  }
  void cleanup() { dialog_.reset(); }

  void firstClickPicksTheCellOnly() {
    ClickCell(1, 1);
    QCOMPARE(list_->editRow, 1);
    QCOMPARE(list_->editColumn, 1);
    QVERIFY(list_->cellPicked);
    QVERIFY(list_->clicked);
    QVERIFY(list_->cellEdit == nullptr);
    QCOMPARE(list_->currentRow(), 1);  // the selection mark Del uses
    // The picked cell's box is highlighted; its neighbours in the row are not.
    const QRect box = list_->HighlightRect(1, 1);
    QCOMPARE(PixelAt(box.topLeft() + QPoint(1, 2)), Highlight());
    QVERIFY(PixelAt(CellCentre(1, 0) + QPoint(20, 0)) != Highlight());
    QVERIFY(PixelAt(CellCentre(1, 2)) != Highlight());
  }

  void secondClickEditsInPlace() {
    QSignalSpy edited(list_, &EditableListCtrl::cellEdited);
    ClickCell(0, 2);
    ClickCell(0, 2);
    ardentix::ui::CellEdit* editor = list_->cellEdit;
    QVERIFY(editor != nullptr);
    QVERIFY(editor->isVisible());
    QCOMPARE(editor->text(), QString("001840EF"));
    QCOMPARE(editor->x(), list_->visualRect(list_->model()->index(0, 2)).left() + 4);
    editor->move(0, editor->y());  // held at its place
    QCOMPARE(editor->x(), list_->visualRect(list_->model()->index(0, 2)).left() + 4);
    QTest::keyClicks(editor, "00C84018");
    QTest::keyClick(editor, Qt::Key_Return);
    QTRY_VERIFY(list_->cellEdit == nullptr);
    QCOMPARE(list_->CellText(0, 2), QString("00C84018"));
    QCOMPARE(list_->CellText(0, 0), QString("1"));
    QCOMPARE(list_->CellText(0, 1), QString("W25Q128"));
    QCOMPARE(edited.count(), 1);
    QCOMPARE(edited[0][1].toInt(), 2);
    // The mouse stayed inside: the cell is still picked.
    QVERIFY(list_->cellPicked);
    QCOMPARE(list_->editColumn, 2);
  }

  void cancelKeepsTheText() {
    QSignalSpy edited(list_, &EditableListCtrl::cellEdited);
    ClickCell(1, 1);
    ClickCell(1, 1);
    QVERIFY(list_->cellEdit != nullptr);
    QTest::keyClicks(list_->cellEdit, "XYZ");
    QTest::keyClick(list_->cellEdit, Qt::Key_Escape);
    QTRY_VERIFY(list_->cellEdit == nullptr);
    QCOMPARE(list_->CellText(1, 1), QString("W25Q64"));
    QCOMPARE(edited.count(), 0);
  }

  void editEndingWithTheMouseOutsideDropsThePick() {
    ClickCell(1, 1);
    ClickCell(1, 1);
    QCursor::setPos(dialog_->mapToGlobal(QPoint(-50, -50)));
    QTest::keyClick(list_->cellEdit, Qt::Key_Return);
    QTRY_VERIFY(list_->cellEdit == nullptr);
    QVERIFY(!list_->cellPicked);
    QCOMPARE(list_->editRow, -1);
    QVERIFY(!list_->clicked);
  }

  void highlightBoxWidth_data() {
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("column");
    QTest::addColumn<int>("width");  // -1: the cell's width from the box on
    const int textWidth = QFontMetrics(QApplication::font()).horizontalAdvance("W25Q128");
    QTest::newRow("text") << 0 << 1 << textWidth + 6;
    QTest::newRow("empty cell: 41 + 6") << 1 << 2 << 47;
    QTest::newRow("empty, clamped to a narrow cell") << 2 << 3 << -1;
  }
  void highlightBoxWidth() {
    QFETCH(int, row);
    QFETCH(int, column);
    QFETCH(int, width);
    list_->setFont(QApplication::font());
    const QRect cell = list_->visualRect(list_->model()->index(row, column));
    const QRect box = list_->HighlightRect(row, column);
    QCOMPARE(box.left(), cell.left() + 4);
    QCOMPARE(box.width(), width >= 0 ? width : cell.width() - 4);
    QCOMPARE(box.top(), cell.top());
    QCOMPARE(box.height(), cell.height());
  }

  void clickOutsideAllItemsRemovesTheHighlight() {
    ClickCell(0, 1);
    const QRect box = list_->HighlightRect(0, 1);
    QCOMPARE(PixelAt(box.topLeft() + QPoint(1, 2)), Highlight());
    Click(QPoint(10, list_->viewport()->height() - 5));  // below the last row
    QVERIFY(!list_->cellPicked);
    QVERIFY(PixelAt(box.topLeft() + QPoint(1, 2)) != Highlight());
  }

  void focusLeavingWhileTheMouseIsOutsideRemovesThePick() {
    ClickCell(0, 1);
    QVERIFY(list_->hasFocus());
    // The mouse inside the list: focus moving away keeps the pick.
    other_->setFocus();
    QVERIFY(list_->cellPicked);
    list_->setFocus();
    QCursor::setPos(other_->mapToGlobal(other_->rect().center()));
    other_->setFocus();
    QVERIFY(!list_->cellPicked);
    QCOMPARE(list_->editColumn, -1);
  }
};

QTEST_MAIN(EditableListTest)
#include "editable_list_test.moc"
