#include "core/settings.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/child_process.h"
#include "core/files.h"
#include "core/profile.h"
#include "core/temp_dir.h"

namespace ardentix {
namespace {

namespace fs = std::filesystem;

// The serial walk exactly as described, one step at a time: the reference
// the per-digit shortcut must agree with.
std::string WalkSerial(std::string serial, int64_t step, int64_t times) {
  for (int64_t n = 0; n < times; ++n) {
    for (size_t i = serial.size(); i-- > 0;) {
      const int64_t v = (serial[i] - '0') + step;
      if (v >= 0 && v <= 9) {
        serial[i] = char('0' + v);
        break;
      }
      serial[i] = v > 9 ? '0' : '9';
    }
  }
  return serial;
}

std::string Advanced(std::string serial, int32_t step, int64_t times = 1) {
  AdvanceSerialTimes(serial, step, times);
  return serial;
}

TEST(AdvanceSerial, AddsTheStepAgainAtEachCarry) {
  const struct {
    const char* serial;
    int32_t step;
    const char* after;
  } cases[] = {
      {"000000000000", 1, "000000000001"},
      {"000000000099", 1, "000000000100"},
      {"123456789999", 1, "123456790000"},
      {"999999999999", 1, "000000000000"},  // the first digit's carry is dropped
      {"000000000008", 3, "000000000030"},
      {"000000000007", 3, "000000000030"},
      {"000000000006", 3, "000000000009"},
      {"000000000098", 3, "000000000300"},  // 8+3 and 9+3 both overflow; then 0+3
      {"555555555555", 0, "555555555555"},
      {"000000000000", 9, "000000000009"},
      {"000000000009", 9, "000000000090"},
      {"123456789012", 10, "000000000000"},
      {"123456789012", INT32_MAX, "000000000000"},
      // Negative steps mirror the walk: an underflowing digit becomes 9.
      {"000000000100", -1, "000000000099"},
      {"000000000000", -1, "999999999999"},
      {"000000000030", -3, "000000000009"},
      {"000000000005", -3, "000000000002"},
      {"123456789012", -10, "999999999999"},
      {"123456789012", INT32_MIN, "999999999999"},
  };
  for (const auto& c : cases) {
    std::string s = c.serial;
    AdvanceSerial(s, c.step);
    EXPECT_EQ(s, c.after) << c.serial << " step " << c.step;
  }
}

TEST(AdvanceSerial, StepMinusOneUndoesStepOne) {
  for (const char* serial : {"000000000000", "000000000999", "999999999999", "120000000000"}) {
    EXPECT_EQ(Advanced(Advanced(serial, 1), -1), serial);
    EXPECT_EQ(Advanced(Advanced(serial, -1), 1), serial);
  }
}

TEST(AdvanceSerial, NonDigitsCountAsZero) { EXPECT_EQ(Advanced("00000000000x", 1), "000000000001"); }

TEST(AdvanceSerial, ManyStepsAtOnceEqualTheWalk) {
  std::mt19937 rng(20240611);
  std::uniform_int_distribution<int> digit(0, 9);
  const int32_t steps[] = {-12, -10, -9, -5, -3, -2, -1, 0, 1, 2, 3, 4, 5, 7, 9, 10, 11, 1000};
  for (int round = 0; round < 40; ++round) {
    std::string serial(kSerialDigits, '0');
    for (char& c : serial) c = char('0' + digit(rng));
    if (round % 4 == 0) serial.replace(0, 9, std::string(9, round % 8 ? '9' : '0'));  // long carry chains
    for (int32_t step : steps)
      for (int64_t times : {0, 1, 2, 3, 9, 10, 11, 99, 100, 101, 777})
        ASSERT_EQ(Advanced(serial, step, times), WalkSerial(serial, step, times))
            << serial << " step " << step << " times " << times;
  }
}

TEST(AdvanceSerial, HugeCountsAreCheap) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Advanced("000000000000", 1, int64_t(INT32_MAX) * 2), "004294967294");
  EXPECT_EQ(Advanced("999999999999", -1, int64_t(INT32_MAX) * 2), "995705032705");
  EXPECT_EQ(Advanced("000000000000", 3, int64_t(INT32_MAX) * 2),
            Advanced(Advanced("000000000000", 3, INT32_MAX), 3, INT32_MAX));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST(SerialFromStartSn, KeepsTwelveCharactersAsDigits) {
  const struct {
    const char* startSn;
    const char* serial;
  } cases[] = {
      {"0", "000000000000"},         {"123", "123000000000"},           {"ABC45", "000450000000"},
      {"", "000000000000"},          {"1234567890123", "123456789012"}, {"12 4-5", "120405000000"},
      {"987654321098", "987654321098"},
  };
  for (const auto& c : cases) EXPECT_EQ(SerialFromStartSn(c.startSn), c.serial) << c.startSn;
}

class SettingsFile : public ::testing::Test {
 protected:
  void Write(const std::string& text) { ASSERT_TRUE(WriteFileAtomically(path, text)); }
  std::string Read() { return ReadWholeFile(path).value_or("<missing>"); }

  test::TempDir dir{test::MemoryTempBase()};  // hundreds of flushed writes
  fs::path path = SettingsPath(dir.path());
};

TEST_F(SettingsFile, MissingFileGivesDefaultsAndStaysMissing) {
  const Settings s = LoadSettings(path);
  EXPECT_EQ(s.startSn, "0");
  EXPECT_EQ(s.StartSerial, "000000000000");
  EXPECT_EQ(s.totalCountShown, 0);
  EXPECT_EQ(s.LockOnXp, 1);
  EXPECT_EQ(s.WriteVerify, 0);
  EXPECT_EQ(s.SaveSdFile, 0);
  EXPECT_EQ(s.PassCount, 0);
  EXPECT_EQ(s.FailCount, 0);
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(path.filename(), "RQ4820Ardentix.ini");
}

TEST_F(SettingsFile, LoadsEveryValueAndDerivesTheSerial) {
  const struct {
    const char* what;
    std::string text;
    Settings expected;
  } cases[] = {
      {"full file",
       "[SETUP]\r\nStart SN=000000000099\r\nMP Count=1\r\nXP Lock=0\r\nWrite Verify=1\r\nSave SD File=1\r\n"
       "[OID MP]\r\nPass Count=2\r\nFail Count=1\r\n",
       {"000000000099", 1, 0, 1, 1, 2, 1, "000000000102"}},
      {"letters in Start SN", "[SETUP]\r\nStart SN=ABC45\r\n", {"ABC45", 0, 1, 0, 0, 0, 0, "000450000000"}},
      {"17 digits keep 12", "[SETUP]\r\nStart SN=12345678901234567\r\n",
       {"1234567890123", 0, 1, 0, 0, 0, 0, "123456789012"}},
      {"short serial", "[SETUP]\r\nStart SN=123\r\n", {"123", 0, 1, 0, 0, 0, 0, "123000000000"}},
      {"hand-edited LF file, other case, blanks",
       "; line 2\n[setup]\n start sn = 5 \nmp count=2x\n[oid mp]\npass count=3\n",
       {"5", 2, 1, 0, 0, 3, 0, "500000000006"}},
      {"counters only step 0", "[OID MP]\r\nPass Count=5\r\nFail Count=5\r\n", {"0", 0, 1, 0, 0, 5, 5, "000000000000"}},
      {"negative counts advance nothing", "[SETUP]\r\nMP Count=1\r\n[OID MP]\r\nPass Count=-3\r\nFail Count=1\r\n",
       {"0", 1, 1, 0, 0, -3, 1, "000000000000"}},
      {"negative step", "[SETUP]\r\nStart SN=000000000100\r\nMP Count=-1\r\n[OID MP]\r\nPass Count=2\r\n",
       {"000000000100", -1, 1, 0, 0, 2, 0, "000000000098"}},
      {"non-numeric options read 0", "[SETUP]\r\nXP Lock=yes\r\n", {"0", 0, 0, 0, 0, 0, 0, "000000000000"}},
      {"billions of devices", "[SETUP]\r\nMP Count=1\r\n[OID MP]\r\nPass Count=2147483647\r\nFail Count=2147483647\r\n",
       {"0", 1, 1, 0, 0, INT32_MAX, INT32_MAX, "004294967294"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Write(c.text);
    const Settings s = LoadSettings(path);
    EXPECT_EQ(s.startSn, c.expected.startSn);
    EXPECT_EQ(s.totalCountShown, c.expected.totalCountShown);
    EXPECT_EQ(s.LockOnXp, c.expected.LockOnXp);
    EXPECT_EQ(s.WriteVerify, c.expected.WriteVerify);
    EXPECT_EQ(s.SaveSdFile, c.expected.SaveSdFile);
    EXPECT_EQ(s.PassCount, c.expected.PassCount);
    EXPECT_EQ(s.FailCount, c.expected.FailCount);
    EXPECT_EQ(s.StartSerial, c.expected.StartSerial);
  }
}

TEST_F(SettingsFile, SaveCounterCreatesTheFile) {
  ASSERT_TRUE(SaveCounter(path, false, 1));
  EXPECT_EQ(Read(), "[OID MP]\r\nFail Count=1\r\n");
  ASSERT_TRUE(SaveCounter(path, true, 4));
  EXPECT_EQ(Read(), "[OID MP]\r\nFail Count=1\r\nPass Count=4\r\n");
}

TEST_F(SettingsFile, SaveCounterWritesTheCallersValueAndKeepsEverythingElse) {
  const std::string before =
      "; station settings\r\n[SETUP]\r\nStart SN=ABC45\r\nMP Count=1\r\n\r\n[OID MP]\r\nPass Count=900\r\n"
      "Fail Count=7 ; by hand\r\n";
  Write(before);
  ASSERT_TRUE(SaveCounter(path, true, 3));  // the in-memory count wins over what the file held
  ASSERT_TRUE(SaveCounter(path, false, 8));
  EXPECT_EQ(Read(),
            "; station settings\r\n[SETUP]\r\nStart SN=ABC45\r\nMP Count=1\r\n\r\n[OID MP]\r\nPass Count=3\r\n"
            "Fail Count=8\r\n");
  EXPECT_EQ(LoadSettings(path).PassCount, 3);
}

// Burn workers finishing together: every call must see the file as the
// previous call left it, or a Fail Count write puts back an old Pass Count.
TEST_F(SettingsFile, ConcurrentCountersLoseNoUpdate) {
  const std::string head = "; keep me\r\n[SETUP]\r\nStart SN=1\r\nMP Count=1\r\n[OID MP]\r\n";
  const std::string tail = "[OTHER]\r\nx=y\r\n";
  Write(head + "Pass Count=0\r\nFail Count=0\r\n" + tail);
  constexpr int kThreads = 8;
  constexpr int kCalls = 200;

  std::atomic<bool> done{false};
  std::atomic<int> tornReads{0};
  std::thread reader([&] {  // a reader must only ever see whole files
    while (!done) {
      const std::string text = ReadWholeFile(path).value_or("");
      if (text.rfind(head, 0) != 0 || text.size() < tail.size() ||
          text.compare(text.size() - tail.size(), tail.size(), tail) != 0)
        ++tornReads;
    }
  });
  std::vector<std::thread> workers;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&, t] {
      // Each thread's last value is kCalls, so whichever write is last
      // leaves kCalls in both keys unless an update was lost.
      for (int v = 1; v <= kCalls; ++v)
        if (!SaveCounter(path, t % 2 == 0, v)) ++failures;
    });
  }
  for (auto& w : workers) w.join();
  done = true;
  reader.join();

  EXPECT_EQ(failures, 0);
  EXPECT_EQ(tornReads, 0);
  EXPECT_EQ(Read(), head + "Pass Count=200\r\nFail Count=200\r\n" + tail);
  const auto leftovers = std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator());
  EXPECT_EQ(leftovers, 2);  // the settings file and its lock file, no temporaries
}

// Two station processes on one folder, one counter each: the lock file must
// serialise them. Nobody else writes a process's counter, so before each of
// its writes the file must still hold the value it wrote last.
TEST_F(SettingsFile, TwoProcessesLoseNoUpdate) {
#if defined(_WIN32)
  GTEST_SKIP() << "needs fork()";
#else
  Write("[OID MP]\r\nPass Count=0\r\nFail Count=0\r\n");
  constexpr int kCalls = 200;
  auto writer = [&](bool passed) {
    return [&, passed] {
      bool ok = true;
      for (int v = 1; v <= kCalls; ++v) {
        const Settings now = LoadSettings(path);
        if ((passed ? now.PassCount : now.FailCount) != v - 1) ok = false;
        if (!SaveCounter(path, passed, v)) ok = false;
      }
      return ok;
    };
  };
  const pid_t child = test::StartChild(writer(true));
  const bool parentOk = writer(false)();
  EXPECT_EQ(test::WaitChild(child), test::ChildResult::True);
  EXPECT_TRUE(parentOk);
  EXPECT_EQ(Read(), "[OID MP]\r\nPass Count=200\r\nFail Count=200\r\n");
#endif
}

TEST_F(SettingsFile, AFailedWriteLeavesTheOldFile) {
  const std::string before = "[SETUP]\r\nStart SN=42\r\n" + std::string(200, ';') + "\r\n[OID MP]\r\nPass Count=5\r\n";
  Write(before);
  // Room for less than the new file: the write fails part-way, as on a full disk.
  EXPECT_EQ(test::RunWithFileSizeLimit(64, [&] { return SaveCounter(path, true, 6); }), test::ChildResult::False);
  EXPECT_EQ(Read(), before);
  for (const auto& entry : fs::directory_iterator(dir.path()))
    EXPECT_EQ(entry.path().string().find(".tmp"), std::string::npos) << entry.path();
}

TEST_F(SettingsFile, SaveCounterReportsWhatWentWrong) {
  std::string error;
  EXPECT_FALSE(SaveCounter(dir / "no-such-folder" / "RQ4820Ardentix.ini", true, 1, &error));
  EXPECT_NE(error, "");

  fs::create_directory(path);  // something that is not a readable file sits at the path
  error.clear();
  EXPECT_FALSE(SaveCounter(path, true, 1, &error));
  EXPECT_NE(error, "");
  EXPECT_TRUE(fs::is_directory(path));
  EXPECT_EQ(LoadSettings(path).PassCount, 0);
}

}  // namespace
}  // namespace ardentix
