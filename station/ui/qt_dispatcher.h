// The station's Dispatcher on the window's Qt event loop: posted tasks are
// queued calls, the numbered timers (101 arrival, 102 removal, 103 refresh)
// are QTimers.
#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <map>

#include "core/event_loop.h"

namespace ardentix::ui {

class QtDispatcher final : public QObject, public Dispatcher {
  Q_OBJECT
 public:
  explicit QtDispatcher(QObject* parent = nullptr);
  ~QtDispatcher() override;

  // Any thread: the task runs on this object's thread. Tasks still queued
  // when the dispatcher is destroyed are dropped.
  void Post(std::function<void()> task) override;
  // Any thread; the timer itself lives on this object's thread.
  void StartTimer(int id, Milliseconds period) override;
  void KillTimer(int id) override;
  void SetTimerHandler(std::function<void(int id)> handler) override;

  bool TimerActive(int id) const;

 private:
  bool OnOwnThread() const;
  std::map<int, QTimer*> timers_;
  std::function<void(int)> handler_;
};

}  // namespace ardentix::ui
