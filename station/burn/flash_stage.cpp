// The flash stage: check the chip against the catalogue, erase, write the
// image except its first 4096 bytes, verify, then write and verify that
// header chunk with the device's serial number and the chip's clock.
#include <algorithm>
#include <cstring>
#include <vector>

#include "QMR52916LIB_ext.h"
#include "burn/burn_engine.h"
#include "core/profile.h"

namespace ardentix {
namespace {

constexpr uint32_t kUnit = 512;
constexpr size_t kSerialOffset = 136;
constexpr size_t kUserIdOffset = 184;
constexpr size_t kSpiClockOffset = 206;
constexpr int32_t kMinimumSpiClockMHz = 48;
constexpr int kStatusPolls = 100;
constexpr int kFailedPollsInARow = 3;
constexpr Milliseconds kBusyPollWait{1000};
constexpr Milliseconds kSettleWait{1000};
constexpr Milliseconds kEraseToWriteWait{500};
// The erase command counts 256-byte units in 16 bits: it cannot reach
// beyond this many bytes behind the first 4096.
constexpr uint64_t kMaxEraseLength = 0xFFFFull * 256;

unsigned short UnitsFor(uint64_t n) { return static_cast<unsigned short>((n + kUnit - 1) / kUnit); }

}  // namespace

void BurnEngine::SetProgress(char letter, uint64_t done, uint64_t size) {
  Beat();
  station_.slots().SetDeviceProgress(letter, size == 0 ? 100 : int32_t(done * 100 / size));
}

void BurnEngine::SetUnitFields(char letter, const UnitIdentity& unit) {
  std::lock_guard lock(reportMutex_);
  unitFields_[letter] = UnitFields{unit.serial, unit.userId};
}

BurnEngine::UnitFields BurnEngine::FieldsOf(char letter) const {
  std::lock_guard lock(reportMutex_);
  const auto it = unitFields_.find(letter);
  return it == unitFields_.end() ? UnitFields{} : it->second;
}

std::array<uint8_t, 512> BurnEngine::BlockZero(char letter) const {
  std::array<uint8_t, 512> block;
  block.fill(0xFF);
  const UnitFields fields = FieldsOf(letter);
  const FlashSerial& serial = fields.serial;
  const FlashUserId& id = fields.userId;
  std::memcpy(block.data() + kSerialOffset, serial.data(), serial.size());
  std::memcpy(block.data() + kUserIdOffset, id.data(), id.size());
  return block;
}

void BurnEngine::PatchHeader(char letter, uint8_t* chunk, int32_t spiClock) const {
  const FlashSerial serial = FieldsOf(letter).serial;
  std::memcpy(chunk + kSerialOffset, serial.data(), serial.size());
  chunk[kSpiClockOffset] = uint8_t(spiClock & 0xFF);
  chunk[kSpiClockOffset + 1] = uint8_t((spiClock >> 8) & 0xFF);
}

StatusCode BurnEngine::BurnFlash(char letter, void* handle) {
  Beat();
  Clock& clock = station_.clock();
  const int64_t started = clock.NowMs();
  uint8_t block[kUnit];
  // The device cannot even be read: say so instead of leaving "---".
  if (!TVQ_FlashRead(handle, block, 0, 1)) return status::kFail;
  clock.SleepFor(kSettleWait);

  auto file = InputFile::Open(runFiles.flashPackagePath);
  if (!file) return status::kPackageLoadFailed;
  uint64_t size = file->size();

  unsigned char id[5] = {};
  TVQ_GetFlashID(handle, id);
  const std::string idText = FlashIdText(id);
  const int32_t spiClock = station_.catalogue().FrequencyForId(idText);
  station_.slots().SetDeviceSpiClock(letter, spiClock);
  if (spiClock < kMinimumSpiClockMHz) return status::kSpiTooSlow;
  const auto chip = station_.catalogue().FindById(idText);
  if (!chip) return status::kSpiTypeError;
  NoteChip(letter, chip->SpiType, spiClock);
  const uint64_t capacity = uint64_t(std::max<int64_t>(0, ParseLeadingInt(chip->LenKBytes))) * 1024;
  const uint64_t eraseLength = (size + kFlashChunkBytes - 1) / kFlashChunkBytes * kFlashChunkBytes;
  if (size >= capacity || eraseLength > kMaxEraseLength) return status::kDataTooBig;
  file.reset();
  clock.SleepFor(kSettleWait);

  // The unit is read again right before its erase: one plugged in under this
  // letter since the station read the serial would get the serial of the
  // unit that left.
  UnitIdentity unit;
  const UnitMatch match = station_.CheckUnit(letter, handle, &unit);
  if (match != UnitMatch::Same) return match == UnitMatch::Other ? status::kOtherUnit : status::kFail;
  SetUnitFields(letter, unit);
  const StatusCode r = ProgramFlash(letter, handle, size, spiClock);
  // What the station wrote is this unit's block 0 from now on.
  station_.RenewBlockZero(letter, handle);
  NoteStage(letter, "flash", started);
  if (r != 0) return r;
  NoteBytes(letter, 0, int64_t(size));
  return 0;
}

StatusCode BurnEngine::ProgramFlash(char letter, void* handle, uint64_t size, int32_t spiClock) {
  Clock& clock = station_.clock();
  int64_t t = clock.NowMs();
  StatusCode r = EraseFlash(letter, handle, (size + kFlashChunkBytes - 1) / kFlashChunkBytes * kFlashChunkBytes);
  NoteStage(letter, "flash-erase", t);
  if (r != 0) return r;
  clock.SleepFor(kEraseToWriteWait);

  auto file = InputFile::Open(runFiles.flashPackagePath);
  if (!file) return status::kPackageLoadFailed;
  t = clock.NowMs();
  r = WriteFlashImage(letter, handle, *file, size, false, spiClock);
  NoteStage(letter, "flash-write", t);
  file.reset();
  if (r != 0) return r;
  NoteBytes(letter, int64_t(size), 0);
  file = InputFile::Open(runFiles.flashPackagePath);
  if (!file) return status::kPackageLoadFailed;
  size = file->size();
  t = clock.NowMs();
  r = VerifyFlashImage(letter, handle, *file, size, false, spiClock);
  NoteStage(letter, "flash-verify", t);
  if (r == 0) {
    t = clock.NowMs();
    r = WriteFlashImage(letter, handle, *file, size, true, spiClock);
    if (r == 0) r = VerifyFlashImage(letter, handle, *file, size, true, spiClock);
    NoteStage(letter, "flash-header", t);
  }
  return r;
}

StatusCode BurnEngine::EraseFlash(char letter, void* handle, uint64_t eraseLength) {
  Beat();
  const CommandBounds& bounds = station_.commandBounds();
  station_.slots().SetDeviceStage(letter, status::kEraseFlash);
  uint8_t probe[kUnit];
  if (!TVQ_FlashRead(handle, probe, 0, 1)) return status::kEraseFlashFailed;
  std::array<uint8_t, 512> block0 = BlockZero(letter);
  Bound(handle, bounds.erase);
  if (!TVQ_SectorErase(handle, 0, 16, 0)) return status::kEraseFlashFailed;
  // The chip takes no program while an erase runs: writing block 0 before
  // the status reads idle would lose the serial number and the id field.
  if (!WaitForErase(handle)) return status::kEraseFlashFailed;
  if (!TVQ_FlashWrite(handle, block0.data(), 0, 1)) return status::kEraseFlashFailed;
  Bound(handle, bounds.erase);
  if (!TVQ_SectorErase(handle, 16, static_cast<unsigned short>(eraseLength / 256), 0))
    return status::kEraseFlashFailed;
  return WaitForErase(handle) ? 0 : status::kEraseFlashFailed;
}

bool BurnEngine::WaitForErase(void* handle) {
  const CommandBounds& bounds = station_.commandBounds();
  // The polls wait for the erase, not for the device: each has the status
  // bound, a poll without an answer ends the wait, and failed polls in a row
  // end it too instead of being sent a hundred times.
  Bound(handle, bounds.status);
  int failedInARow = 0;
  bool idle = false;
  for (int poll = 0; poll < kStatusPolls && !idle; ++poll) {
    Beat();
    unsigned char flashStatus[2] = {0xFF, 0xFF};
    if (!TVQ_ReadFlashStatus(handle, flashStatus)) {
      if (QMR_CommandTimedOut(handle) == 1 || ++failedInARow >= kFailedPollsInARow) break;
      continue;  // retried at once
    }
    failedInARow = 0;
    idle = flashStatus[0] == 0 && flashStatus[1] == 0;
    if (!idle) station_.clock().SleepFor(kBusyPollWait);
  }
  Bound(handle, bounds.transfer);
  return idle;
}

StatusCode BurnEngine::WriteFlashImage(char letter, void* handle, const InputFile& file, uint64_t size,
                                       bool headerPass, int32_t spiClock) {
  Beat();
  DeviceSlotTable& slots = station_.slots();
  slots.SetDeviceProgress(letter, 0);
  slots.SetDeviceStage(letter, status::kFlashWriting);
  std::vector<uint8_t> header(kFlashChunkBytes, 0);
  std::vector<uint8_t> chunk(kFlashChunkBytes);
  uint64_t offset = 0, done = 0, remaining = size;
  do {
    const uint32_t n = uint32_t(std::min<uint64_t>(remaining, kFlashChunkBytes));
    std::fill(chunk.begin(), chunk.end(), 0);
    if (n > 0 && !file.ReadAt(offset, chunk.data(), n)) return status::kFlashWriteFailed;
    if (offset == 0) {
      std::memcpy(header.data(), chunk.data(), n);  // written last
    } else if (!headerPass) {
      if (!TVQ_FlashWrite(handle, chunk.data(), static_cast<unsigned long>(offset), UnitsFor(n)))
        return status::kFlashWriteFailed;
    }
    done += n;
    SetProgress(letter, done, size);
    offset += n;
    remaining -= n;
  } while (remaining > 0);
  PatchHeader(letter, header.data(), spiClock);
  if (headerPass) {
    // Flash bits only go from 1 to 0. Block 0 still holds the device's own id
    // field from the erase; where the image's id needs a bit that field has
    // cleared, the header could never verify, so the first 4096 bytes are
    // erased again first (the serial number is in the header itself).
    const std::array<uint8_t, 512> block0 = BlockZero(letter);
    bool fits = true;
    for (size_t i = 0; i < block0.size() && fits; ++i) fits = (header[i] & block0[i]) == header[i];
    if (!fits) {
      Bound(handle, station_.commandBounds().erase);
      if (!TVQ_SectorErase(handle, 0, 16, 0) || !WaitForErase(handle)) return status::kFlashWriteFailed;
    }
    if (!TVQ_FlashWrite(handle, header.data(), 0, 8)) return status::kFlashWriteFailed;
  }
  slots.SetDeviceProgress(letter, 100);
  return 0;
}

StatusCode BurnEngine::VerifyFlashImage(char letter, void* handle, const InputFile& file, uint64_t size,
                                        bool headerPass, int32_t spiClock) {
  Beat();
  DeviceSlotTable& slots = station_.slots();
  slots.SetDeviceProgress(letter, 0);
  slots.SetDeviceStage(letter, status::kFlashVerifying);
  std::vector<uint8_t> expected(kFlashChunkBytes), actual(kFlashChunkBytes);
  uint64_t offset = 0, done = 0, remaining = size;
  for (;;) {
    const uint32_t n = uint32_t(std::min<uint64_t>(remaining, kFlashChunkBytes));
    const unsigned short units = UnitsFor(n);
    std::fill(expected.begin(), expected.end(), 0);
    const bool read = n == 0 || file.ReadAt(offset, expected.data(), n);
    if (offset == 0) PatchHeader(letter, expected.data(), spiClock);
    if (!read) return status::kFlashWriteFailed;
    if (headerPass) {
      std::fill(actual.begin(), actual.end(), 0);
      if (!TVQ_FlashRead(handle, actual.data(), 0, units)) return status::kFlashWriteFailed;
      return std::memcmp(expected.data(), actual.data(), n) == 0 ? 0 : status::kFlashVerifyFailed;
    }
    if (offset != 0) {
      std::fill(actual.begin(), actual.end(), 0);
      if (!TVQ_FlashRead(handle, actual.data(), static_cast<unsigned long>(offset), units))
        return status::kFlashWriteFailed;
      if (std::memcmp(expected.data(), actual.data(), n) != 0) return status::kFlashVerifyFailed;
    }
    done += n;
    SetProgress(letter, done, size);
    offset += n;
    remaining -= n;
    if (remaining == 0) {
      slots.SetDeviceProgress(letter, 100);
      return 0;
    }
  }
}

}  // namespace ardentix
