// SD images as build systems ship them, burned on simulated devices: every
// compressed form, block maps made by bmaptool, the .sha256 beside them, and
// every bad input refused before any device is written. The files are made
// by the real tools.
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "burn/burn_engine.h"
#include "burnfiles/image_codec.h"
#include "burnfiles/sample.h"
#include "core/settings.h"
#include "core/status_codes.h"
#include "core/strings.h"
#include "station_fixture.h"

namespace ardentix::testing {
namespace {

std::string ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Sha256(const std::string& bytes) {
  auto d = NewDigest(DigestKind::Sha256);
  d->Update(bytes.data(), bytes.size());
  return d->FinishHex();
}

bool HaveTools() {
  return std::system("command -v bmaptool gzip xz bzip2 zstd zip unzip >/dev/null 2>&1") == 0;
}

constexpr uint64_t kBlock = 4096;

class SdImageBurnTest : public StationTest {
 protected:
  void SetUp() override {
    StationTest::SetUp();
    if (!HaveTools()) GTEST_SKIP() << "bmap-tools, gzip, xz-utils, bzip2, zstd, zip, unzip are needed";
  }
  void TearDown() override {
    if (engine_) engine_->WaitForWorkers();
    engine_.reset();
    StationTest::TearDown();
  }
  // Two devices with cards of `cardSectors`.
  void Start(uint64_t cardSectors) {
    const std::string card = std::to_string(cardSectors);
    StartStation(R"({"devices":[{"letter":"E","sdSectors":)" + card + R"(},{"letter":"F","sdSectors":)" + card +
                 "}]}");
    engine_ = std::make_unique<BurnEngine>(*station_);
    engine_->checkBoxes = RunSettings{1, 0, 0};
    engine_->OnCheckBoxesChanged();
  }
  // Runs a shell command in the test's folder.
  void Sh(const std::string& command) {
    ASSERT_EQ(std::system(("cd '" + dir_.string() + "' && " + command).c_str()), 0) << command;
  }
  std::string ShOut(const std::string& command) {
    const auto out = dir_ / "sh.out";
    Sh(command + " > sh.out");
    return ReadAll(out);
  }
  void Burn(const std::string& name) {
    station_->files().sd1ImagePath = dir_ / name;
    BurnToEnd(*engine_);
  }
  std::string Card(char letter, uint64_t length) {
    std::string s(length, '\0');
    EXPECT_EQ(QMR_SimPeekSd(letter, 0, reinterpret_cast<unsigned char*>(s.data()), length), 1);
    return s;
  }
  Settings FileSettings() { return LoadSettings(station_->settingsPath()); }
  // A sparse image of `blocks` blocks with data in every fourth one (the
  // rest holes bmaptool leaves unmapped); its bytes.
  std::string MakeSparseImage(const std::string& name, uint64_t blocks) {
    const std::string data = MakeSampleSdImage(blocks * kBlock, 7);
    std::string image(blocks * kBlock, '\0');
    {
      std::ofstream out(dir_ / name, std::ios::binary);
      for (uint64_t b = 0; b < blocks; b += 4) {
        out.seekp(std::streamoff(b * kBlock));
        out.write(data.data() + b * kBlock, std::streamsize(kBlock));
        image.replace(b * kBlock, kBlock, data, b * kBlock, kBlock);
      }
    }
    std::filesystem::resize_file(dir_ / name, blocks * kBlock);
    return image;
  }

  std::unique_ptr<BurnEngine> engine_;
};

TEST_F(SdImageBurnTest, EveryCompressedFormBurnsWhatItDecodesTo) {
  Start(2048);
  const struct {
    std::string name, make, decode, format;
  } cases[] = {
      {"card.img.gz", "gzip -c card.img > card.img.gz", "zcat card.img.gz", "gzip"},
      {"card.img.xz", "xz -c card.img > card.img.xz", "xzcat card.img.xz", "xz"},
      {"card.img.bz2", "bzip2 -c card.img > card.img.bz2", "bzcat card.img.bz2", "bzip2"},
      {"card.wic.zst", "zstd -q -c card.img > card.wic.zst", "zstdcat card.wic.zst", "zstd"},
      {"card.zip", "zip -q -j card.zip card.img", "unzip -p card.zip", "zip"},
      // Known by its content, whatever the name says.
      {"named-raw.img", "zstd -q -c card.img > named-raw.img", "zstdcat named-raw.img", "zstd"},
  };
  uint32_t seed = 20;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Each its own content, 1000 bytes past a sector boundary.
    const std::string raw = MakeSampleSdImage(300 * 1024 + 1000, ++seed);
    std::ofstream(dir_ / "card.img", std::ios::binary) << raw;
    Sh(c.make);
    const std::string decoded = ShOut(c.decode);
    ASSERT_EQ(decoded, raw);
    const auto passedBefore = FileSettings().PassCount;
    Burn(c.name);
    EXPECT_EQ(FileSettings().PassCount, passedBefore + 2) << (messages_.shown.empty() ? "" : messages_.shown.back());
    EXPECT_TRUE(Card('E', raw.size()) == decoded);
    EXPECT_TRUE(Card('F', raw.size()) == decoded);
    const PreparedSdImage* p = engine_->PreparedSd(0);
    ASSERT_TRUE(p);
    EXPECT_EQ(SdImageFormatName(p->format), c.format);
    EXPECT_EQ(p->size, raw.size());
    EXPECT_EQ(p->storedSize, std::filesystem::file_size(dir_ / c.name));
    EXPECT_EQ(p->sha256, Sha256(raw)) << "of the decoded image";
    EXPECT_EQ(p->data, engine_->SdCacheFile(0)) << "decoded once into the run's cache, read by every worker";
  }
  // The same file again: the checked cache is used, not decoded anew.
  const auto before = std::filesystem::last_write_time(engine_->SdCacheFile(0));
  Burn("named-raw.img");
  EXPECT_EQ(std::filesystem::last_write_time(engine_->SdCacheFile(0)), before);
  EXPECT_EQ(station_->slots().GetDeviceResult('E'), status::kSuccess);
}

TEST_F(SdImageBurnTest, ABadImageIsRefusedBeforeAnyDeviceIsWrittenOrCounted) {
  Start(1024);  // 512 KiB cards
  const std::string raw = MakeSampleSdImage(300 * 1024, 3);
  std::ofstream(dir_ / "card.img", std::ios::binary) << raw;
  std::ofstream(dir_ / "big.img", std::ios::binary) << MakeSampleSdImage(600 * 1024, 4);
  std::ofstream(dir_ / "other.bin", std::ios::binary) << "second entry";
  Sh("zstd -q -c card.img > card.img.zst && gzip -c card.img > card.img.gz");
  const std::string zeros(64, '0');
  const struct {
    std::string name, make, file;
    std::string reason;  // in the message
  } cases[] = {
      {"cut gzip", "head -c 20000 card.img.gz > cut.gz", "cut.gz", "damaged or cut short"},
      {"cut xz", "xz -c card.img | head -c 20000 > cut.xz", "cut.xz", "damaged or cut short"},
      {"cut bzip2", "bzip2 -c card.img | head -c 20000 > cut.bz2", "cut.bz2", "damaged or cut short"},
      {"cut zstd", "head -c 20000 card.img.zst > cut.zst", "cut.zst", "damaged or cut short"},
      {"cut zip", "zip -q -j whole.zip card.img && head -c 20000 whole.zip > cut.zip", "cut.zip",
       "damaged or cut short"},
      // Random data is stored, not compressed: only the gzip checksum sees a changed byte.
      {"changed gzip", "cp card.img.gz changed.gz && printf 'X' | dd of=changed.gz bs=1 seek=150000 conv=notrunc 2>/dev/null",
       "changed.gz", "damaged or cut short"},
      {"changed zstd", "cp card.img.zst changed.zst && printf 'X' | dd of=changed.zst bs=1 seek=150000 conv=notrunc 2>/dev/null",
       "changed.zst", "damaged or cut short"},
      {"zip of two files", "zip -q -j two.zip card.img other.bin", "two.zip", "holds 2 files"},
      {"encrypted zip", "zip -q -j -P secret enc.zip card.img", "enc.zip", "encrypted"},
      {"larger than the card", "zstd -q -c big.img > big.img.zst", "big.img.zst", "larger than the card of drive"},
      {"sha256 of another file", "cp card.img.zst sum.img.zst && echo '" + zeros + "  sum.img.zst' > sum.img.zst.sha256",
       "sum.img.zst", "does not match its checksum file sum.img.zst.sha256"},
      {"sha256 of another image", "cp card.img.zst dec.img.zst && echo '" + zeros + "  dec.img' > dec.img.zst.sha256",
       "dec.img.zst", "does not match its checksum file"},
      {"sha256 of a raw image", "cp card.img raw.img && echo '" + zeros + " *raw.img' > raw.img.sha256", "raw.img",
       "does not match its checksum file"},
      {"sha256 naming nothing", "cp card.img.zst n.img.zst && printf 'x  y\\n' > n.img.zst.sha256", "n.img.zst",
       "names no hash"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sh(c.make);
    messages_.shown.clear();
    Burn(c.file);
    ASSERT_FALSE(messages_.shown.empty());
    EXPECT_NE(messages_.shown.back().find(c.reason), std::string::npos) << messages_.shown.back();
    EXPECT_NE(messages_.shown.back().find("No device was written"), std::string::npos);
    EXPECT_TRUE(Card('E', raw.size()) == std::string(raw.size(), '\0')) << "nothing written";
    EXPECT_EQ(FileSettings().PassCount, 0);
    EXPECT_EQ(FileSettings().FailCount, 0) << "nothing counted";
    EXPECT_EQ(station_->slots().GetDeviceStatus('E'), DeviceStatus::Ready);
    EXPECT_FALSE(engine_->Running());
  }
  // And a good one burns afterwards.
  Sh("cp card.img.zst good.img.zst && sha256sum good.img.zst > good.img.zst.sha256");
  Burn("good.img.zst");
  EXPECT_EQ(FileSettings().PassCount, 2);
  EXPECT_TRUE(Card('E', raw.size()) == raw);
}

TEST_F(SdImageBurnTest, ABlockMapBurnsOnlyItsRangesAsBmaptoolCopyDoes) {
  constexpr uint64_t kBlocks = 256;  // 1 MiB, a quarter mapped
  Start(4096);
  const std::string pattern(kBlocks * kBlock, '\x5a');
  const struct {
    std::string name, make, copy;
    bool writeVerify, saveSdFile;
  } cases[] = {
      {"card.img", "bmaptool -q create -o card.img.bmap card.img", "bmaptool -q copy card.img dest.img", false, true},
      {"card.img.zst", "bmaptool -q create -o card.img.bmap card.img && zstd -q -f -c card.img > card.img.zst",
       "bmaptool -q copy card.img.zst dest.img", true, false},
      {"card.img.xz", "bmaptool -q create -o card.img.bmap card.img && xz -f -c card.img > card.img.xz",
       "bmaptool -q copy card.img.xz dest.img", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Every card full of a pattern first, the way a used card comes back.
    std::ofstream(dir_ / "pattern.img", std::ios::binary) << pattern;
    std::filesystem::remove(dir_ / "pattern.img.bmap");
    Burn("pattern.img");
    const std::string image = MakeSparseImage("card.img", kBlocks);
    Sh(c.make);
    Sh(c.copy);
    const std::string copied = ReadAll(dir_ / "dest.img");
    ASSERT_EQ(copied, image);
    station_->mutableSettings().WriteVerify = c.writeVerify;
    station_->mutableSettings().SaveSdFile = c.saveSdFile;
    Burn(c.name);
    ASSERT_EQ(station_->slots().GetDeviceResult('E'), status::kSuccess)
        << (messages_.shown.empty() ? "" : messages_.shown.back());
    const PreparedSdImage* p = engine_->PreparedSd(0);
    ASSERT_TRUE(p && p->mapped);
    EXPECT_EQ(p->mappedBytes, kBlocks / 4 * kBlock);
    EXPECT_EQ(p->bmapPath.filename(), "card.img.bmap");
    EXPECT_EQ(p->bmapChecksum.size(), 64u);
    for (char letter : {'E', 'F'}) {
      const std::string card = Card(letter, image.size());
      for (uint64_t b = 0; b < kBlocks; ++b) {
        const std::string got = card.substr(b * kBlock, kBlock);
        if (b % 4 == 0)
          ASSERT_TRUE(got == copied.substr(b * kBlock, kBlock)) << letter << " mapped block " << b;
        else
          ASSERT_TRUE(got == pattern.substr(b * kBlock, kBlock)) << letter << " unmapped block " << b << " untouched";
      }
    }
    const auto reports = engine_->Reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].bytesWritten, int64_t(kBlocks / 4 * kBlock)) << "only the mapped bytes";
    if (c.saveSdFile) {
      // The read-back: the mapped ranges as read, holes elsewhere.
      const auto saved = dir_ / "E.bin";
      EXPECT_EQ(ReadAll(saved), image);
#ifndef _WIN32  // Windows' stat does not say what a file takes on disk
      struct stat st {};
      ASSERT_EQ(::stat(saved.c_str(), &st), 0);
      EXPECT_LT(uint64_t(st.st_blocks) * 512, image.size()) << "unmapped ranges are holes";
#endif
    }
  }
}

TEST_F(SdImageBurnTest, ABlockMapThatDoesNotFitTheImageRefusesTheRun) {
  Start(4096);
  const struct {
    std::string name, make, reason;
  } cases[] = {
      // A changed byte in a mapped block: the range's checksum catches it.
      {"changed image", "printf 'X' | dd of=card.img bs=1 seek=5 conv=notrunc 2>/dev/null", "range 1 of the block map"},
      {"bmap edited", "sed -i 's/<BlocksCount> 256/<BlocksCount> 256 /' card.img.bmap", "own checksum"},
      {"image of another size", "truncate -s 2M card.img", "block map is for an image of 1048576 bytes"},
      {"bmap of a newer version", "sed -i 's/bmap version=\"2.0\"/bmap version=\"3.0\"/' card.img.bmap",
       "version 3.0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MakeSparseImage("card.img", 256);
    Sh("bmaptool -q create -o card.img.bmap card.img");
    Sh(c.make);
    messages_.shown.clear();
    Burn("card.img");
    ASSERT_FALSE(messages_.shown.empty());
    EXPECT_NE(messages_.shown.back().find(c.reason), std::string::npos) << messages_.shown.back();
    EXPECT_TRUE(Card('E', 8192) == std::string(8192, '\0')) << "nothing written";
    EXPECT_EQ(FileSettings().PassCount + FileSettings().FailCount, 0);
  }
}

}  // namespace
}  // namespace ardentix::testing
