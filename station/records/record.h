#pragma once
// One burned unit: what a quality engineer asks about months later.
// Plain data shared by the local store (SQLite), the line sender (PostgreSQL)
// and the records command.
#include <cstdint>
#include <string>
#include <vector>

namespace ardentix::records {

struct UnitRecord {
  std::string Id;           // unique, stable across resends: the key on every database
  std::string StartedUtc;   // ISO 8601, "2026-12-10T14:03:07.123Z"
  std::string EndedUtc;
  std::string Station;      // station name setting, else the host name
  std::string DriveLetter;  // "E"
  int32_t Lun = 0;
  std::string Location;     // the device's parent string
  std::string Outcome;      // "passed" or "failed"
  int32_t StageCode = 0;
  std::string StageText;
  int32_t ResultCode = 0;
  std::string ResultText;
  std::string Serial;       // the serial written
  std::string FlashIdText;
  std::string ChipType;     // from the catalogue
  int32_t ClockMHz = 0;
  // The package burned.
  std::string PackageName;
  int64_t PackageSize = 0;
  uint32_t PackageChecksum = 0;
  std::string FirmwareInfo;
  std::vector<std::string> ReplacedSections;
  // The SD image burned.
  std::string SdImageName;
  int64_t SdImageSize = 0;    // the file as stored (compressed or not)
  std::string SdImageSha256;  // hex, of the raw image it holds, computed once per run
  std::string SdImageFormat;  // "raw", "gzip", "xz", "bzip2", "zstd", "zip"
  int64_t SdImageDecodedSize = 0;  // the raw image's size
  int64_t SdImageMappedSize = 0;   // bytes its block map has written, 0 without one
  std::string SdBmapName;          // the block map file used, "" for none
  std::string SdBmapChecksum;      // its own checksum (hex), where its version has one
  // Seconds per stage.
  double SdWriteSeconds = 0, SdVerifySeconds = 0;
  double FlashEraseSeconds = 0, FlashWriteSeconds = 0, FlashVerifySeconds = 0;
  int64_t BytesWritten = 0, BytesVerified = 0;
  // Settings in force.
  bool WriteVerify = false;
  bool SaveSdFile = false;
  // Set when this serial already passed on another device location.
  bool DuplicateSerial = false;
  // How the station burned it: "batch" or "continuous" ("" in records of
  // stations that did not say).
  std::string Mode;
  // A two-card device's second card (logical unit 1), burned with the SD2
  // image in the same burn: its drive and image; "" when it had none.
  std::string Sd2DriveLetter;
  std::string Sd2ImageName;
  int64_t Sd2ImageSize = 0;
  std::string Sd2ImageSha256;
  double Sd2WriteSeconds = 0, Sd2VerifySeconds = 0;

  bool operator==(const UnitRecord&) const = default;
};

// What `records` selects by; empty fields select everything.
struct RecordFilter {
  std::string SinceUtc;  // inclusive, ISO 8601 prefix compare
  std::string UntilUtc;  // exclusive
  std::string Serial;
  std::string Outcome;   // "passed" / "failed" / empty
  std::string Station;
};

// Where records are read from: the local file or the line's database.
class RecordSource {
 public:
  virtual ~RecordSource() = default;
  // In start order. False with a message when the source cannot be read.
  virtual bool Find(const RecordFilter& filter, std::vector<UnitRecord>& out, std::string& error) = 0;
};

// The local file seen as the outbox of the line sender.
class RecordOutbox {
 public:
  virtual ~RecordOutbox() = default;
  // The oldest records not yet sent, in the order they were written.
  virtual bool Unsent(size_t limit, std::vector<UnitRecord>& out, std::string& error) = 0;
  virtual bool MarkSent(const std::vector<std::string>& ids, std::string& error) = 0;
};

}  // namespace ardentix::records
