// Records for the record tests, and a way to make the file refuse writes.
#pragma once

#include <sqlite3.h>

#include <filesystem>
#include <string>

#include "records/record.h"

namespace ardentix::records::testing {

// A record with every field set (a new field too, so that the round trips
// through the file and the line's database check it), distinct per `n`.
inline UnitRecord SampleRecord(int n, const std::string& serial = "", const std::string& outcome = "passed") {
  UnitRecord r;
  r.Id = "id-" + std::to_string(n);
  r.StartedUtc = "2026-12-10T08:00:" + std::string(n < 10 ? "0" : "") + std::to_string(n % 60) + ".000Z";
  r.EndedUtc = "2026-12-10T08:01:00.000Z";
  r.Station = "ST1";
  r.DriveLetter = "E";
  r.Lun = 0;
  r.Location = "USB#1-" + std::to_string(n) + "&0";
  r.Outcome = outcome;
  r.StageCode = 7;
  r.StageText = "Download OK";
  r.ResultCode = 1;
  r.ResultText = "Success!";
  r.Serial = serial.empty() ? "0000000100" + std::to_string(10 + n % 90) : serial;
  r.FlashIdText = "00EF4018";
  r.ChipType = "W25Q128";
  r.ClockMHz = 80;
  r.PackageName = "fw \"v2\".vlr";
  r.PackageSize = 10000;
  r.PackageChecksum = 0xDEADBEEF;
  r.FirmwareInfo = "FW 1.2, built\tnow";
  r.ReplacedSections = {"voice", "sysconfig"};
  r.SdImageName = "card.img";
  r.SdImageSize = 5'000'000'000;
  r.SdImageSha256 = std::string(64, 'a');
  r.SdImageFormat = "zstd";
  r.SdImageDecodedSize = 8'000'000'000;
  r.SdImageMappedSize = 2'000'000'000;
  r.SdBmapName = "card.img.bmap";
  r.SdBmapChecksum = std::string(64, 'b');
  r.SdWriteSeconds = 1.25;
  r.SdVerifySeconds = 0.5;
  r.FlashEraseSeconds = 0.125;
  r.FlashWriteSeconds = 2;
  r.FlashVerifySeconds = 1.5;
  r.BytesWritten = 5'000'010'000;
  r.BytesVerified = 5'000'010'000;
  r.WriteVerify = true;
  r.SaveSdFile = false;
  r.Mode = n % 2 ? "continuous" : "batch";
  return r;
}

// Runs SQL on the file through a connection of its own (as another process
// would); the error text, "" on success.
inline std::string RunSql(const std::filesystem::path& file, const std::string& sql) {
  sqlite3* db = nullptr;
  std::string error;
  if (sqlite3_open(file.string().c_str(), &db) != SQLITE_OK) {
    error = sqlite3_errmsg(db);
  } else {
    sqlite3_busy_timeout(db, 5000);
    char* text = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &text) != SQLITE_OK) error = text ? text : "failed";
    sqlite3_free(text);
  }
  sqlite3_close(db);
  return error;
}

// One value of a query, as text.
inline std::string QueryText(const std::filesystem::path& file, const std::string& sql) {
  sqlite3* db = nullptr;
  std::string value = "<error>";
  if (sqlite3_open_v2(file.string().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW) {
      const unsigned char* t = sqlite3_column_text(st, 0);
      value = t ? reinterpret_cast<const char*>(t) : "";
    }
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return value;
}

// A full disk, as the writer meets it: every insert fails until lifted.
inline std::string RefuseWrites(const std::filesystem::path& file) {
  return RunSql(file, "CREATE TRIGGER refuse BEFORE INSERT ON units BEGIN SELECT RAISE(ABORT, 'disk full'); END");
}
inline std::string AllowWrites(const std::filesystem::path& file) { return RunSql(file, "DROP TRIGGER refuse"); }

}  // namespace ardentix::records::testing
