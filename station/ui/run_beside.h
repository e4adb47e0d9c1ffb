// Device reads and other short blocking work, run beside the window: the
// work goes to a thread while the event loop keeps turning (the status list
// keeps refreshing); the given window takes no input meanwhile.
#pragma once

#include <QApplication>
#include <QEventLoop>
#include <QPointer>
#include <QWidget>
#include <optional>
#include <thread>

namespace ardentix::ui {

template <class Work>
auto RunBeside(QWidget* blocked, Work work) -> decltype(work()) {
  using Result = decltype(work());
  std::optional<Result> result;
  QPointer<QWidget> guard(blocked);
  const bool wasEnabled = blocked != nullptr && blocked->isEnabled();
  if (blocked != nullptr) blocked->setEnabled(false);
  QApplication::setOverrideCursor(Qt::WaitCursor);
  QEventLoop loop;
  std::thread worker([&] {
    result.emplace(work());
    QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
  });
  loop.exec();
  worker.join();
  QApplication::restoreOverrideCursor();
  if (guard != nullptr && wasEnabled) guard->setEnabled(true);
  return std::move(*result);
}

}  // namespace ardentix::ui
