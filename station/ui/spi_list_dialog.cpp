#include "ui/spi_list_dialog.h"

#include <QHeaderView>
#include <QPushButton>
#include <QTimer>

#include "catalogue/flash_id_report.h"
#include "station/station.h"
#include "core/strings.h"
#include "ui/dialog_units.h"
#include "ui/editable_list_ctrl.h"
#include "ui/run_beside.h"

namespace ardentix::ui {
namespace {

QString Text(int stringId) { return QString::fromUtf8(StringText(stringId)); }

// Column headings, in display order.
constexpr int kHeadingIds[kCatalogueColumnCount] = {3020, 3021, 3022, 3023, 3024, 3025};

}  // namespace

SpiListDialog::SpiListDialog(Station& station, QWidget* parent)
    : QDialog(parent), station_(station), model_(station.catalogue()) {
  setObjectName(QStringLiteral("SpiListDialog"));
  setFont(DialogFont());
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  setWindowTitle(Text(1042));
  const DialogUnits du(font());
  setFixedSize(du.X(359), du.Y(178));

  list_ = new EditableListCtrl(this);
  list_->setObjectName(QStringLiteral("c1045"));
  list_->setGeometry(du.Rect(15, 14, 329, 139));
  list_->setColumnCount(kCatalogueColumnCount);
  const auto& columns = CatalogueColumns();
  for (int c = 0; c < kCatalogueColumnCount; ++c) {
    auto* heading = new QTableWidgetItem(Text(kHeadingIds[c]));
    heading->setTextAlignment((columns[size_t(c)].centred ? Qt::AlignHCenter : Qt::AlignLeft) | Qt::AlignVCenter);
    list_->setHorizontalHeaderItem(c, heading);
    list_->setColumnWidth(c, columns[size_t(c)].widthPixels);
  }
  list_->horizontalHeader()->setStretchLastSection(false);
  list_->verticalHeader()->setDefaultSectionSize(list_->fontMetrics().height() + 6);

  struct Button {
    int controlId, stringId, x;
    void (SpiListDialog::*handler)();
  };
  const Button buttons[] = {{1047, 3026, 18, &SpiListDialog::AddRow},
                            {1048, 3027, 92, &SpiListDialog::DeleteRow},
                            {1, 117, 169, nullptr},
                            {1049, 3028, 245, &SpiListDialog::AutoAddRows}};
  for (const Button& b : buttons) {
    auto* button = new QPushButton(Text(b.stringId), this);
    button->setObjectName(QStringLiteral("c%1").arg(b.controlId));
    button->setGeometry(du.Rect(b.x, 157, 50, 14));
    button->setAutoDefault(false);
    if (b.handler == nullptr) {
      button->setDefault(true);
      connect(button, &QPushButton::clicked, this, &QDialog::accept);
    } else {
      connect(button, &QPushButton::clicked, this, [this, h = b.handler] { (this->*h)(); });
    }
  }
  connect(list_, &EditableListCtrl::cellEdited, this, &SpiListDialog::OnCellEdited);

  // A file that cannot be read is never written back; the operator is told
  // once the dialog shows.
  std::string problem;
  if (!model_.Open(&problem))
    QTimer::singleShot(0, this, [this, problem] { station_.messages().ShowMessage(problem, text::kProgramCaption); });
  FillRows();
}

SpiListDialog::~SpiListDialog() {
  // Destroyed without being closed (its owner went first): still saved.
  if (!saved_) model_.Close();
}

void SpiListDialog::FillRows() {
  list_->DropPick();
  list_->setRowCount(0);
  const auto& rows = model_.Rows();
  list_->setRowCount(int(rows.size()));
  for (int r = 0; r < int(rows.size()); ++r)
    for (int c = 0; c < kCatalogueColumnCount; ++c)
      list_->SetCellText(r, c, QString::fromStdString(rows[size_t(r)][size_t(c)]));
}

void SpiListDialog::OnCellEdited(int row, int column, const QString& text) {
  // The model keeps what the file can hold; the cell shows that.
  if (const auto stored = model_.SetCell(row, column, text.toStdString()))
    list_->SetCellText(row, column, QString::fromStdString(*stored));
}

void SpiListDialog::AddRow() {
  const int row = model_.Add();
  list_->setRowCount(row + 1);
  for (int c = 0; c < kCatalogueColumnCount; ++c)
    list_->SetCellText(row, c, QString::fromStdString(model_.Cell(row, c)));
}

void SpiListDialog::DeleteRow() {
  list_->CommitOpenEdit();
  model_.Delete(list_->currentRow());
  FillRows();
}

void SpiListDialog::AutoAddRows() {
  list_->CommitOpenEdit();
  // The ids are read beside the window from a copy of the device rows.
  StatusRows rows = station_.rows();
  rows.SetListener(nullptr);
  const CatalogueDialogModel::AutoAddReading reading =
      RunBeside(this, [rows] { return CatalogueDialogModel::ReadForAutoAdd(rows); });
  MessageSink& messages = station_.messages();
  if (reading.noDevices) {
    messages.ShowMessage(text::kNoDeviceConnected, text::kProgramCaption);
    return;
  }
  if (!messages.AskOkCancel(reading.report, FlashIdReportTitle())) return;
  const int added = model_.AppendNewIds(reading.ids);
  messages.ShowMessage(CatalogueDialogModel::AutoAddDoneMessage(added), text::kProgramCaption);
  FillRows();
}

void SpiListDialog::done(int result) {
  list_->CommitOpenEdit();
  if (!saved_) {
    // A catalogue that cannot be written stays in memory and the file keeps
    // what it had: the operator must know the changes were not saved.
    std::string error;
    if (!model_.Close(&error))
      station_.messages().ShowMessage("SpiList.ini was not saved: " + error, text::kProgramCaption);
    saved_ = true;
  }
  QDialog::done(result);
}

}  // namespace ardentix::ui
