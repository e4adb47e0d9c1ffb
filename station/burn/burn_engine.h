// START and the burn: one worker thread per ready logical-unit-0 drive, each
// writing and verifying the SD image, then erasing, writing and verifying
// the SPI flash, and settling its device's slot and the pass/fail counters.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "burnfiles/input_file.h"
#include "burnfiles/sd_image.h"
#include "station/station.h"
#include "core/status_codes.h"

namespace ardentix {

// The three burn check boxes, as the operator left them.
struct RunSettings {
  int32_t sd1Enabled = 0;    // "SD1 Img File Burn": sd1ImagePath onto logical unit 0
  int32_t sd2Enabled = 0;    // "SD2 Img File Burn": sd2ImagePath onto logical unit 1
  int32_t flashEnabled = 1;  // "SPI File Burn": flashPackagePath into the flash, through unit 0
};

// What the burn decides about the window's controls; front ends render it.
struct BurnControls {
  bool sd1OpenEnabled = false;   // Open beside the SD1 image
  bool sd2OpenEnabled = false;   // Open beside the SD2 image
  bool flashOpenEnabled = true;  // Open beside the flash package
  bool startEnabled = true;
  std::string startCaption;      // "Start" or "Stop"
};

// One device's burn, for reports.
struct DeviceReport {
  char letter = 0;
  int lun = -1;
  std::string flashIdText;
  std::string serial;  // the serial number written back (digits), "" when the device had none
  BurnOutcome outcome = BurnOutcome::None;
  StatusCode stage = 0;
  StatusCode result = 0;
  int64_t startedMs = 0;
  int64_t endedMs = 0;
  std::map<std::string, int64_t> stageMs;  // "lock", "sd-write", "sd-verify", "flash-erase", ...
  std::string location;   // the device's parent string at the start of its burn
  char secondCardLetter = 0;  // unit 1's drive, when its card was part of the burn
  std::string chipType;   // the catalogue's entry for the flash id, "" when not looked up
  int32_t clockMHz = 0;   // the SPI clock used, 0 when the flash stage did not get that far
  // Bytes of the stages that completed: SD image and flash image, written and read back.
  int64_t bytesWritten = 0;
  int64_t bytesVerified = 0;
  bool continuous = false;  // burned by the continuous line, not a batch
};

class BurnEngine;
class ContinuousLine;
class UnitRate;

// Told about each run, for the production records.
class RunObserver {
 public:
  virtual ~RunObserver() = default;
  // On the station's thread at START, once the run's files and settings are fixed.
  virtual void RunStarting(const BurnEngine& engine) = 0;
  // Off the station's thread, once the run's SD images are prepared and
  // before the first device is written (not when preparing refused the run).
  virtual void SdImagesPrepared(const BurnEngine& engine) {}
  // On the device's worker thread, once its report is final.
  virtual void DeviceFinished(const DeviceReport& report) = 0;
  // On the station's thread after the last worker finished. The run ends
  // (Stop, the run-ended listener) only when `done` is called; it must be
  // called exactly once, on the station's thread (post it there).
  virtual void RunFinishing(std::function<void()> done) = 0;
};

inline constexpr uint32_t kFlashChunkBytes = 4096;
inline constexpr uint32_t kSdChunkBytes = 61440;
inline constexpr int kSdChunkSectors = 120;
inline constexpr int kLockAttempts = 5;
inline constexpr Milliseconds kLockRetryWait{200};

class BurnEngine {
 public:
  explicit BurnEngine(Station& station);
  ~BurnEngine();  // waits for the run's threads
  BurnEngine(const BurnEngine&) = delete;
  BurnEngine& operator=(const BurnEngine&) = delete;

  // The check boxes; front ends keep this in step with what the operator sees.
  RunSettings checkBoxes;
  // "Continuous": START begins the line instead of a batch (read at START).
  bool continuousChecked = false;
  ContinuousLine& line() { return *line_; }
  const ContinuousLine& line() const { return *line_; }
  // Passed units per hour over the last hour, of batches and the line.
  const UnitRate& unitRate() const { return *unitRate_; }
  // A check box changed: its Open button follows it (while no burn runs).
  void OnCheckBoxesChanged();

  // The START button: StopBurn while a run is on (the line's Stop while it
  // runs), else StartBurn.
  void OnStartButton();
  void StartBurn();
  void StopBurn();
  void SetBurnControls(bool enable);
  const BurnControls& controls() const { return controls_; }
  bool Running() const { return station_.BurnRunning != 0; }
  // The last worker has finished and the run waits for its observer (the
  // records being committed) before it ends.
  bool Ending() const { return ending_; }

  // Blocks until the threads of the current run have finished (closing the
  // window, the command line's end). A worker that the OS holds in a command
  // past twice its bound and the grace is given up instead (see WatchWorkers).
  void WaitForWorkers();
  // On the station's thread, each refresh tick: a worker held in one command
  // past twice its bound and the grace is given up: its device fails as not
  // responding (slot, counter, record) and the run goes on without it. The
  // worker, when the OS lets it go, touches nothing more.
  void WatchWorkers();
  // The watch measures real time: a device holds a worker for as long as
  // the OS does, whatever the station's clock says. Tests give it their own.
  void SetWatchClock(Clock& clock) { watchClock_ = &clock; }
  // Called on the station's thread right after a run ends.
  void SetRunEndedListener(std::function<void()> listener) { runEnded_ = std::move(listener); }
  // Null for none; set while no run is on, and kept alive while the engine is.
  void SetRunObserver(RunObserver* observer) { observer_ = observer; }

  std::vector<DeviceReport> Reports() const;

  // What the watch knows of one worker (public only so the worker's thread
  // can point at its own).
  struct WorkerWatch;

  // The steps below are public for tests; workers call them on their thread.
  // 1 locked and unlocked; 0 failed.
  int TestVolumeLock(char letter);
  // The handle's timeout for the commands that follow, told to the watch too.
  void Bound(void* handle, Milliseconds bound);
  // Each stage returns its StatusCode: 0 for success, else the failure.
  // The card of drive cardLetter (0: letter itself), its progress shown on
  // letter's row: the SD1 image on unit 0, the SD2 image on unit 1 (each as
  // the run prepared it).
  StatusCode BurnSdImage(char letter, void* handle, int lun, char cardLetter = 0);
  // `ranges`: the parts of the image written and verified (a block map's),
  // null for all of it.
  StatusCode WriteSdImage(char letter, void* handle, const InputFile& file, uint64_t size,
                          const std::vector<ImageRange>* ranges = nullptr);
  StatusCode VerifySdImage(char letter, void* handle, const InputFile& file, uint64_t size,
                           const std::vector<ImageRange>* ranges = nullptr, char cardLetter = 0);
  // A two-card device's second card, through its own drive (unit 1):
  // locked, written and verified with the SD2 image, unlocked.
  StatusCode BurnSecondCard(char letter, char cardLetter);
  // The SD image of logical unit `lun` as this run prepared it; null before
  // it is prepared or when the unit's burn is off.
  const PreparedSdImage* PreparedSd(int lun) const;
  // Prepares the SD images of the run's enabled units for the drives
  // (decoding, block map and checksums; the cards' size read from them);
  // false with the operator's message. Public for tests; the run calls it
  // before its first worker starts.
  bool PrepareSdImages(const std::vector<DeviceListEntry>& drives, std::string& message);
  // Where a compressed SD image of unit `lun` is decoded to.
  std::filesystem::path SdCacheFile(int lun) const;
  StatusCode BurnFlash(char letter, void* handle);
  StatusCode EraseFlash(char letter, void* handle, uint64_t eraseLength);
  // Erase, write and verify, the header last: the flash stage once the unit
  // has been found the one identified.
  StatusCode ProgramFlash(char letter, void* handle, uint64_t size, int32_t spiClock);
  StatusCode WriteFlashImage(char letter, void* handle, const InputFile& file, uint64_t size, bool headerPass,
                             int32_t spiClock);
  StatusCode VerifyFlashImage(char letter, void* handle, const InputFile& file, uint64_t size, bool headerPass,
                              int32_t spiClock);

  // The files and settings a run uses, fixed at START (normally taken from
  // the station; tests set them to call the stages directly).
  struct RunFiles {
    std::filesystem::path sd1ImagePath, sd2ImagePath, flashPackagePath;
    int32_t writeVerify = 0, saveSdFile = 0, lockOnXp = 1;
    // The package sections the burned image replaced ("voice", "sysconfig").
    std::vector<std::string> replacedSections;
  };
  RunFiles runFiles;
  RunSettings runSettings;

 private:
  friend class ContinuousLine;
  // The drives a run burns: listed, ready and on logical unit 0, taken on
  // the station's thread, where the list changes.
  std::vector<DeviceListEntry> DrivesToBurn();
  // The letter of logical unit 1 of the device whose unit 0 is letter: the
  // drive with its location and the unit digit 1; 0 when there is none.
  char UnitOneOf(char letter);
  int StartWorkers(std::vector<DeviceListEntry> toStart);
  void RunStarter();
  void BurnWorker(DeviceListEntry entry);
  // The worker's burn; h is the device handle it holds (closed by BurnWorker).
  void BurnDevice(DeviceListEntry entry, void*& h);
  void ReportBurnFailure(char letter, StatusCode code);
  void NoteWorkerFinished();
  void SaveCounterNow(bool passed);
  void JoinThreads();
  void EndRun();
  void NoteStage(char letter, const char* name, int64_t startedMs);
  void NoteBytes(char letter, int64_t written, int64_t verified);
  void NoteChip(char letter, std::string chipType, int32_t clockMHz);
  // The serial and id field a flash burn writes: those of the unit found
  // the one identified right before its erase.
  struct UnitFields {
    FlashSerial serial{};
    FlashUserId userId{};
  };
  void SetUnitFields(char letter, const UnitIdentity& unit);
  UnitFields FieldsOf(char letter) const;
  std::array<uint8_t, 512> BlockZero(char letter) const;
  void PatchHeader(char letter, uint8_t* chunk, int32_t spiClock) const;
  void SetProgress(char letter, uint64_t done, uint64_t size);
  bool WaitForErase(void* handle);
  // The worker shows it is alive; a given-up worker leaves here (it throws
  // WorkerGivenUp, which its thread catches).
  void Beat();
  struct WorkerGivenUp {};
  // Caller holds watchMutex_.
  void GiveUp(size_t position, WorkerWatch& watch);
  bool PastBound(const WorkerWatch& watch) const;

  Station& station_;
  BurnControls controls_;
  std::function<void()> runEnded_;
  RunObserver* observer_ = nullptr;
  bool ending_ = false;  // on the station's thread only

  std::mutex threadMutex_;
  std::thread starter_;
  std::array<std::thread, kMaxListedDevices> WorkerHandles;
  int RunDeviceCount = 0;
  std::atomic<int> FinishedWorkerCount{0};
  std::mutex counterMutex_;  // keeps the settings file at the newest counts

  std::array<std::shared_ptr<const PreparedSdImage>, 2> sdImages_;

  mutable std::mutex reportMutex_;
  std::map<char, DeviceReport> reports_;
  std::map<char, UnitFields> unitFields_;  // under reportMutex_
  // Unit 1's letter per unit-0 letter of the run (the second cards), settled
  // at START before any worker reads it.
  std::map<char, char> secondCards_;

  std::unique_ptr<UnitRate> unitRate_;
  std::unique_ptr<ContinuousLine> line_;
  std::atomic<bool> lineRun_{false};  // the workers of this run are the line's
  std::mutex watchMutex_;
  std::condition_variable workerEnded_;
  std::array<std::shared_ptr<WorkerWatch>, kMaxListedDevices> watches_;
  int givenUpStillOut_ = 0;  // given-up workers the OS still holds (under watchMutex_)
  Clock* watchClock_;
};

}  // namespace ardentix
