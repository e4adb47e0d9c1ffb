#include "burnfiles/sample.h"

#include <cstring>

#include "burnfiles/assemble.h"
#include "burnfiles/burn_file_set.h"
#include "burnfiles/package.h"

namespace ardentix {
namespace {

constexpr size_t kInfoOffset = 256;  // firmware info text, inside section 1
constexpr size_t kInfoSize = 52;

// A small xorshift generator: the same seed always gives the same files.
struct Noise {
  uint32_t state;
  explicit Noise(uint32_t seed) : state(seed * 2654435761u + 1) {}
  uint8_t Next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return uint8_t(state);
  }
  std::string Bytes(size_t n) {
    std::string s(n, '\0');
    for (char& c : s) c = char(Next());
    return s;
  }
};

}  // namespace

std::optional<std::string> MakeSamplePackage(const SamplePackageSpec& spec, std::string* problem) {
  if (spec.firmwareBytes < 512) {
    if (problem) *problem = "the firmware section needs at least 512 bytes";
    return std::nullopt;
  }
  Noise noise(spec.seed);
  std::string firmware = noise.Bytes(spec.firmwareBytes);
  // The header area the station fills or keeps: serial number blank, words
  // written by the assembly, info text where the info address points.
  std::memset(firmware.data() + 136, 0xFF, 24);
  StoreWord(firmware, kFirmwareInfoAddressOffset, WordAddressOf(kInfoOffset));
  std::memset(firmware.data() + 206, 0, 2);
  std::memset(firmware.data() + kInfoOffset, 0, kInfoSize);
  std::memcpy(firmware.data() + kInfoOffset, spec.firmwareInfo.data(), std::min(spec.firmwareInfo.size(), kInfoSize - 1));
  const std::string voice = noise.Bytes(spec.voiceBytes);
  const std::string sysconfig = noise.Bytes(spec.sysconfigBytes);
  PackageUserId userId{};
  for (size_t i = 0; i < userId.size(); ++i) userId[i] = uint8_t(0xA0 + i);
  return BuildFlashImage(firmware, voice, sysconfig, userId, problem);
}

std::string MakeSampleSdImage(uint64_t bytes, uint32_t seed) {
  Noise noise(seed + 1000);
  std::string image = noise.Bytes(size_t(bytes));
  if (bytes >= 512) {
    // One FAT32 (LBA) partition from sector 2048 to the end of the image.
    std::memset(image.data(), 0, 512);
    const uint32_t start = 2048;
    const uint32_t sectors = uint32_t(bytes / 512) > start ? uint32_t(bytes / 512) - start : 0;
    image[446] = 0x00;
    image[450] = 0x0C;
    StoreWord(image, 454, start);
    StoreWord(image, 458, sectors);
    image[510] = 0x55;
    image[511] = char(0xAA);
  }
  return image;
}

}  // namespace ardentix
