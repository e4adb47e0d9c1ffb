#include "core/platform_files.h"

#include <atomic>

namespace ardentix {
namespace {

std::atomic<PlatformFiles*> standIn{nullptr};

}  // namespace

PlatformFiles& Platform() {
  PlatformFiles* files = standIn.load();
  return files != nullptr ? *files : OsPlatformFiles();
}

void SetPlatformFilesForTesting(PlatformFiles* files) { standIn.store(files); }

std::string PathText(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

std::filesystem::path PathFromText(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

}  // namespace ardentix
