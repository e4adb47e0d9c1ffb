// The SD stage: the image sector by sector onto the card from sector 0, then
// read back over the image's length and compared.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "QMR52916LIB_ext.h"
#include "burn/burn_engine.h"
#include "core/device_handle.h"
#include "core/files.h"

namespace ardentix {
namespace {

constexpr uint32_t kSector = 512;

unsigned short SectorsFor(uint32_t n) { return static_cast<unsigned short>((n + kSector - 1) / kSector); }

// The read-back copy of a verification, kept as "<letter>.bin" in the station
// folder: created anew by every verification and holding what it read, also
// when it stopped early (an old file would pass for this card's content).
// It is written beside its final name and moved there by Close, so a crash
// never leaves half a file under that name.
class ReadbackFile {
 public:
  bool Create(const std::filesystem::path& path) { return file_.Create(path); }
  bool open() const { return file_.open(); }
  // A failed or short write stops the saving (the copy is dropped); the
  // verification goes on.
  void Append(const uint8_t* data, size_t n) {
    if (file_.open()) file_.Append(data, n);
  }
  // Leaves the copy's next bytes a hole (what the card holds there was not written).
  void Skip(uint64_t n) {
    if (file_.open()) file_.Skip(n);
  }
  void Close() {
    if (file_.open()) file_.Commit();
  }

 private:
  ReplacingFile file_;
};

}  // namespace

namespace {

// The pieces of `ranges` on the 120-sector grid of the card: each one
// command, never across a chunk boundary of the raw image's writes.
template <typename F>
bool ForEachPiece(const std::vector<ImageRange>& ranges, F&& piece) {
  for (const ImageRange& r : ranges)
    for (uint64_t p = r.begin; p < r.end;) {
      const uint64_t end = std::min<uint64_t>(r.end, (p / kSdChunkBytes + 1) * kSdChunkBytes);
      if (!piece(p, uint32_t(end - p))) return false;
      p = end;
    }
  return true;
}

std::vector<ImageRange> WholeImage(uint64_t size) {
  return size ? std::vector<ImageRange>{{0, size}} : std::vector<ImageRange>{};
}

uint64_t Total(const std::vector<ImageRange>& ranges) {
  uint64_t n = 0;
  for (const auto& r : ranges) n += r.end - r.begin;
  return n;
}

}  // namespace

StatusCode BurnEngine::BurnSdImage(char letter, void* handle, int lun, char cardLetter) {
  const char* writeStage = lun == 1 ? "sd2-write" : "sd-write";
  const char* verifyStage = lun == 1 ? "sd2-verify" : "sd-verify";
  // The run's prepared image: a compressed one's decoded cache, a block
  // map's ranges. Without one (a stage called on its own), the chosen file.
  const PreparedSdImage* prepared = PreparedSd(lun);
  const std::filesystem::path& path =
      prepared ? prepared->data : (lun == 0 ? runFiles.sd1ImagePath : runFiles.sd2ImagePath);
  const std::vector<ImageRange>* ranges = prepared && prepared->mapped ? &prepared->ranges : nullptr;
  Clock& clock = station_.clock();
  auto file = InputFile::Open(path);
  if (!file) return status::kImageLoadFailed;
  const int64_t bytes = ranges ? int64_t(prepared->mappedBytes) : int64_t(file->size());
  int64_t t = clock.NowMs();
  StatusCode r = WriteSdImage(letter, handle, *file, file->size(), ranges);
  NoteStage(letter, writeStage, t);
  file.reset();
  if (r != 0) return r;
  NoteBytes(letter, bytes, 0);
  file = InputFile::Open(path);
  if (!file) return status::kImageLoadFailed;
  t = clock.NowMs();
  r = VerifySdImage(letter, handle, *file, file->size(), ranges, cardLetter);
  NoteStage(letter, verifyStage, t);
  if (r != 0) return r;
  NoteBytes(letter, 0, bytes);
  return 0;
}

StatusCode BurnEngine::BurnSecondCard(char letter, char cardLetter) {
  Host& host = station_.host();
  Clock& clock = station_.clock();
  const DeviceHandle h = DeviceHandle::OpenPlain(cardLetter);
  if (!h) return status::kSdWriteFailed;
  StatusCode code = 0;
  bool locked = false;
  if (host.OsMajorVersion() > 5 || runFiles.lockOnXp != 0) {
    station_.slots().SetDeviceStage(letter, status::kLockDevice);
    for (int attempt = 0; attempt < kLockAttempts && !locked; ++attempt) {
      locked = host.LockVolume(cardLetter, h.get());
      if (!locked) clock.SleepFor(kLockRetryWait);
    }
    if (!locked) code = status::kLockFailed;
  }
  if (code == 0) code = BurnSdImage(letter, h.get(), 1, cardLetter);
  if (locked && !host.UnlockVolume(cardLetter, h.get()) && code == 0) code = status::kUnlockFailed;
  return code;
}

StatusCode BurnEngine::WriteSdImage(char letter, void* handle, const InputFile& file, uint64_t size,
                                    const std::vector<ImageRange>* ranges) {
  Beat();
  DeviceSlotTable& slots = station_.slots();
  slots.SetDeviceProgress(letter, 0);
  slots.SetDeviceStage(letter, status::kSdWriting);
  const std::vector<ImageRange> whole = ranges ? std::vector<ImageRange>{} : WholeImage(size);
  const std::vector<ImageRange>& parts = ranges ? *ranges : whole;
  const uint64_t total = Total(parts);
  std::vector<uint8_t> written(kSdChunkBytes), readBack(kSdChunkBytes);
  uint64_t done = 0;
  StatusCode result = 0;
  // An empty image has nothing to write: no zero-length transfer is sent.
  ForEachPiece(parts, [&](uint64_t p, uint32_t n) {
    const unsigned short sectors = SectorsFor(n);
    std::fill(written.begin(), written.end(), 0);
    if (!file.ReadAt(p, written.data(), n)) return (result = status::kSdWriteFailed), false;
    const auto sector = static_cast<unsigned long>(p / kSector);
    if (!USB_WriteSD(handle, sector, sectors, written.data())) return (result = status::kSdWriteFailed), false;
    if (runFiles.writeVerify != 0) {
      std::fill(readBack.begin(), readBack.end(), 0);
      if (!USB_ReadSD(handle, sector, sectors, readBack.data())) return (result = status::kSdWriteFailed), false;
      if (std::memcmp(written.data(), readBack.data(), n) != 0) return (result = status::kSdWriteFailed), false;
    }
    done += n;
    SetProgress(letter, done, total);
    return true;
  });
  if (result != 0) return result;
  slots.SetDeviceProgress(letter, 100);
  return 0;
}

StatusCode BurnEngine::VerifySdImage(char letter, void* handle, const InputFile& file, uint64_t size,
                                     const std::vector<ImageRange>* ranges, char cardLetter) {
  Beat();
  DeviceSlotTable& slots = station_.slots();
  slots.SetDeviceProgress(letter, 0);
  slots.SetDeviceStage(letter, status::kSdVerifying);
  const bool saving = runFiles.saveSdFile != 0;
  ReadbackFile readback;
  if (saving && !readback.Create(station_.stationDir() / (std::string(1, cardLetter ? cardLetter : letter) + ".bin")))
    return status::kSdVerifyFailed;
  const std::vector<ImageRange> whole = ranges ? std::vector<ImageRange>{} : WholeImage(size);
  const std::vector<ImageRange>& parts = ranges ? *ranges : whole;
  const uint64_t total = Total(parts);
  std::vector<uint8_t> expected(kSdChunkBytes), card(kSdChunkBytes);
  uint64_t done = 0, saved = 0;
  bool mismatch = false;
  StatusCode result = 0;
  const bool complete = ForEachPiece(parts, [&](uint64_t p, uint32_t n) {
    std::fill(expected.begin(), expected.end(), 0);
    if (!file.ReadAt(p, expected.data(), n)) return (result = status::kSdVerifyFailed), false;
    std::fill(card.begin(), card.end(), 0);
    const bool read = USB_ReadSD(handle, static_cast<unsigned long>(p / kSector), SectorsFor(n), card.data());
    if (!read) return (result = status::kSdVerifyFailed), false;
    if (saving) {
      // Unmapped ranges stay holes in the copy: the card was not written there.
      readback.Skip(p - saved);
      readback.Append(card.data(), n);
      saved = p + n;
    }
    done += n;
    SetProgress(letter, done, total);
    if (std::memcmp(expected.data(), card.data(), n) != 0) {
      // With the read-back saved, the whole card is read so the file is complete.
      if (!saving) return (result = status::kSdVerifyFailed), false;
      mismatch = true;
    }
    return true;
  });
  if (!complete) {
    // The copy holds what was read up to the stop, never the last burn's.
    readback.Close();
    return result;
  }
  if (saving && size > saved) readback.Skip(size - saved);
  readback.Close();
  slots.SetDeviceProgress(letter, 100);
  return mismatch ? status::kSdVerifyFailed : 0;
}

}  // namespace ardentix
