// SD master image: the used space, the format, and the image read from a
// simulated card into the station folder, with its chunking, its failures,
// cancellation and the result the window applies.
#include "masterimage/master_image.h"

#include <gtest/gtest.h>

#include <sstream>
#include <utility>

#include "burnfiles/sd_image.h"
#include "core/files.h"

#include <sys/stat.h>

#include <cstdlib>
#include "core/strings.h"
#include "station/station_fixture.h"

namespace ardentix::testing {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kGiB = 1024 * kMiB;
constexpr uint64_t kStoreBlock = 64 * 1024;  // the simulator counts a card's use in these

struct Read {
  uint32_t sector;
  uint32_t count;
  bool operator==(const Read&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Read& r) { return os << "{" << r.sector << "," << r.count << "}"; }

class MasterImageTest : public StationTest {
 protected:
  void TearDown() override {
    QMR_SetTraceFile(nullptr);
    StationTest::TearDown();
  }

  // Non-zero bytes from sector `first` on (a blank card reads as zeros).
  static void WriteCard(char letter, uint32_t first, uint32_t sectors) {
    void* h = USB_OpenDevice(letter);
    ASSERT_NE(h, QMR_INVALID_HANDLE);
    std::vector<unsigned char> data(size_t(sectors) * 512);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t((first * 512 + i) * 7 % 251 + 1);
    EXPECT_EQ(USB_WriteSD(h, first, uint16_t(sectors), data.data()), 1);
    QMR_CloseDevice(h);
  }
  static std::string Card(char letter, uint64_t bytes) {
    std::string out(bytes, '\0');
    EXPECT_EQ(QMR_SimPeekSd(letter, 0, reinterpret_cast<unsigned char*>(out.data()), bytes), 1);
    return out;
  }

  void TraceCommands() {
    fs::remove(dir_ / "trace.txt");
    ASSERT_EQ(QMR_SetTraceFile((dir_ / "trace.txt").string().c_str()), 1);
  }
  // The READ(10) commands sent to the drive since TraceCommands.
  std::vector<Read> TracedReads(char letter) {
    QMR_SetTraceFile(nullptr);
    std::vector<Read> reads;
    std::istringstream in(ReadWholeFile(dir_ / "trace.txt").value_or(""));
    for (std::string line; std::getline(in, line);) {
      if (line.rfind(std::string(1, letter) + " 28 ", 0) != 0) continue;
      std::istringstream fields(line.substr(2));
      unsigned cdb[16];
      for (unsigned& b : cdb) fields >> std::hex >> b;
      reads.push_back({cdb[2] << 24 | cdb[3] << 16 | cdb[4] << 8 | cdb[5], cdb[7] << 8 | cdb[8]});
    }
    return reads;
  }

  fs::path ImagePath(char letter = 'E') const { return dir_ / (std::string("Image_") + letter + ".bin"); }
  bool PartialLeft() const {
    for (const auto& entry : fs::directory_iterator(dir_))
      if (TemporaryOwner(entry.path())) return true;
    return false;
  }
};

TEST_F(MasterImageTest, UsedSpaceIsTotalMinusFreeAndZeroWhenUnknown) {
  StartStation("1");
  EXPECT_EQ(MeasureUsedSpace(host_, 'E'), 0u);
  WriteCard('E', 0, 1);
  WriteCard('E', 1000, 300);  // bytes 512,000 to 665,599: store blocks 7 to 10
  EXPECT_EQ(MeasureUsedSpace(host_, 'E'), 5 * kStoreBlock);
  EXPECT_EQ(MeasureUsedSpace(host_, 'Q'), 0u) << "no such drive";

  const std::optional<MasterImageJob> job = PrepareSdMasterImage(*station_);
  ASSERT_TRUE(job);
  EXPECT_EQ(job->letter, 'E');
  EXPECT_EQ(job->imagePath, dir_ / "Image_E.bin");
  EXPECT_EQ(job->usedBytes, 5 * kStoreBlock);
}

TEST(MasterImageSize, UsedSpacePlusTenMiBUpToTheCardsEnd) {
  const struct {
    uint64_t used, card, size;
  } cases[] = {
      {4096000, 0, 14581760},
      {4096000, 8 * kGiB, 14581760},
      {0, 0, 10 * kMiB},
      {3 * kGiB, 0, 3 * kGiB + 10 * kMiB},  // beyond 32 bits
      {3 * kGiB, 8 * kGiB, 3 * kGiB + 10 * kMiB},
      {15 * kMiB, 20 * kMiB, 20 * kMiB},  // a nearly full card
      {~0ull - 5, 0, ~0ull},
  };
  for (const auto& c : cases) EXPECT_EQ(MasterImageSize(c.used, c.card), c.size) << c.used << " on " << c.card;
}

TEST_F(MasterImageTest, ReadsTheCardIn120SectorChunksAndWritesOnlyTheImagesBytes) {
  const struct {
    uint64_t used;
    uint64_t size;
    size_t reads;
    Read last;
  } cases[] = {
      {4096000, 14581760, 238, {28440, 40}},   // 237 full chunks and 20,480 bytes
      {1000, 10486760, 171, {20400, 82}},      // the last 41,960 bytes end inside a sector
  };
  StartStation("1");
  // Data in the first sector and in the sectors around both images' ends.
  WriteCard('E', 0, 1);
  WriteCard('E', 20470, 20);
  WriteCard('E', 28470, 20);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.used);
    std::vector<std::pair<uint64_t, uint64_t>> progress;
    TraceCommands();
    const MasterImageResult result = CreateSdMasterImage(
        MasterImageJob{'E', ImagePath(), c.used}, [&](uint64_t done, uint64_t total) { progress.push_back({done, total}); });
    const std::vector<Read> reads = TracedReads('E');

    EXPECT_EQ(result.outcome, MasterImageOutcome::Created);
    EXPECT_EQ(result.imageBytes, c.size);
    ASSERT_EQ(reads.size(), c.reads);
    for (size_t i = 0; i + 1 < reads.size(); ++i) ASSERT_EQ(reads[i], (Read{uint32_t(120 * i), 120})) << i;
    EXPECT_EQ(reads.back(), c.last);
    EXPECT_EQ(ReadWholeFile(ImagePath()), Card('E', c.size));
    ASSERT_EQ(progress.size(), c.reads + 1);
    EXPECT_EQ(progress.front(), std::make_pair(uint64_t(0), c.size));
    EXPECT_EQ(progress[1], std::make_pair(uint64_t(61440), c.size));
    EXPECT_EQ(progress.back(), std::make_pair(c.size, c.size));
    EXPECT_FALSE(PartialLeft());
  }
}

TEST_F(MasterImageTest, ANearlyFullCardIsReadToItsEndOnly) {
  StartStation(R"({"devices":[{"letter":"E","sdSectors":40960}]})");  // 20 MiB
  for (uint32_t block = 0; block < 192; ++block) WriteCard('E', block * 128, 1);  // 12 MiB used
  const std::optional<MasterImageJob> job = PrepareSdMasterImage(*station_);
  ASSERT_TRUE(job);
  ASSERT_EQ(job->usedBytes, 12 * kMiB);
  const MasterImageResult result = CreateSdMasterImage(*job);
  EXPECT_EQ(result.outcome, MasterImageOutcome::Created) << result.message;
  EXPECT_EQ(ReadWholeFile(ImagePath()), Card('E', 20 * kMiB));
}

#ifndef _WIN32
// Sparse with its block map, and zstd: what bmaptool copy takes and writes
// back as the card held it; and what the burn takes.
TEST_F(MasterImageTest, SparseAndCompressedImagesWithTheirBlockMapAreReadByBmaptool) {
  if (std::system("command -v bmaptool zstd >/dev/null 2>&1") != 0) GTEST_SKIP() << "bmap-tools and zstd are needed";
  StartStation(R"({"devices":[{"letter":"E","sdSectors":40960}]})");  // 20 MiB
  WriteCard('E', 0, 3);
  WriteCard('E', 1000, 24);
  WriteCard('E', 40900, 60);  // up to the card's end
  const struct {
    std::string name;
    bool sparse, zstd;
  } cases[] = {{"Image_E.bin", true, false}, {"Image_E.bin.zst", false, true}, {"both.img.zst", true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MasterImageJob job{'E', dir_ / c.name, 20 * kMiB};
    job.sparse = c.sparse;
    job.zstd = c.zstd;
    const MasterImageResult result = CreateSdMasterImage(job);
    ASSERT_EQ(result.outcome, MasterImageOutcome::Created) << result.detail;
    const fs::path bmap = MasterImageBlockMapPath(job.imagePath);
    EXPECT_EQ(bmap.filename(), c.name == "both.img.zst" ? "both.img.bmap" : "Image_E.bin.bmap");
    BlockMap map;
    std::string error;
    ASSERT_TRUE(ParseBlockMap(*ReadWholeFile(bmap), map, error)) << error;
    EXPECT_EQ(map.imageSize, 20 * kMiB);
    EXPECT_EQ(map.ranges.size(), 3u) << "the three written places, zero blocks unmapped";
    fs::remove(dir_ / "dest.img");
    ASSERT_EQ(std::system(("cd '" + dir_.string() + "' && bmaptool -q copy --bmap '" + bmap.string() + "' '" +
                           c.name + "' dest.img")
                              .c_str()),
              0);
    EXPECT_TRUE(ReadWholeFile(dir_ / "dest.img") == Card('E', 20 * kMiB));
    if (c.sparse && !c.zstd) {
      EXPECT_TRUE(ReadWholeFile(job.imagePath) == Card('E', 20 * kMiB));
      struct stat st {};
      ASSERT_EQ(::stat(job.imagePath.c_str(), &st), 0);
      EXPECT_LT(uint64_t(st.st_blocks) * 512, 20 * kMiB) << "zero blocks are holes";
    }
    // The burn takes it as it is.
    PreparedSdImage prepared;
    SdPrepareOptions options;
    options.cacheFile = dir_ / "cache.img";
    ASSERT_TRUE(PrepareSdImage(job.imagePath, options, prepared, error)) << error;
    EXPECT_TRUE(prepared.mapped);
    EXPECT_EQ(prepared.size, 20 * kMiB);
  }
}
#endif  // bmaptool and sparse files are checked where they exist

TEST_F(MasterImageTest, WithoutASelectedDriveNothingIsDone) {
  for (const bool withDevice : {false, true}) {
    SCOPED_TRACE(withDevice ? "a drive, none selected" : "no drive");
    StartStation(withDevice ? "1" : R"({"devices":[]})");
    station_->SelectMasterImageDrive(-1);
    if (withDevice) WriteCard('E', 0, 1);
    station_->files().sd1ImagePath = dir_ / "chosen.bin";

    EXPECT_EQ(PrepareSdMasterImage(*station_), std::nullopt);
    EXPECT_FALSE(FormatCardDrive(*station_).attempted);
    EXPECT_EQ(station_->files().sd1ImagePath, dir_ / "chosen.bin");
    EXPECT_TRUE(messages_.shown.empty());
    EXPECT_FALSE(fs::exists(ImagePath()));
    if (withDevice) {
      EXPECT_EQ(MeasureUsedSpace(host_, 'E'), kStoreBlock) << "not formatted";
    }

    host_.StopWatching();
    station_.reset();
  }
}

TEST_F(MasterImageTest, ASuccessReplacesTheOldImageAndBecomesTheSd1Image) {
  StartStation("2");
  station_->SelectMasterImageDrive(1);
  WriteCard('F', 0, 256);
  WriteText(ImagePath('F'), std::string(30 * kMiB, 'o'));  // larger than the new image
  const std::optional<MasterImageJob> job = PrepareSdMasterImage(*station_);
  ASSERT_TRUE(job);

  const MasterImageResult result = CreateSdMasterImage(*job);
  ASSERT_EQ(result.outcome, MasterImageOutcome::Created);
  EXPECT_EQ(result.sd1ImagePath, ImagePath('F'));
  EXPECT_TRUE(result.showPathInEdit);
  EXPECT_EQ(ReadWholeFile(ImagePath('F')), Card('F', 2 * kStoreBlock + 10 * kMiB));
  EXPECT_FALSE(PartialLeft());

  ApplySdMasterImageResult(*station_, result);
  EXPECT_EQ(messages_.shown, std::vector<std::string>{"Create Image Success !!"});
  EXPECT_EQ(messages_.captions, std::vector<std::string>{"KPL4092E OID MP Tool"});
  EXPECT_EQ(station_->files().sd1ImagePath, ImagePath('F'));
}

TEST_F(MasterImageTest, AFailureKeepsTheEarlierImageAndTheSd1Choice) {
  const std::string oldImage = "the image of an earlier run";
  const struct {
    const char* what;
    const char* fault;  // on E, once the station runs
    bool folderMissing;
    MasterImageOutcome outcome;
    const char* message;
  } cases[] = {
      {"fourth read fails", R"({"on":"sd-read","after":3})", false, MasterImageOutcome::ReadFailed,
       "Read Data from SD Fail !!"},
      {"device does not open", R"({"on":"open"})", false, MasterImageOutcome::OpenFailed, "Open Device Fail !!"},
      {"file cannot be created", nullptr, true, MasterImageOutcome::FileCreateFailed, "Create Image File Fail !!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    StartStation("1");
    WriteText(ImagePath(), oldImage);
    station_->files().sd1ImagePath = dir_ / "chosen.bin";
    messages_.shown.clear();
    messages_.captions.clear();
    std::optional<MasterImageJob> job = PrepareSdMasterImage(*station_);
    ASSERT_TRUE(job);
    if (c.folderMissing) job->imagePath = dir_ / "missing" / "Image_E.bin";
    if (c.fault) {
      ASSERT_EQ(QMR_SimAddFault('E', c.fault, nullptr, 0), 1);
    }

    TraceCommands();
    const MasterImageResult result = CreateSdMasterImage(*job);
    const std::vector<Read> reads = TracedReads('E');
    EXPECT_EQ(result.outcome, c.outcome);
    EXPECT_EQ(result.sd1ImagePath, std::nullopt);
    EXPECT_FALSE(result.showPathInEdit);
    EXPECT_EQ(ReadWholeFile(ImagePath()), oldImage);
    EXPECT_FALSE(PartialLeft());
    if (c.outcome == MasterImageOutcome::ReadFailed) {
      EXPECT_EQ(reads.size(), 4u) << "no read after the failed one";
    }
    if (c.outcome == MasterImageOutcome::FileCreateFailed) {
      EXPECT_NE(result.detail, "");
    }

    ApplySdMasterImageResult(*station_, result);
    EXPECT_EQ(messages_.shown, std::vector<std::string>{c.message});
    EXPECT_EQ(messages_.captions, std::vector<std::string>{"KPL4092E OID MP Tool"});
    EXPECT_EQ(station_->files().sd1ImagePath, dir_ / "chosen.bin");

    host_.StopWatching();
    station_.reset();
    QMR_SimConfigure(nullptr, nullptr, 0);
  }
}

TEST_F(MasterImageTest, CancellingStopsBeforeTheNextReadAndRemovesThePartialFile) {
  StartStation("1");
  WriteText(ImagePath(), "earlier image");
  std::stop_source stop;
  TraceCommands();
  const MasterImageResult result =
      CreateSdMasterImage(MasterImageJob{'E', ImagePath(), 0}, [&](uint64_t done, uint64_t) {
        if (done == 2 * 61440) stop.request_stop();
      }, stop.get_token());
  EXPECT_EQ(TracedReads('E').size(), 2u);
  EXPECT_EQ(result.outcome, MasterImageOutcome::Cancelled);
  EXPECT_EQ(ReadWholeFile(ImagePath()), "earlier image");
  EXPECT_FALSE(PartialLeft());

  ApplySdMasterImageResult(*station_, result);
  EXPECT_EQ(messages_.shown, std::vector<std::string>{"Create Image Cancelled !!"});
  EXPECT_EQ(station_->files().sd1ImagePath, fs::path());
}

TEST_F(MasterImageTest, FormatEmptiesTheSelectedCardOrSaysWhyNot) {
  const struct {
    const char* what;
    bool unplugged;  // gone, but the removal check has not run yet
    bool burning;
    bool attempted, failed;
    std::string message;
  } cases[] = {
      {"formatted", false, false, true, false, ""},
      {"device gone", true, false, true, true, "Drive F: could not be formatted."},
      {"a burn runs", false, true, false, true, "A burn is running: the card is not formatted."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    StartStation("2");
    station_->SelectMasterImageDrive(1);
    WriteCard('E', 0, 1);
    WriteCard('F', 0, 1);
    if (c.unplugged) {
      ASSERT_EQ(QMR_SimUnplug('F'), 1);
    }
    station_->BurnRunning = c.burning ? 1 : 0;

    const FormatCardResult result = FormatCardDrive(*station_);
    EXPECT_EQ(result.attempted, c.attempted);
    EXPECT_EQ(result.failed, c.failed);
    EXPECT_EQ(result.message, c.message);
    if (!c.unplugged) {
      EXPECT_EQ(MeasureUsedSpace(host_, 'F'), c.burning ? kStoreBlock : 0u);
    }
    station_->BurnRunning = 0;
    EXPECT_EQ(MeasureUsedSpace(host_, 'E'), kStoreBlock) << "only the selected drive";

    host_.StopWatching();
    station_.reset();
  }
}

}  // namespace
}  // namespace ardentix::testing
