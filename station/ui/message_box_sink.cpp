#include "ui/message_box_sink.h"

#include <QApplication>
#include <QMessageBox>

namespace ardentix::ui {

QWidget* MessageBoxSink::Owner() const {
  // A message raised while the catalogue dialog is open belongs to it.
  if (QWidget* modal = QApplication::activeModalWidget()) return modal;
  return owner_.data();
}

void MessageBoxSink::ShowMessage(const std::string& text, const std::string& caption) {
  QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(caption), QString::fromStdString(text), QMessageBox::Ok,
                  Owner());
  box.exec();
}

bool MessageBoxSink::AskOkCancel(const std::string& text, const std::string& caption) {
  QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(caption), QString::fromStdString(text),
                  QMessageBox::Ok | QMessageBox::Cancel, Owner());
  box.setDefaultButton(QMessageBox::Ok);
  return box.exec() == QMessageBox::Ok;
}

}  // namespace ardentix::ui
