#include "core/station_dir.h"

#include <cstdlib>
#include <system_error>

#include "core/files.h"
#include "core/platform_files.h"

namespace ardentix {
namespace {

namespace fs = std::filesystem;

constexpr const char* kCatalogueFile = "SpiList.ini";

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

// Copies the installed starter catalogue into a folder that has none; a
// folder's own catalogue, even an emptied one, is never replaced. "" when it
// was copied, else why not.
std::string SeedCatalogue(const fs::path& dir, const fs::path& dataDir) {
  const std::optional<std::string> starter = ReadWholeFile(dataDir / kCatalogueFile);
  if (!starter) return "cannot read " + PathText(dataDir / kCatalogueFile);
  std::string why;
  return WriteFileAtomically(dir / kCatalogueFile, *starter, &why) ? std::string() : why;
}

}  // namespace

fs::path InstalledDataDir(const fs::path& programDir) {
  if (programDir.empty() || programDir.filename() != "bin") return {};
  const fs::path data = programDir.parent_path() / "share" / "ardentix";
  std::error_code ec;
  return fs::is_regular_file(data / kCatalogueFile, ec) ? data : fs::path();
}

StationDirChoice ResolveStationDir(const std::string& option) {
  return ResolveStationDirFor(option, Platform().ProgramFolder());
}

StationDirChoice ResolveStationDirFor(const std::string& option, const fs::path& programDir) {
  PlatformFiles& os = Platform();
  const fs::path dataDir = InstalledDataDir(programDir);
  StationDirChoice c;
  bool userDefault = false;
  if (!option.empty()) {
    c = Explicit(option, "--station-dir");
  } else if (const char* env = std::getenv("ARDENTIX_STATION_DIR"); env != nullptr && env[0] != '\0') {
    c = Explicit(env, "ARDENTIX_STATION_DIR");
  } else if (dataDir.empty() && !programDir.empty() && os.FolderWritable(programDir)) {
    // Run from its build tree or an unpacked folder: everything stays beside the program.
    return StationDirChoice{programDir, {}, {}};
  } else {
    // Installed (nothing is ever written beside an installed program, even
    // by root), or a program folder that cannot take the files.
    userDefault = true;
    c.dir = os.UserDataFolder();
    if (c.dir.empty()) {
      c.error = "the program folder is not writable and no home folder is known; give --station-dir";
      return c;
    }
    if (const std::string why = Prepare(c.dir); !why.empty()) {
      c.error = "cannot create the station folder " + PathText(c.dir) + ": " + why;
      return c;
    }
    if (dataDir.empty())
      c.notice = (programDir.empty() ? std::string("the program folder is unknown")
                                     : "the program folder " + PathText(programDir) + " is not writable") +
                 "; settings and catalogue are kept in " + PathText(c.dir);
  }
  std::error_code ec;
  if (!c.error.empty() || dataDir.empty() || fs::exists(c.dir / kCatalogueFile, ec)) return c;
  // A folder's first start with the installed program.
  if (const std::string why = SeedCatalogue(c.dir, dataDir); !why.empty())
    c.notice = "the starter catalogue was not copied into " + PathText(c.dir) + ": " + why;
  else if (userDefault)
    c.notice = "settings and catalogue are kept in " + PathText(c.dir) + ", starting with the starter catalogue";
  else
    c.notice = "the starter catalogue was copied into " + PathText(c.dir);
  return c;
}

}  // namespace ardentix
