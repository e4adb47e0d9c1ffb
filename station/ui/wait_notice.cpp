#include "ui/wait_notice.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QScreen>
#include <QVBoxLayout>

#include "ui/translate.h"

namespace ardentix::ui {

WaitNotice::WaitNotice(QWidget* owner, std::string_view text)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
  const QString notice = TrText(text);
  setObjectName(QStringLiteral("WaitNotice"));
  setWindowTitle(notice);
  setWindowModality(Qt::ApplicationModal);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(8, 6, 8, 6);
  layout->addWidget(new QLabel(notice, this));
  auto* busy = new QProgressBar(this);
  busy->setRange(0, 0);
  busy->setTextVisible(false);
  busy->setMaximumHeight(8);
  layout->addWidget(busy);
  setFixedWidth(200);
  setFixedHeight(sizeHint().height());
  // Centred a little above the middle of the screen.
  if (const QScreen* screen = owner != nullptr ? owner->screen() : QGuiApplication::primaryScreen()) {
    const QRect s = screen->geometry();
    move(s.x() + s.width() / 2 - 100, s.y() + s.height() / 2 - 50);
  }
}

void WaitNotice::closeEvent(QCloseEvent* event) { event->ignore(); }

}  // namespace ardentix::ui
