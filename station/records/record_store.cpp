#include "records/record_store.h"

#include "core/platform_files.h"
#include "records/record_fields.h"

#include <sqlite3.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <type_traits>
#include <unordered_map>
#include <utility>

namespace ardentix::records {
namespace {

// The layout of a file that has none yet: every field of the table. Later
// fields reach older files through AddMissingColumns, so adding a field
// never needs a layout version of its own.
std::string CreateUnitsSql() {
  std::string sql = "CREATE TABLE units (seq INTEGER PRIMARY KEY AUTOINCREMENT";
  for (const RecordField& f : RecordFields())
    sql += std::string(", ") + f.name + (&f == &RecordFields().front() ? " TEXT NOT NULL UNIQUE" : " " + LocalColumnType(f));
  sql += ", sent INTEGER NOT NULL DEFAULT 0);"
         "CREATE INDEX units_started ON units(started_utc);"
         "CREATE INDEX units_serial ON units(serial, outcome);"
         "CREATE INDEX units_unsent ON units(sent, seq);";
  return sql;
}

// Layout 1 named some columns differently from the line's database.
std::string RenameFirstLayoutSql() {
  std::string sql;
  for (const RecordField& f : RecordFields())
    if (f.firstLocalName)
      sql += std::string("ALTER TABLE units RENAME COLUMN ") + f.firstLocalName + " TO " + f.name + ";";
  return sql;
}

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
  using R = UnitRecord;
  int i = 1;
  for (const RecordField& f : RecordFields()) {
    std::visit(Overloaded{[&](std::string R::*m) { st.Bind(i, r.*m); },
                          [&](double R::*m) { st.Bind(i, r.*m); },
                          [&](std::vector<std::string> R::*m) { st.Bind(i, SectionsText(r.*m)); },
                          [&](auto m) { st.Bind(i, int64_t(r.*m)); }},
               f.member);
    ++i;
  }
}

UnitRecord ReadRecord(Statement& st) {
  using R = UnitRecord;
  UnitRecord r;
  int i = 0;
  for (const RecordField& f : RecordFields()) {
    std::visit(Overloaded{[&](std::string R::*m) { r.*m = st.Text(i); },
                          [&](double R::*m) { r.*m = st.Real(i); },
                          [&](std::vector<std::string> R::*m) { r.*m = SectionsFrom(st.Text(i)); },
                          [&](bool R::*m) { r.*m = st.Int(i) != 0; },
                          [&](auto m) { r.*m = static_cast<std::remove_reference_t<decltype(r.*m)>>(st.Int(i)); }},
               f.member);
    ++i;
  }
  return r;
}

// The fields the file's units table has no column for yet.
bool MissingColumns(sqlite3* db, std::vector<const RecordField*>& missing, std::string& error) {
  Statement st(db, "SELECT name FROM pragma_table_info('units')");
  if (!st.ok()) {
    error = Message(db, "cannot read the records file's layout");
    return false;
  }
  std::vector<std::string> have;
  int rc;
  while ((rc = st.Step()) == SQLITE_ROW) have.push_back(st.Text(0));
  if (rc != SQLITE_DONE) {
    error = Message(db, "cannot read the records file's layout");
    return false;
  }
  missing.clear();
  for (const RecordField& f : RecordFields())
    if (std::find(have.begin(), have.end(), f.name) == have.end()) missing.push_back(&f);
  return true;
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
    const std::string sql = version == 0 ? CreateUnitsSql() : RenameFirstLayoutSql();
    if (!Exec(db, sql.c_str(), why, "cannot update the records file's layout")) return fail(why);
    version = kSchemaVersion;
    const std::string store = "DELETE FROM schema_version; INSERT INTO schema_version (version) VALUES (" +
                              std::to_string(kSchemaVersion) + ")";
    if (!Exec(db, store.c_str(), why, "cannot store the layout version")) return fail(why);
    if (!tx.Commit(why)) return fail(why);
  }

  // Fields newer than the file: columns with the default an older writer
  // leaves, so older programs of the same layout still write to it.
  std::vector<const RecordField*> missing;
  if (!MissingColumns(db, missing, why)) return fail(why);
  if (!missing.empty()) {
    Transaction tx(db);
    if (!tx.Begin(why) || !MissingColumns(db, missing, why)) return fail(why);
    for (const RecordField* f : missing) {
      const std::string sql = std::string("ALTER TABLE units ADD COLUMN ") + f->name + " " + LocalColumnType(*f);
      if (!Exec(db, sql.c_str(), why, "cannot add a column to the records file")) return fail(why);
    }
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
  Statement ins(db_, std::string("INSERT INTO units (") + FieldNameList() + ") VALUES (" +
                         Placeholders(int(RecordFields().size())) +
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
  std::string sql = "SELECT " + FieldNameList() + " FROM units WHERE 1";
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
  Statement st(db_, "SELECT " + FieldNameList() + " FROM units WHERE sent = 0 ORDER BY seq LIMIT ?");
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
