// The crash-safe replacement of one file: what it keeps of the file it
// replaces, what a failure at any step leaves, and the temporaries.
#include "core/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/faulty_platform.h"
#include "core/temp_dir.h"

namespace ardentix {
namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path& p) { return ReadWholeFile(p).value_or("<unreadable>"); }

mode_t ModeOf(const fs::path& p) {
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

int TemporariesIn(const fs::path& folder) {
  int n = 0;
  for (const auto& entry : fs::directory_iterator(folder)) n += TemporaryOwner(entry.path()).has_value();
  return n;
}

// A catalogue shared between stations through a link: the station's file
// stays a link to the shared one, which is replaced with its rights intact.
TEST(ReplacingFile, KeepsALinkAndTheFilesAccessRights) {
  const struct {
    const char* name;
    const char* link;    // what the station's file links to, "" for a plain file
    const char* second;  // a link the first leads to, "" for none
    bool targetExists;
    mode_t mode;
  } cases[] = {
      {"plain file, owner only", "", "", true, 0600},
      {"plain file, group may write", "", "", true, 0664},
      {"relative link", "../shared/SpiList.ini", "", true, 0640},
      {"absolute link", "<abs>", "", true, 0604},
      {"link to a link", "../shared/alias.ini", "SpiList.ini", true, 0660},
      {"link to a file not there yet", "../shared/SpiList.ini", "", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    fs::create_directories(dir / "station");
    fs::create_directories(dir / "shared");
    const fs::path file = dir / "station" / "SpiList.ini";
    const fs::path shared = dir / "shared" / "SpiList.ini";
    const fs::path target = std::string(c.link).empty() ? file : shared;
    if (c.targetExists) {
      ASSERT_TRUE(WriteFileAtomically(target, "old rows"));
      ASSERT_EQ(::chmod(target.c_str(), c.mode), 0);
    }
    if (*c.second) fs::create_symlink(c.second, dir / "shared" / "alias.ini");
    if (*c.link) fs::create_symlink(std::string(c.link) == "<abs>" ? shared : fs::path(c.link), file);

    std::string error;
    ASSERT_TRUE(WriteFileAtomically(file, "new rows", &error)) << error;
    EXPECT_EQ(Read(file), "new rows");
    EXPECT_EQ(Read(target), "new rows");
    EXPECT_EQ(fs::is_symlink(file), *c.link != '\0') << "the link is kept";
    if (*c.second) {
      EXPECT_TRUE(fs::is_symlink(dir / "shared" / "alias.ini"));
    }
    if (c.targetExists) {
      EXPECT_EQ(ModeOf(target), c.mode) << "the rights are kept";
    }
    EXPECT_EQ(TemporariesIn(dir / "station") + TemporariesIn(dir / "shared"), 0);
  }
}

TEST(ReplacingFile, AFailureAtAnyStepLeavesTheOldFile) {
  test::TempDir dir(test::MemoryTempBase());
  const fs::path file = dir / "RQ4820Ardentix.ini";
  for (int failing = 0;; ++failing) {
    SCOPED_TRACE("step " + std::to_string(failing) + " fails");
    ASSERT_TRUE(WriteFileAtomically(file, "old"));
    bool ok;
    std::string error;
    {
      test::FaultyPlatform faults;
      faults.allow = [failing](int index, test::Step, const fs::path&) { return index != failing; };
      ok = WriteFileAtomically(file, "new", &error);
      if (faults.steps <= failing) {
        EXPECT_TRUE(ok) << error;
        EXPECT_GE(failing, 5) << "create, write, flush, rename, folder flush";
        break;  // every step has failed once
      }
    }
    // Only the folder's flush after the rename may fail with the new file in place.
    EXPECT_EQ(Read(file), ok ? "new" : "old");
    if (!ok) {
      EXPECT_NE(error.find("injected failure"), std::string::npos) << error;
    }
    EXPECT_EQ(TemporariesIn(dir.path()), 0);
  }
}

TEST(Temporaries, OnlyThoseOfEndedProcessesAreRemoved) {
  test::TempDir dir;
  const pid_t ended = ::fork();
  if (ended == 0) ::_exit(0);
  ::waitpid(ended, nullptr, 0);
  const std::string gone = std::to_string(ended), self = std::to_string(::getpid());
  const struct {
    std::string name;
    bool folder;
    bool stays;
  } cases[] = {
      {"SpiList.ini.tmp-" + gone + "-0", false, false},
      {"E.bin.tmp-" + gone + "-12", false, false},
      {"SpiList.ini.tmp-" + self + "-3", false, true},  // this process is writing it
      {"SpiList.ini.tmp-1-0", false, true},             // a process that runs
      {"SpiList.ini", false, true},
      {"notes.tmp-" + gone, false, true},  // not a name the station gives
      {"x.tmp-" + gone + "-1a", false, true},
      {".tmp-" + gone + "-1", false, true},
      {"BurnFile.tmp-" + gone + "-1", true, true},  // only files are temporaries
  };
  for (const auto& c : cases) {
    if (c.folder) fs::create_directories(dir / c.name);
    else ASSERT_TRUE(WriteFileAtomically(dir / c.name, "x"));
  }
  RemoveStaleTemporaries(dir.path());
  for (const auto& c : cases) EXPECT_EQ(fs::exists(dir / c.name), c.stays) << c.name;
}

TEST(ReadWholeFile, ReadsOnlyWholeRegularFilesWithinTheLimit) {
  test::TempDir dir;
  ASSERT_TRUE(WriteFileAtomically(dir / "small", "0123456789"));
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);
  fs::create_directories(dir / "folder");
  std::string error;
  EXPECT_EQ(ReadWholeFile(dir / "small", &error, 10), "0123456789") << error;
  const struct {
    const char* name;
    uint64_t limit;
    const char* says;
  } refused[] = {
      {"small", 9, "more than the 9"},
      {"fifo", 100, "not a regular file"},  // and returns at once: no writer is waited for
      {"folder", 100, "not a regular file"},
      {"missing", 100, "cannot open"},
  };
  for (const auto& r : refused) {
    SCOPED_TRACE(r.name);
    error.clear();
    EXPECT_EQ(ReadWholeFile(dir / r.name, &error, r.limit), std::nullopt);
    EXPECT_NE(error.find(r.says), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace ardentix
