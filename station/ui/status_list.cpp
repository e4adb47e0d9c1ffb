#include "ui/status_list.h"

#include <QApplication>
#include <QHeaderView>
#include <QPainter>

#include "core/strings.h"

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

}  // namespace

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
  auto* heading = new QTreeWidgetItem;
  for (int c = 0; c < kStatusColumns; ++c) {
    heading->setText(c, QString::fromUtf8(StringText(kColumns[c].stringId)));
    heading->setTextAlignment(c, kColumns[c].alignment | Qt::AlignVCenter);
    setColumnWidth(c, kColumns[c].width);
  }
  setHeaderItem(heading);
  setItemDelegateForColumn(kStatusColumn, new ProgressDelegate(this));
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
      const QString text = QString::fromStdString(row[size_t(c)]);
      if (item->text(c) != text) {
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
  }
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
