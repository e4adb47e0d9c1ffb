// SpiListDialog: the SPI flash catalogue as a table edited in place, with
// Add, Del, AutoAdd and Exit. The rows, the edits and the saving are the
// CatalogueDialogModel's; this dialog draws them and forwards the buttons.
// Whichever way it closes (Exit, the close box, Escape), it saves.
#pragma once

#include <QDialog>

#include "catalogue/catalogue_dialog_model.h"

class QPushButton;

namespace ardentix {
class Station;
}

namespace ardentix::ui {

class EditableListCtrl;

class SpiListDialog final : public QDialog {
  Q_OBJECT
 public:
  // Loads the catalogue from its file and fills the rows.
  SpiListDialog(Station& station, QWidget* parent = nullptr);
  ~SpiListDialog() override;

  EditableListCtrl* list() const { return list_; }
  const CatalogueDialogModel& model() const { return model_; }

  void AddRow();
  void DeleteRow();
  void AutoAddRows();

 protected:
  void done(int result) override;

 private:
  void FillRows();
  void OnCellEdited(int row, int column, const QString& text);

  Station& station_;
  CatalogueDialogModel model_;
  EditableListCtrl* list_;
  bool saved_ = false;
};

}  // namespace ardentix::ui
