#include "ui/status_list.h"

#include <QApplication>
#include <QEvent>
#include <QHeaderView>
#include <QPainter>
#include <QScrollBar>

#include "core/status_codes.h"
#include "core/strings.h"
#include "ui/translate.h"

namespace ardentix::ui {
namespace {

struct Column {
  int stringId;
  Qt::Alignment alignment;
  int width;
};
constexpr Column kColumns[kStatusColumns] = {
    {3001, Qt::AlignLeft, 60},
    {3002, Qt::AlignHCenter, 160},
    {3003, Qt::AlignHCenter, 280},
    {3004, Qt::AlignHCenter, 120},
};

// Light enough that the texts keep their normal colour.
QBrush ToneBrush(RowTone tone) {
  switch (tone) {
    case RowTone::Passed:
      return QColor(0xc8, 0xef, 0xc6);
    case RowTone::Failed:
      return QColor(0xf9, 0xc4, 0xc4);
    case RowTone::Neutral:
      break;
  }
  return QBrush();
}

}  // namespace

int StatusList::MinimumColumnWidth(int column) { return kColumns[column].width; }

StatusList::StatusList(QWidget* parent) : QTreeWidget(parent) {
  setColumnCount(kStatusColumns);
  setRootIsDecorated(false);
  setItemsExpandable(false);
  setUniformRowHeights(true);
  setSelectionBehavior(QAbstractItemView::SelectRows);  // full-row select
  setSelectionMode(QAbstractItemView::SingleSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setAllColumnsShowFocus(true);
  header()->setStretchLastSection(false);
  header()->setSectionsMovable(false);
  header()->setSectionResizeMode(QHeaderView::Fixed);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  auto* heading = new QTreeWidgetItem;
  int columnsWidth = 0;
  for (int c = 0; c < kStatusColumns; ++c) {
    heading->setText(c, Tr(kColumns[c].stringId));
    heading->setTextAlignment(c, kColumns[c].alignment | Qt::AlignVCenter);
    setColumnWidth(c, kColumns[c].width);
    columnsWidth += kColumns[c].width;
  }
  setHeaderItem(heading);
  setItemDelegateForColumn(kStatusColumn, new ProgressDelegate(this));
  // Room for every column at its minimum and for a vertical scroll bar.
  setMinimumWidth(columnsWidth + 2 * frameWidth() + style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this));
}

bool StatusList::viewportEvent(QEvent* event) {
  // The viewport narrows when the scroll bar comes: the columns follow.
  if (event->type() == QEvent::Resize) FitColumns();
  return QTreeWidget::viewportEvent(event);
}

// The widest text the Result column can hold: the outcomes and the failing codes.
int StatusList::ResultTextWidth() const {
  using namespace status;
  int widest = 0;
  for (StatusCode code : {kNoDeviceFound, kRemoveDevice, kSuccess, kPending, kEraseFlashFailed, kSdWriteFailed,
                          kSdVerifyFailed, kFlashWriteFailed, kFlashVerifyFailed, kLockFailed, kUnlockFailed,
                          kImageLoadFailed, kPackageLoadFailed, kSpiTypeError, kDataTooBig, kSpiTooSlow})
    widest = std::max(widest, fontMetrics().horizontalAdvance(TrText(StatusText(code))));
  // The cell's margins on both sides.
  return widest + 2 * (style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 1) + 8;
}

int StatusList::PreferredWidth() const {
  return minimumWidth() + std::max(0, ResultTextWidth() - kColumns[kStatusColumns - 1].width);
}

// The width beyond the minimums goes first to the Result column, until its
// longest text fits, then to all columns in proportion to their minimums.
void StatusList::FitColumns() {
  int minimum = 0;
  for (const Column& c : kColumns) minimum += c.width;
  int extra = std::max(0, viewport()->width() - minimum);
  const int resultExtra = std::min(extra, std::max(0, ResultTextWidth() - kColumns[kStatusColumns - 1].width));
  extra -= resultExtra;
  int given = 0;
  for (int c = 0; c < kStatusColumns; ++c) {
    const int share = c + 1 < kStatusColumns ? extra * kColumns[c].width / minimum : extra - given;
    given += share;
    setColumnWidth(c, kColumns[c].width + share + (c + 1 == kStatusColumns ? resultExtra : 0));
  }
}

void StatusList::Mirror(const Station& station) {
  const StatusRows& rows = station.rows();
  while (topLevelItemCount() > rows.Count()) delete takeTopLevelItem(topLevelItemCount() - 1);
  while (topLevelItemCount() < rows.Count()) {
    auto* item = new QTreeWidgetItem(this);
    for (int c = 0; c < kStatusColumns; ++c) item->setTextAlignment(c, kColumns[c].alignment | Qt::AlignVCenter);
  }
  for (int r = 0; r < rows.Count(); ++r) {
    QTreeWidgetItem* item = topLevelItem(r);
    const StatusRow& row = rows.Row(r);
    // Rows follow the device list's positions; the letter begins column 1.
    const char letter = row[1].empty() ? 0 : row[1][0];
    for (int c = 0; c < kStatusColumns; ++c) {
      const QString source = QString::fromStdString(row[size_t(c)]);
      if (item->data(c, kSourceTextRole) != QVariant(source)) {
        item->setData(c, kSourceTextRole, source);
        const QString text = TrText(row[size_t(c)]);
        item->setText(c, text);
        QString tip = text;
        if (c == 1) {
          // The drive's device node and chip, beside the letter the column shows.
          const IdentifiedDrive drive = station.Identified(letter);
          if (!drive.deviceNode.empty()) tip += "  " + QString::fromStdString(drive.deviceNode);
          if (!drive.flashIdText.empty()) tip += "  flash id " + QString::fromStdString(drive.flashIdText);
        }
        item->setToolTip(c, tip);
      }
    }
    const int progress = station.slots().GetDeviceProgress(letter);
    if (item->data(kStatusColumn, kProgressRole) != QVariant(progress))
      item->setData(kStatusColumn, kProgressRole, progress);
    const RowTone tone = ToneOf(station.slots().GetDeviceStatus(letter), station.slots().GetDeviceOutcome(letter));
    if (item->data(0, kToneRole) != QVariant(int(tone))) {
      item->setData(0, kToneRole, int(tone));
      for (int c = 0; c < kStatusColumns; ++c) {
        item->setBackground(c, ToneBrush(tone));
        item->setForeground(c, tone == RowTone::Neutral ? QBrush() : QBrush(Qt::black));
      }
    }
  }
}

RowTone StatusList::Tone(int row) const {
  const QTreeWidgetItem* item = topLevelItem(row);
  return item != nullptr ? RowTone(item->data(0, kToneRole).toInt()) : RowTone::Neutral;
}

QString StatusList::Text(int row, int column) const {
  const QTreeWidgetItem* item = topLevelItem(row);
  return item != nullptr ? item->text(column) : QString();
}

int StatusList::Progress(int row) const {
  const QTreeWidgetItem* item = topLevelItem(row);
  return item != nullptr ? item->data(kStatusColumn, kProgressRole).toInt() : -1;
}

QSize ProgressDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
  return QStyledItemDelegate::sizeHint(option, index) + QSize(0, 4);
}

void ProgressDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
  const QVariant value = index.data(kProgressRole);
  const int progress = value.isValid() ? value.toInt() : -1;
  if (progress < 0) {
    QStyledItemDelegate::paint(painter, option, index);
    return;
  }
  QStyleOptionViewItem item = option;
  initStyleOption(&item, index);
  const QWidget* widget = option.widget;
  QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
  // Row background and selection first, without the text.
  item.text.clear();
  style->drawControl(QStyle::CE_ItemViewItem, &item, painter, widget);

  QStyleOptionProgressBar bar;
  bar.rect = option.rect.adjusted(2, 2, -2, -2);
  bar.minimum = 0;
  bar.maximum = 100;
  bar.progress = std::min(progress, 100);
  bar.text = index.data(Qt::DisplayRole).toString();
  bar.textVisible = true;
  bar.textAlignment = Qt::AlignCenter;
  bar.state = option.state | QStyle::State_Horizontal;
  bar.palette = option.palette;
  bar.fontMetrics = option.fontMetrics;
  style->drawControl(QStyle::CE_ProgressBar, &bar, painter, widget);
}

}  // namespace ardentix::ui
