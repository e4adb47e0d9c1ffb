// make-samples: a sample package and SD image for demos and training.
#include <ostream>

#include "burnfiles/sample.h"
#include "cli/cli.h"
#include "core/files.h"
#include "core/platform_files.h"

namespace ardentix::cli {

int SamplesCommand(const Args& args, Context& ctx) {
  std::filesystem::path dir;
  uint64_t sdBytes = 16ull << 20;
  SamplePackageSpec spec;
  for (size_t i = 0; i < args.size(); ++i) {
    auto number = [&](uint64_t& into) {
      if (i + 1 >= args.size()) return false;
      try {
        size_t used = 0;
        into = std::stoull(args[++i], &used);
        return used == args[i].size();
      } catch (const std::exception&) {
        return false;
      }
    };
    uint64_t n = 0;
    if (args[i] == "--sd-kb" && number(n) && n > 0) {
      sdBytes = n * 1024;
    } else if (args[i] == "--voice-kb" && number(n) && n < (1u << 20)) {
      spec.voiceBytes = uint32_t(n * 1024);
    } else if (dir.empty() && args[i].rfind("--", 0) != 0) {
      dir = PathFromText(args[i]);
    } else {
      ctx.err << "usage: ardentix-cli make-samples DIR [--sd-kb N] [--voice-kb N]\n";
      return kExitUsage;
    }
  }
  if (dir.empty()) {
    ctx.err << "usage: ardentix-cli make-samples DIR [--sd-kb N] [--voice-kb N]\n";
    return kExitUsage;
  }
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  std::string problem;
  const auto package = MakeSamplePackage(spec, &problem);
  if (!package) {
    ctx.err << "ardentix-cli make-samples: " << problem << "\n";
    return kExitFailed;
  }
  const auto vlr = dir / "sample.vlr", img = dir / "sample.img";
  std::string error;
  if (!WriteFileAtomically(vlr, *package, &error) || !WriteFileAtomically(img, MakeSampleSdImage(sdBytes), &error)) {
    ctx.err << "ardentix-cli make-samples: " << error << "\n";
    return kExitFailed;
  }
  ctx.out << PathText(vlr) << " (" << package->size() << " bytes)\n" << PathText(img) << " (" << sdBytes << " bytes)\n";
  return kExitOk;
}

}  // namespace ardentix::cli
