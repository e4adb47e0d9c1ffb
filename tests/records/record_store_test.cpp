// The local record file: every field kept, the layout versioned, duplicates
// found, selections and the outbox, and nothing half written.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "core/child_process.h"
#include "core/temp_dir.h"
#include "records/record_store.h"
#include "records_fixture.h"

namespace ardentix::records {
namespace {

using testing::QueryText;
using testing::RefuseWrites;
using testing::RunSql;
using testing::SampleRecord;

std::string ReadBytes(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class RecordStoreTest : public ::testing::Test {
 protected:
  std::unique_ptr<RecordStore> OpenStore() {
    std::string error;
    auto store = RecordStore::Open(file_, error);
    EXPECT_TRUE(store) << error;
    return store;
  }
  void Add(RecordStore& store, std::vector<UnitRecord> records) {
    std::string error;
    ASSERT_TRUE(store.Add(records, error)) << error;
  }
  std::vector<UnitRecord> FindAll(RecordStore& store, const RecordFilter& filter = {}) {
    std::vector<UnitRecord> out;
    std::string error;
    EXPECT_TRUE(store.Find(filter, out, error)) << error;
    return out;
  }
  static std::string Ids(const std::vector<UnitRecord>& records) {
    std::string s;
    for (const auto& r : records) s += (s.empty() ? "" : ",") + r.Id;
    return s;
  }

  test::TempDir dir_;
  std::filesystem::path file_ = dir_.path() / kRecordFileName;
};

TEST_F(RecordStoreTest, KeepsEveryFieldAndIsWrittenAheadWithFullSync) {
  auto store = OpenStore();
  UnitRecord record = SampleRecord(1);
  Add(*store, {record});
  // Read by a new connection: what a later process finds.
  store.reset();
  store = OpenStore();
  const auto found = FindAll(*store);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0], record);
  EXPECT_EQ(QueryText(file_, "PRAGMA journal_mode"), "wal");
  EXPECT_EQ(QueryText(file_, "SELECT version FROM schema_version"), std::to_string(RecordStore::kSchemaVersion));
}

TEST_F(RecordStoreTest, AStoredIdIsNeverWrittenTwice) {
  auto store = OpenStore();
  Add(*store, {SampleRecord(1)});
  UnitRecord again = SampleRecord(1);
  again.Outcome = "failed";
  Add(*store, {again, SampleRecord(2)});
  const auto found = FindAll(*store);
  EXPECT_EQ(Ids(found), "id-1,id-2");
  EXPECT_EQ(found[0].Outcome, "passed") << "the first write stands";
}

TEST_F(RecordStoreTest, ABatchIsWrittenWholeOrNotAtAll) {
  auto store = OpenStore();
  Add(*store, {SampleRecord(1)});
  // Only the second record of the batch is refused.
  ASSERT_EQ(RunSql(file_,
                   "CREATE TRIGGER refuse BEFORE INSERT ON units WHEN NEW.id = 'id-3' "
                   "BEGIN SELECT RAISE(ABORT, 'disk full'); END"),
            "");
  std::vector<UnitRecord> batch{SampleRecord(2), SampleRecord(3)};
  std::string error;
  EXPECT_FALSE(store->Add(batch, error));
  EXPECT_NE(error.find("disk full"), std::string::npos) << error;
  EXPECT_EQ(Ids(FindAll(*store)), "id-1");
  // The store is usable afterwards: no transaction was left open.
  ASSERT_EQ(testing::AllowWrites(file_), "");
  EXPECT_TRUE(store->Add(batch, error)) << error;
  EXPECT_EQ(Ids(FindAll(*store)), "id-1,id-2,id-3");
}

TEST_F(RecordStoreTest, ACommittedRecordSurvivesTheProcessDyingAtOnce) {
  // The child writes and is gone without closing anything: no checkpoint,
  // no clean shutdown.
  const pid_t child = test::StartChild([&] {
    std::string error;
    auto store = RecordStore::Open(file_, error);
    std::vector<UnitRecord> records{SampleRecord(1), SampleRecord(2)};
    if (!store || !store->Add(records, error)) return false;
    ::_exit(0);
  });
  ASSERT_EQ(test::WaitChild(child), test::ChildResult::True);
  auto store = OpenStore();
  EXPECT_EQ(Ids(FindAll(*store)), "id-1,id-2");
}

// --- The layout version -----------------------------------------------------

struct LayoutCase {
  std::string name;
  std::string setupSql;  // run on a fresh file before the store opens it; "" for no file
  std::string garbage;   // written as the file instead, when set
  bool opens;
  std::string errorPart;  // in the message when it does not open
};

void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.name; }

class RecordLayoutTest : public RecordStoreTest, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(RecordLayoutTest, OpensMigratesOrRefuses) {
  const LayoutCase& c = GetParam();
  if (!c.setupSql.empty()) ASSERT_EQ(RunSql(file_, c.setupSql), "");
  if (!c.garbage.empty()) std::ofstream(file_, std::ios::binary) << c.garbage;
  const std::string before = ReadBytes(file_);
  std::string error;
  auto store = RecordStore::Open(file_, error);
  if (!c.opens) {
    EXPECT_FALSE(store);
    EXPECT_NE(error.find(c.errorPart), std::string::npos) << error;
    EXPECT_EQ(ReadBytes(file_), before) << "a refused file is left as it was";
    return;
  }
  ASSERT_TRUE(store) << error;
  EXPECT_EQ(store->SchemaVersion(), RecordStore::kSchemaVersion);
  Add(*store, {SampleRecord(1)});
  EXPECT_EQ(Ids(FindAll(*store)), "id-1");
  if (c.setupSql.find("CREATE TABLE notes") != std::string::npos)
    EXPECT_EQ(QueryText(file_, "SELECT text FROM notes"), "kept") << "other tables are not touched";
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, RecordLayoutTest,
    ::testing::Values(
        LayoutCase{"NewFile", "", "", true, ""},
        // A file with no layout yet (version 0), made by another tool.
        LayoutCase{"VersionZeroIsMigrated", "CREATE TABLE notes(text); INSERT INTO notes VALUES('kept');", "", true,
                   ""},
        LayoutCase{"NewerLayoutIsRefused",
                   "CREATE TABLE schema_version(version INTEGER NOT NULL); INSERT INTO schema_version VALUES(3);", "",
                   false, "layout version 3, newer than this program's 2"},
        LayoutCase{"NotADatabase", "", "Pass Count=3\r\nthis is no database file at all, just text.\r\n", false,
                   "not a records file"}),
    [](const auto& info) { return info.param.name; });

// The first layout the station shipped, with one burn in it.
constexpr const char* kFirstLayoutWithARecord =
    "CREATE TABLE schema_version (version INTEGER NOT NULL); INSERT INTO schema_version VALUES (1);"
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
    "CREATE INDEX units_unsent ON units(sent, seq);"
    "INSERT INTO units (id, started_utc, ended_utc, station, drive_letter, lun, location, outcome, stage_code,"
    " stage_text, result_code, result_text, serial, flash_id_text, chip_type, clock_mhz, package_name,"
    " package_size, package_checksum, firmware_info, replaced_sections, sd_image_name, sd_image_size,"
    " sd_image_sha256, sd_write_s, sd_verify_s, flash_erase_s, flash_write_s, flash_verify_s, bytes_written,"
    " bytes_verified, write_verify, save_sd_file, duplicate_serial) VALUES ('old-1', '2026-12-01T08:00:00.000Z',"
    " '2026-12-01T08:01:00.000Z', 'ST1', 'E', 0, 'USB#1&0', 'passed', 7, 'Download OK', 1, 'Success!',"
    " '000000099999', '00EF4018', 'W25Q128', 80, 'fw.vlr', 10000, 3735928559, 'FW 1.2', '[\"voice\"]',"
    " 'card.img', 4096, 'ab', 1.25, 0.5, 0.125, 2.0, 1.5, 14096, 14096, 1, 0, 0);";

TEST_F(RecordStoreTest, FilesOfEarlierLayoutsReadAsTheyWereWritten) {
  struct Case {
    std::string name;
    std::string setupSql;
  };
  const Case cases[] = {
      {"first layout, other column names", kFirstLayoutWithARecord},
      // The current layout before its newest fields: the columns are added,
      // the old row keeps its values and has the defaults in the new ones.
      {"current layout without a later field",
       std::string(kFirstLayoutWithARecord) +
           "ALTER TABLE units RENAME COLUMN flash_id_text TO flash_id;"
           "ALTER TABLE units RENAME COLUMN sd_write_s TO sd_write_seconds;"
           "ALTER TABLE units RENAME COLUMN sd_verify_s TO sd_verify_seconds;"
           "ALTER TABLE units RENAME COLUMN flash_erase_s TO flash_erase_seconds;"
           "ALTER TABLE units RENAME COLUMN flash_write_s TO flash_write_seconds;"
           "ALTER TABLE units RENAME COLUMN flash_verify_s TO flash_verify_seconds;"
           "ALTER TABLE units DROP COLUMN duplicate_serial;"
           "UPDATE schema_version SET version = 2;"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(file_);
    ASSERT_EQ(RunSql(file_, c.setupSql), "");
    auto store = OpenStore();
    ASSERT_TRUE(store);
    EXPECT_EQ(store->SchemaVersion(), RecordStore::kSchemaVersion);
    auto found = FindAll(*store);
    ASSERT_EQ(found.size(), 1u);
    const UnitRecord& r = found[0];
    EXPECT_EQ(r.Id, "old-1");
    EXPECT_EQ(r.FlashIdText, "00EF4018");
    EXPECT_EQ(r.PackageChecksum, 0xDEADBEEFu);
    EXPECT_EQ(r.ReplacedSections, std::vector<std::string>{"voice"});
    EXPECT_EQ(r.SdWriteSeconds, 1.25);
    EXPECT_EQ(r.FlashVerifySeconds, 1.5);
    EXPECT_TRUE(r.WriteVerify);
    EXPECT_FALSE(r.DuplicateSerial);
    // New records are written beside it, every field kept; the next open
    // changes nothing more.
    Add(*store, {SampleRecord(1)});
    store.reset();
    store = OpenStore();
    found = FindAll(*store);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[1], SampleRecord(1));
  }
}

TEST_F(RecordStoreTest, ReadingAMissingFileFailsWithoutCreatingIt) {
  std::string error;
  EXPECT_FALSE(RecordStore::OpenForReading(file_, error));
  EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
  EXPECT_FALSE(std::filesystem::exists(file_));
}

// --- Duplicate serials ------------------------------------------------------

struct DuplicateCase {
  std::string name;
  std::string storedOutcome, storedLocation;  // the record already in the file
  std::string serial, location;               // the new record
  bool duplicate;
};

void PrintTo(const DuplicateCase& c, std::ostream* os) { *os << c.name; }

class RecordDuplicateTest : public RecordStoreTest, public ::testing::WithParamInterface<DuplicateCase> {};

TEST_P(RecordDuplicateTest, IsFlaggedOnlyWhenPassedOnAnotherLocation) {
  const DuplicateCase& c = GetParam();
  auto store = OpenStore();
  UnitRecord stored = SampleRecord(1, "000000012345", c.storedOutcome);
  stored.Location = c.storedLocation;
  Add(*store, {stored});
  UnitRecord next = SampleRecord(2, "x", "passed");
  next.Serial = c.serial;
  next.Location = c.location;
  std::vector<UnitRecord> batch{next};
  std::string error;
  ASSERT_TRUE(store->Add(batch, error)) << error;
  EXPECT_EQ(batch[0].DuplicateSerial, c.duplicate) << "told to the caller";
  EXPECT_EQ(FindAll(*store).back().DuplicateSerial, c.duplicate) << "kept in the record";
}

INSTANTIATE_TEST_SUITE_P(
    Duplicates, RecordDuplicateTest,
    ::testing::Values(DuplicateCase{"PassedElsewhere", "passed", "USB#1&0", "000000012345", "USB#2&0", true},
                      DuplicateCase{"SameLocationAgain", "passed", "USB#1&0", "000000012345", "USB#1&0", false},
                      DuplicateCase{"OnlyFailedElsewhere", "failed", "USB#1&0", "000000012345", "USB#2&0", false},
                      DuplicateCase{"OtherSerial", "passed", "USB#1&0", "000000054321", "USB#2&0", false},
                      DuplicateCase{"NoSerial", "passed", "USB#1&0", "", "USB#2&0", false}),
    [](const auto& info) { return info.param.name; });

TEST_F(RecordStoreTest, ADuplicateWithinOneBatchIsFlagged) {
  auto store = OpenStore();
  UnitRecord a = SampleRecord(1, "000000012345");
  UnitRecord b = SampleRecord(2, "000000012345");
  ASSERT_NE(a.Location, b.Location);
  std::vector<UnitRecord> batch{a, b};
  std::string error;
  ASSERT_TRUE(store->Add(batch, error)) << error;
  EXPECT_FALSE(batch[0].DuplicateSerial);
  EXPECT_TRUE(batch[1].DuplicateSerial);
}

// --- Selections and the outbox ----------------------------------------------

TEST_F(RecordStoreTest, FiltersSelectInStartOrder) {
  auto store = OpenStore();
  std::vector<UnitRecord> records;
  for (int n : {3, 1, 2, 4}) {
    UnitRecord r = SampleRecord(n, "", n == 2 ? "failed" : "passed");
    r.StartedUtc = "2026-12-0" + std::to_string(n) + "T10:00:00.000Z";
    r.Station = n == 4 ? "ST2" : "ST1";
    records.push_back(r);
  }
  Add(*store, records);
  struct Case {
    RecordFilter filter;
    std::string ids;
  };
  const Case cases[] = {
      {{}, "id-1,id-2,id-3,id-4"},
      {{"2026-12-02", "", "", "", ""}, "id-2,id-3,id-4"},
      {{"", "2026-12-03", "", "", ""}, "id-1,id-2"},  // the end is exclusive
      {{"2026-12-02", "2026-12-03T23", "", "", ""}, "id-2,id-3"},
      {{"", "", records[0].Serial, "", ""}, "id-3"},
      {{"", "", "", "failed", ""}, "id-2"},
      {{"", "", "", "", "ST2"}, "id-4"},
      {{"", "", "", "passed", "ST1"}, "id-1,id-3"},
      {{"", "", "nothing", "", ""}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ids);
    EXPECT_EQ(Ids(FindAll(*store, c.filter)), c.ids);
  }
}

TEST_F(RecordStoreTest, TheOutboxGivesUnsentRecordsInWriteOrder) {
  auto store = OpenStore();
  // Written out of start order: the outbox follows the writing.
  UnitRecord late = SampleRecord(9);
  Add(*store, {late});
  Add(*store, {SampleRecord(1), SampleRecord(2)});
  std::vector<UnitRecord> out;
  std::string error;
  ASSERT_TRUE(store->Unsent(2, out, error)) << error;
  EXPECT_EQ(Ids(out), "id-9,id-1");
  ASSERT_TRUE(store->MarkSent({"id-9", "id-1", "no-such-id"}, error)) << error;
  ASSERT_TRUE(store->Unsent(10, out, error)) << error;
  EXPECT_EQ(Ids(out), "id-2");
  // A new connection sees the marks: they are in the file.
  store.reset();
  store = OpenStore();
  ASSERT_TRUE(store->Unsent(10, out, error)) << error;
  EXPECT_EQ(Ids(out), "id-2");
  EXPECT_EQ(FindAll(*store).size(), 3u) << "sent records stay readable";
}

}  // namespace
}  // namespace ardentix::records
