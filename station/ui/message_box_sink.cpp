#include "ui/message_box_sink.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

#include "ui/translate.h"

namespace ardentix::ui {

QWidget* MessageBoxSink::Owner() const {
  // A message raised while the catalogue dialog is open belongs to it.
  if (QWidget* modal = QApplication::activeModalWidget()) return modal;
  return owner_.data();
}

void MessageBoxSink::ShowMessage(const std::string& text, const std::string& caption) {
  QMessageBox box(QMessageBox::NoIcon, TrText(caption), TrText(text), QMessageBox::Ok,
                  Owner());
  box.button(QMessageBox::Ok)->setText(Tr(3018));
  box.exec();
}

bool MessageBoxSink::AskOkCancel(const std::string& text, const std::string& caption) {
  QMessageBox box(QMessageBox::NoIcon, TrText(caption), TrText(text),
                  QMessageBox::Ok | QMessageBox::Cancel, Owner());
  box.setDefaultButton(QMessageBox::Ok);
  box.button(QMessageBox::Ok)->setText(Tr(3018));
  box.button(QMessageBox::Cancel)->setText(Tr(3019));
  return box.exec() == QMessageBox::Ok;
}

}  // namespace ardentix::ui
