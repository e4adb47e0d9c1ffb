// The about box and the program's icon.
#pragma once

#include <QDialog>
#include <QIcon>

namespace ardentix::ui {

// The program's icon, drawn at the sizes a desktop asks for.
QIcon ProgramIcon();

// The icon, "RQ4820 Ardentix Version 3.0" and OK; nothing else.
class AboutDialog final : public QDialog {
  Q_OBJECT
 public:
  explicit AboutDialog(QWidget* parent = nullptr);
};

}  // namespace ardentix::ui
