// Sample burn files for the demo, training and tests: a flash package with a
// firmware section (header, firmware info text), voice and system
// configuration sections, and an SD card image.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ardentix {

struct SamplePackageSpec {
  uint32_t firmwareBytes = 64 * 1024;  // section 1, header included (at least 512)
  uint32_t voiceBytes = 448 * 1024;
  uint32_t sysconfigBytes = 4 * 1024;
  std::string firmwareInfo = "RQ4820 sample firmware 1.0";
  uint32_t seed = 1;
};

// A checksummed package; nullopt when the spec cannot make one.
std::optional<std::string> MakeSamplePackage(const SamplePackageSpec& spec, std::string* problem = nullptr);

// A card image of `bytes` bytes: a partition table in sector 0 and
// pseudo-random content after it, different for each seed.
std::string MakeSampleSdImage(uint64_t bytes, uint32_t seed = 1);

}  // namespace ardentix
