#include "ui/history_dialog.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "core/message_sink.h"
#include "core/platform_files.h"
#include "core/strings.h"
#include "records/history.h"
#include "ui/file_dialogs.h"
#include "ui/translate.h"

namespace ardentix::ui {
namespace {

constexpr FileDialogTexts kCsvDialog{"csv", "records.csv", "CSV Files (*.csv)|*.csv|All Files (*.*)|*.*|"};

}  // namespace

HistoryDialog::HistoryDialog(records::RecordSource& source, FileChooser& chooser, MessageSink& messages,
                             QWidget* parent)
    : QDialog(parent), source_(source), chooser_(chooser), messages_(messages) {
  setWindowTitle(Tr(3072));
  auto* column = new QVBoxLayout(this);
  auto* filters = new QHBoxLayout;
  auto addLabeled = [&](int textId, QWidget* w) {
    filters->addWidget(new QLabel(Tr(textId), this));
    filters->addWidget(w);
  };
  serial_ = new QLineEdit(this);
  serial_->setObjectName(QStringLiteral("historySerial"));
  addLabeled(3073, serial_);
  outcome_ = new QComboBox(this);
  outcome_->setObjectName(QStringLiteral("historyOutcome"));
  outcome_->addItem(Tr(3075), QString());
  outcome_->addItem(Tr(3076), QStringLiteral("passed"));
  outcome_->addItem(Tr(3077), QStringLiteral("failed"));
  addLabeled(3074, outcome_);
  from_ = new QLineEdit(this);
  from_->setObjectName(QStringLiteral("historyFrom"));
  from_->setPlaceholderText(QStringLiteral("2026-12-10"));
  addLabeled(3078, from_);
  to_ = new QLineEdit(this);
  to_->setObjectName(QStringLiteral("historyTo"));
  to_->setPlaceholderText(QStringLiteral("2026-12-11"));
  addLabeled(3079, to_);
  column->addLayout(filters);

  const auto& titles = records::HistoryColumnTexts();
  table_ = new QTableWidget(0, int(titles.size()), this);
  table_->setObjectName(QStringLiteral("historyTable"));
  QStringList headers;
  for (int id : titles) headers << Tr(id);
  table_->setHorizontalHeaderLabels(headers);
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->verticalHeader()->hide();
  column->addWidget(table_, 1);

  auto* bottom = new QHBoxLayout;
  count_ = new QLabel(this);
  count_->setObjectName(QStringLiteral("historyCount"));
  bottom->addWidget(count_, 1);
  auto* exportButton = new QPushButton(Tr(3080), this);
  exportButton->setObjectName(QStringLiteral("historyExport"));
  bottom->addWidget(exportButton);
  auto* close = new QPushButton(Tr(117), this);
  bottom->addWidget(close);
  column->addLayout(bottom);

  connect(serial_, &QLineEdit::editingFinished, this, &HistoryDialog::Refresh);
  connect(from_, &QLineEdit::editingFinished, this, &HistoryDialog::Refresh);
  connect(to_, &QLineEdit::editingFinished, this, &HistoryDialog::Refresh);
  connect(outcome_, &QComboBox::currentIndexChanged, this, [this] { Refresh(); });
  connect(exportButton, &QPushButton::clicked, this, &HistoryDialog::ExportCsv);
  connect(close, &QPushButton::clicked, this, &QDialog::accept);
  resize(900, 480);
  Refresh();
}

void HistoryDialog::Refresh() {
  records::HistoryEntries entries{serial_->text().trimmed().toStdString(),
                                  outcome_->currentData().toString().toStdString(),
                                  from_->text().trimmed().toStdString(), to_->text().trimmed().toStdString()};
  records::RecordFilter filter;
  std::string problem;
  std::vector<records::UnitRecord> found;
  if (!records::MakeHistoryFilter(entries, filter, problem)) {
    count_->setText(TrText(problem));
    return;  // the last selection stays shown
  }
  if (!source_.Find(filter, found, problem)) {
    count_->setText(TrText(FormatText(StringText(3085), {problem})));
    return;
  }
  shown_ = std::move(found);
  table_->setRowCount(0);
  table_->setRowCount(int(shown_.size()));
  for (int row = 0; row < int(shown_.size()); ++row) {
    const auto cells = records::HistoryCells(shown_[size_t(row)]);
    for (int c = 0; c < int(cells.size()); ++c) table_->setItem(row, c, new QTableWidgetItem(TrText(cells[size_t(c)])));
  }
  table_->resizeColumnsToContents();
  count_->setText(TrText(FormatText(StringText(3081), {std::to_string(shown_.size())})));
}

void HistoryDialog::ExportCsv() {
  const auto file = chooser_.Save(this, kCsvDialog);
  if (!file) return;
  std::string error;
  if (!records::ExportHistoryCsv(shown_, *file, error)) {
    messages_.ShowMessage(error, text::kProgramCaption);
    return;
  }
  count_->setText(TrText(FormatText(StringText(3099), {PathText(*file)})));
}

}  // namespace ardentix::ui
