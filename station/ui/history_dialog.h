// HistoryDialog: the production records of this station, selected by
// serial, outcome and time, and exported as CSV. The selection, the cells
// and the export are the records' own (records/history.h); this dialog
// draws them.
#pragma once

#include <QDialog>
#include <vector>

#include "records/record.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QTableWidget;

namespace ardentix {
class MessageSink;
}

namespace ardentix::ui {

class FileChooser;

class HistoryDialog final : public QDialog {
  Q_OBJECT
 public:
  // `source` (the station's record file) and `chooser` must outlive the dialog.
  HistoryDialog(records::RecordSource& source, FileChooser& chooser, MessageSink& messages, QWidget* parent = nullptr);

  QLineEdit* serialEdit() const { return serial_; }
  QComboBox* outcomeBox() const { return outcome_; }
  QLineEdit* fromEdit() const { return from_; }
  QLineEdit* toEdit() const { return to_; }
  QTableWidget* table() const { return table_; }
  QLabel* countLabel() const { return count_; }
  const std::vector<records::UnitRecord>& shown() const { return shown_; }

  // Reads the records the entries select; a wrong time is said in the count line.
  void Refresh();
  void ExportCsv();

 private:
  records::RecordSource& source_;
  FileChooser& chooser_;
  MessageSink& messages_;
  QLineEdit* serial_;
  QComboBox* outcome_;
  QLineEdit* from_;
  QLineEdit* to_;
  QTableWidget* table_;
  QLabel* count_;
  std::vector<records::UnitRecord> shown_;
};

}  // namespace ardentix::ui
