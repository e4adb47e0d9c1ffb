// The line's database and the sender against a real PostgreSQL server.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "records/line_db.h"
#include "records/line_schema.h"
#include "records/line_sender.h"
#include "records/line_source.h"
#include "records/pg_server.h"

namespace ardentix::records {
namespace {

using namespace std::chrono_literals;
using test::PgServer;
using Steady = std::chrono::steady_clock;

constexpr const char* kUser = "line";
constexpr const char* kPassword = "s3cret-Pw";

// The station's local file as the sender sees it, with a switch for a file
// that fails to note what was sent. A test of the sender needs an outbox and
// a way to add to it; the local record file fits here as well as this one.
class TestOutbox : public RecordOutbox {
 public:
  virtual void Add(const UnitRecord& record) = 0;
};

class MemoryOutbox final : public TestOutbox {
 public:
  void Add(const UnitRecord& record) override {
    std::lock_guard lock(mutex_);
    records_.push_back(record);
    sent_.push_back(false);
  }
  bool Unsent(size_t limit, std::vector<UnitRecord>& out, std::string& error) override {
    std::lock_guard lock(mutex_);
    out.clear();
    for (size_t i = 0; i < records_.size() && out.size() < limit; ++i)
      if (!sent_[i]) out.push_back(records_[i]);
    return true;
  }
  bool MarkSent(const std::vector<std::string>& ids, std::string& error) override {
    std::lock_guard lock(mutex_);
    if (failMarks_ > 0) {
      --failMarks_;
      error = "disk I/O error";
      return false;
    }
    for (const auto& id : ids)
      for (size_t i = 0; i < records_.size(); ++i)
        if (records_[i].Id == id) sent_[i] = true;
    return true;
  }
  void FailNextMarks(int n) {
    std::lock_guard lock(mutex_);
    failMarks_ = n;
  }

 private:
  std::mutex mutex_;
  std::vector<UnitRecord> records_;
  std::vector<bool> sent_;
  int failMarks_ = 0;
};

// Fake time for the sender's pauses, with a moment of real time per sleep so
// that a sender retrying against a stopped server does not spin a core.
class YieldingClock final : public Clock {
 public:
  int64_t NowMs() const override { return fake_.NowMs(); }
  void SleepFor(Milliseconds d) override {
    fake_.SleepFor(d);
    std::this_thread::sleep_for(1ms);
  }
  bool IsReal() const override { return false; }
  int64_t SleptMs() const { return fake_.SleptMs(); }

 private:
  FakeClock fake_;
};

class CollectingSink final : public MessageSink {
 public:
  void ShowMessage(const std::string& text, const std::string&) override {
    std::lock_guard lock(mutex_);
    messages_.push_back(text);
  }
  bool AskOkCancel(const std::string&, const std::string&) override { return false; }
  std::vector<std::string> Messages() {
    std::lock_guard lock(mutex_);
    return messages_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> messages_;
};

UnitRecord MakeRecord(const std::string& station, int n) {
  UnitRecord r;
  char stamp[40];
  std::snprintf(stamp, sizeof stamp, "2026-12-10T%02d:%02d:%02d.%03dZ", 8 + n / 3600, n / 60 % 60, n % 60, n % 1000);
  r.Id = station + "-" + std::to_string(n);
  r.StartedUtc = stamp;
  r.EndedUtc = stamp;
  r.Station = station;
  r.DriveLetter = "E";
  r.Outcome = n % 5 == 0 ? "failed" : "passed";
  r.Serial = "SN" + std::to_string(100000 + n);
  return r;
}

LineSenderOptions FastRetries() {
  LineSenderOptions o;
  o.BatchSize = 16;
  o.FirstRetry = 100ms;
  o.LongestRetry = 400ms;
  o.Db.ConnectTimeoutMs = 3000;
  o.Db.StatementTimeoutMs = 5000;
  return o;
}

// Polls until `done` or the deadline: the sender works on its own thread.
template <typename F>
bool WaitUntil(F done, std::chrono::seconds limit = 30s) {
  const auto deadline = Steady::now() + limit;
  while (Steady::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return done();
}

bool AllSent(RecordOutbox& outbox) {
  std::vector<UnitRecord> left;
  std::string error;
  return outbox.Unsent(1, left, error) && left.empty();
}

class LineDbTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (PgServer::FindBinDir().empty()) {
      skipWhy_ = "no PostgreSQL server installed (Debian package postgresql)";
      return;
    }
    server_ = new PgServer;
    std::string why;
    if (!server_->Create(why) || !server_->Start(why) ||
        !server_->Sql("postgres",
                      std::string("CREATE ROLE ") + kUser + " LOGIN CREATEDB PASSWORD '" + kPassword + "'", why)) {
      startWhy_ = why;
    }
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

  void SetUp() override {
    if (!skipWhy_.empty()) GTEST_SKIP() << skipWhy_;
    ASSERT_TRUE(startWhy_.empty()) << startWhy_;
    if (!server_->Running()) {
      std::string why;
      ASSERT_TRUE(server_->Start(why)) << why;
    }
    // A database of its own per test.
    static int counter = 0;
    db_ = "line_" + std::to_string(++counter);
    std::string why;
    ASSERT_TRUE(server_->Sql("postgres", "CREATE DATABASE " + db_ + " OWNER " + kUser, why)) << why;
    url_ = server_->Url(kUser, kPassword, db_);
  }

  std::unique_ptr<LineDb> Connect() {
    std::string error;
    auto db = LineDb::Connect(url_, error);
    EXPECT_TRUE(db) << error;
    return db;
  }

  std::vector<std::string> IdsInArrivalOrder() {
    return server_->Column(db_, "SELECT id FROM unit_records ORDER BY arrival");
  }

  static inline PgServer* server_ = nullptr;
  static inline std::string skipWhy_;
  static inline std::string startWhy_;
  std::string db_;
  std::string url_;
};

UnitRecord FullRecord() {
  UnitRecord r;
  r.Id = "6f1c2a9e-0d4b-4c8e-9a51-3b7d2e8f0a11";
  r.StartedUtc = "2026-12-10T14:03:07.123Z";
  r.EndedUtc = "2026-12-10T14:04:55.001Z";
  r.Station = "LINE2-ST04";
  r.DriveLetter = "G";
  r.Lun = 1;
  r.Location = "USB\\VID_1B3F&PID_2002\\6&1a2b3c&0&3";
  r.Outcome = "failed";
  r.StageCode = 5031;
  r.StageText = "Flash verify";
  r.ResultCode = -6062;
  r.ResultText = "Verify mismatch at 0x00012000 \"block 18\"";
  r.Serial = "SN-Ä-001";
  r.FlashIdText = "00C84016";
  r.ChipType = "GD25Q32";
  r.ClockMHz = 48;
  r.PackageName = "voice_v7.vlr";
  r.PackageSize = 4194304;
  r.PackageChecksum = 0xFFFFFFFFu;
  r.FirmwareInfo = "FW 3.2.1; build 'x'";
  r.ReplacedSections = {"voice: C:\\burn\\Ansage \"neu\".bin", "sysconf"};
  r.SdImageName = "card.img";
  r.SdImageSize = 8000000000LL;
  r.SdImageSha256 = std::string(64, 'a');
  r.SdImageFormat = "xz";
  r.SdImageDecodedSize = 16000000000LL;
  r.SdImageMappedSize = 4000000000LL;
  r.SdBmapName = "card \"v2\".bmap";
  r.SdBmapChecksum = std::string(40, 'c');
  r.SdWriteSeconds = 0.1;
  r.SdVerifySeconds = 12.345678901234567;
  r.FlashEraseSeconds = 1e-9;
  r.FlashWriteSeconds = 3.5;
  r.FlashVerifySeconds = 2.0 / 3.0;
  r.BytesWritten = 8004194304LL;
  r.BytesVerified = -1;
  r.WriteVerify = true;
  r.SaveSdFile = false;
  r.DuplicateSerial = true;
  return r;
}

void ExpectSame(const UnitRecord& a, const UnitRecord& b) {
  EXPECT_EQ(a.Id, b.Id);
  EXPECT_EQ(a.StartedUtc, b.StartedUtc);
  EXPECT_EQ(a.EndedUtc, b.EndedUtc);
  EXPECT_EQ(a.Station, b.Station);
  EXPECT_EQ(a.DriveLetter, b.DriveLetter);
  EXPECT_EQ(a.Lun, b.Lun);
  EXPECT_EQ(a.Location, b.Location);
  EXPECT_EQ(a.Outcome, b.Outcome);
  EXPECT_EQ(a.StageCode, b.StageCode);
  EXPECT_EQ(a.StageText, b.StageText);
  EXPECT_EQ(a.ResultCode, b.ResultCode);
  EXPECT_EQ(a.ResultText, b.ResultText);
  EXPECT_EQ(a.Serial, b.Serial);
  EXPECT_EQ(a.FlashIdText, b.FlashIdText);
  EXPECT_EQ(a.ChipType, b.ChipType);
  EXPECT_EQ(a.ClockMHz, b.ClockMHz);
  EXPECT_EQ(a.PackageName, b.PackageName);
  EXPECT_EQ(a.PackageSize, b.PackageSize);
  EXPECT_EQ(a.PackageChecksum, b.PackageChecksum);
  EXPECT_EQ(a.FirmwareInfo, b.FirmwareInfo);
  EXPECT_EQ(a.ReplacedSections, b.ReplacedSections);
  EXPECT_EQ(a.SdImageName, b.SdImageName);
  EXPECT_EQ(a.SdImageSize, b.SdImageSize);
  EXPECT_EQ(a.SdImageSha256, b.SdImageSha256);
  // Exact: doubles travel as their shortest exact text.
  EXPECT_EQ(a.SdWriteSeconds, b.SdWriteSeconds);
  EXPECT_EQ(a.SdVerifySeconds, b.SdVerifySeconds);
  EXPECT_EQ(a.FlashEraseSeconds, b.FlashEraseSeconds);
  EXPECT_EQ(a.FlashWriteSeconds, b.FlashWriteSeconds);
  EXPECT_EQ(a.FlashVerifySeconds, b.FlashVerifySeconds);
  EXPECT_EQ(a.BytesWritten, b.BytesWritten);
  EXPECT_EQ(a.BytesVerified, b.BytesVerified);
  EXPECT_EQ(a.WriteVerify, b.WriteVerify);
  EXPECT_EQ(a.SaveSdFile, b.SaveSdFile);
  EXPECT_EQ(a.DuplicateSerial, b.DuplicateSerial);
  EXPECT_TRUE(a == b) << "a field not compared above differs";
}

TEST_F(LineDbTest, EveryFieldComesBackAsSent) {
  auto db = Connect();
  ASSERT_TRUE(db);
  std::string error;
  ASSERT_TRUE(db->Insert({FullRecord()}, error)) << error;
  std::vector<UnitRecord> found;
  ASSERT_TRUE(db->Find({}, found, error)) << error;
  ASSERT_EQ(found.size(), 1u);
  ExpectSame(found[0], FullRecord());
}

// A line table made by an earlier program, without its newest field: the
// column is added with a default, its rows read, and a station still on the
// earlier program (which names only the columns it knows) keeps sending.
TEST_F(LineDbTest, ATableOfAnEarlierProgramGetsTheNewFieldsAndStaysWritable) {
  std::string why;
  const std::string earlier =
      "(id TEXT COLLATE \"C\" PRIMARY KEY, started_utc TEXT COLLATE \"C\" NOT NULL, ended_utc TEXT NOT NULL,"
      " station TEXT COLLATE \"C\" NOT NULL, drive_letter TEXT NOT NULL, lun INTEGER NOT NULL,"
      " location TEXT NOT NULL, outcome TEXT COLLATE \"C\" NOT NULL, stage_code INTEGER NOT NULL,"
      " stage_text TEXT NOT NULL, result_code INTEGER NOT NULL, result_text TEXT NOT NULL,"
      " serial TEXT COLLATE \"C\" NOT NULL, flash_id TEXT NOT NULL, chip_type TEXT NOT NULL,"
      " clock_mhz INTEGER NOT NULL, package_name TEXT NOT NULL, package_size BIGINT NOT NULL,"
      " package_checksum BIGINT NOT NULL, firmware_info TEXT NOT NULL, replaced_sections TEXT NOT NULL,"
      " sd_image_name TEXT NOT NULL, sd_image_size BIGINT NOT NULL, sd_image_sha256 TEXT NOT NULL,"
      " sd_write_seconds DOUBLE PRECISION NOT NULL, sd_verify_seconds DOUBLE PRECISION NOT NULL,"
      " flash_erase_seconds DOUBLE PRECISION NOT NULL, flash_write_seconds DOUBLE PRECISION NOT NULL,"
      " flash_verify_seconds DOUBLE PRECISION NOT NULL, bytes_written BIGINT NOT NULL,"
      " bytes_verified BIGINT NOT NULL, write_verify BOOLEAN NOT NULL, save_sd_file BOOLEAN NOT NULL,"
      " arrival BIGSERIAL NOT NULL, received_at TIMESTAMPTZ NOT NULL DEFAULT now())";
  const std::string columns =
      "id, started_utc, ended_utc, station, drive_letter, lun, location, outcome, stage_code, stage_text,"
      " result_code, result_text, serial, flash_id, chip_type, clock_mhz, package_name, package_size,"
      " package_checksum, firmware_info, replaced_sections, sd_image_name, sd_image_size, sd_image_sha256,"
      " sd_write_seconds, sd_verify_seconds, flash_erase_seconds, flash_write_seconds, flash_verify_seconds,"
      " bytes_written, bytes_verified, write_verify, save_sd_file";
  auto row = [&](const std::string& id, const std::string& started) {
    return "INSERT INTO unit_records (" + columns + ") VALUES ('" + id + "', '" + started +
           "', 'e', 'ST9', 'E', 0, 'loc', 'passed', 7, 'ok', 1, 'Success!', 'SN1', '00EF4018', 'W25Q128', 80,"
           " 'p.vlr', 10, 4294967295, 'fw', '[]', 'card.img', 4096, 'ab', 1.5, 0.5, 0.25, 2, 1, 14106, 14106, true,"
           " false)";
  };
  ASSERT_TRUE(server_->Sql(db_, "CREATE TABLE unit_records " + earlier, why)) << why;
  ASSERT_TRUE(server_->Sql(db_, std::string("ALTER TABLE unit_records OWNER TO ") + kUser, why)) << why;
  ASSERT_TRUE(server_->Sql(db_, row("old-1", "2026-12-01T08:00:00.000Z"), why)) << why;
  auto db = Connect();
  ASSERT_TRUE(db);
  ASSERT_TRUE(server_->Sql(db_, row("old-2", "2026-12-01T09:00:00.000Z"), why)) << "an earlier station: " << why;
  std::string error;
  ASSERT_TRUE(db->Insert({FullRecord()}, error)) << error;
  std::vector<UnitRecord> found;
  ASSERT_TRUE(db->Find({}, found, error)) << error;
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].Id, "old-1");
  EXPECT_EQ(found[0].FlashIdText, "00EF4018");
  EXPECT_EQ(found[0].PackageChecksum, 0xFFFFFFFFu);
  EXPECT_EQ(found[0].SdWriteSeconds, 1.5);
  EXPECT_FALSE(found[0].DuplicateSerial) << "the added column's default";
  EXPECT_EQ(found[1].Id, "old-2");
  ExpectSame(found[2], FullRecord());
  // A second connection finds nothing left to add.
  EXPECT_TRUE(Connect());
}

TEST_F(LineDbTest, BytesTheTextColumnsRefuseDoNotHoldBackTheBatch) {
  // A serial read off a device as raw bytes, a location in a local code page.
  UnitRecord odd = MakeRecord("A", 1);
  odd.Serial = std::string("SN\xFF\xFE", 4) + std::string(1, '\0') + "7";
  odd.Location = "Ger\xE4t 3";
  odd.ReplacedSections = {"\xC0\xAF"};
  const std::vector<UnitRecord> batch = {MakeRecord("A", 0), odd, MakeRecord("A", 2)};
  auto db = Connect();
  ASSERT_TRUE(db);
  std::string error;
  ASSERT_TRUE(db->Insert(batch, error)) << error;
  std::vector<UnitRecord> found;
  ASSERT_TRUE(db->Find({}, found, error)) << error;
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[1].Serial, "SN\\xFF\\xFE\\x007");
  EXPECT_EQ(found[1].Location, "Ger\\xE4t 3");
  EXPECT_EQ(found[1].ReplacedSections, std::vector<std::string>{"\\xC0\\xAF"});
}

TEST_F(LineDbTest, FilterSelectsAcrossStationsInStartOrder) {
  auto db = Connect();
  ASSERT_TRUE(db);
  std::vector<UnitRecord> records;
  // Stations interleaved in start time; inserted out of start order.
  for (int n : {4, 0, 3, 1, 2, 5}) records.push_back(MakeRecord(n % 2 ? "B" : "A", n));
  std::string error;
  ASSERT_TRUE(db->Insert(records, error)) << error;

  struct Case {
    const char* name;
    RecordFilter filter;
    std::vector<std::string> ids;
  };
  const std::string t1 = MakeRecord("A", 1).StartedUtc, t2 = MakeRecord("A", 2).StartedUtc;
  // Filter fields: since, until, serial, outcome, station.
  const std::vector<Case> cases = {
      {"everything", {}, {"A-0", "B-1", "A-2", "B-3", "A-4", "B-5"}},
      {"since inclusive", {t2, "", "", "", ""}, {"A-2", "B-3", "A-4", "B-5"}},
      {"until exclusive", {"", t2, "", "", ""}, {"A-0", "B-1"}},
      {"date prefix", {"2026-12-10", "2026-12-11", "", "", ""}, {"A-0", "B-1", "A-2", "B-3", "A-4", "B-5"}},
      {"another day", {"2026-12-11", "", "", "", ""}, {}},
      {"station", {"", "", "", "", "B"}, {"B-1", "B-3", "B-5"}},
      {"outcome", {"", "", "", "failed", ""}, {"A-0", "B-5"}},
      {"serial", {"", "", "SN100003", "", ""}, {"B-3"}},
      {"all together", {t1, "", "", "passed", "A"}, {"A-2", "A-4"}},
      {"quote in a value", {"", "", "", "", "A' OR '1'='1"}, {}},
  };

  for (const auto& c : cases) {
    std::vector<UnitRecord> found;
    ASSERT_TRUE(db->Find(c.filter, found, error)) << c.name << ": " << error;
    std::vector<std::string> ids;
    for (const auto& r : found) ids.push_back(r.Id);
    EXPECT_EQ(ids, c.ids) << c.name;
  }
}

TEST_F(LineDbTest, SendingABatchAgainAddsNothingAndKeepsWhatIsStored) {
  auto db = Connect();
  ASSERT_TRUE(db);
  std::vector<UnitRecord> batch = {MakeRecord("A", 0), MakeRecord("A", 1)};
  std::string error;
  ASSERT_TRUE(db->Insert(batch, error)) << error;
  batch[0].Outcome = "changed";
  batch.push_back(MakeRecord("A", 2));
  ASSERT_TRUE(db->Insert(batch, error)) << error;
  std::vector<UnitRecord> found;
  ASSERT_TRUE(db->Find({}, found, error)) << error;
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].Outcome, "failed");
}

TEST_F(LineDbTest, ABatchLargerThanOneStatementIsAllOrNothing) {
  auto db = Connect();
  ASSERT_TRUE(db);
  std::vector<UnitRecord> batch;
  for (int n = 0; n < 1200; ++n) batch.push_back(MakeRecord("A", n));
  std::string error;
  ASSERT_TRUE(db->Insert(batch, error)) << error;
  EXPECT_EQ(IdsInArrivalOrder().size(), 1200u);

  // A failure in the last part takes back the parts before it.
  std::string why;
  ASSERT_TRUE(server_->Sql(db_, "ALTER TABLE unit_records ADD CHECK (serial <> 'SN-refused')", why)) << why;
  std::vector<UnitRecord> second;
  for (int n = 2000; n < 3100; ++n) second.push_back(MakeRecord("B", n));
  second.back().Serial = "SN-refused";
  EXPECT_FALSE(db->Insert(second, error));
  EXPECT_EQ(IdsInArrivalOrder().size(), 1200u);
  EXPECT_FALSE(db->Broken());
}

TEST_F(LineDbTest, RecordsOfTwoStationsArriveOnceEach) {
  MemoryOutbox a, b;
  YieldingClock clock;
  LineSender senderA(a, url_, clock, nullptr, FastRetries());
  // The second as the station starts it.
  std::string error;
  auto linkB = StartLineLink(b, url_, clock, nullptr, error);
  ASSERT_TRUE(linkB) << error;
  LineLink& senderB = *linkB;
  senderA.Start();
  for (int n = 0; n < 40; ++n) {
    a.Add(MakeRecord("A", n));
    senderA.Wake();
    b.Add(MakeRecord("B", n));
    senderB.Wake();
  }
  ASSERT_TRUE(WaitUntil([&] { return AllSent(a) && AllSent(b); }));
  senderA.Stop();
  senderB.Stop();
  EXPECT_EQ(senderA.Status().sent, 40u);
  EXPECT_EQ(senderB.Status().sent, 40u);

  const auto ids = IdsInArrivalOrder();
  EXPECT_EQ(ids.size(), 80u);
  EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), 80u);
  auto source = MakeLineSource(url_, error);
  ASSERT_TRUE(source) << error;
  for (const char* station : {"A", "B"}) {
    std::vector<UnitRecord> found;
    RecordFilter filter;
    filter.Station = station;
    ASSERT_TRUE(source->Find(filter, found, error)) << error;
    ASSERT_EQ(found.size(), 40u) << station;
    for (int n = 0; n < 40; ++n) EXPECT_EQ(found[n].Id, std::string(station) + "-" + std::to_string(n));
  }
}

// 200 burns; the server goes away after the first 80 and comes back after
// 140: every record arrives once, in the order written.
void BurnThroughAServerRestart(PgServer& server, TestOutbox& outbox, const std::string& url,
                               const std::string& db) {
  YieldingClock clock;
  CollectingSink sink;
  LineSender sender(outbox, url, clock, &sink, FastRetries());
  sender.Start();
  std::vector<std::string> written;
  auto burn = [&](int n) {
    const UnitRecord r = MakeRecord("ST04", n);
    written.push_back(r.Id);
    outbox.Add(r);
    sender.Wake();
  };
  for (int n = 0; n < 80; ++n) burn(n);
  ASSERT_TRUE(WaitUntil([&] { return AllSent(outbox); }));

  server.Stop();
  const auto failuresBefore = sender.Status().failures;
  for (int n = 80; n < 140; ++n) burn(n);
  // The burn goes on: the records wait, and the sender says so.
  ASSERT_TRUE(WaitUntil([&] { return sender.Status().failures >= failuresBefore + 3; }));
  const auto waiting = sender.Status();
  EXPECT_EQ(waiting.state, LineSenderStatus::State::Waiting);
  EXPECT_GT(waiting.unsent, 0u);
  EXPECT_NE(waiting.lastError.find("cannot be reached"), std::string::npos) << waiting.lastError;
  EXPECT_NE(waiting.Describe().find("unsent"), std::string::npos) << waiting.Describe();
  EXPECT_FALSE(AllSent(outbox));
  EXPECT_GT(clock.SleptMs(), 0);  // its pauses go through the clock

  std::string why;
  ASSERT_TRUE(server.Start(why)) << why;
  for (int n = 140; n < 200; ++n) burn(n);
  ASSERT_TRUE(WaitUntil([&] { return AllSent(outbox); })) << sender.Status().Describe();
  sender.Stop();

  EXPECT_EQ(server.Column(db, "SELECT id FROM unit_records ORDER BY arrival"), written);
  EXPECT_EQ(sender.Status().sent, 200u);
  EXPECT_TRUE(sender.Status().lastError.empty());
  // Told once that the line is gone, not once per attempt.
  EXPECT_EQ(sink.Messages().size(), 1u);
}

TEST_F(LineDbTest, ServerStoppedMidwayAndRestartedLosesAndDoublesNothing) {
  MemoryOutbox outbox;
  BurnThroughAServerRestart(*server_, outbox, url_, db_);
}

TEST_F(LineDbTest, ALostReplySendsAgainWithoutDuplicates) {
  // The line commits the batch, then the station fails to note it: the
  // same records go again.
  MemoryOutbox outbox;
  for (int n = 0; n < 20; ++n) outbox.Add(MakeRecord("A", n));
  outbox.FailNextMarks(2);
  YieldingClock clock;
  CollectingSink sink;
  LineSender sender(outbox, url_, clock, &sink, FastRetries());
  sender.Start();
  ASSERT_TRUE(WaitUntil([&] { return AllSent(outbox); })) << sender.Status().Describe();
  sender.Stop();
  const auto ids = IdsInArrivalOrder();
  ASSERT_EQ(ids.size(), 20u);
  for (int n = 0; n < 20; ++n) EXPECT_EQ(ids[n], "A-" + std::to_string(n));
  EXPECT_EQ(sender.Status().sent, 20u);
  EXPECT_EQ(sender.Status().failures, 2u);
  ASSERT_EQ(sink.Messages().size(), 1u);
  EXPECT_NE(sink.Messages()[0].find("disk I/O error"), std::string::npos) << sink.Messages()[0];
}

// A TCP port that takes connections and never says a word.
class SilentServer {
 public:
  SilentServer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(fd_, 8) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
      port_ = ntohs(a.sin_port);
  }
  ~SilentServer() {
    if (fd_ >= 0) ::close(fd_);
  }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A loopback port nothing listens on.
int ClosedPort() {
  SilentServer s;
  return s.port();  // closed again when s goes
}

TEST_F(LineDbTest, ConnectionFailuresGiveOneClearLineQuickly) {
  SilentServer silent;
  ASSERT_NE(silent.port(), 0);
  const int closed = ClosedPort();
  struct Case {
    const char* name;
    std::string url;
    std::string says;
  };
  const std::vector<Case> cases = {
      {"wrong password", server_->Url(kUser, "wrong-pw", db_), "refused the password of user \"line\""},
      {"no password", server_->Url(kUser, "", db_), "asks for a password"},
      {"unknown user", server_->Url("nosuchuser", "x", db_), "refused the password of user \"nosuchuser\""},
      {"unknown database", server_->Url(kUser, kPassword, "nosuchdb"), "database \"nosuchdb\" does not exist"},
      {"no server on the socket", "postgresql://line:pw@/line?host=%2Fnonexistent%2Fdir", "cannot be reached"},
      {"port refused", "postgresql://line:pw@127.0.0.1:" + std::to_string(closed) + "/line", "cannot be reached"},
      {"server silent", "postgresql://line:pw@127.0.0.1:" + std::to_string(silent.port()) + "/line",
       "did not answer within 1 s"},
      {"bad URL", "postgresql://line@host:notaport/db", "is not valid"},
      {"unknown option", "postgresql://line@host/db?colour=red", "is not valid"},
      {"bad option value", "postgresql://line@127.0.0.1/db?sslmode=sometimes", "is not valid"},
      {"unknown service", "lineserver", "service"},
      {"not a word", "line server", "is not valid"},
      {"bad password encoding", "postgresql://line:%zz@/line", "password cannot be read"},
      {"empty", "", "is empty"},
  };
  LineDbOptions options;
  options.ConnectTimeoutMs = 1000;
  for (const auto& c : cases) {
    std::string error;
    const auto start = Steady::now();
    EXPECT_FALSE(LineDb::Connect(c.url, error, options)) << c.name;
    EXPECT_LT(Steady::now() - start, 4s) << c.name;
    EXPECT_NE(error.find(c.says), std::string::npos) << c.name << ": " << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << c.name << ": " << error;
    EXPECT_EQ(error.find("wrong-pw"), std::string::npos) << c.name << ": " << error;
    EXPECT_EQ(error.find(kPassword), std::string::npos) << c.name << ": " << error;
    EXPECT_EQ(error.find("%zz"), std::string::npos) << c.name << ": " << error;
  }
}

// The administrator's script makes the table and a role that may add and
// read records only; the station works with that role, and tells what to do
// when the table is missing or lacks a field the role may not add.
TEST_F(LineDbTest, ARoleThatMayOnlyAddAndReadWorksWithTheAdministratorsTable) {
  constexpr const char* kRole = "line_station";
  constexpr const char* kRolePassword = "st-Pw-42";
  const std::string stationUrl = server_->Url(kRole, kRolePassword, db_);
  const std::string setup = "SET client_min_messages = warning; " + LineSetupSql(kRole);
  std::string why;
  ASSERT_TRUE(server_->Sql(db_, setup, why)) << why;
  ASSERT_TRUE(server_->Sql(db_, setup, why)) << "run again: " << why;
  ASSERT_TRUE(server_->Sql(db_, std::string("ALTER ROLE ") + kRole + " PASSWORD '" + kRolePassword + "'", why)) << why;

  std::string error;
  auto db = LineDb::Connect(stationUrl, error);
  ASSERT_TRUE(db) << error;
  ASSERT_TRUE(db->Insert({FullRecord()}, error)) << error;
  ASSERT_TRUE(db->Insert({FullRecord()}, error)) << "sent again: " << error;
  std::vector<UnitRecord> found;
  ASSERT_TRUE(db->Find({}, found, error)) << error;
  ASSERT_EQ(found.size(), 1u);
  ExpectSame(found[0], FullRecord());

  // Nothing but adding and reading.
  PGconn* raw = PQconnectdb(stationUrl.c_str());
  ASSERT_EQ(PQstatus(raw), CONNECTION_OK) << PQerrorMessage(raw);
  for (const char* sql : {"UPDATE unit_records SET serial = 'x'", "DELETE FROM unit_records",
                          "TRUNCATE unit_records", "DROP TABLE unit_records", "CREATE TABLE other (a INT)",
                          "ALTER TABLE unit_records ADD COLUMN extra INT"}) {
    PGresult* r = PQexec(raw, sql);
    EXPECT_EQ(PQresultStatus(r), PGRES_FATAL_ERROR) << sql;
    PQclear(r);
  }
  PQfinish(raw);
  db.reset();

  struct Case {
    const char* name;
    const char* sql;  // as the admin, before the station connects
    std::string says;
  };
  const std::vector<Case> cases = {
      {"a field missing", "ALTER TABLE unit_records DROP COLUMN duplicate_serial",
       "lacks the columns duplicate_serial of unit_records and user \"line_station\" may not add them"},
      {"no table", "DROP TABLE unit_records", "has no table unit_records and user \"line_station\" may not create it"},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(server_->Sql(db_, c.sql, why)) << c.name << ": " << why;
    EXPECT_FALSE(LineDb::Connect(stationUrl, error)) << c.name;
    EXPECT_NE(error.find(c.says), std::string::npos) << c.name << ": " << error;
    EXPECT_NE(error.find("line-setup"), std::string::npos) << c.name << ": " << error;
    ASSERT_TRUE(server_->Sql(db_, setup, why)) << c.name << ": " << why;
    EXPECT_TRUE(LineDb::Connect(stationUrl, error)) << c.name << ", after the setup again: " << error;
  }
}

// The password from libpq's own places: a password file, and a service
// (named alone, as `records --from SERVICE` does) that leads to one.
TEST_F(LineDbTest, ThePasswordComesFromThePasswordFileOrAService) {
  const auto passFile = server_->Dir() / "pgpass";
  const auto serviceFile = server_->Dir() / "pg_service.conf";
  {
    std::ofstream(passFile) << "*:*:*:" << kUser << ":" << kPassword << "\n";
    std::filesystem::permissions(passFile, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    std::ofstream(serviceFile) << "[ardentix_line]\nhost=" << server_->Dir().string() << "\nport=" << PgServer::kPort
                               << "\ndbname=" << db_ << "\nuser=" << kUser << "\npassfile=" << passFile.string()
                               << "\n";
  }
  std::string error;
  EXPECT_TRUE(LineDb::Connect(server_->Url(kUser, "", db_) + "&passfile=" + passFile.string(), error)) << error;

  ::setenv("PGSERVICEFILE", serviceFile.c_str(), 1);
  auto db = LineDb::Connect("ardentix_line", error);
  EXPECT_TRUE(db) << error;
  EXPECT_EQ(DescribeLineUrl("ardentix_line"), "(service ardentix_line)");
  if (db) {
    EXPECT_TRUE(db->Insert({FullRecord()}, error)) << error;
  }
  auto source = MakeLineSource("ardentix_line", error);
  ASSERT_TRUE(source) << error;
  std::vector<UnitRecord> found;
  EXPECT_TRUE(source->Find({}, found, error)) << error;
  EXPECT_EQ(found.size(), 1u);
  EXPECT_FALSE(LineDb::Connect("no_such_service", error));
  EXPECT_NE(error.find("no_such_service"), std::string::npos) << error;
  ::unsetenv("PGSERVICEFILE");
}

TEST_F(LineDbTest, SenderWithAWrongPasswordTellsOnceAndKeepsTheRecords) {
  MemoryOutbox outbox;
  for (int n = 0; n < 3; ++n) outbox.Add(MakeRecord("A", n));
  YieldingClock clock;
  CollectingSink sink;
  LineSender sender(outbox, server_->Url(kUser, "wrong-pw", db_), clock, &sink, FastRetries());
  sender.Start();
  ASSERT_TRUE(WaitUntil([&] { return sender.Status().failures >= 5; }));
  const auto start = Steady::now();
  sender.Stop();
  EXPECT_LT(Steady::now() - start, 1s);
  ASSERT_EQ(sink.Messages().size(), 1u);
  EXPECT_NE(sink.Messages()[0].find("refused the password"), std::string::npos) << sink.Messages()[0];
  const auto status = sender.Status();
  EXPECT_EQ(status.state, LineSenderStatus::State::Stopped);
  EXPECT_EQ(status.unsent, 3u);
  EXPECT_EQ(status.sent, 0u);
  EXPECT_FALSE(AllSent(outbox));
}

TEST_F(LineDbTest, StopDoesNotWaitForAServerThatSaysNothing) {
  SilentServer silent;
  ASSERT_NE(silent.port(), 0);
  MemoryOutbox outbox;
  outbox.Add(MakeRecord("A", 0));
  YieldingClock clock;
  auto options = FastRetries();
  options.Db.ConnectTimeoutMs = 60000;
  LineSender sender(outbox, "postgresql://line:pw@127.0.0.1:" + std::to_string(silent.port()) + "/line", clock,
                    nullptr, options);
  // Wake and Status answer at once while the sender is stuck connecting.
  sender.Start();
  std::this_thread::sleep_for(100ms);
  auto start = Steady::now();
  sender.Wake();
  EXPECT_EQ(sender.Status().state, LineSenderStatus::State::Starting);
  EXPECT_LT(Steady::now() - start, 50ms);
  start = Steady::now();
  sender.Stop();
  EXPECT_LT(Steady::now() - start, 1s);
}

TEST(LineText, OnlyValidUtf8WithoutNulPassesUnchanged) {
  struct Case {
    const char* name;
    std::string in;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"ascii", "SN-0042 \"x\"", "SN-0042 \"x\""},
      {"two, three and four bytes", "\xC3\xA4\xE2\x82\xAC\xF0\x9F\x94\xA5", "\xC3\xA4\xE2\x82\xAC\xF0\x9F\x94\xA5"},
      {"latin-1 byte", "Ger\xE4t", "Ger\\xE4t"},
      {"nul", std::string("a\0b", 3), "a\\x00b"},
      {"overlong slash", "\xC0\xAF", "\\xC0\\xAF"},
      {"overlong three bytes", "\xE0\x80\xAF", "\\xE0\\x80\\xAF"},
      {"surrogate", "\xED\xA0\x80", "\\xED\\xA0\\x80"},
      {"past U+10FFFF", "\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},
      {"cut short at the end", "ok\xE2\x82", "ok\\xE2\\x82"},
      {"lone continuation", "\x80z", "\\x80z"},
  };
  for (const auto& c : cases) EXPECT_EQ(ToDatabaseText(c.in), c.out) << c.name;
}

TEST(LineSource, ABadAddressIsRefusedBeforeAnyConnection) {
  MemoryOutbox outbox;
  FakeClock clock;
  for (const char* url : {"postgresql://h:port/db", "postgresql://h/db?colour=red", ""}) {
    std::string error;
    EXPECT_FALSE(MakeLineSource(url, error)) << url;
    EXPECT_NE(error.find("line database address"), std::string::npos) << url << ": " << error;
    error.clear();
    EXPECT_FALSE(StartLineLink(outbox, url, clock, nullptr, error)) << url;
    EXPECT_NE(error.find("line database address"), std::string::npos) << url << ": " << error;
  }
}

}  // namespace
}  // namespace ardentix::records
