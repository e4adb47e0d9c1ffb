#include "core/station_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

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

}  // namespace
}  // namespace ardentix
