#include "core/station_dir.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

namespace ardentix {
namespace {

namespace fs = std::filesystem;

// Creates the folder if needed; "" on success, else why not.
std::string Prepare(const fs::path& dir) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) return ec.message();
  if (!fs::is_directory(dir, ec)) return "not a folder";
  return {};
}

StationDirChoice Explicit(const std::string& value, const char* from) {
  StationDirChoice c;
  std::error_code ec;
  c.dir = fs::absolute(value, ec).lexically_normal();
  if (ec) c.dir = fs::path(value);
  if (const std::string why = Prepare(c.dir); !why.empty())
    c.error = "cannot use the station folder " + c.dir.string() + " (" + from + "): " + why;
  return c;
}

fs::path UserDataDir() {
  // A relative XDG_DATA_HOME is invalid and ignored.
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/')
    return fs::path(xdg) / "ardentix";
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] == '\0') {
    const passwd* pw = ::getpwuid(::getuid());
    home = pw != nullptr ? pw->pw_dir : nullptr;
  }
  if (home == nullptr || home[0] == '\0') return {};
  return fs::path(home) / ".local" / "share" / "ardentix";
}

}  // namespace

StationDirChoice ResolveStationDir(const std::string& option) {
  if (!option.empty()) return Explicit(option, "--station-dir");
  if (const char* env = std::getenv("ARDENTIX_STATION_DIR"); env != nullptr && env[0] != '\0')
    return Explicit(env, "ARDENTIX_STATION_DIR");

  std::error_code ec;
  const fs::path program = fs::read_symlink("/proc/self/exe", ec);
  const fs::path programDir = ec ? fs::path() : program.parent_path();
  if (!programDir.empty() && ::access(programDir.c_str(), W_OK | X_OK) == 0) return StationDirChoice{programDir, {}, {}};

  StationDirChoice c;
  c.dir = UserDataDir();
  if (c.dir.empty()) {
    c.error = "the program folder is not writable and no home folder is known; give --station-dir";
    return c;
  }
  if (const std::string why = Prepare(c.dir); !why.empty()) {
    c.error = "cannot create the station folder " + c.dir.string() + ": " + why;
    return c;
  }
  c.notice = (programDir.empty() ? std::string("the program folder is unknown")
                                 : "the program folder " + programDir.string() + " is not writable") +
             "; settings and catalogue are kept in " + c.dir.string();
  return c;
}

}  // namespace ardentix
