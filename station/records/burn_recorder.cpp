#include "records/burn_recorder.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>

#include "burnfiles/input_file.h"
#include "burnfiles/package.h"
#include "burnfiles/sd_image.h"
#include "core/strings.h"
#include "core/status_codes.h"
#include "records/line_address.h"
#include "records/records_settings.h"
#include "records/sha256.h"

namespace ardentix::records {
namespace {

double Seconds(const DeviceReport& r, const char* stage) {
  auto it = r.stageMs.find(stage);
  return it == r.stageMs.end() ? 0.0 : double(it->second) / 1000.0;
}

// 128 random bits as hex: unique across stations without coordination.
std::string NewId() {
  static std::mutex mutex;
  static std::mt19937_64 random{[] {
    std::random_device device;
    return (uint64_t(device()) << 32) ^ device();
  }()};
  std::lock_guard lock(mutex);
  char text[40];
  std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(random()),
                static_cast<unsigned long long>(random()));
  return text;
}

}  // namespace

std::string UtcText(int64_t ms) {
  using namespace std::chrono;
  const sys_time<milliseconds> t{milliseconds{ms}};
  const auto day = floor<days>(t);
  const year_month_day date{day};
  const hh_mm_ss<milliseconds> time{t - day};
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", int(date.year()), unsigned(date.month()),
                unsigned(date.day()), int(time.hours().count()), int(time.minutes().count()),
                int(time.seconds().count()), int(time.subseconds().count()));
  return text;
}

int64_t SystemUtcMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string RecordStationName(const std::string& setting, Host& host) {
  if (!setting.empty()) return setting;
  std::string name = host.HostName();
  return name.empty() ? "station" : name;
}

UnitRecord MakeRecord(const DeviceReport& report, const RunIdentity& run, int64_t utcStartMs, std::string id) {
  UnitRecord u;
  u.Id = std::move(id);
  u.StartedUtc = UtcText(utcStartMs);
  u.EndedUtc = UtcText(utcStartMs + (report.endedMs - report.startedMs));
  u.Station = run.Station;
  u.DriveLetter = std::string(1, report.letter);
  u.Lun = report.lun;
  u.Location = report.location;
  u.Outcome = report.outcome == BurnOutcome::Passed ? "passed" : "failed";
  u.StageCode = report.stage;
  u.StageText = StatusText(report.stage);
  u.ResultCode = report.result;
  u.ResultText = StatusText(report.result);
  u.Serial = report.serial;
  u.FlashIdText = report.flashIdText;
  u.ChipType = report.chipType;
  u.ClockMHz = report.clockMHz;
  // The identities of what this device was given, whether or not it got that far.
  if (run.Flash && report.lun == 0) {
    const auto& named = run.ImportedPackagePath.empty() ? run.FlashPath : run.ImportedPackagePath;
    u.PackageName = PathText(named.filename());
    u.PackageSize = run.PackageSize;
    u.PackageChecksum = run.PackageChecksum;
    u.FirmwareInfo = run.FirmwareInfo;
    u.ReplacedSections = run.ReplacedSections;
  }
  auto sd = [&](const std::filesystem::path& path, int64_t size, const std::string& sha,
                const RunIdentity::SdImageIdentity& image) {
    u.SdImageName = PathText(path.filename());
    u.SdImageSize = size;
    u.SdImageSha256 = image.Sha256.empty() ? sha : image.Sha256;
    u.SdImageFormat = image.Format;
    u.SdImageDecodedSize = image.DecodedSize;
    u.SdImageMappedSize = image.MappedSize;
    u.SdBmapName = image.BmapName;
    u.SdBmapChecksum = image.BmapChecksum;
  };
  if (run.Sd1 && report.lun == 0)
    sd(run.Sd1Path, run.Sd1Size, run.Sd1Sha256, run.Sd1Image);
  else if (run.Sd2 && report.lun == 1)
    sd(run.Sd2Path, run.Sd2Size, run.Sd2Sha256, run.Sd2Image);
  if (run.Sd2 && report.secondCardLetter != 0) {
    u.Sd2DriveLetter = std::string(1, report.secondCardLetter);
    u.Sd2ImageName = PathText(run.Sd2Path.filename());
    u.Sd2ImageSize = run.Sd2Size;
    u.Sd2ImageSha256 = run.Sd2Image.Sha256.empty() ? run.Sd2Sha256 : run.Sd2Image.Sha256;
    u.Sd2WriteSeconds = Seconds(report, "sd2-write");
    u.Sd2VerifySeconds = Seconds(report, "sd2-verify");
  }
  u.SdWriteSeconds = Seconds(report, "sd-write");
  u.SdVerifySeconds = Seconds(report, "sd-verify");
  u.FlashEraseSeconds = Seconds(report, "flash-erase");
  u.FlashWriteSeconds = Seconds(report, "flash-write");
  u.FlashVerifySeconds = Seconds(report, "flash-verify");
  u.BytesWritten = report.bytesWritten;
  u.BytesVerified = report.bytesVerified;
  u.WriteVerify = run.WriteVerify;
  u.SaveSdFile = run.SaveSdFile;
  u.Mode = report.continuous ? "continuous" : "batch";
  return u;
}

BurnRecorder::BurnRecorder(Station& station, std::filesystem::path file, std::string stationName,
                           std::function<int64_t()> utcNowMs)
    : station_(station),
      file_(std::move(file)),
      stationName_(std::move(stationName)),
      utcNowMs_(utcNowMs ? std::move(utcNowMs) : std::function<int64_t()>(SystemUtcMs)),
      writer_(nullptr, RecordWriter::Events{[this](const std::vector<UnitRecord>& r) { Committed(r); },
                                            [this](const std::string& error, size_t) {
                                              std::lock_guard lock(mutex_);
                                              lastFailure_ = error;
                                            }}) {
  std::string error;
  if (!EnsureStore(error))
    station_.messages().ShowMessage(FormatText(StringText(3097), {error}), text::kProgramCaption);
}

BurnRecorder::~BurnRecorder() { JoinBackground(); }

void BurnRecorder::JoinBackground() {
  // The finishing step joins the identifying one: it goes first.
  if (finishing_.joinable()) finishing_.join();
  if (identify_.joinable()) identify_.join();
}

RecordStore* BurnRecorder::store() {
  std::lock_guard lock(mutex_);
  return store_.get();
}

BurnRecorder::Tally BurnRecorder::tally() const {
  std::lock_guard lock(mutex_);
  return tally_;
}

bool BurnRecorder::EnsureStore(std::string& error) {
  {
    std::lock_guard lock(mutex_);
    if (store_) return true;
  }
  auto store = RecordStore::Open(file_, error);
  if (!store) return false;
  std::lock_guard lock(mutex_);
  store_ = std::move(store);
  writer_.SetStore(store_.get());
  return true;
}

void BurnRecorder::PostedMessages::ShowMessage(const std::string& text, const std::string& caption) {
  Station* station = &station_;
  station->dispatcher().Post([station, text, caption] { station->messages().ShowMessage(text, caption); });
}

void BurnRecorder::SendToLine(const std::string& url) {
  if (url.empty()) return;
  // As libpq does for its password file: said once, the sending goes on.
  const auto settingsFile = station_.stationDir() / kRecordsSettingsFileName;
  if (LineAddressHasPassword(url) && ReadableByOthers(settingsFile))
    station_.messages().ShowMessage(FormatText(StringText(3101), {PathText(settingsFile)}), text::kProgramCaption);
  std::string error;
  RecordStore* outbox = store();
  std::unique_ptr<LineLink> link;
  if (outbox) link = StartLineLink(*outbox, url, station_.clock(), &lineMessages_, error);
  const bool started = link != nullptr;
  {
    std::lock_guard lock(mutex_);  // the writer's thread wakes it
    sender_ = std::move(link);
  }
  if (!started)
    station_.messages().ShowMessage(
        FormatText(StringText(3100), {LineAddressWithoutPassword(url), outbox ? error : PathText(file_)}),
                                    text::kProgramCaption);
}

void BurnRecorder::RunStarting(const BurnEngine& engine) {
  // The last run's steps are over by now (its end was waited for); join
  // them before this run's identity replaces theirs.
  JoinBackground();
  RunIdentity run;
  run.Station = stationName_;
  run.WriteVerify = engine.runFiles.writeVerify != 0;
  run.SaveSdFile = engine.runFiles.saveSdFile != 0;
  run.Sd1 = engine.runSettings.sd1Enabled != 0;
  run.Sd2 = engine.runSettings.sd2Enabled != 0;
  run.Flash = engine.runSettings.flashEnabled != 0;
  run.Sd1Path = engine.runFiles.sd1ImagePath;
  run.Sd2Path = engine.runFiles.sd2ImagePath;
  run.FlashPath = engine.runFiles.flashPackagePath;
  const BurnFileSet& files = station_.files();
  run.ImportedPackagePath = files.importedPackagePath;
  run.ReplacedSections = engine.runFiles.replacedSections;
  {
    std::lock_guard lock(mutex_);
    run_ = run;
    identified_ = false;
    pending_.clear();
    utcAtStart_ = utcNowMs_();
    clockAtStart_ = station_.clock().NowMs();
  }
  // Hashing a card image takes seconds: beside the burn, once per run.
  identify_ = std::thread([this, run]() mutable { Identify(std::move(run)); });
}

void BurnRecorder::Identify(RunIdentity run) {
  // An unreadable file leaves its identity empty; the burn reports the file itself.
  auto sd = [](bool on, const std::filesystem::path& path, int64_t& size, std::string& sha) {
    if (!on) return;
    std::error_code ec;
    const auto n = std::filesystem::file_size(path, ec);
    if (!ec) size = int64_t(n);
    // A compressed image's hash is of what it decodes to: the run's
    // preparing computes that while decoding.
    char head[8] = {};
    const auto file = InputFile::Open(path);
    const size_t got = file ? size_t(std::min<uint64_t>(sizeof head, file->size())) : 0;
    if (file && got && file->ReadAt(0, head, got) &&
        DetectSdImageFormat(std::string_view(head, got)) != SdImageFormat::Raw)
      return;
    if (auto hash = Sha256OfFile(path)) sha = *hash;
  };
  sd(run.Sd1, run.Sd1Path, run.Sd1Size, run.Sd1Sha256);
  sd(run.Sd2, run.Sd2Path, run.Sd2Size, run.Sd2Sha256);
  if (run.Flash)
    if (auto info = InspectPackage(run.FlashPath)) {
      run.PackageSize = int64_t(info->fileSize);
      run.PackageChecksum = info->header.packageChecksum;
      run.FirmwareInfo = info->firmwareInfo;
    }
  std::vector<UnitRecord> ready;
  {
    std::lock_guard lock(mutex_);
    // The images' identity may have come from the run meanwhile.
    run.Sd1Image = std::move(run_.Sd1Image);
    run.Sd2Image = std::move(run_.Sd2Image);
    run_ = std::move(run);
    identified_ = true;
    for (const Pending& p : pending_) ready.push_back(MakeRecord(p.report, run_, p.utcStartMs, p.id));
    pending_.clear();
  }
  for (auto& u : ready) writer_.Submit(std::move(u));
}

void BurnRecorder::SdImagesPrepared(const BurnEngine& engine) {
  auto identity = [&](int lun) {
    RunIdentity::SdImageIdentity id;
    const PreparedSdImage* p = engine.PreparedSd(lun);
    if (!p) return id;
    id.Format = SdImageFormatName(p->format);
    id.DecodedSize = int64_t(p->size);
    if (p->mapped) {
      id.MappedSize = int64_t(p->mappedBytes);
      id.BmapName = PathText(p->bmapPath.filename());
      id.BmapChecksum = p->bmapChecksum;
    }
    id.Sha256 = p->sha256;
    return id;
  };
  std::lock_guard lock(mutex_);
  run_.Sd1Image = identity(0);
  run_.Sd2Image = identity(1);
}

void BurnRecorder::DeviceFinished(const DeviceReport& report) {
  std::unique_lock lock(mutex_);
  const int64_t utcStart = utcAtStart_ + (report.startedMs - clockAtStart_);
  if (!identified_) {
    // Made once the background step knows the run's files.
    pending_.push_back({report, utcStart, NewId()});
    return;
  }
  UnitRecord u = MakeRecord(report, run_, utcStart, NewId());
  lock.unlock();
  writer_.Submit(std::move(u));
}

void BurnRecorder::Committed(const std::vector<UnitRecord>& records) {
  std::lock_guard lock(mutex_);
  for (const UnitRecord& u : records) {
    (u.Outcome == "passed" ? tally_.Passed : tally_.Failed)++;
    if (u.DuplicateSerial) {
      ++tally_.Duplicates;
      if (!u.DriveLetter.empty()) station_.slots().SetDeviceDuplicateSerial(u.DriveLetter[0], true);
    }
  }
  if (sender_ && !records.empty()) sender_->Wake();
}

void BurnRecorder::RunFinishing(std::function<void()> done) {
  if (finishing_.joinable()) finishing_.join();
  finishing_ = std::thread([this, done = std::move(done)] {
    if (identify_.joinable()) identify_.join();
    std::string openError;
    const bool opened = EnsureStore(openError);
    const bool written = writer_.Flush();
    std::string message;
    if (!written) {
      std::lock_guard lock(mutex_);
      message = FormatText(StringText(3098),
                           {std::to_string(writer_.Waiting()), PathText(file_), opened ? lastFailure_ : openError});
    }
    // The station, not the recorder: the task may run after the recorder is gone.
    Station* station = &station_;
    station->dispatcher().Post([station, done, message] {
      if (!message.empty()) station->messages().ShowMessage(message, text::kProgramCaption);
      done();
    });
  });
}

}  // namespace ardentix::records
