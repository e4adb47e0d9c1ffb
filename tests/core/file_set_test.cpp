// Files replaced together with renames alone: after a failure at any step,
// or a crash at any step and the next start, the folder holds the old set or
// the new one, whole, and nothing else.
#include "core/file_set.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>

#include "core/faulty_platform.h"
#include "core/temp_dir.h"

namespace ardentix {
namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;

// What a folder holds, file by file. A temporary of this process is left
// only where a test made even its removal fail; the next start after this
// process removes it.
Files Contents(const fs::path& folder) {
  Files files;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (TemporaryOwner(entry.path()) == uint64_t(::getpid())) continue;
    files[entry.path().filename().string()] =
        entry.is_regular_file() ? ReadWholeFile(entry.path()).value_or("<unreadable>") : "<not a file>";
  }
  return files;
}

std::function<bool(ReplacingFile&, std::string*)> Text(std::string text) {
  return [text](ReplacingFile& out, std::string* error) { return out.Append(text, error); };
}

class FileSetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = dir_ / "BurnFile";
    fs::create_directories(folder_);
  }
  // The set of an earlier import, and the change to a new one: two files
  // replaced, one added, one removed.
  void PutOldSet() {
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    for (const auto& [name, text] : kOld) ASSERT_TRUE(WriteFileAtomically(folder_ / name, text));
  }
  std::vector<FileChange> Change() const {
    return {{folder_ / "1.bin", Text("new 1")},
            {folder_ / "2.bin", Text("new 2")},
            {folder_ / "3.bin", Text("new 3")},
            {folder_ / "4.bin", {}}};
  }
  // The folder holds one of the sets and nothing else.
  void ExpectOneSet(const char* which = nullptr) {
    const Files now = Contents(folder_);
    if (which == nullptr) EXPECT_TRUE(now == kOld || now == kNew) << Describe(now);
    else EXPECT_EQ(now, std::string(which) == "old" ? kOld : kNew) << Describe(now);
  }
  static std::string Describe(const Files& files) {
    std::string s;
    for (const auto& [name, text] : files) s += name + "=" + text + " ";
    return s;
  }

  const Files kOld{{"1.bin", "old 1"}, {"2.bin", "old 2"}, {"4.bin", "old 4"}};
  const Files kNew{{"1.bin", "new 1"}, {"2.bin", "new 2"}, {"3.bin", "new 3"}};
  test::TempDir dir_{test::MemoryTempBase()};
  fs::path folder_;
};

TEST_F(FileSetTest, ReplacesAddsAndRemovesTogether) {
  PutOldSet();
  std::string error;
  ASSERT_TRUE(ReplaceFilesTogether(Change(), &error)) << error;
  ExpectOneSet("new");
  EXPECT_TRUE(fs::exists(dir_ / "BurnFile.lock")) << "the lock lives beside the folder";
}

// A file system without hard links (FAT) needs nothing else: every step may
// fail, alone or followed by a second failure while the old files are put
// back, and the old set stays whole, or the next start completes the new one.
TEST_F(FileSetTest, AFailureAtAnyStepLeavesOneSetWhole) {
  for (int first = 0;; ++first) {
    bool reached = false;
    for (int second : {-1, 1, 2, 3, 5, 8}) {
      SCOPED_TRACE("step " + std::to_string(first) + " fails, then step " +
                   (second < 0 ? std::string("none") : std::to_string(first + second)));
      PutOldSet();
      bool ok;
      std::string error;
      {
        test::FaultyPlatform faults;
        faults.durable = false;
        faults.allow = [&](int index, test::Step, const fs::path&) {
          return index != first && (second < 0 || index != first + second);
        };
        ok = ReplaceFilesTogether(Change(), &error);
        reached = faults.steps > first;
      }
      if (!reached) {
        EXPECT_GE(first, 20) << "every step of the replacement failed once";
        break;
      }
      ASSERT_TRUE(RecoverInterruptedWrites(dir_.path()).empty());  // the next start
      if (ok) ExpectOneSet("new");
      else if (second < 0) ExpectOneSet("old");  // one failure: always put back at once
      else ExpectOneSet();
    }
    if (!reached) break;
  }
}

TEST_F(FileSetTest, ACrashAtAnyStepIsFinishedByTheNextStart) {
  // The crash comes at a step of a plain replacement, or of one whose third
  // rename failed, so that it comes while the old files are put back too.
  for (const bool thirdRenameFails : {false, true}) {
    for (int crash = 0;; ++crash) {
      SCOPED_TRACE(std::string(thirdRenameFails ? "rollback, " : "") + "crash at step " + std::to_string(crash));
      PutOldSet();
      const pid_t child = ::fork();
      if (child == 0) {
        test::FaultyPlatform faults;
        faults.durable = false;
        int renames = 0;
        faults.allow = [&](int index, test::Step step, const fs::path&) {
          if (index == crash) ::_exit(7);
          return !(thirdRenameFails && step == test::Step::Rename && ++renames == 3);
        };
        ::_exit(ReplaceFilesTogether(Change()) ? 0 : 1);
      }
      int status = 0;
      ASSERT_EQ(::waitpid(child, &status, 0), child);
      ASSERT_TRUE(WIFEXITED(status));
      const int code = WEXITSTATUS(status);
      ASSERT_TRUE(code == 7 || code == (thirdRenameFails ? 1 : 0)) << code;
      ASSERT_TRUE(RecoverInterruptedWrites(dir_.path()).empty());
      if (code != 7) {
        ExpectOneSet(thirdRenameFails ? "old" : "new");
        EXPECT_GE(crash, 20) << "a crash came at every step";
        break;  // the run got through every step
      }
      ExpectOneSet();
      // The dead process's lock is gone with it: the next replacement runs.
      ASSERT_TRUE(ReplaceFilesTogether(Change()));
      ExpectOneSet("new");
    }
  }
}

TEST_F(FileSetTest, ADamagedJournalIsReportedAndNothingIsTouched) {
  PutOldSet();
  ASSERT_TRUE(WriteFileAtomically(folder_ / "1.bin.new", "half"));
  ASSERT_TRUE(WriteFileAtomically(folder_ / kFileSetJournalName, "ardentix file set\nstage commit\nreplace old ../../etc/x\n"));
  Files before = Contents(folder_);
  const std::vector<std::string> problems = RecoverInterruptedWrites(dir_.path());
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].find("damaged"), std::string::npos) << problems[0];
  EXPECT_EQ(Contents(folder_), before);
  std::string error;
  EXPECT_FALSE(ReplaceFilesTogether(Change(), &error));
  EXPECT_NE(error.find("damaged"), std::string::npos) << error;
  EXPECT_EQ(Contents(folder_), before);
}

TEST_F(FileSetTest, RefusesWhatIsNotOneFolderOfFiles) {
  PutOldSet();
  fs::create_directories(dir_ / "other");
  fs::create_directories(folder_ / "3.bin");
  const Files before = Contents(folder_);
  const struct {
    const char* name;
    std::vector<FileChange> changes;
  } cases[] = {
      {"two folders", {{folder_ / "1.bin", Text("x")}, {dir_ / "other" / "2.bin", Text("y")}}},
      {"a name twice", {{folder_ / "1.bin", Text("x")}, {folder_ / "1.bin", Text("y")}}},
      {"a folder in a file's place", {{folder_ / "1.bin", Text("x")}, {folder_ / "3.bin", Text("y")}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string error;
    EXPECT_FALSE(ReplaceFilesTogether(c.changes, &error));
    EXPECT_NE(error, "");
    EXPECT_EQ(Contents(folder_), before);
  }
}

}  // namespace
}  // namespace ardentix
