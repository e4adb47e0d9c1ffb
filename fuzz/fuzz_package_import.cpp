// Imports arbitrary bytes as a flash package in a scratch station folder and
// checks what the import promises: a refused package changes no section file;
// an accepted one is split exactly as its header says; and assembling its
// sections gives an image that imports back to the same sections.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "burnfiles/assemble.h"
#include "burnfiles/import.h"
#include "burnfiles/texts.h"

namespace {

namespace fs = std::filesystem;
using namespace ardentix;

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

void Put(const fs::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), std::streamsize(bytes.size()));
  Check(bool(out), "cannot write a scratch file");
}

std::string Get(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  Check(bool(in), "a section file is missing");
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint32_t Word(std::string_view b, size_t at) {
  return uint32_t(uint8_t(b[at])) | uint32_t(uint8_t(b[at + 1])) << 8 | uint32_t(uint8_t(b[at + 2])) << 16 |
         uint32_t(uint8_t(b[at + 3])) << 24;
}

uint32_t Sum(std::string_view b) {
  uint32_t s = 0;
  for (size_t i = 0; i < b.size(); ++i)
    if (i < 176 || i > 179) s += uint8_t(b[i]);
  return s;
}

// The scratch station lives in memory when it can: the import fsyncs. libFuzzer
// ends without running exit handlers, so each run sweeps away the folders of
// runs that are gone.
const fs::path& StationDir() {
  static const fs::path dir = [] {
    const fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    const std::string prefix = "ardentix-fuzz-";
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(base, ec)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind(prefix, 0) != 0) continue;
      const long pid = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
      if (pid > 0 && ::kill(pid_t(pid), 0) != 0 && errno == ESRCH) fs::remove_all(entry.path(), ec);
    }
    const fs::path mine = base / (prefix + std::to_string(::getpid()));
    fs::remove_all(mine, ec);
    fs::create_directories(mine, ec);
    Check(!ec, "cannot create the scratch station folder");
    return mine;
  }();
  return dir;
}

void ExpectOnlySectionFiles(const fs::path& folder) {
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    Check(name == "1.bin" || name == "2.bin" || name == "3.bin" || name == "4.bin", "a stray file in BurnFile");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const fs::path dir = StationDir();
  const fs::path package = dir / "input.vlr";
  BurnFileSet set;
  SetProgramDirectory(set, dir);
  fs::create_directories(SectionFolder(set));
  Put(set.firmwareSectionPath, "prior 1");
  Put(set.voiceSectionPath, "prior 2");
  Put(set.sysconfigSectionPath, "prior 3");
  Put(set.assembledImagePath, "prior 4");
  Put(package, input);
  set.sysconfigReplaced = true;

  const ImportResult r = ImportBurnPackage(set, package);
  Check(set.flashPackagePath == package, "flashPackagePath is not the chosen file");
  Check(set.sysconfigReplaced && !set.voiceReplaced, "the import changed a replaced flag");
  ExpectOnlySectionFiles(SectionFolder(set));

  if (!r.ok) {
    Check(r.message == kMsgFormatError, "a refusal other than the format error");
    Check(!set.packageLoaded, "packageLoaded after a refusal");
    Check(Get(set.firmwareSectionPath) == "prior 1" && Get(set.voiceSectionPath) == "prior 2" &&
              Get(set.sysconfigSectionPath) == "prior 3" && Get(set.assembledImagePath) == "prior 4",
          "a refused package touched the section files");
    return 0;
  }

  // Accepted: the header held, the checksum too, and the files are the sections.
  Check(size >= 204, "a package shorter than its header was accepted");
  const uint32_t stored = Word(input, 176);
  Check(stored == 0x12345678 || stored == Sum(input), "a wrong checksum was accepted");
  Check(set.packageLoaded && !fs::exists(set.assembledImagePath), "accepted, but not loaded or 4.bin left");
  Check(std::equal(set.packageUserId.begin(), set.packageUserId.end(), data + 184), "userId not taken");
  Check(r.caption == MainWindowCaption(r.firmwareInfo), "caption");
  const std::string s1 = Get(set.firmwareSectionPath), s2 = Get(set.voiceSectionPath),
                    s3 = Get(set.sysconfigSectionPath);
  Check(s1.size() == r.firmwareSectionSize && s2.size() == r.voiceSectionSize && s3.size() == r.sysconfigSectionSize,
        "reported sizes differ from the files");
  Check(s1.size() % 512 == 0 && s1.size() < size + 512, "1.bin is not whole 512-byte blocks of the file");
  Check(s1.size() == 0 || s1.size() >= 512, "1.bin holds no whole header");
  const size_t inFile = std::min(s1.size(), size);
  Check(s1.compare(0, inFile, input, 0, inFile) == 0, "1.bin is not the start of the package");
  Check(s1.find_first_not_of('\xFF', inFile) == std::string::npos, "1.bin is padded with something other than FF");
  // A file that ends inside section 1's rounding reads as padded with FF.
  const std::string padded = input + std::string(s1.size() > size ? s1.size() - size : 0, '\xFF');
  if (s1.empty()) Check(s2.empty(), "a voice section without a firmware section");
  else Check(padded.compare(s1.size(), s2.size(), s2) == 0, "2.bin is not the bytes after section 1");
  Check(s3.empty() || padded.find(s3) != std::string::npos, "3.bin is not from the package");

  if (s1.size() < 204) return 0;  // the assembly refuses a section 1 without a header

  // Round trip: assemble, import the image, compare.
  const fs::path image = dir / "image.vlr";
  const AssembleResult a = AssembleFlashImage(set, image);
  if (!a.ok) {
    Check(a.message.find("firmware info") != std::string::npos, "the assembly refused a valid import");
    return 0;
  }
  const std::string built = Get(image);
  Check(Word(built, 176) == Sum(built), "the assembled image's checksum is wrong");
  set.packageUserId = {};
  const ImportResult back = ImportBurnPackage(set, image);
  Check(back.ok, "an assembled image was refused");
  const std::string t1 = Get(set.firmwareSectionPath);
  Check(t1.size() == s1.size(), "1.bin changed length on the round trip");
  Check(t1.compare(0, 160, s1, 0, 160) == 0 && t1.compare(180, 4, s1, 180, 4) == 0 &&
            t1.compare(184, std::string::npos, s1, 184, std::string::npos) == 0,
        "1.bin changed outside the header words on the round trip");
  Check(Get(set.voiceSectionPath) == s2.substr(0, s2.size() & ~size_t(1)), "2.bin changed on the round trip");
  Check(Get(set.sysconfigSectionPath) == s3.substr(0, s3.size() & ~size_t(1)), "3.bin changed on the round trip");
  Check(back.firmwareInfo.size() <= 52, "firmware info longer than 52 bytes");
  fs::remove(image);
  return 0;
}
