#pragma once
// The records of a station's burns: a record per finished device, filled from
// its report, the run's files and settings, written through a RecordWriter
// into records.sqlite. A run ends only once its records are committed; what
// could not be written is shown to the operator and tried again.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "burn/burn_engine.h"
#include "records/line_link.h"
#include "records/line_source.h"
#include "records/record.h"
#include "records/record_store.h"
#include "records/record_writer.h"

namespace ardentix::records {

// "2026-12-10T14:03:07.123Z" for milliseconds since 1970 UTC.
std::string UtcText(int64_t msSinceEpoch);
// The system's UTC time in milliseconds since 1970.
int64_t SystemUtcMs();

// The name on this station's records: records.ini's Station=, else the
// computer's name, else "station".
std::string RecordStationName(const std::string& setting, Host& host);

// What every record of one run shares: fixed at START, the hashes and the
// package identity filled in by a background step.
struct RunIdentity {
  std::string Station;
  bool WriteVerify = false, SaveSdFile = false;
  bool Sd1 = false, Sd2 = false, Flash = false;
  std::filesystem::path Sd1Path, Sd2Path, FlashPath, ImportedPackagePath;
  std::vector<std::string> ReplacedSections;
  // From the background step.
  int64_t Sd1Size = 0, Sd2Size = 0;
  std::string Sd1Sha256, Sd2Sha256;
  // From the run's preparing of its images (compressed, block map).
  struct SdImageIdentity {
    std::string Format;
    int64_t DecodedSize = 0, MappedSize = 0;
    std::string BmapName, BmapChecksum;
    std::string Sha256;  // of the raw image, when preparing computed it
  };
  SdImageIdentity Sd1Image, Sd2Image;
  int64_t PackageSize = 0;
  uint32_t PackageChecksum = 0;
  std::string FirmwareInfo;
};

// The record of one device of a run (no Id yet when `id` is empty).
UnitRecord MakeRecord(const DeviceReport& report, const RunIdentity& run, int64_t utcStartMs, std::string id);

class BurnRecorder final : public RunObserver {
 public:
  // Opens (or creates) `file`. A file that cannot be opened is reported
  // through the station's messages and opened again at each run's end;
  // records wait in memory meanwhile. `utcNowMs` defaults to the system's.
  BurnRecorder(Station& station, std::filesystem::path file, std::string stationName,
               std::function<int64_t()> utcNowMs = {});
  ~BurnRecorder() override;  // waits for its background steps, writes what it can

  void RunStarting(const BurnEngine& engine) override;
  void DeviceFinished(const DeviceReport& report) override;
  void RunFinishing(std::function<void()> done) override;
  void SdImagesPrepared(const BurnEngine& engine) override;

  // The open store (null while the file cannot be opened): the History view
  // reads through it.
  RecordStore* store();
  // Hands the records file to the line's sender (records.ini's Url=);
  // what keeps it from starting is said through the station's messages.
  void SendToLine(const std::string& url);
  RecordWriter& writer() { return writer_; }
  const std::string& stationName() const { return stationName_; }
  // The outcome counts of the records committed since the recorder started.
  struct Tally {
    int64_t Passed = 0, Failed = 0, Duplicates = 0;
  };
  Tally tally() const;

 private:
  void Identify(RunIdentity run);
  void Committed(const std::vector<UnitRecord>& records);
  bool EnsureStore(std::string& error);
  void JoinBackground();

  Station& station_;
  std::filesystem::path file_;
  std::string stationName_;
  std::function<int64_t()> utcNowMs_;

  mutable std::mutex mutex_;
  std::unique_ptr<RecordStore> store_;
  RunIdentity run_;
  bool identified_ = false;
  int64_t utcAtStart_ = 0, clockAtStart_ = 0;
  struct Pending {
    DeviceReport report;
    int64_t utcStartMs;
    std::string id;
  };
  std::vector<Pending> pending_;  // finished before the run's files were identified
  std::string lastFailure_;
  Tally tally_;

  std::thread identify_;
  std::thread finishing_;
  RecordWriter writer_;
  // The line sender speaks from its own thread; the station's messages are
  // shown on the station's thread.
  class PostedMessages final : public MessageSink {
   public:
    explicit PostedMessages(Station& station) : station_(station) {}
    void ShowMessage(const std::string& text, const std::string& caption) override;
    bool AskOkCancel(const std::string&, const std::string&) override { return false; }

   private:
    Station& station_;
  };
  PostedMessages lineMessages_{station_};
  std::unique_ptr<LineLink> sender_;  // last: stops first, before the store it reads
};

}  // namespace ardentix::records
