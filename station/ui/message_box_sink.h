// The station's messages as modal message boxes with one OK button (or OK and
// Cancel), owned by whichever window of ours is in front.
#pragma once

#include <QPointer>
#include <QWidget>

#include "station/station.h"

namespace ardentix::ui {

class MessageBoxSink final : public MessageSink {
 public:
  // Owner of the boxes when no dialog of ours is open.
  void SetOwner(QWidget* owner) { owner_ = owner; }

  void ShowMessage(const std::string& text, const std::string& caption) override;
  bool AskOkCancel(const std::string& text, const std::string& caption) override;

 private:
  QWidget* Owner() const;
  QPointer<QWidget> owner_;
};

}  // namespace ardentix::ui
