// The SD stage: the image sector by sector onto the card from sector 0, then
// read back over the image's length and compared.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "QMR52916LIB_ext.h"
#include "burn/burn_engine.h"
#include "core/files.h"

namespace ardentix {
namespace {

constexpr uint32_t kSector = 512;

unsigned short SectorsFor(uint32_t n) { return static_cast<unsigned short>((n + kSector - 1) / kSector); }

// The read-back copy of a verification, kept as "<letter>.bin" in the station
// folder. It is written beside its final name and moved there by Close, at
// the end of a verification that read the whole card; one that stops early
// drops its copy, so half a file never replaces the last complete one.
class ReadbackFile {
 public:
  bool Create(const std::filesystem::path& path) { return file_.Create(path); }
  bool open() const { return file_.open(); }
  // A failed or short write stops the saving (the copy is dropped); the
  // verification goes on.
  void Append(const uint8_t* data, size_t n) {
    if (file_.open()) file_.Append(data, n);
  }
  void Close() {
    if (file_.open()) file_.Commit();
  }

 private:
  ReplacingFile file_;
};

}  // namespace

int BurnEngine::BurnSdImage(char letter, void* handle, int lun, StatusCode* code) {
  const std::filesystem::path& path = lun == 0 ? runFiles.sd1ImagePath : runFiles.sd2ImagePath;
  Clock& clock = station_.clock();
  auto file = InputFile::Open(path);
  if (!file) {
    *code = status::kImageLoadFailed;
    return 0;
  }
  int64_t t = clock.NowMs();
  StatusCode r = WriteSdImage(letter, handle, *file, file->size());
  NoteStage(letter, "sd-write", t);
  const int64_t written = int64_t(file->size());
  file.reset();
  if (r != 0) {
    *code = r;
    return 0;
  }
  NoteBytes(letter, written, 0);
  file = InputFile::Open(path);
  if (!file) {
    *code = status::kImageLoadFailed;
    return 0;
  }
  t = clock.NowMs();
  r = VerifySdImage(letter, handle, *file, file->size());
  NoteStage(letter, "sd-verify", t);
  if (r != 0) {
    *code = r;
    return 0;
  }
  NoteBytes(letter, 0, int64_t(file->size()));
  return 2;
}

StatusCode BurnEngine::WriteSdImage(char letter, void* handle, const InputFile& file, uint64_t size) {
  DeviceSlotTable& slots = station_.slots();
  slots.SetDeviceProgress(letter, 0);
  slots.SetDeviceStage(letter, status::kSdWriting);
  std::vector<uint8_t> written(kSdChunkBytes), readBack(kSdChunkBytes);
  uint64_t p = 0, done = 0, remaining = size;
  // An empty image has nothing to write: no zero-length transfer is sent.
  while (remaining > 0) {
    const uint32_t n = uint32_t(std::min<uint64_t>(remaining, kSdChunkBytes));
    const unsigned short sectors = SectorsFor(n);
    std::fill(written.begin(), written.end(), 0);
    if (!file.ReadAt(p, written.data(), n)) return status::kSdWriteFailed;
    const auto sector = static_cast<unsigned long>(p / kSector);
    if (!USB_WriteSD(handle, sector, sectors, written.data())) return status::kSdWriteFailed;
    if (runFiles.writeVerify != 0) {
      std::fill(readBack.begin(), readBack.end(), 0);
      if (!USB_ReadSD(handle, sector, sectors, readBack.data())) return status::kSdWriteFailed;
      if (std::memcmp(written.data(), readBack.data(), n) != 0) return status::kSdWriteFailed;
    }
    done += n;
    SetProgress(letter, done, size);
    p += n;
    remaining -= n;
  }
  slots.SetDeviceProgress(letter, 100);
  return 0;
}

StatusCode BurnEngine::VerifySdImage(char letter, void* handle, const InputFile& file, uint64_t size) {
  DeviceSlotTable& slots = station_.slots();
  slots.SetDeviceProgress(letter, 0);
  slots.SetDeviceStage(letter, status::kSdVerifying);
  const bool saving = runFiles.saveSdFile != 0;
  ReadbackFile readback;
  if (saving && !readback.Create(station_.stationDir() / (std::string(1, letter) + ".bin")))
    return status::kSdVerifyFailed;
  std::vector<uint8_t> expected(kSdChunkBytes), card(kSdChunkBytes);
  uint64_t p = 0, done = 0, remaining = size;
  bool mismatch = false;
  while (remaining > 0) {
    const uint32_t n = uint32_t(std::min<uint64_t>(remaining, kSdChunkBytes));
    std::fill(expected.begin(), expected.end(), 0);
    if (!file.ReadAt(p, expected.data(), n)) return status::kSdVerifyFailed;
    std::fill(card.begin(), card.end(), 0);
    const bool read = USB_ReadSD(handle, static_cast<unsigned long>(p / kSector), SectorsFor(n), card.data());
    if (saving) readback.Append(card.data(), n);
    if (!read) return status::kSdVerifyFailed;
    done += n;
    SetProgress(letter, done, size);
    if (std::memcmp(expected.data(), card.data(), n) != 0) {
      // With the read-back saved, the whole card is read so the file is complete.
      if (!saving) return status::kSdVerifyFailed;
      mismatch = true;
    }
    p += n;
    remaining -= n;
  }
  readback.Close();
  slots.SetDeviceProgress(letter, 100);
  return mismatch ? status::kSdVerifyFailed : 0;
}

}  // namespace ardentix
