// The direction rule, the success rule and the command trace.
#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "QMR52916LIB_ext.h"
#include "fake_backend.h"
#include "trace.h"

namespace qmr {
namespace {

using testing::RecordingBackend;
using testing::SentCommand;

TEST(DirectionRule, PicksTheDataPhase) {
  uint8_t in[8], out[8];
  const uint8_t cdb[16] = {0xF6};
  struct Case {
    const char* name;
    uint8_t* inBuffer;
    int inLength;
    uint8_t* outBuffer;
    int outLength;
    DataDirection direction;
    uint8_t* buffer;
    uint32_t length;
  } cases[] = {
      {"in only", in, 8, nullptr, 0, DataDirection::In, in, 8},
      {"out only", nullptr, 0, out, 6, DataDirection::Out, out, 6},
      {"both given: runs as data in", in, 4, out, 6, DataDirection::In, in, 4},
      {"in length without buffer falls to out", nullptr, 8, out, 6, DataDirection::Out, out, 6},
      {"in buffer with zero length falls to out", in, 0, out, 6, DataDirection::Out, out, 6},
      {"nothing valid", nullptr, 8, nullptr, 8, DataDirection::None, nullptr, 0},
      {"negative lengths", in, -1, out, -1, DataDirection::None, nullptr, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ScsiRequest r = BuildRequest(cdb, c.inBuffer, c.inLength, c.outBuffer, c.outLength);
    EXPECT_EQ(r.direction, c.direction);
    EXPECT_EQ(r.buffer, c.buffer);
    EXPECT_EQ(r.length, c.length);
    EXPECT_EQ(r.timeoutMs, 4000u * 1000u);
    EXPECT_EQ(r.cdb[0], 0xF6);
  }
}

TEST(SendScsiCommand, ReportsTheBackendsVerdict) {
  std::vector<SentCommand> log;
  auto backend = std::make_unique<RecordingBackend>(&log);
  RecordingBackend* b = backend.get();
  void* h = MakeHandle('E', std::move(backend));
  const uint8_t cdb[16] = {0x00};
  EXPECT_EQ(SendScsiCommand(h, cdb, nullptr, 0, nullptr, 0), 1);
  b->succeed = false;
  EXPECT_EQ(SendScsiCommand(h, cdb, nullptr, 0, nullptr, 0), 0);
  EXPECT_EQ(log.size(), 2u);
  QMR_CloseDevice(h);
  QMR_CloseDevice(QMR_INVALID_HANDLE);  // harmless
}

// Each handle carries its own timeout: set for one, the others keep theirs;
// handles opened later start with the process default.
TEST(CommandTimeout, PerHandleWithAProcessDefault) {
  std::vector<SentCommand> log;
  auto backend = std::make_unique<RecordingBackend>(&log);
  RecordingBackend* b = backend.get();
  void* e = MakeHandle('E', std::move(backend));
  void* f = MakeHandle('F', std::make_unique<RecordingBackend>(&log));
  uint8_t status[2];
  struct Step {
    const char* name;
    void* handle;
    unsigned long set;      // ULONG_MAX: leave as it is
    uint32_t sentTimeout;   // what the command goes out with
  } steps[] = {
      {"the library's default", e, ULONG_MAX, 4000u * 1000u},
      {"set for E", e, 2500, 2500},
      {"F keeps its own", f, ULONG_MAX, 4000u * 1000u},
      {"0 restores the default", e, 0, 4000u * 1000u},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.name);
    if (s.set != ULONG_MAX) {
      EXPECT_EQ(QMR_SetCommandTimeout(s.handle, s.set), 1);
    }
    log.clear();
    TVQ_ReadFlashStatus(s.handle, status);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].timeoutMs, s.sentTimeout);
    EXPECT_EQ(QMR_GetCommandTimeout(s.handle), s.sentTimeout);
  }
  EXPECT_EQ(QMR_SetCommandTimeout(QMR_INVALID_HANDLE, 10), 0);
  EXPECT_EQ(QMR_GetCommandTimeout(QMR_INVALID_HANDLE), 0u);

  QMR_SetDefaultCommandTimeout(7000);
  void* g = MakeHandle('G', std::make_unique<RecordingBackend>(&log));
  EXPECT_EQ(QMR_GetCommandTimeout(g), 7000u);
  EXPECT_EQ(QMR_GetCommandTimeout(f), 4000u * 1000u);  // opened before
  QMR_SetDefaultCommandTimeout(0);
  EXPECT_EQ(QMR_GetDefaultCommandTimeout(), 4000u * 1000u);

  // Whether the last command timed out is the backend's word, after a failure only.
  struct Outcome {
    bool succeed, backendTimedOut;
    int reported;
  } outcomes[] = {{false, true, 1}, {false, false, 0}, {true, true, 0}};
  for (const Outcome& o : outcomes) {
    b->succeed = o.succeed;
    b->timedOut = o.backendTimedOut;
    TVQ_ReadFlashStatus(e, status);
    EXPECT_EQ(QMR_CommandTimedOut(e), o.reported);
  }
  EXPECT_EQ(QMR_CommandTimedOut(QMR_INVALID_HANDLE), 0);
  for (void* h : {e, f, g}) QMR_CloseDevice(h);
}

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = std::filesystem::temp_directory_path() /
            ("qmr-trace-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove(path_);
    ASSERT_EQ(QMR_SetTraceFile(path_.string().c_str()), 1);
  }
  void TearDown() override {
    QMR_SetTraceFile(nullptr);
    std::filesystem::remove(path_);
  }
  std::vector<std::string> Lines() {
    std::ifstream in(path_);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
  }
  std::filesystem::path path_;
};

TEST_F(TraceTest, OneLinePerCommandInTheDocumentedForm) {
  std::vector<SentCommand> log;
  auto backend = std::make_unique<RecordingBackend>(&log);
  RecordingBackend* b = backend.get();
  void* h = MakeHandle('E', std::move(backend));
  std::vector<uint8_t> buffer(4096);
  TVQ_FlashRead(h, buffer.data(), 4096, 8);
  TVQ_SectorErase(h, 16, 0x0102, 0);
  b->succeed = false;
  USB_WriteSD(h, 2048, 120, std::vector<uint8_t>(61440).data());
  QMR_CloseDevice(h);
  // The invalid handle sends nothing and writes no line.
  TVQ_FlashErase(QMR_INVALID_HANDLE);

  EXPECT_EQ(Lines(), (std::vector<std::string>{
                         "E F6 05 06 00 00 10 00 00 08 00 00 00 00 00 00 00 in 4096 ok",
                         "E F6 15 06 00 10 01 02 00 00 00 00 00 00 00 00 00 none 0 ok",
                         "E 2A 00 00 00 08 00 00 00 78 00 00 00 00 00 00 00 out 61440 fail",
                     }));
}

TEST_F(TraceTest, LinesFromManyThreadsNeverInterleave) {
  constexpr int kThreads = 8, kCommands = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      std::vector<SentCommand> log;
      void* h = MakeHandle(char('C' + t), std::make_unique<RecordingBackend>(&log));
      uint8_t status[2];
      for (int i = 0; i < kCommands; ++i) TVQ_ReadFlashStatus(h, status);
      QMR_CloseDevice(h);
    });
  }
  for (auto& th : threads) th.join();
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), size_t(kThreads * kCommands));
  const std::regex form("[C-J] F6 01( 00){14} in 2 ok");
  for (const auto& l : lines) ASSERT_TRUE(std::regex_match(l, form)) << l;
}

TEST(TraceFile, UnopenableFileIsReported) {
  EXPECT_EQ(QMR_SetTraceFile("/nonexistent-dir/trace.txt"), 0);
  EXPECT_EQ(QMR_SetTraceFile(""), 1);
}

}  // namespace
}  // namespace qmr
