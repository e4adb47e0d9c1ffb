#include "ui/qt_dispatcher.h"

#include <QThread>

namespace ardentix::ui {

QtDispatcher::QtDispatcher(QObject* parent) : QObject(parent) {}

QtDispatcher::~QtDispatcher() {
  // The station may be destroyed after us; its handler must not be called.
  for (auto& [id, timer] : timers_) timer->stop();
}

bool QtDispatcher::OnOwnThread() const { return QThread::currentThread() == thread(); }

void QtDispatcher::Post(std::function<void()> task) {
  QMetaObject::invokeMethod(
      this, [task = std::move(task)] { task(); }, Qt::QueuedConnection);
}

void QtDispatcher::StartTimer(int id, Milliseconds period) {
  if (!OnOwnThread()) {
    Post([this, id, period] { StartTimer(id, period); });
    return;
  }
  QTimer*& timer = timers_[id];
  if (timer == nullptr) {
    timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, [this, id] {
      if (handler_) handler_(id);
    });
  }
  timer->start(int(period.count()));  // restarts a running timer
}

void QtDispatcher::KillTimer(int id) {
  if (!OnOwnThread()) {
    Post([this, id] { KillTimer(id); });
    return;
  }
  const auto it = timers_.find(id);
  if (it != timers_.end()) it->second->stop();
}

void QtDispatcher::SetTimerHandler(std::function<void(int id)> handler) { handler_ = std::move(handler); }

bool QtDispatcher::TimerActive(int id) const {
  const auto it = timers_.find(id);
  return it != timers_.end() && it->second->isActive();
}

}  // namespace ardentix::ui
