// settings: show the values of the settings file as the station reads them.
#include <filesystem>
#include <ostream>
#include <string>

#include "cli/cli.h"
#include "core/profile.h"
#include "core/settings.h"
#include "core/platform_files.h"

namespace ardentix::cli {

int SettingsCommand(const Args& args, Context& ctx) {
  if (!args.empty()) {
    ctx.err << "ardentix-cli settings: unexpected argument \"" << args.front() << "\"\n"
            << "usage: ardentix-cli settings\n";
    return kExitUsage;
  }
  const std::filesystem::path path = SettingsPath(ctx.stationDir);
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) {
    ctx.err << "ardentix-cli settings: " << PathText(path) << " does not exist; showing the defaults\n";
  } else if (std::string error; !ReadProfileFile(path, &error)) {
    // The station would silently run on defaults; here say why.
    ctx.err << "ardentix-cli settings: " << error << "\n";
    return kExitFailed;
  }
  const Settings s = LoadSettings(path);
  ctx.out << kStartSnKey << ": " << s.startSn << "\n"
          << kMpCountKey << ": " << s.totalCountShown << "\n"
          << kXpLockKey << ": " << s.LockOnXp << "\n"
          << kWriteVerifyKey << ": " << s.WriteVerify << "\n"
          << kSaveSdFileKey << ": " << s.SaveSdFile << "\n"
          << kPassCountKey << ": " << s.PassCount << "\n"
          << kFailCountKey << ": " << s.FailCount << "\n"
          << "StartSerial: " << s.StartSerial << "\n";
  return kExitOk;
}

}  // namespace ardentix::cli
