#include "ui/main_window.h"

#if ARDENTIX_HAVE_RECORDS
#include "records/burn_recorder.h"
#include "records/history.h"
#include "ui/history_dialog.h"
#endif

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QStringList>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QDate>
#include <QEvent>
#include <QEventLoop>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QSignalBlocker>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>
#include <atomic>
#include <stop_token>

#include "burn/continuous_line.h"
#include "burnfiles/import.h"
#include "burnfiles/sd_image.h"
#include "burnfiles/sections.h"
#include "burnfiles/texts.h"
#include "catalogue/catalogue_dialog_model.h"
#include "catalogue/flash_id_report.h"
#include "core/platform_files.h"
#include "core/strings.h"
#include "ui/about_dialog.h"
#include "ui/dialog_units.h"
#include "ui/run_beside.h"
#include "ui/spi_list_dialog.h"
#include "ui/status_list.h"
#include "ui/training_panel.h"
#include "ui/translate.h"
#include "ui/wait_notice.h"

namespace ardentix::ui {
namespace {

// The resource's size in dialog units, and where its status list begins.
constexpr int kResourceWidth = 374;
constexpr int kResourceHeight = 298;
constexpr int kListTop = 140;

std::string FormatRate(double perHour) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", perHour);
  return text;
}

// A numbered text in the operator's language with its places filled.
QString TrFormat(int stringId, std::initializer_list<std::string> args) {
  return QString::fromStdString(FormatText(Tr(stringId).toStdString(), args));
}

// UTF-8 both ways, so that names outside the system's code page survive on Windows.
QString PathText(const std::filesystem::path& path) { return QString::fromStdString(ardentix::PathText(path)); }

}  // namespace

MainWindow::MainWindow(Station& station, BurnEngine& engine, QWidget* parent)
    : QDialog(parent),
      station_(station),
      engine_(engine),
      chooser_(std::make_unique<QtFileChooser>(station.stationDir())),
      beep_([] { QApplication::beep(); }),
      today_([] { return QDate::currentDate().toString(Qt::ISODate).toStdString(); }) {
  setObjectName(QStringLiteral("MainWindow"));
  setFont(DialogFont());
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  setWindowFlag(Qt::WindowMinimizeButtonHint, true);
  BuildControls();
}

MainWindow::~MainWindow() {
  station_.SetChangeListener(nullptr);
  if (fileJob_.joinable()) fileJob_.join();
}

template <class T>
T* MainWindow::Add(int controlId, T* widget, int x, int y, int width, int height) {
  const DialogUnits du(font());
  // The controls below the resource's visible area are the hidden ones.
  QWidget* parent = y >= kResourceHeight ? extras_ : page_;
  widget->setParent(parent);
  widget->setGeometry(du.Rect(x, y >= kResourceHeight ? y - kResourceHeight : y, width, height));
  widget->setObjectName(QStringLiteral("c%1").arg(controlId));
  if (controlId != 0) {
    controls_[controlId] = widget;
    baseGeometry_[controlId] = widget->geometry();
  }
  return widget;
}

QWidget* MainWindow::Control(int controlId) const {
  const auto it = controls_.find(controlId);
  return it == controls_.end() ? nullptr : it->second;
}

// The resource's controls at their positions in dialog units, above the
// status list; the list takes the room the window has, START and Exit sit
// below it beside the batch, and the controls that no code shows are kept
// in a hidden panel.
void MainWindow::BuildControls() {
  const DialogUnits du(font());
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->setSpacing(0);
  menuBar_ = new QMenuBar(this);
  outer->setMenuBar(menuBar_);
  body_ = new QHBoxLayout;
  body_->setContentsMargins(0, 0, 0, 0);
  body_->setSpacing(0);
  outer->addLayout(body_, 1);
  auto* column = new QVBoxLayout;
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  body_->addLayout(column, 1);
  page_ = new QWidget(this);
  page_->setObjectName(QStringLiteral("topControls"));
  page_->setFixedHeight(du.Y(kListTop - 3));
  page_->setMinimumWidth(du.X(kResourceWidth));
  page_->installEventFilter(this);
  column->addWidget(page_);
  extras_ = new QWidget(this);
  extras_->setObjectName(QStringLiteral("hiddenControls"));
  extras_->hide();

  auto label = [](Qt::Alignment a = Qt::AlignLeft | Qt::AlignVCenter) {
    auto* l = new QLabel;
    l->setAlignment(a);
    return l;
  };
  auto readOnly = [] {
    auto* e = new QLineEdit;
    e->setReadOnly(true);
    return e;
  };
  auto button = [] { return new QPushButton; };

  // Burn files.
  Add(id::kSd1Label, label(), 8, 9, 44, 8);
  Add(id::kSd1Path, readOnly(), 61, 7, 245, 14);
  Add(id::kSd1Open, button(), 315, 7, 23, 14);
  Add(id::kSd2Label, label(), 8, 27, 44, 8);
  Add(id::kSd2Path, readOnly(), 61, 25, 245, 14);
  Add(id::kSd2Open, button(), 315, 25, 23, 14);
  Add(id::kFlashLabel, label(), 8, 46, 52, 8);
  Add(id::kFlashPath, readOnly(), 61, 44, 245, 14);
  Add(id::kFlashOpen, button(), 315, 44, 23, 14);
  Add(id::kReleaseNotes, button(), 353, 7, 14, 13)->setText(Tr(3005));

  // Burned type: the frame first so the boxes lie above it.
  Add(id::kTypeGroup, new QGroupBox, 7, 67, 115, 64);
  Add(id::kSd1Check, new QCheckBox, 17, 79, 65, 10);
  Add(id::kSd2Check, new QCheckBox, 17, 95, 65, 10);
  Add(id::kFlashCheck, new QCheckBox, 17, 111, 73, 10);
  auto* note = Add(id::kUsageNote, label(Qt::AlignLeft | Qt::AlignTop), 134, 71, 192, 31);
  note->setWordWrap(true);
  Add(id::kSpiList, button(), 134, 107, 56, 26);
  Add(id::kPassLabel, label(), 198, 106, 44, 8);
  Add(id::kPassCount, readOnly(), 253, 104, 73, 14);
  Add(id::kFailLabel, label(), 198, 122, 39, 8);
  Add(id::kFailCount, readOnly(), 253, 120, 73, 14);
  Add(id::kExport, button(), 333, 70, 32, 13);
  Add(id::kVoice, button(), 333, 92, 32, 13);
  Add(id::kSysconfig, button(), 333, 114, 33, 13);

  // The status list: the resource's column widths are its minimum.
  statusList_ = new StatusList(this);
  statusList_->setObjectName(QStringLiteral("c%1").arg(id::kStatusList));
  controls_[id::kStatusList] = statusList_;
  statusList_->setMinimumHeight(du.Y(60));
  auto* listRow = new QHBoxLayout;
  listRow->setContentsMargins(du.X(7), 0, du.X(7), 0);
  listRow->addWidget(statusList_);
  column->addLayout(listRow, 1);
  column->addWidget(BuildBatchBar());

  // Created hidden; their fields and handlers stay in use.
  auto* radios = new QButtonGroup(this);
  const int radioIds[] = {id::kRadioSd, id::kRadioFlash, id::kRadioBoth};
  const int radioTexts[] = {3007, 3008, 3009};
  for (int i = 0; i < 3; ++i) {
    auto* radio = Add(radioIds[i], new QRadioButton(Tr(radioTexts[i])), 8 + 48 * i, 318, 46, 10);
    radio->setEnabled(false);
    radios->addButton(radio, i);
  }
  Add(id::kSerialLabel, label(), 8, 302, 50, 8);
  Add(id::kStartSerial, readOnly(), 61, 300, 70, 14);
  Add(id::kTotalLabel, label(), 140, 302, 60, 8);
  auto* total = Add(id::kTotalCount, new QLineEdit, 203, 300, 60, 14);
  total->setValidator(new QIntValidator(total));
  Add(id::kExtraOptions, new QCheckBox, 160, 318, 100, 10);
  Add(id::kFlashIdReport, button(), 353, 300, 14, 13)->setText(Tr(3006));
  Add(id::kImageGroup, new QGroupBox, 7, 334, 180, 112);
  Add(id::kDriveLabel, label(), 14, 348, 30, 8);
  Add(id::kDriveBox, new QComboBox, 46, 346, 132, 60)->setFixedHeight(du.Y(13));
  Add(id::kStep1, label(), 14, 364, 160, 8);
  Add(id::kFormat, button(), 14, 376, 60, 14);
  Add(id::kStep2, label(), 14, 394, 160, 8);
  Add(id::kStep3, label(), 14, 408, 160, 8);
  Add(id::kGenerate, button(), 14, 420, 80, 14);
  Add(id::kVidPidGroup, new QGroupBox, 195, 334, 172, 112);
  const int vidPidIds[2][2] = {{id::kVid1, id::kPid1}, {id::kVid2, id::kPid2}};
  for (int setup = 0; setup < 2; ++setup) {
    const int top = 346 + setup * 46;
    Add(0, new QGroupBox(Tr(3010 + setup)), 202, top, 158, 40);
    Add(0, label(), 208, top + 18, 34, 8)->setText(Tr(3012));
    Add(vidPidIds[setup][0], new QLineEdit, 244, top + 16, 36, 12);
    Add(0, label(), 284, top + 18, 34, 8)->setText(Tr(3013));
    Add(vidPidIds[setup][1], new QLineEdit, 320, top + 16, 36, 12);
  }
  for (QObject* child : extras_->children())
    if (auto* widget = qobject_cast<QWidget*>(child)) widget->setVisible(false);

  // Handlers.
  auto onClick = [this](int controlId, void (MainWindow::*handler)()) {
    connect(ControlAs<QAbstractButton>(controlId), &QAbstractButton::clicked, this,
            [this, handler] { (this->*handler)(); });
  };
  onClick(id::kSd1Open, &MainWindow::ChooseSd1Image);
  onClick(id::kSd2Open, &MainWindow::ChooseSd2Image);
  onClick(id::kFlashOpen, &MainWindow::ImportPackage);
  onClick(id::kExport, &MainWindow::ExportPackage);
  onClick(id::kVoice, &MainWindow::ReplaceVoice);
  onClick(id::kSysconfig, &MainWindow::ReplaceSysconfig);
  onClick(id::kStart, &MainWindow::StartOrStop);
  onClick(id::kReleaseNotes, &MainWindow::ShowReleaseNotes);
  onClick(id::kSpiList, &MainWindow::OpenSpiList);
  onClick(id::kFlashIdReport, &MainWindow::ShowFlashIdReport);
  onClick(id::kFormat, &MainWindow::FormatCard);
  onClick(id::kGenerate, &MainWindow::GenerateImage);
  onClick(id::kExtraOptions, &MainWindow::ToggleExtraOptions);
  onClick(id::kSd1Check, &MainWindow::OnCheckBoxClicked);
  onClick(id::kSd2Check, &MainWindow::OnCheckBoxClicked);
  onClick(id::kFlashCheck, &MainWindow::OnCheckBoxClicked);
  connect(ControlAs<QPushButton>(id::kExit), &QPushButton::clicked, this, &QDialog::accept);
  connect(total, &QLineEdit::textChanged, this, [this] { Pull(); });
  connect(ControlAs<QComboBox>(id::kDriveBox), qOverload<int>(&QComboBox::activated), this,
          [this](int index) { station_.SelectMasterImageDrive(index); });
  connect(batchSignal_, &QCheckBox::clicked, this, [this] { SaveChoices(); });
  connect(continuous_, &QCheckBox::clicked, this, [this] {
    engine_.continuousChecked = continuous_->isChecked();
    SaveChoices();
    SyncFromStation();
  });
  // Enter and Space press START from anywhere in the window, except in an
  // edit the operator types into. (Exit stays the default button for
  // Escape's sake only: a stray Enter must not close the station.)
  for (const Qt::Key key : {Qt::Key_Space, Qt::Key_Return, Qt::Key_Enter}) {
    auto* shortcut = new QShortcut(key, this);
    shortcut->setContext(Qt::WindowShortcut);
    connect(shortcut, &QShortcut::activated, this, &MainWindow::OnStartKey);
  }

  // The default size shows every column of the status list, Result included.
  resize(std::max(du.X(kResourceWidth), statusList_->PreferredWidth() + 2 * du.X(7)),
         du.Y(kResourceHeight) + menuBar_->sizeHint().height());
}

// Near START: the batch's state in large type, this run's counts and the
// day's yield, the signal switch; then START and Exit at their resource sizes.
QWidget* MainWindow::BuildBatchBar() {
  const DialogUnits du(font());
  auto* bar = new QWidget(this);
  bar->setObjectName(QStringLiteral("batchBar"));
  auto* row = new QHBoxLayout(bar);
  row->setContentsMargins(du.X(7), du.Y(4), du.X(7), du.Y(4));
  row->setSpacing(du.X(6));

  auto* batch = new QVBoxLayout;
  batch->setSpacing(du.Y(2));
  batchState_ = new QLabel(bar);
  batchState_->setObjectName(QStringLiteral("batchState"));
  QFont big = font();
  big.setPointSizeF(font().pointSizeF() * 1.6);
  big.setBold(true);
  batchState_->setFont(big);
  batchState_->setAlignment(Qt::AlignCenter);
  // The same height with or without a text, so nothing moves when it changes.
  batchState_->setFixedHeight(QFontMetrics(big).height() + du.Y(4));
  batch->addWidget(batchState_);
  auto* line = new QHBoxLayout;
  runSummary_ = new QLabel(bar);
  runSummary_->setObjectName(QStringLiteral("runSummary"));
  dayYield_ = new QLabel(bar);
  dayYield_->setObjectName(QStringLiteral("dayYield"));
  batchSignal_ = new QCheckBox(Tr(3065), bar);
  batchSignal_->setObjectName(QStringLiteral("batchSignal"));
  batchSignal_->setChecked(true);
  line->addWidget(runSummary_);
  line->addSpacing(du.X(12));
  line->addWidget(dayYield_);
  line->addSpacing(du.X(12));
  unitsPerHour_ = new QLabel(bar);
  unitsPerHour_->setObjectName(QStringLiteral("unitsPerHour"));
  line->addWidget(unitsPerHour_);
  line->addSpacing(du.X(12));
  recordsLine_ = new QLabel(bar);
  recordsLine_->setObjectName(QStringLiteral("recordsLine"));
  recordsLine_->hide();
  line->addWidget(recordsLine_);
  auto* history = new QPushButton(Tr(3071), bar);
  history->setObjectName(QStringLiteral("c%1").arg(id::kHistory));
  history->hide();
  controls_[id::kHistory] = history;
  connect(history, &QPushButton::clicked, this, [this] { ShowHistory(); });
  line->addWidget(history);
  line->addStretch(1);
  // Near START: the line instead of batches.
  continuous_ = new QCheckBox(Tr(3300), bar);
  continuous_->setObjectName(QStringLiteral("continuous"));
  line->addWidget(continuous_);
  line->addWidget(batchSignal_);
  batch->addLayout(line);
  row->addLayout(batch, 1);

  for (const auto& [controlId, width] : {std::pair{id::kStart, 56}, std::pair{id::kExit, 57}}) {
    auto* button = new QPushButton(bar);
    button->setObjectName(QStringLiteral("c%1").arg(controlId));
    button->setFixedSize(du.X(width), du.Y(26));
    controls_[controlId] = button;
    row->addWidget(button, 0, Qt::AlignVCenter);
  }
  ControlAs<QPushButton>(id::kExit)->setDefault(true);
  return bar;
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == page_ && event->type() == QEvent::Resize) LayOutTop();
  return QDialog::eventFilter(watched, event);
}

void MainWindow::LayOutTop() {
  const int extra = std::max(0, page_->width() - DialogUnits(font()).X(kResourceWidth));
  const std::pair<int, bool> anchored[] = {
      {id::kSd1Path, true},  {id::kSd2Path, true},   {id::kFlashPath, true},    {id::kSd1Open, false},
      {id::kSd2Open, false}, {id::kFlashOpen, false}, {id::kReleaseNotes, false}};
  for (const auto& [controlId, widens] : anchored) {
    QRect r = baseGeometry_[controlId];
    if (widens)
      r.setWidth(r.width() + extra);
    else
      r.translate(extra, 0);
    Control(controlId)->setGeometry(r);
  }
  // The package buttons keep their right edge at the window's and, where
  // the room allows, grow to the left until their texts fit in the
  // window's font (the resource's sizes clip "System sound").
  for (int controlId : {id::kExport, id::kVoice, id::kSysconfig}) {
    auto* button = ControlAs<QPushButton>(controlId);
    const QRect base = baseGeometry_[controlId];
    const int needed = QFontMetrics(font()).horizontalAdvance(QString(button->text()).remove(u'&')) + 8;
    const int width = std::clamp(needed, base.width(), base.width() + extra);
    button->setGeometry(base.right() + 1 + extra - width, base.y(), width, base.height());
    if (width >= needed) button->setFont(font());
  }
}

void MainWindow::OnStartKey() {
  QWidget* focus = QApplication::focusWidget();
  if (auto* edit = qobject_cast<QLineEdit*>(focus); edit != nullptr && !edit->isReadOnly()) return;
  if (auto* box = qobject_cast<QComboBox*>(focus); box != nullptr && box->isEditable()) return;
  auto* start = ControlAs<QPushButton>(id::kStart);
  if (start->isEnabled()) start->click();
}

void MainWindow::SetText(int controlId, int stringId) {
  QWidget* w = Control(controlId);
  const QString text = Tr(stringId);
  if (auto* b = qobject_cast<QAbstractButton*>(w))
    b->setText(text);
  else if (auto* l = qobject_cast<QLabel*>(w))
    l->setText(text);
  else if (auto* g = qobject_cast<QGroupBox*>(w))
    g->setTitle(text);
}

void MainWindow::Initialise() {
  // The program directory is the station folder the station was made with.
  Push();
  // Linux has no window system menu: the about entry lives in the Help menu
  // and in the window's context menu.
  if (StringText(101)[0] != '\0') {
    aboutAction_ = new QAction(Tr(101), this);
    aboutAction_->setObjectName(QStringLiteral("aboutAction"));
    connect(aboutAction_, &QAction::triggered, this, &MainWindow::ShowAbout);
    QMenu* help = menuBar_->addMenu(Tr(3014));
    help->addAction(aboutAction_);
  } else {
    menuBar_->hide();
  }
  setWindowIcon(ProgramIcon());
  // Caption, catalogue, settings, the start-up scan and the refresh timer;
  // the package state starts cleared.
  remembered_ = LoadRemembered(station_.stationDir());
  board_.SetDay(remembered_.day);
  batchSignal_->setChecked(remembered_.batchSignal);
  continuous_->setChecked(remembered_.continuous);
  engine_.continuousChecked = remembered_.continuous;
  station_.SetChangeListener([this] { SyncFromStation(); });
  station_.Initialise();

  const std::pair<int, int> texts[] = {
      {id::kFlashLabel, 105}, {id::kTypeGroup, 107},    {id::kSerialLabel, 108},   {id::kTotalLabel, 109},
      {id::kPassLabel, 110},  {id::kFailLabel, 111},    {id::kFlashOpen, 106},     {id::kSd1Open, 106},
      {id::kSd2Open, 106},    {id::kExport, 112},       {id::kVoice, 113},         {id::kSysconfig, 114},
      {id::kStart, 115},      {id::kExit, 117},         {id::kImageGroup, 1033},   {id::kDriveLabel, 1034},
      {id::kStep1, 1035},     {id::kStep2, 1036},       {id::kStep3, 1037},        {id::kFormat, 1038},
      {id::kGenerate, 1039},  {id::kVidPidGroup, 1040}, {id::kExtraOptions, 1032}, {id::kSd1Label, 1041},
      {id::kSd2Label, 1053}};
  for (const auto& [controlId, stringId] : texts) SetText(controlId, stringId);
  Control(id::kSd1Open)->setEnabled(false);
  Control(id::kSd2Open)->setEnabled(false);
  const std::pair<int, int> later[] = {{id::kSpiList, 1042},
                                       {id::kUsageNote, 1047},
                                       {id::kSd1Check, 1054},
                                       {id::kSd2Check, 1055},
                                       {id::kFlashCheck, 1056}};
  for (const auto& [controlId, stringId] : later) SetText(controlId, stringId);

  FitTexts();

  vid1Text = vid2Text = QStringLiteral("7E21");
  pid1Text = pid2Text = QStringLiteral("5A38");
  totalCountShown = station_.settings().totalCountShown;
  Push();
  ControlAs<QLineEdit>(id::kStartSerial)->setText(QString::fromStdString(station_.settings().StartSerial));
  initialised_ = true;
  RestoreChoices();
  SyncFromStation();
  Control(id::kSd1Path)->setFocus();
}

// The files and check boxes of the last session, shown again; the package
// is imported again (its sections may have been replaced meanwhile). Only
// START burns.
void MainWindow::RestoreChoices() {
  sd1Enabled = remembered_.sd1Enabled;
  sd2Enabled = remembered_.sd2Enabled;
  flashEnabled = remembered_.flashEnabled;
  Push();
  engine_.checkBoxes = RunSettings{sd1Enabled, sd2Enabled, flashEnabled};
  engine_.OnCheckBoxesChanged();
  const RestorePlan plan = ardentix::RestoreChoices(remembered_, station_.files());
  if (!plan.packageToImport.empty()) ImportPackageFrom(plan.packageToImport);
  if (!plan.gone.empty()) {
    std::string text = Tr(3066).toStdString();
    for (const std::filesystem::path& gone : plan.gone) text += "\n" + gone.string();
    // Over the window, once it shows.
    QTimer::singleShot(0, this, [this, text] { station_.messages().ShowMessage(text, text::kProgramCaption); });
  }
}

void MainWindow::SaveChoices() {
  if (!initialised_) return;
  RememberedChoices now = remembered_;
  const BurnFileSet& files = station_.files();
  now.sd1Image = files.sd1ImagePath;
  now.sd2Image = files.sd2ImagePath;
  now.flashPackage = importedPackage_;
  now.sd1Enabled = sd1Enabled;
  now.sd2Enabled = sd2Enabled;
  now.flashEnabled = flashEnabled;
  now.batchSignal = batchSignal_->isChecked();
  now.continuous = continuous_->isChecked();
  now.day = board_.day();
  if (now == remembered_) return;
  std::string error;
  if (SaveRemembered(station_.stationDir(), now, &error)) {
    remembered_ = now;
  } else if (!saveFailureShown_) {
    // Once: the burn itself is not affected.
    saveFailureShown_ = true;
    Message(error);
  }
}

// The resource's sizes were made for Tahoma; a text that does not fit a
// check box in the burned-type frame widens the box up to the frame, and any
// other text that does not fit gets a smaller font. No control moves.
void MainWindow::FitTexts() {
  const DialogUnits du(font());
  const QWidget* frame = Control(id::kTypeGroup);
  for (const auto& [controlId, widget] : controls_) {
    QString text;
    int chrome = 0;
    if (auto* box = qobject_cast<QAbstractButton*>(widget); box != nullptr && !qobject_cast<QPushButton*>(widget)) {
      text = box->text();
      chrome = style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, box) +
               style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, box) + 2;
    } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
      text = button->text();
      chrome = 8;
    } else if (auto* label = qobject_cast<QLabel*>(widget); label != nullptr && !label->wordWrap()) {
      text = label->text();
    } else {
      continue;
    }
    text.remove(u'&');
    auto needed = [&] { return widget->fontMetrics().horizontalAdvance(text) + chrome; };
    if (frame->geometry().contains(widget->geometry()) && widget != frame)
      widget->resize(std::max(widget->width(), std::min(needed(), frame->geometry().right() - du.X(3) - widget->x())),
                     widget->height());
    QFont smaller = widget->font();
    while (needed() > widget->width() && smaller.pointSizeF() > 6.0) {
      smaller.setPointSizeF(smaller.pointSizeF() - 0.5);
      widget->setFont(smaller);
    }
  }
}

void MainWindow::EnableTraining() {
  if (training_ != nullptr) return;
  training_ = new TrainingPanel(this);
  training_->setFixedWidth(DialogUnits(font()).X(120));
  body_->addWidget(training_);
  resize(width() + training_->width(), height());
}

void MainWindow::Push() {
  ControlAs<QLineEdit>(id::kPassCount)->setText(QString::number(station_.passCountShown));
  ControlAs<QLineEdit>(id::kFailCount)->setText(QString::number(station_.failCountShown));
  {
    // A push is not a change the operator made: it must not pull half-pushed fields.
    const QSignalBlocker block(Control(id::kTotalCount));
    ControlAs<QLineEdit>(id::kTotalCount)->setText(QString::number(totalCountShown));
  }
  const int radioIds[] = {id::kRadioSd, id::kRadioFlash, id::kRadioBoth};
  for (int i = 0; i < 3; ++i) ControlAs<QRadioButton>(radioIds[i])->setChecked(testType == i);
  ControlAs<QCheckBox>(id::kExtraOptions)->setChecked(showExtraOptions != 0);
  ControlAs<QLineEdit>(id::kVid1)->setText(vid1Text);
  ControlAs<QLineEdit>(id::kPid1)->setText(pid1Text);
  ControlAs<QLineEdit>(id::kVid2)->setText(vid2Text);
  ControlAs<QLineEdit>(id::kPid2)->setText(pid2Text);
  ControlAs<QCheckBox>(id::kFlashCheck)->setChecked(flashEnabled != 0);
  ControlAs<QCheckBox>(id::kSd1Check)->setChecked(sd1Enabled != 0);
  ControlAs<QCheckBox>(id::kSd2Check)->setChecked(sd2Enabled != 0);
}

void MainWindow::Pull() {
  totalCountShown = ControlAs<QLineEdit>(id::kTotalCount)->text().toInt();
  const int radioIds[] = {id::kRadioSd, id::kRadioFlash, id::kRadioBoth};
  for (int i = 0; i < 3; ++i)
    if (ControlAs<QRadioButton>(radioIds[i])->isChecked()) testType = i;
  showExtraOptions = ControlAs<QCheckBox>(id::kExtraOptions)->isChecked() ? 1 : 0;
  vid1Text = ControlAs<QLineEdit>(id::kVid1)->text();
  pid1Text = ControlAs<QLineEdit>(id::kPid1)->text();
  vid2Text = ControlAs<QLineEdit>(id::kVid2)->text();
  pid2Text = ControlAs<QLineEdit>(id::kPid2)->text();
  flashEnabled = ControlAs<QCheckBox>(id::kFlashCheck)->isChecked() ? 1 : 0;
  sd1Enabled = ControlAs<QCheckBox>(id::kSd1Check)->isChecked() ? 1 : 0;
  sd2Enabled = ControlAs<QCheckBox>(id::kSd2Check)->isChecked() ? 1 : 0;
  engine_.checkBoxes = RunSettings{sd1Enabled, sd2Enabled, flashEnabled};
}

void MainWindow::OnCheckBoxClicked() {
  Pull();
  engine_.OnCheckBoxesChanged();
  SyncFromStation();
  SaveChoices();
}

void MainWindow::ShowPath(int controlId, const std::filesystem::path& path, std::filesystem::path& shown) {
  if (path == shown) return;
  shown = path;
  auto* edit = ControlAs<QLineEdit>(controlId);
  edit->setText(PathText(path));
  // An SD image's format and block map, before START.
  if ((controlId == id::kSd1Path || controlId == id::kSd2Path) && !path.empty())
    edit->setToolTip(QString::fromStdString(DescribeSdImage(
        path, station_.stationDir() / "sd-cache", [](int stringId) { return Tr(stringId).toStdString(); })));
  else if (controlId == id::kSd1Path || controlId == id::kSd2Path)
    edit->setToolTip(QString());
}

void MainWindow::SyncFromStation() {
  statusList_->Mirror(station_);
  ControlAs<QLineEdit>(id::kPassCount)->setText(QString::number(station_.passCountShown));
  ControlAs<QLineEdit>(id::kFailCount)->setText(QString::number(station_.failCountShown));

  const BurnControls& c = engine_.controls();
  Control(id::kSd1Open)->setEnabled(c.sd1OpenEnabled);
  Control(id::kSd2Open)->setEnabled(c.sd2OpenEnabled);
  Control(id::kFlashOpen)->setEnabled(c.flashOpenEnabled);
  Control(id::kStart)->setEnabled(c.startEnabled);
  ControlAs<QPushButton>(id::kStart)->setText(TrText(c.startCaption));
  for (int control : {id::kExport, id::kVoice, id::kSysconfig})
    Control(control)->setEnabled(station_.packageButtonsEnabled());

  const BurnFileSet& files = station_.files();
  ShowPath(id::kSd1Path, files.sd1ImagePath, shownSd1_);
  ShowPath(id::kSd2Path, files.sd2ImagePath, shownSd2_);
  ShowPath(id::kFlashPath, files.flashPackagePath, shownFlash_);
  const QString caption = QString::fromStdString(station_.caption());
  if (windowTitle() != caption) setWindowTitle(caption);

  if (station_.masterImageDrives() != shownDrives_) {
    shownDrives_ = station_.masterImageDrives();
    auto* box = ControlAs<QComboBox>(id::kDriveBox);
    box->clear();
    for (const std::string& entry : shownDrives_) box->addItem(QString::fromStdString(entry));
  }
  ControlAs<QComboBox>(id::kDriveBox)->setCurrentIndex(station_.masterImageSelection());
  UpdateBatch();
  Q_EMIT synced();
}

void MainWindow::UpdateBatch() {
  std::vector<RunDevice> run;
  for (const DeviceReport& r : engine_.Reports()) run.push_back({r.letter, r.outcome});
  std::vector<char> listed;
  const DeviceSlotTable& slots = station_.slots();
  for (int i = 0; i < slots.GetDeviceCount(); ++i) listed.push_back(slots.GetListedLetter(i));
  board_.Observe(engine_.Running(), run, listed);
  // Counting starts once the settings have given the counters their values.
  if (initialised_ && board_.ObserveCounters(station_.PassCount.load(), station_.FailCount.load(), today_()))
    SaveChoices();

  QString state = TrText(BatchStateText(board_));
  const ContinuousLine& line = engine_.line();
  if (line.Active()) {
    // The line's band: each port's own cycle.
    if (line.Stopping()) {
      state = TrFormat(3302, {std::to_string(line.Running())});
    } else {
      QStringList ports;
      for (char letter : listed)
        ports << QString(QChar(letter)) + QStringLiteral(" ") + TrText(CycleStateText(line.StateOf(letter)));
      state = ports.isEmpty() ? Tr(3309) : TrFormat(3301, {ports.join(QStringLiteral(", ")).toStdString()});
    }
  }
  if (batchState_->text() != state) batchState_->setText(state);
  // The mode is chosen while no run is on: the burn files stay as START fixed them.
  continuous_->setEnabled(!engine_.Running());
  const QString rate = TrFormat(3303, {FormatRate(engine_.unitRate().PerHour(station_.clock().NowMs()))});
  if (unitsPerHour_->text() != rate) unitsPerHour_->setText(rate);
  QString style;
  if (board_.state() == BatchState::Running)
    style = QStringLiteral("background:#1f5fa8; color:white; border-radius:3px;");
  else if (board_.state() == BatchState::Finished)
    style = board_.failed() == 0 ? QStringLiteral("background:#2e7d32; color:white; border-radius:3px;")
                                 : QStringLiteral("background:#c62828; color:white; border-radius:3px;");
  if (batchState_->styleSheet() != style) batchState_->setStyleSheet(style);
  runSummary_->setText(TrFormat(3060, {std::to_string(board_.passed()), std::to_string(board_.failed()),
                                       std::to_string(board_.running())}));
  const DayTally& day = board_.day();
  const std::string yield = YieldText(day);
  dayYield_->setText(yield.empty() ? Tr(3062)
                                   : TrFormat(3061, {yield, std::to_string(day.passed),
                                                     std::to_string(int64_t(day.passed) + day.failed)}));
  if (board_.TakeFinishedSignal() && batchSignal_->isChecked() && beep_) beep_();
#if ARDENTIX_HAVE_RECORDS
  if (recorder_) {
    const auto tally = recorder_->tally();
    QString text = TrText(records::RecordsLineText(tally.Passed, tally.Failed, tally.Duplicates));
    if (const std::string waiting = records::RecordsWaitingText(recorder_->writer().Waiting()); !waiting.empty())
      text += QStringLiteral("; ") + TrText(waiting);
    if (recordsLine_->text() != text) recordsLine_->setText(text);
    // A duplicate or a record not written needs the line lead's eye.
    const QString style = tally.Duplicates > 0 || recorder_->writer().Waiting() > 0
                              ? QStringLiteral("color:#c62828; font-weight:bold;")
                              : QString();
    if (recordsLine_->styleSheet() != style) recordsLine_->setStyleSheet(style);
  }
#endif
}

void MainWindow::SetRecords(records::BurnRecorder* recorder) {
  recorder_ = recorder;
  recordsLine_->setVisible(recorder != nullptr);
  Control(id::kHistory)->setVisible(recorder != nullptr);
  UpdateBatch();
}

void MainWindow::ShowHistory() {
#if ARDENTIX_HAVE_RECORDS
  if (!recorder_) return;
  records::RecordStore* store = recorder_->store();
  if (!store) {
    Message(FormatText(StringText(3085), {ardentix::PathText(station_.stationDir() / records::kRecordFileName)}));
    return;
  }
  HistoryDialog dialog(*store, *chooser_, station_.messages(), this);
  dialog.exec();
#endif
}

void MainWindow::Message(const std::string& text) { station_.messages().ShowMessage(text, text::kProgramCaption); }

// --- Burn files ------------------------------------------------------------

void MainWindow::ChooseSd1Image() {
  if (const auto chosen = chooser_->Open(this, kSdImageDialog)) ardentix::ChooseSd1Image(station_.files(), *chosen);
  SyncFromStation();
  SaveChoices();
}

void MainWindow::ChooseSd2Image() {
  if (const auto chosen = chooser_->Open(this, kSdImageDialog)) ardentix::ChooseSd2Image(station_.files(), *chosen);
  SyncFromStation();
  SaveChoices();
}

void MainWindow::ImportPackage() {
  if (const auto chosen = chooser_->Open(this, kPackageOpenDialog)) ImportPackageFrom(*chosen);
}

void MainWindow::ImportPackageFrom(const std::filesystem::path& path) {
  if (FileJobRunning()) return;
  // The chosen path shows at once and the package buttons go off until the
  // package has passed its check.
  station_.files().packageLoaded = false;
  station_.files().flashPackagePath = path;
  SyncFromStation();
  RunFileJob(kImportNoticeText, [this, path](BurnFileSet& files) -> std::function<void()> {
    const ImportResult result = ImportBurnPackage(files, path);
    return [this, result, path] {
      if (!result.caption.empty()) station_.SetCaption(result.caption);
      // Only a package that passed its check is offered again next time.
      importedPackage_ = result.ok ? path : std::filesystem::path();
      SaveChoices();
      SyncFromStation();
      if (!result.message.empty()) Message(result.message);
    };
  });
}

void MainWindow::ExportPackage() {
  const auto chosen = chooser_->Save(this, kPackageSaveDialog);
  if (!chosen) return;
  RunFileJob(kExportNoticeText, [this, path = *chosen](BurnFileSet& files) -> std::function<void()> {
    const AssembleResult result = ExportBurnPackage(files, path);
    return [this, result] {
      if (!result.ok) Message(result.message.empty() ? result.detail : result.message);
    };
  });
}

// A section is at most a flash's size: replaced on the window's thread.
void MainWindow::ReplaceVoice() {
  const auto chosen = chooser_->Open(this, kVoiceDialog);
  if (!chosen) return;
  const ReplaceResult result = ReplaceVoiceSection(station_.files(), *chosen);
  if (!result.message.empty()) Message(result.message);
  SyncFromStation();
}

void MainWindow::ReplaceSysconfig() {
  const auto chosen = chooser_->Open(this, kSysconfigDialog);
  if (!chosen) return;
  const ReplaceResult result = ReplaceSysconfigSection(station_.files(), *chosen);
  if (!result.message.empty()) Message(result.message);
  SyncFromStation();
}

void MainWindow::RunFileJob(std::string_view noticeText, FileJob work) {
  if (fileJob_.joinable()) return;
  notice_ = std::make_unique<WaitNotice>(this, noticeText);
  notice_->show();
  auto files = std::make_shared<BurnFileSet>(station_.files());
  fileJob_ = std::thread([this, files, work = std::move(work)] {
    std::function<void()> finish = work(*files);
    QMetaObject::invokeMethod(
        this, [this, files, finish] { FinishFileJob(*files, finish); }, Qt::QueuedConnection);
  });
}

void MainWindow::FinishFileJob(const BurnFileSet& files, const std::function<void()>& finish) {
  fileJob_.join();
  station_.files() = files;
  SyncFromStation();
  // The notice stays up until the operator has read the outcome.
  if (finish) finish();
  notice_.reset();
  Q_EMIT fileJobFinished();
}

// --- Burn ------------------------------------------------------------------

void MainWindow::StartOrStop() {
  if (FileJobRunning()) return;
  Pull();
  engine_.OnStartButton();
  SyncFromStation();
}

void MainWindow::done(int result) {
  if (closing_) return;
  if (engine_.Running()) {
    // Workers mid-write must finish: a device left half-burned and a
    // counter not yet saved are both worse than a wait.
    if (!station_.messages().AskOkCancel(StringText(3015), text::kProgramCaption)) return;
    WaitForRunningBurn();
  }
  if (fileJob_.joinable()) fileJob_.join();
  if (result == QDialog::Accepted) Pull();  // Exit pulls, Escape does not
  QDialog::done(result);
}

void MainWindow::WaitForRunningBurn() {
  closing_ = true;
  WaitNotice notice(this, StringText(3016));
  notice.show();
  RunBeside(nullptr, [this] {
    engine_.WaitForWorkers();
    return true;
  });
  // The run's end was posted before the last worker returned; it ends once
  // its records are committed, which is posted in turn.
  QCoreApplication::sendPostedEvents();
  while (engine_.Ending())
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents | QEventLoop::WaitForMoreEvents);
  station_.RefreshDeviceRows();
  SyncFromStation();
  closing_ = false;
}

// --- Small dialogs -----------------------------------------------------------

void MainWindow::ShowReleaseNotes() { Message(StringText(1048)); }

void MainWindow::ShowAbout() {
  AboutDialog about(this);
  about.exec();
}

void MainWindow::contextMenuEvent(QContextMenuEvent* event) {
  if (aboutAction_ == nullptr) return;
  QMenu menu(this);
  menu.addAction(aboutAction_);
  menu.exec(event->globalPos());
}

void MainWindow::ToggleExtraOptions() {
  Pull();
  const QSize client = size();
  resize(client.width() + 6, client.height() + (showExtraOptions != 0 ? 240 : -188));
}

void MainWindow::OpenSpiList() {
  // The burn's workers look every chip up in the catalogue the dialog rebuilds.
  if (!CatalogueDialogModel::CanOpen(station_.BurnRunning.load() != 0)) {
    Message(StringText(3017));
    return;
  }
  SpiListDialog dialog(station_, this);
  dialog.exec();
}

void MainWindow::ShowFlashIdReport() {
  const std::vector<char> letters = ListedDriveLetters(station_.rows());
  const std::vector<FlashIdReading> readings = RunBeside(this, [letters] { return ReadFlashIds(letters); });
  station_.messages().ShowMessage(FlashIdReportText(readings), FlashIdReportTitle());
}

// --- SD master image -----------------------------------------------------------

void MainWindow::FormatCard() {
  // The drive is taken here; only the format tool runs beside the window.
  FormatCardResult result;
  if (const std::optional<char> letter = FormatTarget(station_, result)) {
    Host& host = station_.host();
    const char drive = *letter;
    result = RunBeside(this, [&host, drive] { return ardentix::FormatCard(host, drive); });
  }
  if (result.failed) station_.messages().ShowMessage(result.message, text::kMasterImageCaption);
}

void MainWindow::GenerateImage() {
  ControlAs<QLineEdit>(id::kSd1Path)->clear();
  Control(id::kGenerate)->setEnabled(false);
  if (const std::optional<MasterImageJob> job = PrepareSdMasterImage(station_)) {
    const MasterImageResult result = CreateImageBeside(*job);
    ApplySdMasterImageResult(station_, result);
    if (result.showPathInEdit && result.sd1ImagePath) {
      shownSd1_ = *result.sd1ImagePath;
      ControlAs<QLineEdit>(id::kSd1Path)->setText(PathText(*result.sd1ImagePath));
    }
  }
  Control(id::kGenerate)->setEnabled(true);
  SyncFromStation();
  SaveChoices();
}

MasterImageResult MainWindow::CreateImageBeside(const MasterImageJob& job) {
  QProgressDialog progress(Tr(1039), Tr(3019), 0, kProgressSteps, this);
  progress.setObjectName(QStringLiteral("MasterImageProgress"));
  progress.setWindowTitle(TrText(text::kMasterImageCaption));
  progress.setWindowModality(Qt::ApplicationModal);
  progress.setMinimumDuration(0);
  progress.setAutoClose(false);
  progress.setAutoReset(false);
  std::stop_source stop;
  // The Cancel button, the close box and Escape all stop the reading.
  connect(&progress, &QProgressDialog::canceled, &progress, [&stop] { stop.request_stop(); });
  connect(&progress, &QDialog::rejected, &progress, [&stop] { stop.request_stop(); });
  progress.show();
  QPointer<QProgressDialog> shown(&progress);
  std::atomic<int> lastStep{-1};
  auto report = [&](uint64_t done, uint64_t total) {
    const int step = total == 0 ? kProgressSteps : int(done * kProgressSteps / total);
    // One queued update per visible step, not one per chunk.
    if (lastStep.exchange(step) == step) return;
    QMetaObject::invokeMethod(
        &progress,
        [shown, step] {
          if (shown) shown->setValue(step);
        },
        Qt::QueuedConnection);
  };
  MasterImageResult result;
  QEventLoop loop;
  std::thread worker([&] {
    result = CreateSdMasterImage(job, report, stop.get_token());
    QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
  });
  loop.exec();
  worker.join();
  return result;
}

}  // namespace ardentix::ui
