#include "records/record_store.h"

#include "core/platform_files.h"

#include <sqlite3.h>

#include <nlohmann/json.hpp>
#include <unordered_map>
#include <utility>

namespace ardentix::records {
namespace {

// Every column of a unit row after seq, in the order the statements below
// bind and read them.
constexpr const char* kColumns =
    "id, started_utc, ended_utc, station, drive_letter, lun, location, outcome, stage_code, stage_text, "
    "result_code, result_text, serial, flash_id_text, chip_type, clock_mhz, package_name, package_size, "
    "package_checksum, firmware_info, replaced_sections, sd_image_name, sd_image_size, sd_image_sha256, "
    "sd_write_s, sd_verify_s, flash_erase_s, flash_write_s, flash_verify_s, bytes_written, bytes_verified, "
    "write_verify, save_sd_file, duplicate_serial";
constexpr int kColumnCount = 34;

// One step per layout version: step i turns a version-i file into i+1.
// Version 0 is a file with no records layout yet (new, or made by another
// tool). A later layout adds its step here; steps never change once shipped.
constexpr const char* kMigrations[] = {
    // 0 -> 1
    "CREATE TABLE units ("
    " seq INTEGER PRIMARY KEY AUTOINCREMENT,"
    " id TEXT NOT NULL UNIQUE,"
    " started_utc TEXT NOT NULL, ended_utc TEXT NOT NULL, station TEXT NOT NULL,"
    " drive_letter TEXT NOT NULL, lun INTEGER NOT NULL, location TEXT NOT NULL,"
    " outcome TEXT NOT NULL, stage_code INTEGER NOT NULL, stage_text TEXT NOT NULL,"
    " result_code INTEGER NOT NULL, result_text TEXT NOT NULL, serial TEXT NOT NULL,"
    " flash_id_text TEXT NOT NULL, chip_type TEXT NOT NULL, clock_mhz INTEGER NOT NULL,"
    " package_name TEXT NOT NULL, package_size INTEGER NOT NULL, package_checksum INTEGER NOT NULL,"
    " firmware_info TEXT NOT NULL, replaced_sections TEXT NOT NULL,"
    " sd_image_name TEXT NOT NULL, sd_image_size INTEGER NOT NULL, sd_image_sha256 TEXT NOT NULL,"
    " sd_write_s REAL NOT NULL, sd_verify_s REAL NOT NULL, flash_erase_s REAL NOT NULL,"
    " flash_write_s REAL NOT NULL, flash_verify_s REAL NOT NULL,"
    " bytes_written INTEGER NOT NULL, bytes_verified INTEGER NOT NULL,"
    " write_verify INTEGER NOT NULL, save_sd_file INTEGER NOT NULL, duplicate_serial INTEGER NOT NULL,"
    " sent INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX units_started ON units(started_utc);"
    "CREATE INDEX units_serial ON units(serial, outcome);"
    "CREATE INDEX units_unsent ON units(sent, seq);",
};
static_assert(std::size(kMigrations) == RecordStore::kSchemaVersion);

std::string Message(sqlite3* db, const char* what) {
  return std::string(what) + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
}

bool Exec(sqlite3* db, const char* sql, std::string& error, const char* what) {
  char* text = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &text) == SQLITE_OK) return true;
  error = std::string(what) + ": " + (text ? text : sqlite3_errmsg(db));
  sqlite3_free(text);
  return false;
}

// A prepared statement, finalised on every path.
class Statement {
 public:
  Statement(sqlite3* db, const std::string& sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql.c_str(), int(sql.size()), &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  bool ok() const { return stmt_ != nullptr; }
  sqlite3_stmt* get() { return stmt_; }

  void Bind(int i, const std::string& s) { sqlite3_bind_text(stmt_, i, s.data(), int(s.size()), SQLITE_TRANSIENT); }
  void Bind(int i, int64_t v) { sqlite3_bind_int64(stmt_, i, v); }
  void Bind(int i, double v) { sqlite3_bind_double(stmt_, i, v); }
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step() { return sqlite3_step(stmt_); }
  void Reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  std::string Text(int i) {
    const unsigned char* t = sqlite3_column_text(stmt_, i);
    return t ? std::string(reinterpret_cast<const char*>(t), size_t(sqlite3_column_bytes(stmt_, i))) : std::string();
  }
  int64_t Int(int i) { return sqlite3_column_int64(stmt_, i); }
  double Real(int i) { return sqlite3_column_double(stmt_, i); }

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

// Rolls back unless committed, so an error on any path leaves no open
// transaction behind.
class Transaction {
 public:
  explicit Transaction(sqlite3* db) : db_(db) {}
  ~Transaction() {
    if (open_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  bool Begin(std::string& error) { return open_ = Exec(db_, "BEGIN IMMEDIATE", error, "cannot start writing"); }
  bool Commit(std::string& error) {
    if (!Exec(db_, "COMMIT", error, "cannot commit")) return false;
    open_ = false;
    return true;
  }

 private:
  sqlite3* db_;
  bool open_ = false;
};

std::string SectionsText(const std::vector<std::string>& sections) { return nlohmann::json(sections).dump(); }

std::vector<std::string> SectionsFrom(const std::string& text) {
  auto j = nlohmann::json::parse(text, nullptr, false);
  std::vector<std::string> out;
  if (j.is_array())
    for (auto& s : j)
      if (s.is_string()) out.push_back(s.get<std::string>());
  return out;
}

void BindRecord(Statement& st, const UnitRecord& r) {
  int i = 1;
  st.Bind(i++, r.Id);
  st.Bind(i++, r.StartedUtc);
  st.Bind(i++, r.EndedUtc);
  st.Bind(i++, r.Station);
  st.Bind(i++, r.DriveLetter);
  st.Bind(i++, int64_t(r.Lun));
  st.Bind(i++, r.Location);
  st.Bind(i++, r.Outcome);
  st.Bind(i++, int64_t(r.StageCode));
  st.Bind(i++, r.StageText);
  st.Bind(i++, int64_t(r.ResultCode));
  st.Bind(i++, r.ResultText);
  st.Bind(i++, r.Serial);
  st.Bind(i++, r.FlashIdText);
  st.Bind(i++, r.ChipType);
  st.Bind(i++, int64_t(r.ClockMHz));
  st.Bind(i++, r.PackageName);
  st.Bind(i++, r.PackageSize);
  st.Bind(i++, int64_t(r.PackageChecksum));
  st.Bind(i++, r.FirmwareInfo);
  st.Bind(i++, SectionsText(r.ReplacedSections));
  st.Bind(i++, r.SdImageName);
  st.Bind(i++, r.SdImageSize);
  st.Bind(i++, r.SdImageSha256);
  st.Bind(i++, r.SdWriteSeconds);
  st.Bind(i++, r.SdVerifySeconds);
  st.Bind(i++, r.FlashEraseSeconds);
  st.Bind(i++, r.FlashWriteSeconds);
  st.Bind(i++, r.FlashVerifySeconds);
  st.Bind(i++, r.BytesWritten);
  st.Bind(i++, r.BytesVerified);
  st.Bind(i++, int64_t(r.WriteVerify));
  st.Bind(i++, int64_t(r.SaveSdFile));
  st.Bind(i++, int64_t(r.DuplicateSerial));
}

UnitRecord ReadRecord(Statement& st) {
  UnitRecord r;
  int i = 0;
  r.Id = st.Text(i++);
  r.StartedUtc = st.Text(i++);
  r.EndedUtc = st.Text(i++);
  r.Station = st.Text(i++);
  r.DriveLetter = st.Text(i++);
  r.Lun = int32_t(st.Int(i++));
  r.Location = st.Text(i++);
  r.Outcome = st.Text(i++);
  r.StageCode = int32_t(st.Int(i++));
  r.StageText = st.Text(i++);
  r.ResultCode = int32_t(st.Int(i++));
  r.ResultText = st.Text(i++);
  r.Serial = st.Text(i++);
  r.FlashIdText = st.Text(i++);
  r.ChipType = st.Text(i++);
  r.ClockMHz = int32_t(st.Int(i++));
  r.PackageName = st.Text(i++);
  r.PackageSize = st.Int(i++);
  r.PackageChecksum = uint32_t(st.Int(i++));
  r.FirmwareInfo = st.Text(i++);
  r.ReplacedSections = SectionsFrom(st.Text(i++));
  r.SdImageName = st.Text(i++);
  r.SdImageSize = st.Int(i++);
  r.SdImageSha256 = st.Text(i++);
  r.SdWriteSeconds = st.Real(i++);
  r.SdVerifySeconds = st.Real(i++);
  r.FlashEraseSeconds = st.Real(i++);
  r.FlashWriteSeconds = st.Real(i++);
  r.FlashVerifySeconds = st.Real(i++);
  r.BytesWritten = st.Int(i++);
  r.BytesVerified = st.Int(i++);
  r.WriteVerify = st.Int(i++) != 0;
  r.SaveSdFile = st.Int(i++) != 0;
  r.DuplicateSerial = st.Int(i++) != 0;
  return r;
}

std::string Placeholders(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += i ? ", ?" : "?";
  return s;
}

// The layout version of an open file: 0 when it has no version table.
bool ReadVersion(sqlite3* db, int& version, std::string& error) {
  Statement has(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'schema_version'");
  if (!has.ok()) {
    error = Message(db, "not a records file");
    return false;
  }
  int rc = has.Step();
  if (rc == SQLITE_DONE) {
    version = 0;
    return true;
  }
  if (rc != SQLITE_ROW) {
    error = Message(db, "not a records file");
    return false;
  }
  Statement st(db, "SELECT max(version) FROM schema_version");
  if (!st.ok() || st.Step() != SQLITE_ROW) {
    error = Message(db, "cannot read the layout version");
    return false;
  }
  version = int(st.Int(0));
  return true;
}

std::string NewerMessage(int version) {
  return "the records file has layout version " + std::to_string(version) + ", newer than this program's " +
         std::to_string(RecordStore::kSchemaVersion) + "; use a newer program (the file was left unchanged)";
}

}  // namespace

std::unique_ptr<RecordStore> RecordStore::Open(const std::filesystem::path& file, std::string& error) {
  return OpenFile(file, true, error);
}

std::unique_ptr<RecordStore> RecordStore::OpenForReading(const std::filesystem::path& file, std::string& error) {
  return OpenFile(file, false, error);
}

std::unique_ptr<RecordStore> RecordStore::OpenFile(const std::filesystem::path& file, bool create,
                                                   std::string& error) {
  const std::string name = PathText(file);
  sqlite3* db = nullptr;
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
  int rc = sqlite3_open_v2(name.c_str(), &db, flags, nullptr);
  auto fail = [&](std::string message) -> std::unique_ptr<RecordStore> {
    error = name + ": " + message;
    sqlite3_close(db);
    return nullptr;
  };
  if (rc != SQLITE_OK) return fail(Message(db, "cannot open the records file"));
  sqlite3_busy_timeout(db, 5000);
  sqlite3_extended_result_codes(db, 1);

  // The version first: a newer file is not touched at all, not even its
  // journal mode.
  std::string why;
  int version = 0;
  if (!ReadVersion(db, version, why)) return fail(why);
  if (version > kSchemaVersion) return fail(NewerMessage(version));

  // WAL: readers never wait for the writer; FULL: a commit is on the disk
  // when it returns, so a record reported written survives a power cut.
  {
    Statement wal(db, "PRAGMA journal_mode=WAL");
    if (!wal.ok() || wal.Step() != SQLITE_ROW || wal.Text(0) != "wal")
      return fail(Message(db, "cannot switch the records file to write-ahead logging"));
  }
  if (!Exec(db, "PRAGMA synchronous=FULL", why, "cannot set full sync")) return fail(why);

  if (version < kSchemaVersion) {
    Transaction tx(db);
    if (!tx.Begin(why)) return fail(why);
    // Another process may have migrated it meanwhile.
    if (!ReadVersion(db, version, why)) return fail(why);
    if (version > kSchemaVersion) return fail(NewerMessage(version));
    if (version == 0 && !Exec(db, "CREATE TABLE schema_version (version INTEGER NOT NULL)", why,
                              "cannot create the layout version table"))
      return fail(why);
    for (; version < kSchemaVersion; ++version)
      if (!Exec(db, kMigrations[version], why, "cannot update the records file's layout")) return fail(why);
    const std::string store = "DELETE FROM schema_version; INSERT INTO schema_version (version) VALUES (" +
                              std::to_string(kSchemaVersion) + ")";
    if (!Exec(db, store.c_str(), why, "cannot store the layout version")) return fail(why);
    if (!tx.Commit(why)) return fail(why);
  }
  return std::unique_ptr<RecordStore>(new RecordStore(db, version));
}

RecordStore::~RecordStore() { sqlite3_close(db_); }

bool RecordStore::PassedElsewhereLocked(const std::string& serial, const std::string& location, bool& found,
                                        std::string& error) {
  found = false;
  if (serial.empty()) return true;
  Statement st(db_, "SELECT 1 FROM units WHERE serial = ? AND outcome = 'passed' AND location <> ? LIMIT 1");
  if (!st.ok()) {
    error = Message(db_, "cannot look the serial up");
    return false;
  }
  st.Bind(1, serial);
  st.Bind(2, location);
  int rc = st.Step();
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
    error = Message(db_, "cannot look the serial up");
    return false;
  }
  found = rc == SQLITE_ROW;
  return true;
}

bool RecordStore::PassedElsewhere(const std::string& serial, const std::string& location, bool& found,
                                  std::string& error) {
  std::lock_guard lock(mutex_);
  return PassedElsewhereLocked(serial, location, found, error);
}

bool RecordStore::Add(std::vector<UnitRecord>& records, std::string& error) {
  std::lock_guard lock(mutex_);
  if (records.empty()) return true;
  Transaction tx(db_);
  if (!tx.Begin(error)) return false;
  Statement ins(db_, std::string("INSERT INTO units (") + kColumns + ") VALUES (" + Placeholders(kColumnCount) +
                         ") ON CONFLICT(id) DO NOTHING");
  if (!ins.ok()) {
    error = Message(db_, "cannot write the records");
    return false;
  }
  std::vector<bool> flags;
  // Earlier records of the same batch are not in the table yet: their passed
  // locations per serial.
  std::unordered_map<std::string, std::vector<const std::string*>> passedInBatch;
  for (size_t k = 0; k < records.size(); ++k) {
    UnitRecord& r = records[k];
    bool dup = false;
    if (!PassedElsewhereLocked(r.Serial, r.Location, dup, error)) return false;
    if (!dup && !r.Serial.empty())
      if (auto it = passedInBatch.find(r.Serial); it != passedInBatch.end())
        for (const std::string* location : it->second) dup = dup || *location != r.Location;
    if (r.Outcome == "passed" && !r.Serial.empty()) passedInBatch[r.Serial].push_back(&r.Location);
    flags.push_back(dup || r.DuplicateSerial);
    UnitRecord copy = r;
    copy.DuplicateSerial = flags.back();
    BindRecord(ins, copy);
    if (ins.Step() != SQLITE_DONE) {
      error = Message(db_, "cannot write the record");
      return false;
    }
    ins.Reset();
  }
  if (!tx.Commit(error)) return false;
  for (size_t k = 0; k < records.size(); ++k) records[k].DuplicateSerial = flags[k];
  return true;
}

bool RecordStore::Find(const RecordFilter& filter, std::vector<UnitRecord>& out, std::string& error) {
  std::lock_guard lock(mutex_);
  std::string sql = std::string("SELECT ") + kColumns + " FROM units WHERE 1";
  std::vector<const std::string*> args;
  auto where = [&](const std::string& value, const char* clause) {
    if (value.empty()) return;
    sql += clause;
    args.push_back(&value);
  };
  where(filter.SinceUtc, " AND started_utc >= ?");
  where(filter.UntilUtc, " AND started_utc < ?");
  where(filter.Serial, " AND serial = ?");
  where(filter.Outcome, " AND outcome = ?");
  where(filter.Station, " AND station = ?");
  sql += " ORDER BY started_utc, seq";
  Statement st(db_, sql);
  if (!st.ok()) {
    error = Message(db_, "cannot read the records");
    return false;
  }
  for (size_t i = 0; i < args.size(); ++i) st.Bind(int(i + 1), *args[i]);
  out.clear();
  int rc;
  while ((rc = st.Step()) == SQLITE_ROW) out.push_back(ReadRecord(st));
  if (rc != SQLITE_DONE) {
    error = Message(db_, "cannot read the records");
    return false;
  }
  return true;
}

bool RecordStore::Unsent(size_t limit, std::vector<UnitRecord>& out, std::string& error) {
  std::lock_guard lock(mutex_);
  Statement st(db_, std::string("SELECT ") + kColumns + " FROM units WHERE sent = 0 ORDER BY seq LIMIT ?");
  if (!st.ok()) {
    error = Message(db_, "cannot read the unsent records");
    return false;
  }
  st.Bind(1, int64_t(limit > size_t(INT64_MAX) ? INT64_MAX : int64_t(limit)));
  out.clear();
  int rc;
  while ((rc = st.Step()) == SQLITE_ROW) out.push_back(ReadRecord(st));
  if (rc != SQLITE_DONE) {
    error = Message(db_, "cannot read the unsent records");
    return false;
  }
  return true;
}

bool RecordStore::MarkSent(const std::vector<std::string>& ids, std::string& error) {
  std::lock_guard lock(mutex_);
  if (ids.empty()) return true;
  Transaction tx(db_);
  if (!tx.Begin(error)) return false;
  Statement st(db_, "UPDATE units SET sent = 1 WHERE id = ?");
  if (!st.ok()) {
    error = Message(db_, "cannot mark records sent");
    return false;
  }
  for (const auto& id : ids) {
    st.Bind(1, id);
    if (st.Step() != SQLITE_DONE) {
      error = Message(db_, "cannot mark records sent");
      return false;
    }
    st.Reset();
  }
  return tx.Commit(error);
}

}  // namespace ardentix::records
