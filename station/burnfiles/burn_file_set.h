// The chosen burn files and the package state: one record for the whole run
// of the station, changed only on the window's thread.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>

namespace ardentix {

inline constexpr size_t kUserIdSize = 20;
using PackageUserId = std::array<uint8_t, kUserIdSize>;

struct BurnFileSet {
  std::filesystem::path sd1ImagePath;
  std::filesystem::path sd2ImagePath;
  // The flash image a burn reads: the imported package, or the last assembled image.
  std::filesystem::path flashPackagePath;
  // The package last imported: flashPackagePath may be the assembled image made from it.
  std::filesystem::path importedPackagePath;
  std::filesystem::path programDirectory;
  std::filesystem::path firmwareSectionPath;   // BurnFile/1.bin
  std::filesystem::path voiceSectionPath;      // BurnFile/2.bin
  std::filesystem::path sysconfigSectionPath;  // BurnFile/3.bin
  std::filesystem::path assembledImagePath;    // BurnFile/4.bin
  PackageUserId packageUserId{};               // zero until a package is imported
  bool packageLoaded = false;
  bool voiceReplaced = false;
  bool sysconfigReplaced = false;
  // The sections the assembled image in force replaced: they stay replaced
  // in what is burned until another package is imported.
  bool voiceInImage = false;
  bool sysconfigInImage = false;
};

inline constexpr const char* kSectionFolderName = "BurnFile";

inline std::filesystem::path SectionFolder(const BurnFileSet& set) {
  return set.programDirectory / kSectionFolderName;
}

// Sets the program directory and the four section paths under it. The paths
// are fixed by the folder alone, so they are built here rather than on the
// first import: a fresh process (the command line) can reach the section files
// left by an earlier run.
inline void SetProgramDirectory(BurnFileSet& set, const std::filesystem::path& dir) {
  set.programDirectory = dir;
  const std::filesystem::path folder = SectionFolder(set);
  set.firmwareSectionPath = folder / "1.bin";
  set.voiceSectionPath = folder / "2.bin";
  set.sysconfigSectionPath = folder / "3.bin";
  set.assembledImagePath = folder / "4.bin";
}

// The SD image buttons only record the choice; START checks that the file exists.
inline void ChooseSd1Image(BurnFileSet& set, const std::filesystem::path& chosen) { set.sd1ImagePath = chosen; }
inline void ChooseSd2Image(BurnFileSet& set, const std::filesystem::path& chosen) { set.sd2ImagePath = chosen; }

}  // namespace ardentix
