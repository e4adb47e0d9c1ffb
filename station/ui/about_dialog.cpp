#include "ui/about_dialog.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include "core/strings.h"
#include "ui/dialog_units.h"
#include "ui/translate.h"

namespace ardentix::ui {
namespace {

// A chip with pins and a lightning stroke: the burn station.
QPixmap IconPixmap(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 32.0, size / 32.0);
  p.setPen(QPen(QColor(90, 90, 90), 1.5));
  for (int i = 0; i < 4; ++i) {
    const double at = 9 + i * 4.7;
    p.drawLine(QPointF(at, 2), QPointF(at, 6));
    p.drawLine(QPointF(at, 26), QPointF(at, 30));
    p.drawLine(QPointF(2, at), QPointF(6, at));
    p.drawLine(QPointF(26, at), QPointF(30, at));
  }
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(40, 60, 110));
  p.drawRoundedRect(QRectF(5, 5, 22, 22), 3, 3);
  p.setBrush(QColor(255, 196, 0));
  const QPointF bolt[] = {{18, 8}, {11, 17.5}, {15.5, 17.5}, {13, 24}, {21, 14}, {16.5, 14}};
  p.drawPolygon(bolt, 6);
  return pixmap;
}

}  // namespace

QIcon ProgramIcon() {
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64}) icon.addPixmap(IconPixmap(size));
  return icon;
}

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("AboutDialog"));
  setWindowTitle(TrText(text::kAboutCaption));
  setWindowIcon(ProgramIcon());
  setFont(DialogFont());
  auto* layout = new QVBoxLayout(this);
  auto* row = new QHBoxLayout;
  auto* icon = new QLabel(this);
  icon->setPixmap(ProgramIcon().pixmap(32, 32));
  row->addWidget(icon, 0, Qt::AlignTop);
  auto* line = new QLabel(TrText(text::kAboutLine), this);
  line->setObjectName(QStringLiteral("aboutLine"));
  row->addWidget(line, 1);
  layout->addLayout(row);
  auto* buttons = new QDialogButtonBox(this);
  QPushButton* ok = buttons->addButton(Tr(3018), QDialogButtonBox::AcceptRole);
  ok->setDefault(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  layout->addWidget(buttons);
  setFixedSize(sizeHint());
}

}  // namespace ardentix::ui
