// The station's window: burn files, the three burn check boxes, START, the
// counters and one status row per device, all rendered from the Station and
// its BurnEngine; the window's own state is only what its controls bind.
#pragma once

#include <QDialog>
#include <QPointer>
#include <QString>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string_view>
#include <thread>

#include "burn/burn_engine.h"
#include "station/batch_board.h"
#include "station/remembered.h"
#include "station/station.h"
#include "masterimage/master_image.h"
#include "ui/file_dialogs.h"

class QCheckBox;
class QLabel;
class QMenuBar;
class QHBoxLayout;

namespace ardentix::records {
class BurnRecorder;
}

namespace ardentix::ui {

class StatusList;
class TrainingPanel;
class WaitNotice;

// Control ids, as the window's resource numbers them.
namespace id {
inline constexpr int kExit = 1;
inline constexpr int kSd1Path = 1000, kSd1Open = 1001, kFlashPath = 1002, kFlashOpen = 1003;
inline constexpr int kRadioSd = 1004, kRadioFlash = 1005, kRadioBoth = 1006;
inline constexpr int kStartSerial = 1007, kTotalCount = 1008, kPassCount = 1009, kFailCount = 1010;
inline constexpr int kSd2Path = 1011, kStatusList = 1012, kStart = 1013, kExport = 1014, kSd2Open = 1015;
inline constexpr int kVoice = 1016, kSysconfig = 1017, kFlashLabel = 1018, kTypeGroup = 1019;
inline constexpr int kSerialLabel = 1020, kTotalLabel = 1021, kPassLabel = 1022, kFailLabel = 1023;
inline constexpr int kDriveBox = 1026, kFormat = 1027, kGenerate = 1028, kExtraOptions = 1032;
inline constexpr int kImageGroup = 1033, kDriveLabel = 1034, kStep1 = 1035, kStep2 = 1036, kStep3 = 1037;
inline constexpr int kVidPidGroup = 1038, kVid1 = 1039, kPid1 = 1040, kVid2 = 1041, kPid2 = 1042;
inline constexpr int kSd1Label = 1043, kSpiList = 1044, kSd2Label = 1045, kUsageNote = 1049;
inline constexpr int kReleaseNotes = 1050, kFlashIdReport = 1051;
inline constexpr int kSd1Check = 1052, kSd2Check = 1053, kFlashCheck = 1054;
inline constexpr int kHistory = 1060;
}  // namespace id

class MainWindow final : public QDialog {
  Q_OBJECT
 public:
  MainWindow(Station& station, BurnEngine& engine, QWidget* parent = nullptr);
  ~MainWindow() override;

  // The start-up sequence; once, before the window is shown.
  void Initialise();
  // Training on simulated devices: the panel beside the window.
  void EnableTraining();
  void SetFileChooser(std::unique_ptr<FileChooser> chooser) { chooser_ = std::move(chooser); }
  // The production records: the line beside the counters and the History
  // button show once they are given.
  void SetRecords(records::BurnRecorder* recorder);
  QLabel* recordsLabel() const { return recordsLine_; }
  void ShowHistory();

  // Bound fields: pull copies the controls into them, push the other way.
  int32_t totalCountShown = 0;
  int32_t testType = 1;  // 0 SD, 1 SPI Flash, 2 SD + SPI Flash
  int32_t showExtraOptions = 0;
  QString vid1Text, pid1Text, vid2Text, pid2Text;
  int32_t flashEnabled = 1;
  int32_t sd1Enabled = 0;
  int32_t sd2Enabled = 0;
  void Pull();
  void Push();

  QWidget* Control(int controlId) const;
  template <class T>
  T* ControlAs(int controlId) const {
    return qobject_cast<T*>(Control(controlId));
  }
  StatusList* statusList() const { return statusList_; }
  TrainingPanel* trainingPanel() const { return training_; }
  QMenuBar* menuBar() const { return menuBar_; }
  // The batch near START: this run, the day's yield, the finished state.
  const BatchBoard& batchBoard() const { return board_; }
  QLabel* batchStateLabel() const { return batchState_; }
  QCheckBox* batchSignalBox() const { return batchSignal_; }
  QCheckBox* continuousBox() const { return continuous_; }
  QLabel* unitsPerHourLabel() const { return unitsPerHour_; }
  // The batch-end signal (the system's beep) and today's date ("YYYY-MM-DD"),
  // replaceable for tests.
  void SetBeep(std::function<void()> beep) { beep_ = std::move(beep); }
  void SetToday(std::function<std::string()> today) { today_ = std::move(today); }
  bool FileJobRunning() const { return fileJob_.joinable(); }
  const WaitNotice* waitNotice() const { return notice_.get(); }

  // What the buttons run.
  void ChooseSd1Image();
  void ChooseSd2Image();
  void ImportPackage();
  void ImportPackageFrom(const std::filesystem::path& path);
  void ExportPackage();
  void ReplaceVoice();
  void ReplaceSysconfig();
  void StartOrStop();
  void ShowReleaseNotes();
  void ShowAbout();
  void OpenSpiList();
  void ShowFlashIdReport();
  void FormatCard();
  void GenerateImage();
  void ToggleExtraOptions();
  // Enter or Space: START, unless the operator is typing into an edit.
  void OnStartKey();

  // Renders the station's state: rows, counters, captions, enabling.
  void SyncFromStation();

 Q_SIGNALS:
  void fileJobFinished();
  void synced();

 protected:
  void done(int result) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  // Work on a copy of the burn files, run beside the window while the
  // notice shows; `work` returns what to do on the window's thread once the
  // copy has become the station's burn files again.
  using FileJob = std::function<std::function<void()>(BurnFileSet& files)>;
  void RunFileJob(std::string_view notice, FileJob work);
  void FinishFileJob(const BurnFileSet& files, const std::function<void()>& finish);
  void WaitForRunningBurn();
  // Reads the card into the image beside the window, with a progress dialog
  // whose Cancel stops the reading.
  MasterImageResult CreateImageBeside(const MasterImageJob& job);
  static constexpr int kProgressSteps = 1000;

  void BuildControls();
  QWidget* BuildBatchBar();
  void FitTexts();
  // The top controls follow the window's width: the path edits widen, the
  // buttons at the right edge move with it.
  void LayOutTop();
  bool eventFilter(QObject* watched, QEvent* event) override;
  void UpdateBatch();
  void RestoreChoices();
  void SaveChoices();
  template <class T>
  T* Add(int controlId, T* widget, int x, int y, int width, int height);
  void SetText(int controlId, int stringId);
  void OnCheckBoxClicked();
  void ShowPath(int controlId, const std::filesystem::path& path, std::filesystem::path& shown);
  void Message(const std::string& text);

  Station& station_;
  BurnEngine& engine_;
  std::unique_ptr<FileChooser> chooser_;
  std::map<int, QWidget*> controls_;
  QWidget* page_ = nullptr;    // the controls above the status list
  QWidget* extras_ = nullptr;  // the hidden controls
  std::map<int, QRect> baseGeometry_;
  QHBoxLayout* body_ = nullptr;
  QMenuBar* menuBar_ = nullptr;
  StatusList* statusList_ = nullptr;
  TrainingPanel* training_ = nullptr;
  QAction* aboutAction_ = nullptr;
  QLabel* batchState_ = nullptr;
  QLabel* runSummary_ = nullptr;
  QLabel* dayYield_ = nullptr;
  QLabel* recordsLine_ = nullptr;
  records::BurnRecorder* recorder_ = nullptr;
  QCheckBox* batchSignal_ = nullptr;
  QCheckBox* continuous_ = nullptr;
  QLabel* unitsPerHour_ = nullptr;
  BatchBoard board_;
  RememberedChoices remembered_;
  std::filesystem::path importedPackage_;  // the last package imported successfully
  bool initialised_ = false;
  bool saveFailureShown_ = false;
  std::function<void()> beep_;
  std::function<std::string()> today_;
  std::unique_ptr<WaitNotice> notice_;
  std::thread fileJob_;
  bool closing_ = false;
  // What the path edits last showed of the burn files, so an edit emptied
  // by the master image step stays empty until the path changes.
  std::filesystem::path shownSd1_, shownSd2_, shownFlash_;
  std::vector<std::string> shownDrives_;
};

}  // namespace ardentix::ui
