// WaitNotice: the small window shown while a package is imported or exported
// (and while closing waits for running burns). It is titled with the notice
// text and repeats it inside, since a window manager may draw no title bar;
// it blocks input to the other windows while the event loop keeps running, so
// the status list goes on refreshing behind it.
#pragma once

#include <QDialog>
#include <string_view>

namespace ardentix::ui {

class WaitNotice final : public QDialog {
  Q_OBJECT
 public:
  WaitNotice(QWidget* owner, std::string_view text);
  QString text() const { return windowTitle(); }

 protected:
  void reject() override {}  // Escape does not end the wait
  void closeEvent(QCloseEvent* event) override;
};

}  // namespace ardentix::ui
