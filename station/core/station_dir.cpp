#include "core/station_dir.h"

#include <cstdlib>
#include <system_error>

#include "core/platform_files.h"

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
  const fs::path given = PathFromText(value);
  c.dir = fs::absolute(given, ec).lexically_normal();
  if (ec) c.dir = given;
  if (const std::string why = Prepare(c.dir); !why.empty())
    c.error = "cannot use the station folder " + PathText(c.dir) + " (" + from + "): " + why;
  return c;
}

}  // namespace

StationDirChoice ResolveStationDir(const std::string& option) {
  if (!option.empty()) return Explicit(option, "--station-dir");
  if (const char* env = std::getenv("ARDENTIX_STATION_DIR"); env != nullptr && env[0] != '\0')
    return Explicit(env, "ARDENTIX_STATION_DIR");

  PlatformFiles& os = Platform();
  const fs::path programDir = os.ProgramFolder();
  if (!programDir.empty() && os.FolderWritable(programDir)) return StationDirChoice{programDir, {}, {}};

  StationDirChoice c;
  c.dir = os.UserDataFolder();
  if (c.dir.empty()) {
    c.error = "the program folder is not writable and no home folder is known; give --station-dir";
    return c;
  }
  if (const std::string why = Prepare(c.dir); !why.empty()) {
    c.error = "cannot create the station folder " + PathText(c.dir) + ": " + why;
    return c;
  }
  c.notice = (programDir.empty() ? std::string("the program folder is unknown")
                                 : "the program folder " + PathText(programDir) + " is not writable") +
             "; settings and catalogue are kept in " + PathText(c.dir);
  return c;
}

}  // namespace ardentix
