// The records file at a factory's scale: 100,000 records written through
// the writer thread, then `records stats` over all of them (read and
// figures), and a single serial looked up. Also the time one record's
// durable commit takes, which is what a finished device waits for at most.
#include <chrono>
#include <cstdio>
#include <filesystem>

#include "bench_station.h"
#include "records/record_format.h"
#include "records/record_store.h"
#include "records/record_writer.h"
#include "records/stats.h"

using namespace ardentix;
using namespace ardentix::records;

namespace {

constexpr int kRecords = 100000;
constexpr int kSingleCommits = 200;
// Targets on the reference machine (2 cores, an ordinary disk).
constexpr double kInsertLimitSeconds = 10;
constexpr double kStatsLimitSeconds = 5;

UnitRecord Make(int n) {
  UnitRecord r;
  char id[32];
  std::snprintf(id, sizeof id, "bench-%08d", n);
  r.Id = id;
  // 40 days of a line: 2,500 units a day, 3 % of them burned twice.
  const int day = n / 2500;
  char started[40];
  std::snprintf(started, sizeof started, "2026-11-%02dT%02d:%02d:%02d.000Z", 1 + day % 30, 6 + (n / 200) % 12,
                (n / 4) % 60, n % 60);
  r.StartedUtc = started;
  r.EndedUtc = started;
  r.Station = "LINE1-ST" + std::to_string(1 + n % 4);
  r.DriveLetter = std::string(1, char('E' + n % 8));
  r.Location = "USB#" + std::to_string(n % 8) + "&0";
  const bool retry = n % 33 == 0;
  r.Outcome = (n % 50 == 7) ? "failed" : "passed";
  r.StageCode = 6026;
  r.StageText = "Download OK";
  r.ResultCode = r.Outcome == "passed" ? 4004 : 6031;
  r.ResultText = r.Outcome == "passed" ? "Success!" : "Fail to download data FLASH.";
  char serial[16];
  std::snprintf(serial, sizeof serial, "%012d", retry ? n - 1 : n);
  r.Serial = serial;
  r.FlashIdText = "001840EF";
  r.ChipType = n % 5 == 0 ? "MX25L128" : "W25Q128";
  r.ClockMHz = 80;
  r.PackageName = "fw-2.4.vlr";
  r.PackageSize = 528384;
  r.PackageChecksum = 0x04045B38;
  r.FirmwareInfo = "RQ4820 firmware 2.4";
  r.SdImageName = "card.img";
  r.SdImageSize = 16 << 20;
  r.SdImageSha256 = std::string(64, 'c');
  r.SdWriteSeconds = 2.0 + (n % 17) * 0.05;
  r.SdVerifySeconds = 1.0 + (n % 13) * 0.03;
  r.FlashEraseSeconds = 2.0;
  r.FlashWriteSeconds = 1.5 + (n % 7) * 0.1;
  r.FlashVerifySeconds = 0.8;
  r.BytesWritten = r.BytesVerified = r.SdImageSize + r.PackageSize;
  return r;
}

double Since(std::chrono::steady_clock::time_point t0) { return bench::Seconds(std::chrono::steady_clock::now() - t0); }

}  // namespace

int main() {
  const auto dir = bench::TempDir("records");
  const auto file = dir / kRecordFileName;
  std::string error;
  auto store = RecordStore::Open(file, error);
  if (!store) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }

  // One record per commit, as a lone device finishing is written.
  auto t0 = std::chrono::steady_clock::now();
  for (int n = 0; n < kSingleCommits; ++n) {
    std::vector<UnitRecord> one{Make(n)};
    if (!store->Add(one, error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 2;
    }
  }
  const double perCommitMs = Since(t0) * 1000 / kSingleCommits;

  // The rest through the writer, as many workers hand them over.
  t0 = std::chrono::steady_clock::now();
  size_t failures = 0;
  {
    RecordWriter writer(store.get(), {nullptr, [&](const std::string&, size_t) { ++failures; }});
    for (int n = kSingleCommits; n < kRecords; ++n) writer.Submit(Make(n));
    if (!writer.Flush()) failures += 1;
  }
  const double insertSeconds = Since(t0);

  t0 = std::chrono::steady_clock::now();
  std::vector<UnitRecord> all;
  if (!store->Find({}, all, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  const RecordStats stats = ComputeStats(all);
  const std::string table = StatsTable(stats);
  const double statsSeconds = Since(t0);

  t0 = std::chrono::steady_clock::now();
  std::vector<UnitRecord> one;
  RecordFilter bySerial;
  bySerial.Serial = "000000054321";
  store->Find(bySerial, one, error);
  const double serialMs = Since(t0) * 1000;

  const auto fileBytes = std::filesystem::file_size(file);
  store.reset();
  std::filesystem::remove_all(dir);

  std::printf("%d records: %d single commits %.2f ms each; the rest through the writer in %.2f s\n", kRecords,
              kSingleCommits, perCommitMs, insertSeconds);
  std::printf("records stats over %zu records (read + figures): %.2f s; yield %.1f %%, first-pass %.1f %%, "
              "%zu duplicate serials\n",
              all.size(), statsSeconds, stats.Total.Yield() * 100, stats.Total.FirstPassYield() * 100,
              stats.Duplicates.size());
  std::printf("one serial looked up: %.2f ms; file %.1f MB\n", serialMs, double(fileBytes) / 1e6);
  const bool met = failures == 0 && all.size() == size_t(kRecords) && insertSeconds <= kInsertLimitSeconds &&
                   statsSeconds <= kStatsLimitSeconds;
  std::printf("Insert %.2f s (limit %.0f s), stats %.2f s (limit %.0f s) (target: both within) %s\n", insertSeconds,
              kInsertLimitSeconds, statsSeconds, kStatsLimitSeconds, met ? "MET" : "MISSED");
  return met ? 0 : 1;
}
