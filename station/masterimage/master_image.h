// SD master image: format a device's card, and read the card back, from its
// first sector up to the used space plus a margin, into "Image_<letter>.bin"
// in the station folder, which then becomes the SD1 image to burn.
//
// Creating an image takes minutes for a large card, so it is split for a
// window that keeps drawing meanwhile:
//   1. PrepareSdMasterImage, on the station's thread: the selected drive and
//      everything else the work needs, taken up front;
//   2. CreateSdMasterImage, on a worker thread: reads the card into the file,
//      reporting progress and honouring a cancel request; touches nothing
//      of the Station;
//   3. ApplySdMasterImageResult, back on the station's thread: the message
//      box and the new SD1 image path.
// The window empties edit 1000 and disables its button before step 1, and
// after step 3 shows the image path in edit 1000 when the result says so and
// enables the button again.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>

#include "host/host.h"

namespace ardentix {

class Station;

inline constexpr uint64_t kMasterImageMarginBytes = 10ull * 1024 * 1024;
inline constexpr uint32_t kMasterImageSectorBytes = 512;
inline constexpr uint32_t kMasterImageChunkBytes = 120 * kMasterImageSectorBytes;  // 61,440 per read
inline constexpr uint32_t kMasterImageBufferBytes = 64 * 1024;

namespace text {
inline constexpr const char* kImageFileCreateFailed = "Create Image File Fail !!";
inline constexpr const char* kFormatWhileBurning = "A burn is running: the card is not formatted.";
inline constexpr const char* kImageOpenDeviceFailed = "Open Device Fail !!";
inline constexpr const char* kImageReadFailed = "Read Data from SD Fail !!";
inline constexpr const char* kImageWriteFailed = "Write Image File Fail !!";
inline constexpr const char* kImageCancelled = "Create Image Cancelled !!";
inline constexpr const char* kImageCreated = "Create Image Success !!";
}  // namespace text

// The used bytes of the drive's file system: total minus the free bytes
// available to the caller; 0 when the host cannot report the space.
uint64_t MeasureUsedSpace(Host& host, char letter);

// The letter of the drive box's selected entry, or nullopt without a selection.
std::optional<char> SelectedMasterImageDrive(const Station& station);

// "Image_<letter>.bin" in the folder.
std::filesystem::path MasterImagePath(const std::filesystem::path& folder, char letter);

// The bytes an image covers: the used space plus the 10 MiB margin, but never
// past the card's end (reads there fail). cardBytes 0: size unknown, no limit.
uint64_t MasterImageSize(uint64_t usedBytes, uint64_t cardBytes);

// --- Format --------------------------------------------------------------

struct FormatCardResult {
  bool attempted = false;  // false: no drive selected, nothing done
  bool failed = false;     // the format did not run or did not succeed
  std::string message;     // when failed: the host's reason, for a box under kMasterImageCaption
  FormatOutcome outcome;
};

// The window's thread: the selected drive when it may be formatted now.
// nullopt without a selection (`refusal` untouched: nothing to say) or while
// a burn runs (`refusal` says why).
std::optional<char> FormatTarget(const Station& station, FormatCardResult& refusal);

// Any thread: formats the card behind the letter through the host; blocks
// until the format tool ends.
FormatCardResult FormatCard(Host& host, char letter);

// "Format" on one thread: FormatTarget, then FormatCard.
FormatCardResult FormatCardDrive(Station& station);

// --- Image ---------------------------------------------------------------

struct MasterImageJob {
  char letter = 0;
  std::filesystem::path imagePath;
  uint64_t usedBytes = 0;  // MeasureUsedSpace at preparation
  // As build systems ship images, for `bmaptool copy` and the burn alike:
  // zero 4 KiB blocks left as holes and a block map beside the image
  // ("<image>.bmap", the compression suffix dropped) ...
  bool sparse = false;
  // ... and the image compressed with zstd (name it "....zst").
  bool zstd = false;
};

// The block map written beside a sparse or compressed master image.
std::filesystem::path MasterImageBlockMapPath(const std::filesystem::path& imagePath);

// nullopt when no drive is selected: then nothing is done at all (the window
// has only emptied edit 1000; the SD1 image path stays as it was).
std::optional<MasterImageJob> PrepareSdMasterImage(Station& station);

enum class MasterImageOutcome { Created, FileCreateFailed, OpenFailed, ReadFailed, WriteFailed, Cancelled };

struct MasterImageResult {
  MasterImageOutcome outcome = MasterImageOutcome::FileCreateFailed;
  std::string message;  // for a box with an OK button
  std::string caption;  // kMasterImageCaption
  std::string detail;   // the system's reason behind a file failure, "" otherwise
  // Set only on success: the new SD1 image path, which edit 1000 then shows.
  std::optional<std::filesystem::path> sd1ImagePath;
  bool showPathInEdit = false;  // else edit 1000 stays empty
  uint64_t imageBytes = 0;      // what the image was to cover (0 before the device opened)
};

// Called after every chunk written (and once with 0 before the first), on
// the worker's thread.
using MasterImageProgress = std::function<void(uint64_t bytesDone, uint64_t bytesTotal)>;

// Reads the card into the image file. The file is written beside its final
// name and moved over it only when complete: a failed or cancelled run
// removes its partial file and leaves an image from an earlier run as it was.
// Safe on any thread; uses only the job and the device library.
MasterImageResult CreateSdMasterImage(const MasterImageJob& job, const MasterImageProgress& progress = {},
                                      std::stop_token cancel = {});

// On the station's thread: shows the result's message through the station's
// messages and, on success, makes the image the SD1 image to burn.
void ApplySdMasterImageResult(Station& station, const MasterImageResult& result);

}  // namespace ardentix
