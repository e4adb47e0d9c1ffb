// One virtual device: decodes the family's CDBs against its flash and cards.
// Each device serialises its commands under its own mutex, as the real
// controller does, so timing sleeps happen while holding it.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "config_internal.h"
#include "sparse_store.h"

namespace qmr::sim {
namespace {

constexpr uint32_t kSector = 512;      // SD sector and flash transfer unit
constexpr uint32_t kEraseUnit = 256;   // sector-erase addresses count these
constexpr uint64_t kSerialAt = 136;    // block 0: serial number, 12 UTF-16LE digits
constexpr uint64_t kUserIdAt = 184;    // block 0: 20-byte user id

enum class Op {
  TestUnitReady,
  Inquiry,
  ReadCapacity,
  Read10,
  Write10,
  Identify,
  FlashStatus,
  FlashRead,
  FlashWrite,
  ChipErase,
  FlashId,
  SectorErase,
  Reset,
  SetSdOffset,
  VendorSdRead,
  VendorSdWrite,
  CardSectors,
  CardReadTime,
};

// What a CDB asks for: its data phase and the fault entries that watch it.
struct Command {
  Op op = Op::TestUnitReady;
  Direction direction = Direction::None;
  uint64_t length = 0;
  std::optional<FaultTarget> target;
};

uint32_t Be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
uint16_t Be16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
void PutBe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * (3 - i)));
}
uint32_t Clamp32(uint64_t v) { return uint32_t(std::min<uint64_t>(v, 0xFFFFFFFFull)); }

// How long a command's data phase is.
enum class Length : uint8_t {
  Fixed,  // CommandEntry::bytes
  Units,  // the 16-bit count at bytes 7 and 8, in 512-byte units
};

constexpr uint16_t FieldBytes(int first, int last) {
  uint16_t mask = 0;
  for (int i = first; i <= last; ++i) mask = uint16_t(mask | (1u << i));
  return mask;
}

// The family's command set, one entry per command: the CDB with its fixed
// bytes (every byte not listed is 0), how many leading bytes name the
// command, which bytes carry the caller's numbers, and the data phase.
struct CommandEntry {
  Op op;
  std::array<uint8_t, 16> cdb;
  int nameBytes;
  uint16_t fields;
  Direction direction;
  Length length;
  uint32_t bytes;
  std::optional<FaultTarget> target;
};

constexpr uint16_t kAddressAndCount = FieldBytes(3, 8);  // A3 A2 A1 A0 N1 N0
constexpr uint16_t kBlockAndCount = FieldBytes(2, 5) | FieldBytes(7, 8);  // READ(10), WRITE(10)

const CommandEntry kCommands[] = {
    // Hosts ask this of every disk; the family answers it like any other.
    {Op::TestUnitReady, {0x00}, 1, 0, Direction::None, Length::Fixed, 0, std::nullopt},
    // Allocation length 0 and byte 8 = 1, as the family's INQUIRY is sent.
    {Op::Inquiry, {0x12, 0, 0, 0, 0, 0, 0, 0, 0x01}, 1, 0, Direction::In, Length::Fixed, 36, FaultTarget::Inquiry},
    {Op::ReadCapacity, {0x25, 0, 0, 0, 0, 0, 0, 0, 0x01}, 1, 0, Direction::In, Length::Fixed, 8,
     FaultTarget::ReadCapacity},
    {Op::Read10, {0x28}, 1, kBlockAndCount, Direction::In, Length::Units, 0, FaultTarget::SdRead},
    {Op::Write10, {0x2A}, 1, kBlockAndCount, Direction::Out, Length::Units, 0, FaultTarget::SdWrite},
    {Op::Identify, {0xF6, 0x00}, 2, 0, Direction::In, Length::Fixed, 2, FaultTarget::Identify},
    {Op::FlashStatus, {0xF6, 0x01}, 2, 0, Direction::In, Length::Fixed, 2, FaultTarget::FlashStatus},
    {Op::FlashRead, {0xF6, 0x05, 0x06}, 2, kAddressAndCount, Direction::In, Length::Units, 0, FaultTarget::FlashRead},
    {Op::FlashWrite, {0xF6, 0x06, 0x06}, 2, kAddressAndCount, Direction::Out, Length::Units, 0,
     FaultTarget::FlashWrite},
    {Op::ChipErase, {0xF6, 0x08}, 2, 0, Direction::None, Length::Fixed, 0, FaultTarget::ChipErase},
    {Op::FlashId, {0xF6, 0x09, 0x01}, 2, 0, Direction::In, Length::Fixed, 4, FaultTarget::FlashId},
    // F1 F0 first unit, N1 N0 unit count, M mode.
    {Op::SectorErase, {0xF6, 0x15, 0x06}, 2, FieldBytes(3, 7), Direction::None, Length::Fixed, 0,
     FaultTarget::SectorErase},
    {Op::Reset, {0xF6, 0xFF}, 2, 0, Direction::None, Length::Fixed, 0, std::nullopt},
    {Op::SetSdOffset, {0xF6, 0xE0}, 2, 0, Direction::Out, Length::Fixed, 4, std::nullopt},
    {Op::VendorSdRead, {0xF6, 0xE1, 0x00}, 2, kAddressAndCount, Direction::In, Length::Units, 0, FaultTarget::SdRead},
    {Op::VendorSdWrite, {0xF6, 0xE2, 0x00}, 2, kAddressAndCount, Direction::Out, Length::Units, 0,
     FaultTarget::SdWrite},
    {Op::CardSectors, {0xF6, 0xF0, 0xF0}, 3, 0, Direction::In, Length::Fixed, 4, std::nullopt},
    {Op::CardReadTime, {0xF6, 0xF0, 0xF1}, 3, FieldBytes(3, 6), Direction::In, Length::Fixed, 4, std::nullopt},
};

const CommandEntry* Lookup(const uint8_t* c) {
  for (const CommandEntry& entry : kCommands)
    if (std::equal(c, c + entry.nameBytes, entry.cdb.begin())) return &entry;
  return nullptr;
}

bool FixedBytesHold(const CommandEntry& entry, const uint8_t* c) {
  for (int i = 0; i < 16; ++i)
    if ((entry.fields & (1u << i)) == 0 && c[i] != entry.cdb[size_t(i)]) return false;
  return true;
}

uint64_t PhaseLength(const CommandEntry& entry, const uint8_t* c) {
  return entry.length == Length::Units ? uint64_t(Be16(c + 7)) * kSector : entry.bytes;
}

// Commands that touch the flash array, refused while an erase runs.
bool FlashDataCommand(Op op) {
  return op == Op::FlashRead || op == Op::FlashWrite || op == Op::SectorErase || op == Op::ChipErase;
}

// A command without data accepts only an empty phase; one with data only its
// own direction and exact length.
bool PhaseMatches(const Command& cmd, Direction direction, const uint8_t* buffer, uint32_t length) {
  if (cmd.length == 0) return length == 0;
  return direction == cmd.direction && length == cmd.length && buffer != nullptr;
}

uint64_t TransferUs(uint64_t bytes, double mbps) { return mbps > 0 ? uint64_t(std::ceil(double(bytes) / mbps)) : 0; }

void Pad(uint8_t* out, const std::string& text, size_t width) {
  std::memset(out, ' ', width);
  std::memcpy(out, text.data(), std::min(width, text.size()));
}

uint32_t LetterBit(char letter) { return letter >= 'A' && letter <= 'Z' ? 1u << (letter - 'A') : 0; }

// Orders the plug-ins of all devices, so that a port knows which unit came last.
std::atomic<uint64_t> plugSequence{0};

}  // namespace

struct VirtualDevice::State {
  struct ArmedFault {
    FaultSpec fault;
    int64_t seen = 0;  // matching operations so far
  };
  struct Outcome {
    bool fail = false;
    bool corrupt = false;
    bool unplug = false;
    bool stall = false;
  };

  State(const DeviceConfig& c, uint64_t flashBytes)
      : flash(flashBytes, 0xFF), cards{SparseStore(c.sdSectors * kSector, 0), SparseStore(c.sd2Sectors * kSector, 0)} {
    for (const FaultSpec& f : c.faults) faults.push_back({f});
    Attach(flash, c.flashFile, "flashFile", &flashCreated);
    Attach(cards[0], c.sdFile, "sdFile", nullptr);
    if (c.luns == 2) Attach(cards[1], c.sd2File, "sd2File", nullptr);
  }

  static void Attach(SparseStore& store, const std::string& path, const char* key, bool* created) {
    if (path.empty()) return;
    std::string error;
    if (!store.AttachFile(path, created, error)) throw std::runtime_error(std::string(key) + " " + error);
  }

  // Counts the operation against every entry that watches it and fires the
  // ones whose turn it is. Busy takes effect here; the rest is the caller's.
  Outcome Consult(FaultTarget target) {
    Outcome o;
    for (ArmedFault& f : faults) {
      if (f.fault.on != target) continue;
      const int64_t n = f.seen++;
      if (n < f.fault.after) continue;
      if (f.fault.count >= 0 && n - f.fault.after >= f.fault.count) continue;
      switch (f.fault.action) {
        case FaultAction::Fail:
          o.fail = true;
          break;
        case FaultAction::Corrupt:
          o.corrupt = true;
          break;
        case FaultAction::Busy:
          stuckBusy = true;
          break;
        case FaultAction::Unplug:
          o.unplug = true;
          break;
        case FaultAction::Stall:
          o.stall = true;
          stalled = true;
          stallEnd = f.fault.ms < 0 ? std::chrono::steady_clock::time_point::max()
                                    : std::chrono::steady_clock::now() + std::chrono::milliseconds(f.fault.ms);
          break;
      }
    }
    if (o.unplug) plugged = false;
    return o;
  }

  // Caller holds the mutex (in `lock`). Waits while the device stalls, for no
  // longer than timeoutMs (0: no limit).
  CommandResult WaitOutStall(std::unique_lock<std::mutex>& lock, uint32_t timeoutMs) {
    using std::chrono::steady_clock;
    const auto deadline =
        timeoutMs == 0 ? steady_clock::time_point::max() : steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      if (!plugged) return CommandResult::Gone;
      const auto now = steady_clock::now();
      if (!stalled || stallEnd <= now) {
        stalled = false;
        return CommandResult::Failed;  // no answer came; the next command is answered
      }
      if (deadline <= now) return CommandResult::TimedOut;
      stallWake.wait_until(lock, std::min(stallEnd, deadline));
    }
  }

  mutable std::mutex mutex;
  std::condition_variable stallWake;  // an unplug ends every stalled command
  bool stalled = false;
  std::chrono::steady_clock::time_point stallEnd;
  SparseStore flash;
  SparseStore cards[2];
  bool plugged = true;
  int busyPolls = 0;
  uint64_t pluggedAt = 0;  // plugSequence at the last plug-in; 0 never plugged
  bool flashCreated = true;  // false: a flash file brought its content along
  bool stuckBusy = false;    // a "busy" fault: survives reset and replug
  uint32_t sdOffset[2] = {};  // vendor SD path, per logical unit
  std::vector<ArmedFault> faults;
  std::function<void(bool, uint32_t)> notifier;
};

VirtualDevice::VirtualDevice(const DeviceConfig& config) : config_(config) {
  config_.luns = std::clamp(config_.luns, 1, 2);
  if (config_.luns == 2) {
    lun1Letter_ = config_.lun1Letter;
    if (lun1Letter_ == 0 && config_.letter >= 'A' && config_.letter < 'Z') lun1Letter_ = char(config_.letter + 1);
  }
  config_.lun1Letter = lun1Letter_;
  if (config_.usbInstanceId.empty()) config_.usbInstanceId = DefaultInstanceId(config_.letter - 'E');
  state_ = std::make_unique<State>(config_, uint64_t(config_.flashSizeKB) * 1024);
  state_->plugged = config_.plugAtMs < 0;
  sdReadMBps_ = config_.timing.sdReadMBps;
  sdWriteMBps_ = config_.timing.sdWriteMBps;
  if (config_.cardMBps > 0 && sdWriteMBps_ > 0) {
    sdReadMBps_ *= config_.cardMBps / sdWriteMBps_;
    sdWriteMBps_ = config_.cardMBps;
  } else if (config_.cardSpeed > 0) {
    sdReadMBps_ *= config_.cardSpeed;
    sdWriteMBps_ *= config_.cardSpeed;
  }
  if (state_->plugged) state_->pluggedAt = ++plugSequence;

  // Factory block 0: the serial as UTF-16LE digits and the user id.
  uint8_t block0[kUserIdAt + 20];
  std::memset(block0, 0xFF, sizeof block0);
  if (config_.serial) {
    const std::string& s = *config_.serial;
    for (size_t i = 0; i < std::min<size_t>(s.size(), 12); ++i) {
      block0[kSerialAt + 2 * i] = uint8_t(s[i]);
      block0[kSerialAt + 2 * i + 1] = 0;
    }
  }
  std::memcpy(block0 + kUserIdAt, config_.userId.data(), config_.userId.size());
  // A flash file that already existed keeps what the last run left there.
  if (state_->flashCreated && state_->flash.InRange(0, sizeof block0) &&
      !state_->flash.Write(0, block0, sizeof block0))
    throw std::runtime_error("flashFile " + config_.flashFile + ": cannot be written");
}

VirtualDevice::~VirtualDevice() = default;

void VirtualDevice::SetSharedBus(std::shared_ptr<SharedBus> bus) { sharedBus_ = std::move(bus); }

double SharedBus::Share(double ownMBps, double busMBps, int active) {
  if (busMBps <= 0 || active <= 0) return ownMBps;
  return std::min(ownMBps, busMBps / active);
}

uint64_t SharedBus::Begin(uint64_t bytes, double ownMBps) {
  const int active = active_.fetch_add(1) + 1;
  return TransferUs(bytes, Share(ownMBps, mbps_, active));
}

void SharedBus::End() { active_.fetch_sub(1); }

char VirtualDevice::LetterOf(int lun) const {
  if (lun == 0) return config_.letter;
  if (lun == 1 && config_.luns == 2) return lun1Letter_;
  return 0;
}

uint32_t VirtualDevice::LetterMask() const { return LetterBit(LetterOf(0)) | LetterBit(LetterOf(1)); }

void VirtualDevice::SetPlugNotifier(std::function<void(bool arrived, uint32_t mask)> notifier) {
  std::lock_guard lock(state_->mutex);
  state_->notifier = std::move(notifier);
}

void VirtualDevice::NotifyPlug(bool arrived) {
  std::function<void(bool, uint32_t)> notifier;
  {
    std::lock_guard lock(state_->mutex);
    notifier = state_->notifier;
  }
  if (notifier) notifier(arrived, LetterMask());
}

uint64_t VirtualDevice::PluggedAt() const {
  std::lock_guard lock(state_->mutex);
  return state_->pluggedAt;
}

bool VirtualDevice::Plugged() const {
  std::lock_guard lock(state_->mutex);
  return state_->plugged;
}

void VirtualDevice::SetPlugged(bool plugged) {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->plugged == plugged) return;
    state_->plugged = plugged;
    if (plugged) {
      state_->pluggedAt = ++plugSequence;
      // Power-on: the controller forgets what it was doing.
      state_->busyPolls = 0;
      state_->sdOffset[0] = state_->sdOffset[1] = 0;
      state_->stalled = false;
    }
  }
  state_->stallWake.notify_all();
  NotifyPlug(plugged);
}

void VirtualDevice::AddFault(const FaultSpec& fault) {
  std::lock_guard lock(state_->mutex);
  state_->faults.push_back({fault});
}

bool VirtualDevice::Open(int lun) {
  bool ok = false, vanished = false;
  {
    std::lock_guard lock(state_->mutex);
    if (!state_->plugged || !ValidLun(lun)) return false;
    const State::Outcome o = state_->Consult(FaultTarget::Open);
    vanished = o.unplug;
    ok = !o.fail && !o.unplug;
  }
  if (vanished) NotifyPlug(false);
  return ok;
}

bool VirtualDevice::Lock(int lun) {
  bool ok = false, vanished = false;
  {
    std::lock_guard lock(state_->mutex);
    if (!state_->plugged || !ValidLun(lun)) return false;
    const State::Outcome o = state_->Consult(FaultTarget::Lock);
    vanished = o.unplug;
    ok = !o.fail && !o.unplug;
  }
  if (vanished) NotifyPlug(false);
  return ok;
}

bool VirtualDevice::AnswerLocation(int lun) {
  bool ok = false, vanished = false;
  {
    std::lock_guard lock(state_->mutex);
    if (!state_->plugged || !ValidLun(lun)) return false;
    const State::Outcome o = state_->Consult(FaultTarget::Location);
    vanished = o.unplug;
    ok = !o.fail && !o.unplug;
  }
  if (vanished) NotifyPlug(false);
  return ok;
}

CdbDescription DescribeCdb(const uint8_t cdb[16]) {
  CdbDescription d;
  const CommandEntry* entry = cdb ? Lookup(cdb) : nullptr;
  if (entry == nullptr) return d;
  d.check = FixedBytesHold(*entry, cdb) ? CdbCheck::Known : CdbCheck::InvalidField;
  d.direction = entry->direction;
  d.length = PhaseLength(*entry, cdb);
  return d;
}

bool VirtualDevice::Stalled() const {
  std::lock_guard lock(state_->mutex);
  return state_->stalled && state_->stallEnd > std::chrono::steady_clock::now();
}

CommandResult VirtualDevice::Run(int lun, const uint8_t cdb[16], Direction direction, uint8_t* buffer,
                                 uint32_t length, uint32_t timeoutMs) {
  if (cdb == nullptr) return CommandResult::UnknownCommand;
  bool vanished = false;
  CommandResult result = CommandResult::Good;
  {
    std::unique_lock lock(state_->mutex);
    State& s = *state_;
    if (!s.plugged || !ValidLun(lun)) return CommandResult::Gone;
    // A stalled controller answers nothing, whatever is sent.
    if (s.stalled) return s.WaitOutStall(lock, timeoutMs);
    const Timing& timing = config_.timing;
    uint64_t sleepUs = timing.commandLatencyUs;
    // Data moved and the rate it would move at alone; the shared bus may slow it.
    uint64_t movedBytes = 0;
    double ownMBps = 0;
    SparseStore& card = s.cards[lun];
    const uint64_t cardSectors = lun == 0 ? config_.sdSectors : config_.sd2Sectors;

    const CommandEntry* entry = Lookup(cdb);
    std::optional<Command> cmd;
    if (entry == nullptr) {
      result = CommandResult::UnknownCommand;
    } else if (!FixedBytesHold(*entry, cdb)) {
      result = CommandResult::InvalidField;
    } else {
      cmd = Command{entry->op, entry->direction, PhaseLength(*entry, cdb), entry->target};
      if (!PhaseMatches(*cmd, direction, buffer, length)) result = CommandResult::PhaseMismatch;
      // The chip ignores its array while an erase runs: a caller that does
      // not wait for the status to read idle loses what it sends.
      else if (FlashDataCommand(cmd->op) && (s.stuckBusy || s.busyPolls > 0)) result = CommandResult::FlashBusy;
    }
    bool ok = result == CommandResult::Good;

    // Where the command lands, and whether it fits.
    uint64_t at = 0, bytes = 0;
    if (ok) {
      switch (cmd->op) {
        case Op::FlashRead:
        case Op::FlashWrite:
          at = Be32(cdb + 3);
          bytes = cmd->length;
          ok = s.flash.InRange(at, bytes);
          break;
        case Op::SectorErase:
          at = uint64_t(Be16(cdb + 3)) * kEraseUnit;
          bytes = uint64_t(Be16(cdb + 5)) * kEraseUnit;
          ok = s.flash.InRange(at, bytes);
          break;
        case Op::ChipErase:
          bytes = s.flash.Size();
          break;
        case Op::Read10:
        case Op::Write10:
          at = uint64_t(Be32(cdb + 2)) * kSector;
          bytes = cmd->length;
          ok = card.InRange(at, bytes);
          break;
        case Op::VendorSdRead:
        case Op::VendorSdWrite:
          at = (uint64_t(s.sdOffset[lun]) + Be32(cdb + 3)) * kSector;
          bytes = cmd->length;
          ok = card.InRange(at, bytes);
          break;
        default:
          break;
      }
    }

    if (result == CommandResult::Good && !ok) result = CommandResult::OutOfRange;

    State::Outcome fault;
    if (ok && cmd->target) {
      fault = s.Consult(*cmd->target);
      vanished = fault.unplug;
      if (fault.stall && !fault.unplug) return s.WaitOutStall(lock, timeoutMs);
      ok = !fault.fail && !fault.unplug;
      if (!ok) result = fault.unplug ? CommandResult::Gone : CommandResult::Failed;
    }

    if (ok) {
      switch (cmd->op) {
        case Op::TestUnitReady:
          break;
        case Op::Inquiry: {
          std::memset(buffer, 0, 36);
          buffer[1] = 0x80;  // removable
          buffer[2] = 0x02;
          buffer[3] = 0x02;
          buffer[4] = 31;  // additional length
          Pad(buffer + 8, config_.vendor, 8);
          Pad(buffer + 16, config_.product, 16);
          Pad(buffer + 32, config_.revision, 4);
          break;
        }
        case Op::ReadCapacity:
          PutBe32(buffer, cardSectors == 0 ? 0 : Clamp32(cardSectors - 1));
          PutBe32(buffer + 4, kSector);
          break;
        case Op::Identify:
          buffer[0] = config_.identify[0];
          buffer[1] = config_.identify[1];
          break;
        case Op::FlashStatus: {
          const bool busy = s.stuckBusy || s.busyPolls > 0;
          if (!s.stuckBusy && s.busyPolls > 0) --s.busyPolls;
          buffer[0] = 0x00;
          buffer[1] = busy ? 0x01 : 0x00;
          break;
        }
        case Op::FlashRead:
          ok = s.flash.Read(at, buffer, bytes);
          movedBytes = bytes, ownMBps = timing.flashReadMBps;
          break;
        case Op::FlashWrite:
          ok = s.flash.And(at, buffer, bytes);
          movedBytes = bytes, ownMBps = timing.flashWriteMBps;
          break;
        case Op::ChipErase:
        case Op::SectorErase:
          ok = s.flash.Blank(at, bytes);
          s.busyPolls = config_.eraseBusyPolls;
          sleepUs += timing.eraseLatencyUs;
          break;
        case Op::FlashId:
          std::memcpy(buffer, config_.flashId.data(), 4);
          break;
        case Op::Reset:
          s.busyPolls = 0;
          break;
        case Op::SetSdOffset:
          s.sdOffset[lun] = uint32_t(buffer[0]) | uint32_t(buffer[1]) << 8 | uint32_t(buffer[2]) << 16 |
                            uint32_t(buffer[3]) << 24;
          break;
        case Op::Read10:
        case Op::VendorSdRead:
          ok = card.Read(at, buffer, bytes);
          movedBytes = bytes, ownMBps = sdReadMBps_;
          break;
        case Op::Write10:
        case Op::VendorSdWrite:
          ok = card.Write(at, buffer, bytes);
          movedBytes = bytes, ownMBps = sdWriteMBps_;
          break;
        case Op::CardSectors:
          PutLe32(buffer, Clamp32(cardSectors));
          break;
        case Op::CardReadTime: {
          // Reading that many sectors, in 10 us units; a believable figure
          // even when the simulation itself runs instantly.
          const Timing real = Timing::Realistic();
          const double rate = timing.sdReadMBps > 0 ? timing.sdReadMBps : real.sdReadMBps;
          const uint64_t latency = timing.commandLatencyUs > 0 ? timing.commandLatencyUs : real.commandLatencyUs;
          const uint64_t us = latency + TransferUs(uint64_t(Be32(cdb + 3)) * kSector, rate);
          PutLe32(buffer, Clamp32((us + 9) / 10));
          break;
        }
      }

      // A backing file that could not be read or written (a full disk).
      if (!ok) result = CommandResult::Failed;

      // One flipped bit, where a read-back or the caller will see it.
      if (ok && fault.corrupt) {
        const bool stored = cmd->op == Op::FlashWrite || cmd->op == Op::ChipErase || cmd->op == Op::SectorErase ||
                            cmd->op == Op::Write10 || cmd->op == Op::VendorSdWrite;
        if (stored && bytes > 0) {
          SparseStore& store = (cmd->op == Op::Write10 || cmd->op == Op::VendorSdWrite) ? card : s.flash;
          store.FlipBit(at + bytes / 2, 0);
        } else if (!stored && length > 0) {
          buffer[length / 2] ^= 0x01;
        }
      }
    }
    const bool shared = sharedBus_ && ownMBps > 0 && movedBytes > 0;
    sleepUs += shared ? sharedBus_->Begin(movedBytes, ownMBps) : TransferUs(movedBytes, ownMBps);
    if (sleepUs > 0) std::this_thread::sleep_for(std::chrono::microseconds(sleepUs));
    if (shared) sharedBus_->End();
  }
  if (vanished) NotifyPlug(false);
  return result;
}

bool VirtualDevice::PeekFlash(uint64_t address, uint8_t* buffer, uint64_t length) const {
  std::lock_guard lock(state_->mutex);
  if (buffer == nullptr || !state_->flash.InRange(address, length)) return false;
  return state_->flash.Read(address, buffer, length);
}

bool VirtualDevice::PokeFlash(uint64_t address, const uint8_t* buffer, uint64_t length) {
  std::lock_guard lock(state_->mutex);
  if (buffer == nullptr || !state_->flash.InRange(address, length)) return false;
  return state_->flash.Write(address, buffer, length);
}

bool VirtualDevice::PeekSd(int lun, uint64_t offset, uint8_t* buffer, uint64_t length) const {
  if (!ValidLun(lun)) return false;
  std::lock_guard lock(state_->mutex);
  if (buffer == nullptr || !state_->cards[lun].InRange(offset, length)) return false;
  return state_->cards[lun].Read(offset, buffer, length);
}

uint64_t VirtualDevice::SdBytesStored(int lun) const {
  if (!ValidLun(lun)) return 0;
  std::lock_guard lock(state_->mutex);
  return state_->cards[lun].BytesStored();
}

bool VirtualDevice::FormatCard(int lun) {
  if (!ValidLun(lun)) return false;
  std::lock_guard lock(state_->mutex);
  if (!state_->plugged) return false;
  SparseStore& card = state_->cards[lun];
  return card.Blank(0, card.Size());
}

}  // namespace qmr::sim
