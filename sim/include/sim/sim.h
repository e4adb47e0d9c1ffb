// Virtual devices of the RQ4820 family: an SPI NOR flash, one or two SD cards
// (logical units), the identify answer, INQUIRY and the vendor command set,
// with configurable timing and injected faults.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace qmr::sim {

enum class Direction : uint8_t { In, Out, None };

// Which command a fault applies to.
enum class FaultTarget : uint8_t {
  Open,
  Identify,
  Inquiry,
  FlashId,
  FlashStatus,
  FlashRead,
  FlashWrite,
  SectorErase,
  ChipErase,
  SdRead,
  SdWrite,
  ReadCapacity,
  Lock,      // the station's volume lock (asked by the host layer, not a command)
  Location,  // the location of the device's letters (asked by the library, not a command)
};

enum class FaultAction : uint8_t {
  Fail,     // the command fails
  Corrupt,  // a read returns (a write stores) data with one bit flipped
  Busy,     // the flash status stays busy from then on
  Unplug,   // the device vanishes: this and every later command and open fail
  Stall,    // the device stops answering: for `ms`, or until it is pulled out
};

struct FaultSpec {
  FaultTarget on = FaultTarget::FlashWrite;
  int after = 0;  // how many such commands succeed first
  FaultAction action = FaultAction::Fail;
  int count = 1;  // how many times it fires; -1 forever
  int64_t ms = -1;  // a stall's length; -1: until the device is unplugged
};

// Per-command latency and transfer rates. Zero means instant.
struct Timing {
  uint32_t commandLatencyUs = 0;
  double sdReadMBps = 0;
  double sdWriteMBps = 0;
  double flashReadMBps = 0;
  double flashWriteMBps = 0;
  uint32_t eraseLatencyUs = 0;  // added to each erase command

  static Timing Realistic();  // a USB 2.0 card reader and an SPI NOR flash
  bool IsZero() const;
};

struct DeviceConfig {
  char letter = 'E';
  char lun1Letter = 0;  // letter of logical unit 1; 0 = the next free letter
  int luns = 1;         // 1 or 2
  std::string vendor = "Generic";
  std::string product = "RQ4820 Disk";
  std::string revision = "1.00";
  std::array<uint8_t, 2> identify = {1, 1};
  std::array<uint8_t, 4> flashId = {0x00, 0xEF, 0x40, 0x18};  // answer bytes, byte 0 first
  uint32_t flashSizeKB = 16384;
  std::optional<std::string> serial = std::string("000000012345");  // 12 digits; nullopt: 0xFF in flash
  std::array<uint8_t, 20> userId = {};
  uint64_t sdSectors = 1048576;   // card of logical unit 0
  uint64_t sd2Sectors = 1048576;  // card of logical unit 1
  int eraseBusyPolls = 2;         // status polls that answer busy after an erase
  std::vector<FaultSpec> faults;
  Timing timing;
  std::string usbInstanceId;  // shared by both logical units; "" = derived from the letter
  int64_t plugAtMs = -1;      // scheduled plug-in (ms after the bus starts); -1 = plugged at start
  int64_t unplugAtMs = -1;    // scheduled removal; -1 = never
  // Files that hold the flash and the cards, so that their content outlasts
  // the process; created when absent. "" = kept in memory.
  std::string flashFile;
  std::string sdFile;   // logical unit 0's card
  std::string sd2File;  // logical unit 1's card
  // This device's card against the timing's SD rates: a factor, or the
  // card's own write speed in MB/s (reads keep the timing's read/write
  // ratio). 0 for cardMBps = not set. Instant timing stays instant.
  double cardSpeed = 1.0;
  double cardMBps = 0;
};

// The bandwidth the devices behind one hub share: a transfer gets its own
// rate or its share of the hub's, whichever is lower, counting the
// transfers under way at once. 0 MB/s = no limit.
class SharedBus {
 public:
  explicit SharedBus(double mbps = 0) : mbps_(mbps) {}
  double MBps() const { return mbps_; }
  // The rate one of `active` transfers gets.
  static double Share(double ownMBps, double busMBps, int active);
  // Microseconds to move `bytes` at `ownMBps` (0 = instant) on this bus,
  // counting this transfer among those under way; call Begin before and
  // End after the transfer's wait.
  uint64_t Begin(uint64_t bytes, double ownMBps);
  void End();

 private:
  double mbps_;
  std::atomic<int> active_{0};
};

struct SimConfig {
  std::vector<DeviceConfig> devices;
  // "location": "system": the library's location functions ask the system
  // (registry or sysfs) about simulated letters too, instead of answering
  // from the configuration. Tests of those roads run on simulated devices so.
  bool systemLocation = false;
  // The hub's bandwidth shared by all devices (MB/s); 0 = each device at its
  // own rates. "timing": "realistic" makes it 35 unless "busMBps" says.
  double busMBps = 0;
};

// Reads a simulator description: a number N (N default devices on E, F, G,
// ...), JSON text (starting with '{'), or the path of a JSON file. On error
// returns false and sets error to a message naming the source and the fault.
bool ParseSimSpec(const std::string& spec, SimConfig& out, std::string& error);

// Parses one fault object, e.g. {"on":"flash-write","after":3,"action":"fail"}.
bool ParseFault(const std::string& json, FaultSpec& out, std::string& error);

// How a CDB reads against the family's command table. A command is named by
// its first bytes (opcode, sub-command); every other byte that carries no
// number of the caller must hold the table's value (0 for reserved bytes).
enum class CdbCheck : uint8_t {
  Known,           // a command of the table, every fixed byte right
  UnknownCommand,  // no command of the table has these first bytes
  InvalidField,    // a command of the table with a fixed or reserved byte wrong
};
struct CdbDescription {
  CdbCheck check = CdbCheck::UnknownCommand;
  // The data phase of the named command (also for InvalidField).
  Direction direction = Direction::None;
  uint64_t length = 0;
};
CdbDescription DescribeCdb(const uint8_t cdb[16]);

// What became of one command.
enum class CommandResult : uint8_t {
  Good,
  UnknownCommand,
  InvalidField,   // a fixed or reserved CDB byte differs from the table
  PhaseMismatch,  // the data phase is not the command's direction and length
  OutOfRange,     // the address or count runs past the flash or card
  FlashBusy,      // a flash read, write or erase while an erase still runs
  Failed,         // an injected fault
  Gone,           // unplugged (or no such logical unit)
  TimedOut,       // the device did not answer within the caller's timeout
};

// The factory content of flash block 0 and the default device of index i.
DeviceConfig DefaultDevice(int index);

class VirtualDevice {
 public:
  // Throws std::runtime_error when a flashFile, sdFile or sd2File cannot be
  // used (the message names the file and why).
  explicit VirtualDevice(const DeviceConfig& config);
  ~VirtualDevice();
  VirtualDevice(const VirtualDevice&) = delete;
  VirtualDevice& operator=(const VirtualDevice&) = delete;

  const DeviceConfig& config() const { return config_; }
  // The card's SD rates after its own speed (MB/s, 0 = instant).
  double SdReadMBps() const { return sdReadMBps_; }
  double SdWriteMBps() const { return sdWriteMBps_; }
  char LetterOf(int lun) const;  // letters after auto-assignment

  // An open of one logical unit: false while unplugged or when an "open"
  // fault fires.
  bool Open(int lun);

  // Executes one 16-byte CDB with the given data phase, as strictly as the
  // controller: a CDB off the command table, a wrong data phase, an address
  // past the end, or a flash data command while the flash is busy after an
  // erase (until a status poll has seen it idle) is refused.
  // While the device stalls, a command waits for no longer than timeoutMs
  // (0: no limit, as on a USB wire, where the host decides) and then is
  // TimedOut; a stall that ends first, or an unplug, loses the command.
  CommandResult Run(int lun, const uint8_t cdb[16], Direction direction, uint8_t* buffer, uint32_t length,
                    uint32_t timeoutMs = 0);
  // Run, true only for Good.
  bool Execute(int lun, const uint8_t cdb[16], Direction direction, uint8_t* buffer, uint32_t length,
               uint32_t timeoutMs = 0) {
    return Run(lun, cdb, direction, buffer, length, timeoutMs) == CommandResult::Good;
  }
  // Whether a stall is holding the device's answers now.
  bool Stalled() const;

  // The station's volume lock; false when a "lock" fault fires or unplugged.
  bool Lock(int lun);
  // Whether a location lookup of the unit's letter answers; false when a
  // "location" fault fires or unplugged.
  bool AnswerLocation(int lun);

  bool Plugged() const;
  void SetPlugged(bool plugged);
  // Orders plug-ins across devices: larger is later; 0 never plugged.
  uint64_t PluggedAt() const;
  void AddFault(const FaultSpec& fault);

  // Direct access for tests and tools, bypassing commands, faults and timing.
  bool PeekFlash(uint64_t address, uint8_t* buffer, uint64_t length) const;
  bool PokeFlash(uint64_t address, const uint8_t* buffer, uint64_t length);
  bool PeekSd(int lun, uint64_t offset, uint8_t* buffer, uint64_t length) const;
  uint64_t SdBytesStored(int lun) const;  // memory held by the sparse card
  // Empties a logical unit's card, as a host format would; false while unplugged.
  bool FormatCard(int lun);

 private:
  friend class Bus;
  struct State;
  // Mask (bit 0 = "A") of the letters this device shows when plugged.
  uint32_t LetterMask() const;
  // The bus hears of every plug change, including a fault pulling the device.
  void SetPlugNotifier(std::function<void(bool arrived, uint32_t mask)> notifier);
  void SetSharedBus(std::shared_ptr<SharedBus> bus);
  void NotifyPlug(bool arrived);
  bool ValidLun(int lun) const { return lun == 0 || (lun == 1 && config_.luns == 2); }
  DeviceConfig config_;
  char lun1Letter_ = 0;
  double sdReadMBps_ = 0, sdWriteMBps_ = 0;  // the timing's rates times the card's speed
  std::shared_ptr<SharedBus> sharedBus_;
  std::unique_ptr<State> state_;
};

// The set of simulated devices, found by drive letter.
class Bus {
 public:
  // Throws std::runtime_error as VirtualDevice does.
  explicit Bus(const SimConfig& config);
  ~Bus();

  // The device and logical unit shown under a letter while plugged.
  std::shared_ptr<VirtualDevice> Find(char letter, int* lun) const;
  // The device that owns a letter, plugged or not.
  std::shared_ptr<VirtualDevice> Owner(char letter, int* lun) const;
  const std::vector<std::shared_ptr<VirtualDevice>>& Devices() const { return devices_; }

  uint32_t DriveMask() const;  // bit 0 = "A", letters of plugged devices
  bool SystemLocation() const { return systemLocation_; }
  double BusMBps() const { return sharedBus_ ? sharedBus_->MBps() : 0; }
  // Any letter of the device; false when unknown. On a letter that devices
  // share (one port), the unit after the one plugged in last comes in.
  bool Plug(char letter);
  bool Unplug(char letter);

  // Called with (arrived, mask of the device's letters) on every plug and
  // unplug, from the thread that caused it (or the schedule's thread).
  using Listener = std::function<void(bool arrived, uint32_t mask)>;
  void SetListener(Listener listener);

 private:
  void RunSchedule();
  std::vector<std::shared_ptr<VirtualDevice>> devices_;
  bool systemLocation_ = false;
  // Holds the listener; shared with the devices, which may outlive the bus
  // (an open handle keeps its device).
  struct Hub;
  std::shared_ptr<Hub> hub_;
  std::shared_ptr<SharedBus> sharedBus_;
  struct Schedule;
  std::unique_ptr<Schedule> schedule_;
};

}  // namespace qmr::sim
