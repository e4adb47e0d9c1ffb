#include "core/station_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "core/files.h"
#include "core/temp_dir.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace ardentix {
namespace {

namespace fs = std::filesystem;

// Sets (or unsets, for nullopt) an environment variable for one test.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    Set(name, value);
  }
  ~ScopedEnv() { Set(name_, old_); }

  static void Set(const char* name, const std::optional<std::string>& value) {
#if defined(_WIN32)
    ::_putenv_s(name, value ? value->c_str() : "");  // "" removes it
#else
    if (value)
      ::setenv(name, value->c_str(), 1);
    else
      ::unsetenv(name);
#endif
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(ResolveStationDir, TheOptionWinsAndIsCreated) {
  test::TempDir tmp;
  ScopedEnv env("ARDENTIX_STATION_DIR", (tmp / "from-env").string());
  const fs::path wanted = tmp / "a" / "b";
  const StationDirChoice c = ResolveStationDir(wanted.string());
  EXPECT_EQ(c.dir, wanted);
  EXPECT_TRUE(fs::is_directory(wanted));
  EXPECT_EQ(c.error, "");
  EXPECT_EQ(c.notice, "");
  EXPECT_FALSE(fs::exists(tmp / "from-env"));
}

TEST(ResolveStationDir, TheEnvironmentComesNext) {
  test::TempDir tmp;
  ScopedEnv env("ARDENTIX_STATION_DIR", (tmp / "from-env").string());
  const StationDirChoice c = ResolveStationDir("");
  EXPECT_EQ(c.dir, tmp / "from-env");
  EXPECT_TRUE(fs::is_directory(c.dir));
  EXPECT_EQ(c.error, "");
}

TEST(ResolveStationDir, ARelativeOptionBecomesAbsolute) {
  test::TempDir tmp;
  const fs::path old = fs::current_path();
  fs::current_path(tmp.path());
  const StationDirChoice c = ResolveStationDir("./station/../here");
  fs::current_path(old);
  EXPECT_EQ(c.dir, tmp / "here");
  EXPECT_TRUE(c.dir.is_absolute());
  EXPECT_TRUE(fs::is_directory(tmp / "here"));
}

TEST(ResolveStationDir, AFolderThatCannotBeCreatedIsAnError) {
  test::TempDir tmp;
  ASSERT_TRUE(WriteFileAtomically(tmp / "file", "x"));
  for (const fs::path& bad : {tmp / "file", tmp / "file" / "sub"}) {
    const StationDirChoice c = ResolveStationDir(bad.string());
    EXPECT_NE(c.error, "") << bad;
    EXPECT_NE(c.error.find(bad.string()), std::string::npos) << c.error;
  }
  ScopedEnv env("ARDENTIX_STATION_DIR", (tmp / "file" / "sub").string());
  EXPECT_NE(ResolveStationDir("").error, "");
}

fs::path ThisProgram() {
#if defined(_WIN32)
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  return path;
#else
  return fs::read_symlink("/proc/self/exe");
#endif
}

TEST(ResolveStationDir, DefaultsToTheProgramsFolder) {
  ScopedEnv env("ARDENTIX_STATION_DIR", std::nullopt);
  const StationDirChoice c = ResolveStationDir("");
  // The test program's own folder is writable, so no notice.
  EXPECT_EQ(c.dir, ThisProgram().parent_path());
  EXPECT_EQ(c.notice, "");
  EXPECT_EQ(c.error, "");
}

// An installed program: <prefix>/bin beside <prefix>/share/ardentix with the
// starter catalogue.
class InstalledStationDir : public ::testing::Test {
 protected:
  // Windows keeps the user's data in the local application data folder.
  static bool XdgApplies() {
#ifdef _WIN32
    return false;
#else
    return true;
#endif
  }
  void SetUp() override {
    fs::create_directories(bin_);
    fs::create_directories(tmp_ / "prefix" / "share" / "ardentix");
    ASSERT_TRUE(WriteFileAtomically(tmp_ / "prefix" / "share" / "ardentix" / "SpiList.ini", kStarter));
  }
  std::vector<fs::path> BinEntries() const {
    std::vector<fs::path> entries;
    for (const auto& e : fs::directory_iterator(bin_)) entries.push_back(e.path());
    return entries;
  }
  static constexpr const char* kStarter = "Spi Count = 1 \r\n1\tW25Q128\t001840EF\t16384\texample\t80\r\n";
  test::TempDir tmp_;
  fs::path bin_ = tmp_ / "prefix" / "bin";
  ScopedEnv noStationEnv_{"ARDENTIX_STATION_DIR", std::nullopt};
};

TEST_F(InstalledStationDir, UsesTheUsersDataFolderSeededOnceAndNothingBesideTheProgram) {
  if (!XdgApplies()) GTEST_SKIP() << "the XDG data folders are a POSIX convention";
  ScopedEnv xdg("XDG_DATA_HOME", (tmp_ / "xdg").string());
  ASSERT_EQ(InstalledDataDir(bin_), tmp_ / "prefix" / "share" / "ardentix");
  // The program folder is writable here (as /usr/bin is for root): still not used.
  const StationDirChoice first = ResolveStationDirFor("", bin_);
  EXPECT_EQ(first.error, "");
  EXPECT_EQ(first.dir, tmp_ / "xdg" / "ardentix");
  EXPECT_EQ(ReadWholeFile(first.dir / "SpiList.ini"), std::string(kStarter));
  EXPECT_NE(first.notice.find(first.dir.string()), std::string::npos) << first.notice;
  EXPECT_TRUE(BinEntries().empty());

  // The operator's own catalogue stays; later starts say nothing.
  ASSERT_TRUE(WriteFileAtomically(first.dir / "SpiList.ini", "Spi Count = 0 \r\n"));
  const StationDirChoice again = ResolveStationDirFor("", bin_);
  EXPECT_EQ(again.dir, first.dir);
  EXPECT_EQ(again.notice, "");
  EXPECT_EQ(ReadWholeFile(first.dir / "SpiList.ini"), std::string("Spi Count = 0 \r\n"));
}

TEST_F(InstalledStationDir, WithoutXdgDataHomeTheHomeFolderIsUsed) {
  if (!XdgApplies()) GTEST_SKIP() << "the XDG data folders are a POSIX convention";
  ScopedEnv xdg("XDG_DATA_HOME", "relative/is/ignored");
  ScopedEnv home("HOME", (tmp_ / "home").string());
  const StationDirChoice c = ResolveStationDirFor("", bin_);
  EXPECT_EQ(c.dir, tmp_ / "home" / ".local" / "share" / "ardentix");
  EXPECT_TRUE(fs::is_regular_file(c.dir / "SpiList.ini"));
}

TEST_F(InstalledStationDir, AChosenFolderIsSeededOnlyWhenItHasNoCatalogue) {
  const StationDirChoice empty = ResolveStationDirFor((tmp_ / "line1").string(), bin_);
  EXPECT_EQ(empty.dir, tmp_ / "line1");
  EXPECT_EQ(ReadWholeFile(empty.dir / "SpiList.ini"), std::string(kStarter));
  EXPECT_NE(empty.notice, "");

  fs::create_directories(tmp_ / "line2");
  ASSERT_TRUE(WriteFileAtomically(tmp_ / "line2" / "SpiList.ini", "own"));
  const StationDirChoice own = ResolveStationDirFor((tmp_ / "line2").string(), bin_);
  EXPECT_EQ(own.notice, "");
  EXPECT_EQ(ReadWholeFile(tmp_ / "line2" / "SpiList.ini"), std::string("own"));
}

TEST_F(InstalledStationDir, ABuildTreeIsNotAnInstallation) {
  const fs::path buildBin = tmp_ / "build" / "bin";
  fs::create_directories(buildBin);
  fs::create_directories(tmp_ / "build" / "share" / "ardentix");  // no catalogue there
  EXPECT_EQ(InstalledDataDir(buildBin), fs::path());
  EXPECT_EQ(InstalledDataDir(tmp_ / "prefix" / "share"), fs::path());  // not a bin folder
  const StationDirChoice c = ResolveStationDirFor("", buildBin);
  EXPECT_EQ(c.dir, buildBin);
  EXPECT_EQ(c.notice, "");
  EXPECT_FALSE(fs::exists(buildBin / "SpiList.ini"));
}

}  // namespace
}  // namespace ardentix
