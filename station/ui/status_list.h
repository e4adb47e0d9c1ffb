// The main window's device list: four columns mirrored from the station's
// status rows, with the slot's progress drawn as a bar in the Status cell
// and each row coloured by its device's outcome. The columns share the
// list's width; the resource's widths are their minimum, and the list is
// never narrower than they need.
#pragma once

#include <QStyledItemDelegate>
#include <QTreeWidget>

#include "station/batch_board.h"
#include "station/station.h"

namespace ardentix::ui {

inline constexpr int kStatusColumn = 2;
// Item data role holding a row's progress in percent (-1: none).
inline constexpr int kProgressRole = Qt::UserRole + 1;
// The row's tone (RowTone), and each cell's English text (the shown one is translated).
inline constexpr int kToneRole = Qt::UserRole + 2;
inline constexpr int kSourceTextRole = Qt::UserRole + 3;

class StatusList final : public QTreeWidget {
  Q_OBJECT
 public:
  explicit StatusList(QWidget* parent = nullptr);

  // Rows as the station holds them, and each row's progress from its slot.
  void Mirror(const Station& station);

  QString Text(int row, int column) const;
  int Progress(int row) const;
  RowTone Tone(int row) const;
  // The resource's width of a column.
  static int MinimumColumnWidth(int column);
  // A width at which the Result column also shows its longest text whole.
  int PreferredWidth() const;

 protected:
  bool viewportEvent(QEvent* event) override;

 private:
  void FitColumns();
  int ResultTextWidth() const;
};

// Paints the Status cell as a progress bar carrying the text while the
// slot reports a percentage; plain text otherwise.
class ProgressDelegate final : public QStyledItemDelegate {
  Q_OBJECT
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  // A little taller than the text, so the bar has a frame around its text.
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

}  // namespace ardentix::ui
