// Training on simulated devices: the virtual devices with their plugged
// state, Plug and Unplug, and a fault to inject into a device's next burn.
//
// The simulator's controls wait for a device's current command to end, so
// they run on the panel's own thread; the panel shows what comes back.
#pragma once

#include <QGroupBox>
#include <QThread>
#include <QTimer>
#include <string>
#include <vector>

class QComboBox;
class QLabel;
class QListWidget;
class QPushButton;

namespace ardentix::ui {

// A fault kind offered to the trainer: its name and the simulator's fault entry.
struct TrainingFault {
  int nameStringId;
  const char* json;
};
const std::vector<TrainingFault>& TrainingFaults();

// Lives on the panel's thread and calls the simulator.
class SimulatorControls final : public QObject {
  Q_OBJECT
 public:
  void Poll();
  void Plug(char letter, bool plug);
  void AddFault(char letter, int faultIndex);

 Q_SIGNALS:
  // Each device's letter followed by '+' (plugged) or '-'.
  void devicesRead(const QString& state);
  void faultAdded(bool ok, const QString& note);
};

class TrainingPanel final : public QGroupBox {
  Q_OBJECT
 public:
  explicit TrainingPanel(QWidget* parent = nullptr);
  ~TrainingPanel() override;

  // Asks for the devices' state again (also done twice a second).
  void Refresh();

  void Select(char letter);
  char SelectedLetter() const;
  void Plug();
  void Unplug();
  // Adds the fault kind at `index` of TrainingFaults() to the selected device.
  void AddFault(int index);

  QListWidget* devices() const { return devices_; }
  QComboBox* faults() const { return faults_; }
  QString lastNote() const;

 Q_SIGNALS:
  void noteChanged(const QString& note);

 private:
  void ShowDevices(const QString& state);
  void Note(const QString& text);

  QThread thread_;
  SimulatorControls* controls_;  // owned by thread_'s clean-up
  QTimer poll_;
  bool polling_ = false;
  QListWidget* devices_;
  QComboBox* faults_;
  QLabel* note_;
  QString shown_;
};

}  // namespace ardentix::ui
