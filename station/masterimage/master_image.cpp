#include "masterimage/master_image.h"

#include "burnfiles/image_codec.h"
#include "burnfiles/sd_image.h"

#include <cstring>
#include <limits>
#include <vector>

#include "QMR52916LIB.h"
#include "QMR52916LIB_ext.h"
#include "station/station.h"
#include "core/device_handle.h"
#include "core/files.h"
#include "core/strings.h"

namespace ardentix {
namespace {

// The card's size from READ CAPACITY; 0 (no limit) when it does not answer.
uint64_t CardBytes(void* handle) {
  const unsigned long lastSector = USB_ReadCapacity(handle);
  return lastSector == 0 ? 0 : (uint64_t(lastSector) + 1) * kMasterImageSectorBytes;
}

MasterImageResult Failed(MasterImageOutcome outcome, const char* message, std::string detail = {}) {
  MasterImageResult r;
  r.outcome = outcome;
  r.message = message;
  r.caption = text::kMasterImageCaption;
  r.detail = std::move(detail);
  return r;
}

}  // namespace

uint64_t MeasureUsedSpace(Host& host, char letter) {
  const std::optional<DiskSpace> space = host.FreeSpace(letter);
  if (!space || space->freeBytesAvailable > space->totalBytes) return 0;
  return space->totalBytes - space->freeBytesAvailable;
}

std::optional<char> SelectedMasterImageDrive(const Station& station) {
  const auto& drives = station.masterImageDrives();
  const int selected = station.masterImageSelection();
  if (selected < 0 || selected >= int(drives.size()) || drives[size_t(selected)].empty()) return std::nullopt;
  return drives[size_t(selected)][0];
}

std::filesystem::path MasterImagePath(const std::filesystem::path& folder, char letter) {
  return folder / (std::string("Image_") + letter + ".bin");
}

uint64_t MasterImageSize(uint64_t usedBytes, uint64_t cardBytes) {
  const uint64_t most = std::numeric_limits<uint64_t>::max();
  const uint64_t size = usedBytes > most - kMasterImageMarginBytes ? most : usedBytes + kMasterImageMarginBytes;
  return cardBytes != 0 && size > cardBytes ? cardBytes : size;
}

std::optional<char> FormatTarget(const Station& station, FormatCardResult& refusal) {
  const std::optional<char> letter = SelectedMasterImageDrive(station);
  if (!letter) return std::nullopt;
  // Formatting a card that a worker is writing would destroy both.
  if (station.BurnRunning != 0) {
    refusal.failed = true;
    refusal.message = text::kFormatWhileBurning;
    return std::nullopt;
  }
  return letter;
}

FormatCardResult FormatCard(Host& host, char letter) {
  FormatCardResult result;
  result.attempted = true;
  result.outcome = host.FormatDrive(letter);
  result.failed = !result.outcome.started || result.outcome.exitCode != 0;
  if (result.failed) {
    result.message = !result.outcome.message.empty()
                         ? result.outcome.message
                         : std::string("Drive ") + letter + ": was not formatted (exit code " +
                               std::to_string(result.outcome.exitCode) + ").";
  }
  return result;
}

FormatCardResult FormatCardDrive(Station& station) {
  FormatCardResult refusal;
  const std::optional<char> letter = FormatTarget(station, refusal);
  return letter ? FormatCard(station.host(), *letter) : refusal;
}

std::optional<MasterImageJob> PrepareSdMasterImage(Station& station) {
  const std::optional<char> letter = SelectedMasterImageDrive(station);
  if (!letter) return std::nullopt;
  MasterImageJob job;
  job.letter = *letter;
  job.imagePath = MasterImagePath(station.stationDir(), *letter);
  job.usedBytes = MeasureUsedSpace(station.host(), *letter);
  return job;
}

std::filesystem::path MasterImageBlockMapPath(const std::filesystem::path& imagePath) {
  return imagePath.parent_path() / PathFromText(DecodedName(PathText(imagePath.filename())) + ".bmap");
}

namespace {

constexpr uint64_t kMapBlock = 4096;

// Where the image's bytes go: the file as it is, with holes, or zstd.
class ImageSink {
 public:
  bool Create(const MasterImageJob& job, std::string& error) {
    sparse_ = job.sparse;
    if (!job.zstd) return file_.Create(job.imagePath, &error);
    // Written beside the final name, moved there when complete.
    partial_ = PathText(job.imagePath) + ".partial";
    final_ = job.imagePath;
    std::string ignored;
    Platform().Remove(partial_, ignored);
    zstd_ = NewZstdWriter(partial_, error);
    return zstd_ != nullptr;
  }
  bool Write(const unsigned char* data, size_t n, bool zero, std::string& error) {
    if (zstd_) return zstd_->Write(data, n, error);
    return sparse_ && zero ? file_.Skip(n, &error) : file_.Append(data, n, &error);
  }
  bool Commit(std::string& error) {
    if (!zstd_) return file_.Commit(&error);
    const bool ok = zstd_->Finish(error) && Platform().Rename(partial_, final_, error);
    zstd_.reset();
    return ok;
  }
  ~ImageSink() {
    if (zstd_) {
      zstd_.reset();
      std::string ignored;
      Platform().Remove(partial_, ignored);
    }
  }

 private:
  bool sparse_ = false;
  ReplacingFile file_;
  std::unique_ptr<CompressedWriter> zstd_;
  std::filesystem::path partial_, final_;
};

// The block map of what was read: non-zero 4 KiB blocks, each range hashed.
class MapBuilder {
 public:
  void Add(const unsigned char* data, size_t n, bool zero) {
    const uint64_t block = at_ / kMapBlock;
    if (zero) {
      Close();
    } else {
      if (!digest_) {
        digest_ = NewDigest(DigestKind::Sha256);
        map_.ranges.push_back({block, block, ""});
      }
      map_.ranges.back().last = block;
      if (digest_) digest_->Update(data, n);
    }
    at_ += n;
  }
  std::string Text() {
    Close();
    map_.imageSize = at_;
    map_.blockSize = kMapBlock;
    map_.blocksCount = (at_ + kMapBlock - 1) / kMapBlock;
    map_.mappedBlocksCount = 0;
    for (const auto& r : map_.ranges) map_.mappedBlocksCount += r.last - r.first + 1;
    return BlockMapText(map_);
  }

 private:
  void Close() {
    if (digest_) map_.ranges.back().checksum = digest_->FinishHex();
    digest_.reset();
  }
  BlockMap map_;
  std::unique_ptr<Digest> digest_;
  uint64_t at_ = 0;
};

bool AllZero(const unsigned char* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i]) return false;
  return true;
}

}  // namespace

MasterImageResult CreateSdMasterImage(const MasterImageJob& job, const MasterImageProgress& progress,
                                      std::stop_token cancel) {
  // The image is written beside its final name and takes its place only
  // when complete: a failed or cancelled run leaves an earlier image as it was.
  ImageSink file;
  std::string error;
  if (!file.Create(job, error))
    return Failed(MasterImageOutcome::FileCreateFailed, text::kImageFileCreateFailed, error);
  const bool mapping = job.sparse || job.zstd;
  MapBuilder map;

  const DeviceHandle device = DeviceHandle::Open(job.letter);
  if (!device.valid()) return Failed(MasterImageOutcome::OpenFailed, text::kImageOpenDeviceFailed);

  const uint64_t total = MasterImageSize(job.usedBytes, CardBytes(device.get()));
  // One buffer for the whole card, cleared before every read so that a short
  // transfer can never pass on bytes of the previous chunk.
  std::vector<unsigned char> buffer(kMasterImageBufferBytes);
  uint64_t done = 0;
  if (progress) progress(done, total);
  while (done < total) {
    if (cancel.stop_requested()) {
      MasterImageResult r = Failed(MasterImageOutcome::Cancelled, text::kImageCancelled);
      r.imageBytes = total;
      return r;
    }
    const uint32_t chunk = total - done < kMasterImageChunkBytes ? uint32_t(total - done) : kMasterImageChunkBytes;
    std::memset(buffer.data(), 0, buffer.size());
    const auto sector = static_cast<unsigned long>(done / kMasterImageSectorBytes);
    const auto count = static_cast<unsigned short>((chunk + kMasterImageSectorBytes - 1) / kMasterImageSectorBytes);
    if (!USB_ReadSD(device.get(), sector, count, buffer.data())) {
      MasterImageResult r = Failed(MasterImageOutcome::ReadFailed, text::kImageReadFailed);
      r.imageBytes = total;
      return r;
    }
    // A chunk is 15 map blocks: each one a hole or written, and mapped.
    bool written = true;
    for (uint32_t at = 0; at < chunk && written;) {
      const uint32_t n = mapping ? std::min<uint32_t>(chunk - at, uint32_t(kMapBlock)) : chunk;
      const bool zero = mapping && AllZero(buffer.data() + at, n);
      if (mapping) map.Add(buffer.data() + at, n, zero);
      written = file.Write(buffer.data() + at, n, zero, error);
      at += n;
    }
    if (!written) {
      MasterImageResult r = Failed(MasterImageOutcome::WriteFailed, text::kImageWriteFailed, error);
      r.imageBytes = total;
      return r;
    }
    done += chunk;
    if (progress) progress(done, total);
  }
  // The map first: an image without its map is never left as the newest.
  if (mapping && !WriteFileAtomically(MasterImageBlockMapPath(job.imagePath), map.Text(), &error)) {
    MasterImageResult r = Failed(MasterImageOutcome::WriteFailed, text::kImageWriteFailed, error);
    r.imageBytes = total;
    return r;
  }
  // Flushed to disk before the rename, so a crash right after cannot leave a
  // short image under the final name.
  if (!file.Commit(error)) {
    MasterImageResult r = Failed(MasterImageOutcome::WriteFailed, text::kImageWriteFailed, error);
    r.imageBytes = total;
    return r;
  }

  MasterImageResult r;
  r.outcome = MasterImageOutcome::Created;
  r.message = text::kImageCreated;
  r.caption = text::kMasterImageCaption;
  r.sd1ImagePath = job.imagePath;
  r.showPathInEdit = true;
  r.imageBytes = total;
  return r;
}

void ApplySdMasterImageResult(Station& station, const MasterImageResult& result) {
  if (!result.message.empty()) station.messages().ShowMessage(result.message, result.caption);
  if (result.sd1ImagePath) ChooseSd1Image(station.files(), *result.sd1ImagePath);
}

}  // namespace ardentix
