// The Station: the one object behind every front end. It owns the device
// slot table, the status rows, the flash caches, the counters, the settings
// values, the catalogue and the burn files, and it is driven by events on
// one thread: start-up, volume arrival and removal, and timer ticks. The
// window and the command line only render its state and forward events.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "burnfiles/burn_file_set.h"
#include "catalogue/spi_catalogue.h"
#include "core/clock.h"
#include "core/event_loop.h"
#include "core/message_sink.h"
#include "core/settings.h"
#include "core/slot_table.h"
#include "core/status_rows.h"
#include "host/host.h"
#include "station/off_thread.h"

namespace ardentix {

inline constexpr int kArrivalTimer = 101;
inline constexpr int kRemovalTimer = 102;
inline constexpr int kRefreshTimer = 103;
inline constexpr int kLineTimer = 104;  // the continuous line's starts
inline constexpr Milliseconds kNotificationDelay{300};
inline constexpr Milliseconds kRefreshPeriod{300};
inline constexpr int kMaxShownDevices = 8;

inline constexpr size_t kSerialCacheSize = 24;
inline constexpr size_t kIdCacheSize = 20;
using FlashSerial = std::array<uint8_t, kSerialCacheSize>;
using FlashUserId = std::array<uint8_t, kIdCacheSize>;

// The serial number's decimal digits (12 UTF-16LE code units), or "" when
// any code unit is not a digit (a device without a serial number).
std::string SerialDigits(const FlashSerial& serial);

// The logical unit of a drive: the digit that ends its location string
// (read now, through the device library); -1 when the lookup fails.
int LogicalUnitOf(char letter);
// The drive's location (the device library's parent string); "" when the
// lookup fails.
std::string LocationOf(char letter);

// How long one device command may keep the station waiting. Real cards and
// chips answer far sooner (see the README); a device that takes longer has
// stopped answering and is failed alone.
struct CommandBounds {
  Milliseconds control{10000};   // identify, inquiry, flash id, block 0 reads, the removal probe
  Milliseconds transfer{30000};  // one SD chunk (60 KiB) or one flash chunk (4 KiB), written or read
  Milliseconds erase{60000};     // one range-erase command (its end is watched by status polls)
  Milliseconds status{5000};     // one flash status poll
  // Past twice its bound and this, a worker that the OS still holds in a
  // command is given up: its device fails and the run goes on without it.
  Milliseconds grace{10000};
};

// Answers quicker than this are taken within the event that asked: the
// removal probe of a device that answers at once changes the rows at once.
inline constexpr Milliseconds kQuickAnswer{50};

// What tells one unit from another behind a letter: its location and the
// first 4096 bytes of its flash as the station read them, with the serial
// number and id field taken from them (the fields the flash burn writes back).
struct UnitIdentity {
  std::string location;
  std::vector<uint8_t> block0;
  FlashSerial serial{};
  FlashUserId userId{};
};

// A unit compared with the one identified under its letter.
enum class UnitMatch {
  Same,        // location and block 0 as identified
  Other,       // another unit (or none identified under the letter)
  Unreadable,  // its block 0 cannot be read now
};

// Reads a unit's location (by letter) and block 0 (through the handle);
// false when the flash read fails.
bool ReadUnitIdentity(char letter, void* handle, UnitIdentity& out);

// What the station learnt about a listed drive when it identified it.
struct IdentifiedDrive {
  std::string flashIdText;  // FlashIdText of the chip
  std::string deviceNode;   // OS device node, for display
};

// What the device commands of a drive scan found out about one drive, taken
// on any thread; listing it (AcceptProbedDrive) happens on the station's.
struct DriveProbe {
  char letter = 0;
  bool candidate = false;  // passes every check of the scan
  UnitIdentity unit;       // location and block 0, with the serial and id field
  int lun = -1;
  std::string flashId;
  std::string deviceNode;
};

// Takes the arrival and removal masks instead of the station's own scans
// (the continuous line, which scans them off the station's thread while
// devices burn). Unknown timer ids go to `timer`.
struct VolumeHandler {
  std::function<void(uint32_t mask)> arrivals;
  std::function<void(uint32_t mask)> removals;
  std::function<void(int id)> timer;
};

class Station {
 public:
  Station(Dispatcher& dispatcher, Clock& clock, Host& host, MessageSink& messages,
          std::filesystem::path stationDir);
  ~Station();
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  // The start-up sequence: catalogue, settings, the start-up drive scan and
  // the refresh timer. Call once, on the station's thread.
  void Initialise();

  // A volume notification (already filtered to real volumes), on the
  // station's thread: arrivals accumulate and are scanned 300 ms after the
  // last one; a removal replaces the removal mask and is checked 300 ms later.
  void OnVolumeChange(bool arrived, uint32_t mask);
  // Every timer tick of the station's timers.
  void OnTimer(int id);

  // Drive scan.
  int ScanDrives(uint32_t mask);
  void IdentifyDevice(char letter);
  void CheckRemovedDrives(uint32_t mask);
  void ReleaseFinishedDevices();
  void OnDriveRemoved(char letter);

  // The scan split in two for scans off the station's thread: the device
  // commands (any thread; `listed` letters are skipped as the scan skips
  // them), then the listing (station's thread; false when not listed).
  DriveProbe ProbeDrive(char letter) const;
  bool AcceptProbedDrive(const DriveProbe& probe);
  // A removal check whose probes were made elsewhere: `removed` holds the
  // letters of the removal mask that no longer open, `gone` those of the
  // rows burning too.
  void ApplyRemovedDrives(uint32_t removed, uint32_t gone);
  void SetVolumeHandler(VolumeHandler handler) { volumeHandler_ = std::move(handler); }
  bool HasVolumeHandler() const { return bool(volumeHandler_.arrivals); }
  // Letters of the listed drives (bit 0 = "A").
  uint32_t ListedMask() const;

  // Supervision: counters and slot fields into the rows' texts.
  void RefreshDeviceRows();

  // The command bounds; set also become the library's default for every
  // handle opened from then on (its identify command included).
  const CommandBounds& commandBounds() const { return commandBounds_; }
  void SetCommandBounds(const CommandBounds& bounds);
  // Device calls that must not run on the station's thread.
  OffThreadCalls& deviceCalls() { return deviceCalls_; }
  // How long the station's thread waits for quick answers (kQuickAnswer);
  // tests on a loaded machine give devices that answer more room.
  void SetQuickAnswerWait(Milliseconds wait) { quickAnswerWait_ = wait; }
  // Called on every refresh tick (the burn's watch over its workers).
  void SetRunWatch(std::function<void()> watch) { runWatch_ = std::move(watch); }

  // --- State -------------------------------------------------------------
  Dispatcher& dispatcher() { return dispatcher_; }
  Clock& clock() { return clock_; }
  Host& host() { return host_; }
  MessageSink& messages() { return messages_; }
  const std::filesystem::path& stationDir() const { return stationDir_; }
  std::filesystem::path settingsPath() const { return SettingsPath(stationDir_); }

  DeviceSlotTable& slots() { return slots_; }
  const DeviceSlotTable& slots() const { return slots_; }
  StatusRows& rows() { return rows_; }
  const StatusRows& rows() const { return rows_; }
  SpiCatalogue& catalogue() { return catalogue_; }
  BurnFileSet& files() { return files_; }
  const Settings& settings() const { return settings_; }
  Settings& mutableSettings() { return settings_; }
  // Set at start-up when the settings file exists but could not be read: the
  // counters then start from the defaults and are not written back.
  bool countersWritable() const { return settingsReadError_.empty(); }
  // Why SpiList.ini could not be read at start-up; "" when it could (or is missing).
  const std::string& catalogueProblem() const { return catalogueReadError_; }

  // Counters: incremented atomically by the workers, shown by the refresh.
  std::atomic<int32_t> PassCount{0};
  std::atomic<int32_t> FailCount{0};
  int32_t passCountShown = 0;
  int32_t failCountShown = 0;
  // Nonzero from START until the run ends.
  std::atomic<int32_t> BurnRunning{0};

  // The flash fields read at identification, per drive letter. They belong
  // to the unit they were read from, not to the letter: dropped (zero) when
  // it leaves, and burned only into a unit that CheckUnit finds the same.
  FlashSerial FlashSerialCache(char letter) const;
  FlashUserId FlashIdCache(char letter) const;
  void SetUnitIdentity(char letter, const UnitIdentity& unit);
  void DropUnitIdentity(char letter);
  // Reads the unit behind the handle now and compares it with the one
  // identified; on Same, *identified receives the identity compared with.
  UnitMatch CheckUnit(char letter, void* handle, UnitIdentity* identified = nullptr) const;
  // The station rewrote this unit's flash through the handle: its block 0 is
  // read again (when that read fails, the unit is known by its location and
  // the serial written until it is identified again).
  void RenewBlockZero(char letter, void* handle);
  // Another unit stands behind a listed letter: it is identified anew through
  // the handle (recognised, on unit 0, its flash readable) and takes the
  // place of the one that left. False (the identity dropped) when it cannot be.
  bool AdoptUnit(char letter, void* handle);
  IdentifiedDrive Identified(char letter) const;

  // Entries of the SD master image drive box: each begins with its letter.
  const std::vector<std::string>& masterImageDrives() const { return masterImageDrives_; }
  int masterImageSelection() const { return masterImageSelection_; }
  void SelectMasterImageDrive(int index);

  // The window's caption text.
  const std::string& caption() const { return caption_; }
  void SetCaption(std::string caption) { caption_ = std::move(caption); }

  // Told after every event that may have changed what a front end shows.
  void SetChangeListener(std::function<void()> listener) { changeListener_ = std::move(listener); }
  void NotifyChanged();

  // Export, System sound and configuration are enabled together: on every
  // tick while no burn runs, when a package has been imported; the burn
  // engine sets them at the start and end of a run.
  bool packageButtonsEnabled() const { return packageButtonsEnabled_; }
  void SetPackageButtons(bool enabled) { packageButtonsEnabled_ = enabled; }

  uint32_t ArrivalMask = 0;
  uint32_t RemovalMask = 0;

 private:
  static int SlotIndex(char letter);
  char RowLetter(int row) const;
  void RemoveMasterImageDrive(char letter);
  void ListDrive(char letter, DeviceListEntry entry, const std::string& flashId, const std::string& node);
  void DriveGone(char removed, uint32_t goneMask);
  void ProbeRemoved(char letter);
  void ProbeBurning(char letter);

  Dispatcher& dispatcher_;
  Clock& clock_;
  Host& host_;
  MessageSink& messages_;
  std::filesystem::path stationDir_;

  DeviceSlotTable slots_;
  StatusRows rows_;
  SpiCatalogue catalogue_;
  BurnFileSet files_;
  Settings settings_;
  std::string settingsReadError_;
  std::string catalogueReadError_;

  mutable std::mutex cacheMutex_;  // the caches are read by workers
  std::array<std::optional<UnitIdentity>, kDeviceSlotCount> units_{};
  std::array<IdentifiedDrive, kDeviceSlotCount> identified_{};

  std::mutex scanMutex_;  // held around every scan
  std::vector<std::string> masterImageDrives_;
  int masterImageSelection_ = -1;
  std::string caption_;
  bool packageButtonsEnabled_ = false;
  std::function<void()> changeListener_;
  VolumeHandler volumeHandler_;
  std::function<void()> runWatch_;
  CommandBounds commandBounds_;
  Milliseconds quickAnswerWait_ = kQuickAnswer;
  uint32_t probingRemoved_ = 0;  // letters whose removal probe is under way
  uint32_t probingBurning_ = 0;
  // Last: its calls' continuations reach the members above.
  OffThreadCalls deviceCalls_{dispatcher_};
};

}  // namespace ardentix
