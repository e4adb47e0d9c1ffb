#include "ui/training_panel.h"

#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "QMR52916LIB_ext.h"
#include "core/strings.h"
#include "ui/translate.h"

namespace ardentix::ui {
namespace {


constexpr int kPollMs = 500;

}  // namespace

const std::vector<TrainingFault>& TrainingFaults() {
  // Counts are chosen so the fault meets the burn, not the identification:
  // the lock test and the worker each open the device and lock its volume
  // once, and the first chunks of a write go through before it fails.
  static const std::vector<TrainingFault> faults = {
      {3047, R"({"on":"lock"})"},
      {3048, R"({"on":"lock","after":1,"count":5})"},
      {3049, R"({"on":"open","after":1})"},
      {3050, R"({"on":"sd-write","after":2})"},
      {3051, R"({"on":"sd-read","action":"corrupt"})"},
      {3052, R"({"on":"sector-erase","action":"busy"})"},
      {3053, R"({"on":"flash-write","after":2})"},
      {3054, R"({"on":"flash-write","after":1,"action":"corrupt"})"},
      {3055, R"({"on":"flash-write","after":2,"action":"unplug"})"},
      {3056, R"({"on":"sd-write","after":2,"action":"stall"})"},
  };
  return faults;
}

void SimulatorControls::Poll() {
  char letters[32] = {};
  const int count = QMR_SimDeviceLetters(letters, int(sizeof letters));
  const unsigned long mask = QMR_SimDriveMask();
  QString state;
  for (int i = 0; i < count && letters[i] >= 'A' && letters[i] <= 'Z'; ++i) {
    state += QChar(letters[i]);
    state += (mask & (1ul << (letters[i] - 'A'))) != 0 ? u'+' : u'-';
  }
  Q_EMIT devicesRead(state);
}

void SimulatorControls::Plug(char letter, bool plug) {
  if (plug)
    QMR_SimPlug(letter);
  else
    QMR_SimUnplug(letter);
  Poll();
}

void SimulatorControls::AddFault(char letter, int faultIndex) {
  const TrainingFault& fault = TrainingFaults()[size_t(faultIndex)];
  char error[256] = {};
  if (QMR_SimAddFault(letter, fault.json, error, int(sizeof error)) != 1) {
    Q_EMIT faultAdded(false, QString::fromUtf8(error));
    return;
  }
  Q_EMIT faultAdded(true, QStringLiteral("%1: %2").arg(QChar(letter)).arg(Tr(fault.nameStringId)));
}

TrainingPanel::TrainingPanel(QWidget* parent) : QGroupBox(Tr(3040), parent), controls_(new SimulatorControls) {
  setObjectName(QStringLiteral("TrainingPanel"));
  auto* layout = new QVBoxLayout(this);
  devices_ = new QListWidget(this);
  devices_->setObjectName(QStringLiteral("trainingDevices"));
  devices_->setSelectionMode(QAbstractItemView::SingleSelection);
  layout->addWidget(devices_, 1);
  auto* buttons = new QHBoxLayout;
  auto* plug = new QPushButton(Tr(3041), this);
  auto* unplug = new QPushButton(Tr(3042), this);
  buttons->addWidget(plug);
  buttons->addWidget(unplug);
  layout->addLayout(buttons);
  layout->addWidget(new QLabel(Tr(3043), this));
  faults_ = new QComboBox(this);
  for (const TrainingFault& f : TrainingFaults()) faults_->addItem(Tr(f.nameStringId));
  layout->addWidget(faults_);
  auto* addFault = new QPushButton(Tr(3044), this);
  addFault->setObjectName(QStringLiteral("addFault"));
  layout->addWidget(addFault);
  note_ = new QLabel(this);
  note_->setWordWrap(true);
  layout->addWidget(note_);

  connect(plug, &QPushButton::clicked, this, &TrainingPanel::Plug);
  connect(unplug, &QPushButton::clicked, this, &TrainingPanel::Unplug);
  connect(addFault, &QPushButton::clicked, this, [this] { AddFault(faults_->currentIndex()); });

  controls_->moveToThread(&thread_);
  connect(&thread_, &QThread::finished, controls_, &QObject::deleteLater);
  connect(controls_, &SimulatorControls::devicesRead, this, &TrainingPanel::ShowDevices);
  connect(controls_, &SimulatorControls::faultAdded, this, [this](bool, const QString& note) { Note(note); });
  thread_.start();
  connect(&poll_, &QTimer::timeout, this, &TrainingPanel::Refresh);
  poll_.start(kPollMs);
  Refresh();
}

TrainingPanel::~TrainingPanel() {
  thread_.quit();
  thread_.wait();
}

void TrainingPanel::Refresh() {
  if (polling_) return;  // one question at a time
  polling_ = true;
  QMetaObject::invokeMethod(controls_, &SimulatorControls::Poll, Qt::QueuedConnection);
}

void TrainingPanel::ShowDevices(const QString& state) {
  polling_ = false;
  if (state == shown_) return;
  const char selected = SelectedLetter();
  shown_ = state;
  devices_->clear();
  for (qsizetype i = 0; i + 1 < state.size(); i += 2) {
    auto* item =
        new QListWidgetItem(QStringLiteral("%1:  %2").arg(state[i]).arg(Tr(state[i + 1] == u'+' ? 3045 : 3046)));
    item->setData(Qt::UserRole, state[i]);
    devices_->addItem(item);
  }
  if (selected != 0) Select(selected);
  if (devices_->currentRow() < 0 && devices_->count() > 0) devices_->setCurrentRow(0);
}

void TrainingPanel::Select(char letter) {
  for (int i = 0; i < devices_->count(); ++i)
    if (devices_->item(i)->data(Qt::UserRole).toChar() == QChar(letter)) devices_->setCurrentRow(i);
}

char TrainingPanel::SelectedLetter() const {
  const QListWidgetItem* item = devices_->currentItem();
  return item != nullptr ? char(item->data(Qt::UserRole).toChar().toLatin1()) : 0;
}

void TrainingPanel::Plug() {
  if (const char letter = SelectedLetter())
    QMetaObject::invokeMethod(
        controls_, [c = controls_, letter] { c->Plug(letter, true); }, Qt::QueuedConnection);
}

void TrainingPanel::Unplug() {
  if (const char letter = SelectedLetter())
    QMetaObject::invokeMethod(
        controls_, [c = controls_, letter] { c->Plug(letter, false); }, Qt::QueuedConnection);
}

void TrainingPanel::AddFault(int index) {
  const char letter = SelectedLetter();
  if (letter == 0 || index < 0 || index >= int(TrainingFaults().size())) return;
  QMetaObject::invokeMethod(
      controls_, [c = controls_, letter, index] { c->AddFault(letter, index); }, Qt::QueuedConnection);
}

void TrainingPanel::Note(const QString& text) {
  note_->setText(text);
  Q_EMIT noteChanged(text);
}

QString TrainingPanel::lastNote() const { return note_->text(); }

}  // namespace ardentix::ui
