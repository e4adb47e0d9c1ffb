// The writer thread: records handed over are committed, a failed write
// keeps them and says so, and the next attempt writes each exactly once.
#include <gtest/gtest.h>

#include <mutex>

#include "core/temp_dir.h"
#include "records/record_store.h"
#include "records/record_writer.h"
#include "records/sha256.h"
#include "records_fixture.h"

namespace ardentix::records {
namespace {

using testing::SampleRecord;

class RecordWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    store_ = RecordStore::Open(file_, error);
    ASSERT_TRUE(store_) << error;
  }
  RecordWriter::Events Events() {
    return {[this](const std::vector<UnitRecord>& r) {
              std::lock_guard lock(mutex_);
              for (const auto& u : r) committed_.push_back(u.Id);
            },
            [this](const std::string& error, size_t waiting) {
              std::lock_guard lock(mutex_);
              failures_.push_back(error + " / " + std::to_string(waiting));
            }};
  }
  size_t Stored() {
    std::vector<UnitRecord> out;
    std::string error;
    EXPECT_TRUE(store_->Find({}, out, error)) << error;
    return out.size();
  }

  test::TempDir dir_;
  std::filesystem::path file_ = dir_.path() / kRecordFileName;
  std::unique_ptr<RecordStore> store_;
  std::mutex mutex_;
  std::vector<std::string> committed_, failures_;
};

TEST_F(RecordWriterTest, CommitsWhatIsHandedOver) {
  RecordWriter writer(store_.get(), Events());
  for (int n = 1; n <= 20; ++n) writer.Submit(SampleRecord(n));
  EXPECT_TRUE(writer.Flush());
  EXPECT_EQ(writer.Waiting(), 0u);
  EXPECT_EQ(Stored(), 20u);
  EXPECT_EQ(committed_.size(), 20u);
  EXPECT_TRUE(failures_.empty());
}

TEST_F(RecordWriterTest, AFailedWriteIsReportedKeptAndRetriedOnce) {
  ASSERT_EQ(testing::RefuseWrites(file_), "");
  RecordWriter writer(store_.get(), Events());
  writer.Submit(SampleRecord(1));
  writer.Submit(SampleRecord(2));
  EXPECT_FALSE(writer.Flush());
  EXPECT_EQ(writer.Waiting(), 2u);
  ASSERT_FALSE(failures_.empty());
  EXPECT_NE(failures_.back().find("disk full / 2"), std::string::npos) << failures_.back();
  EXPECT_EQ(Stored(), 0u);

  ASSERT_EQ(testing::AllowWrites(file_), "");
  writer.Submit(SampleRecord(3));  // the next write takes the waiting ones along
  EXPECT_TRUE(writer.Flush());
  EXPECT_EQ(Stored(), 3u);
  EXPECT_EQ(committed_, (std::vector<std::string>{"id-1", "id-2", "id-3"}));
}

TEST_F(RecordWriterTest, RecordsWaitForAStoreThatCouldNotBeOpened) {
  RecordWriter writer(nullptr, Events());
  writer.Submit(SampleRecord(1));
  EXPECT_FALSE(writer.Flush());
  EXPECT_EQ(writer.Waiting(), 1u);
  writer.SetStore(store_.get());
  EXPECT_TRUE(writer.Flush());
  EXPECT_EQ(Stored(), 1u);
}

TEST_F(RecordWriterTest, StoppingWritesWhatIsStillQueued) {
  {
    RecordWriter writer(store_.get(), Events());
    for (int n = 1; n <= 5; ++n) writer.Submit(SampleRecord(n));
  }
  EXPECT_EQ(Stored(), 5u);
}

TEST(Sha256, KnownDigests) {
  struct Case {
    std::string input, digest;
  };
  const Case cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      // Two blocks: the padding spills into a second one.
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input.substr(0, 10));
    EXPECT_EQ(Sha256Hex(c.input), c.digest);
    // Fed in odd pieces, the same.
    Sha256 h;
    for (size_t i = 0; i < c.input.size(); i += 37) h.Update(c.input.data() + i, std::min<size_t>(37, c.input.size() - i));
    EXPECT_EQ(h.FinishHex(), c.digest);
  }
}

}  // namespace
}  // namespace ardentix::records
