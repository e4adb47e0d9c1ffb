// The package format: word addresses, rounding, checksum, and which headers
// describe a well-formed image.
#include <gtest/gtest.h>

#include <limits>

#include "burnfiles/package.h"
#include "burnfiles_fixture.h"

namespace ardentix {
namespace {

using bftest::W;

TEST(WordAddress, ConvertsBothWays) {
  struct Case {
    uint64_t offset;
    uint32_t word;
  };
  for (const Case& c : {Case{0, 0x400000}, Case{1, 0x400000}, Case{514, 0x400101}, Case{515, 0x400101},
                        Case{1024, 0x400200}, Case{0xFFFFFFFE, 0x803FFFFF}, Case{0xFFFFFFFF, 0x803FFFFF}}) {
    SCOPED_TRACE(c.offset);
    EXPECT_EQ(WordAddressOf(c.offset), c.word);
    EXPECT_EQ(ByteOffsetOf(c.word), c.offset & ~uint64_t(1));
  }
  EXPECT_EQ(ByteOffsetOf(0x3FFFFF), std::nullopt);
  EXPECT_EQ(ByteOffsetOf(0), std::nullopt);
  // In 32-bit arithmetic these wrap to small offsets; they name bytes past 4 GiB.
  EXPECT_EQ(ByteOffsetOf(0x80400000), 0x100000000ull);
  EXPECT_EQ(ByteOffsetOf(0xFFFFFFFF), 2 * uint64_t(0xFFFFFFFF - 0x400000));
}

TEST(WordAddress, RoundsSectionsUpTo512) {
  for (auto [in, out] : {std::pair<uint64_t, uint64_t>{0, 0}, {1, 512}, {204, 512}, {512, 512}, {513, 1024},
                         {514, 1024}, {0xFFFFFE01, 0x100000000}}) {
    EXPECT_EQ(RoundUpToSector(in), out) << in;
  }
}

TEST(Checksum, LeavesOutTheChecksumFieldAndWraps) {
  std::string a = bftest::Pattern(1000);
  std::string b = a;
  for (size_t i = 176; i < 180; ++i) b[i] = char(0xEE);
  EXPECT_EQ(ComputePackageChecksum(a), bftest::SumWithoutChecksumField(a));
  EXPECT_EQ(ComputePackageChecksum(a), ComputePackageChecksum(b));

  // Taken in pieces that split the checksum field, the sum is the same.
  PackageChecksum pieces;
  const size_t cuts[] = {0, 177, 178, 181, 500, b.size()};
  for (size_t i = 0; i + 1 < std::size(cuts); ++i) pieces.Add(std::string_view(b).substr(cuts[i], cuts[i + 1] - cuts[i]));
  EXPECT_EQ(pieces.value(), ComputePackageChecksum(a));

  // 16,843,010 bytes of 0xFF sum to 2^32 + 30; the total keeps the low 32 bits.
  const std::string ff(16843010 + 4, '\xFF');
  EXPECT_EQ(ComputePackageChecksum(ff), uint32_t(uint64_t(255) * 16843010));
}

struct LayoutCase {
  const char* name;
  uint64_t size;
  bftest::HeaderWords words;
  bool ok;
  ByteRange firmware{}, voice{}, sysconfig{};
  bool voicePresent = false, sysconfigPresent = false;
  const char* problem = "";  // part of the reason given for a refusal
};

TEST(Layout, AcceptsWellFormedHeadersAndRefusesTheRest) {
  const uint64_t fourGiB = uint64_t(1) << 32;
  const LayoutCase cases[] = {
      {"three sections", 3072, {W(1024), W(2000), W(2048), W(3000)}, true, {0, 1024}, {1024, 2000}, {2048, 3000},
       true, true},
      {"firmwareEnd 514 rounds to 1024", 3072, {W(514), W(1500), 0, 0}, true, {0, 1024}, {1024, 1500}, {}, true},
      {"voice and sysconfig end at the end of the file", 3072, {W(1024), W(2048), W(2048), W(3072)}, true,
       {0, 1024}, {1024, 2048}, {2048, 3072}, true, true},
      {"sysconfigStart rounds up", 3072, {W(1024), W(1024), W(1100), W(2000)}, true, {0, 1024}, {1024, 1024},
       {1536, 2000}, true, true},
      {"sysconfigStart zero: no section 3", 3072, {W(1024), W(2000), 0, W(3000)}, true, {0, 1024}, {1024, 2000},
       {}, true, false},
      {"sysconfigEnd zero: no section 3", 3072, {W(1024), W(2000), W(2048), 0}, true, {0, 1024}, {1024, 2000}, {},
       true, false},
      {"firmwareEnd zero: sections 1 and 2 empty", 3072, {0, W(2000), W(2048), W(3000)}, true, {}, {},
       {2048, 3000}, false, true},
      {"all words zero", 204, {0, 0, 0, 0, W(0)}, true},
      {"file ends inside section 1's rounding", 700, {W(700), W(1024), 0, 0}, true, {0, 1024}, {1024, 1024}, {},
       true},
      {"firmware info at the last even byte", 3072, {W(1024), W(2000), 0, 0, W(3070)}, true, {0, 1024},
       {1024, 2000}, {}, true},

      {"shorter than the header", 203, {0, 0, 0, 0, W(0)}, false, {}, {}, {}, false, false, "shorter"},
      {"more than 4 GiB", fourGiB, {W(1024), W(2000), 0, 0}, false, {}, {}, {}, false, false, "more than"},
      {"more flash than a burn reaches", (16u << 20) + 2, {W(1024), W(2000), 0, 0}, false, {}, {}, {}, false,
       false, "bytes of flash a burn can reach"},
      {"as much flash as a burn reaches", 16u << 20, {W(1024), W(16u << 20), 0, 0}, true, {0, 1024},
       {1024, 16u << 20}, {}, true},
      {"firmwareEnd below 0x400000", 3072, {0x3FFFFF, W(2000), 0, 0}, false, {}, {}, {}, false, false,
       "firmwareEnd 0x003FFFFF is below"},
      {"firmwareEnd at 0x400000 puts the header in section 2", 3072, {W(0), W(2000), 0, 0}, false, {}, {}, {},
       false, false, "header outside"},
      {"voiceEnd zero while firmwareEnd is set", 3072, {W(1024), 0, 0, 0}, false, {}, {}, {}, false, false,
       "voiceEnd is 0"},
      {"voiceEnd below 0x400000", 3072, {W(1024), 0x1000, 0, 0}, false, {}, {}, {}, false, false, "below"},
      {"voiceEnd before the rounded start of section 2", 3072, {W(514), W(600), 0, 0}, false, {}, {}, {}, false,
       false, "before section 2"},
      {"voiceEnd beyond the file", 3072, {W(1024), W(3074), 0, 0}, false, {}, {}, {}, false, false, "beyond"},
      {"firmwareEnd beyond the file", 3072, {W(3584), W(3584), 0, 0}, false, {}, {}, {}, false, false, "beyond"},
      {"short file with voice data past its end", 700, {W(700), W(1100), 0, 0}, false, {}, {}, {}, false, false,
       "beyond"},
      {"sysconfigEnd before the rounded start", 3072, {W(1024), W(1024), W(1100), W(1400)}, false, {}, {}, {},
       false, false, "before section 3"},
      {"sysconfigEnd beyond the file", 3072, {W(1024), W(1024), W(2048), W(3074)}, false, {}, {}, {}, false, false,
       "beyond"},
      {"sysconfigStart below 0x400000", 3072, {W(1024), W(1024), 0x10, W(3000)}, false, {}, {}, {}, false, false,
       "sysconfigStart"},
      {"firmware info address zero", 3072, {W(1024), W(2000), 0, 0, 0}, false, {}, {}, {}, false, false,
       "firmwareInfoAddress"},
      {"firmware info address at the end of the file", 3072, {W(1024), W(2000), 0, 0, W(3072)}, false, {}, {}, {},
       false, false, "firmwareInfoAddress"},
      {"words near 4 Gi", 3072, {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, W(64)}, false, {}, {}, {}, false,
       false, "beyond"},
      // 2 × 0x80400010 − 0x800000 is 0x20 in 32-bit arithmetic.
      {"firmware info word that wraps at 32 bits", 3072, {W(1024), W(2000), 0, 0, 0x80400010}, false, {}, {}, {},
       false, false, "beyond"},
      {"sysconfig words that wrap at 32 bits", 3072, {W(1024), W(1024), 0x80400400, 0x80400500}, false, {}, {}, {},
       false, false, "beyond"},
  };
  for (const LayoutCase& c : cases) {
    SCOPED_TRACE(c.name);
    PackageHeader h;
    h.firmwareEnd = c.words.firmwareEnd;
    h.voiceEnd = c.words.voiceEnd;
    h.sysconfigStart = c.words.sysconfigStart;
    h.sysconfigEnd = c.words.sysconfigEnd;
    h.firmwareInfoAddress = c.words.firmwareInfoAddress;
    std::string problem;
    const std::optional<PackageLayout> l = ComputeLayout(h, c.size, &problem);
    ASSERT_EQ(l.has_value(), c.ok) << problem;
    if (!c.ok) {
      EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
      continue;
    }
    EXPECT_EQ(l->firmware.begin, c.firmware.begin);
    EXPECT_EQ(l->firmware.end, c.firmware.end);
    EXPECT_EQ(l->voicePresent, c.voicePresent);
    EXPECT_EQ(l->voice.begin, c.voice.begin);
    EXPECT_EQ(l->voice.end, c.voice.end);
    EXPECT_EQ(l->sysconfigPresent, c.sysconfigPresent);
    EXPECT_EQ(l->sysconfig.begin, c.sysconfig.begin);
    EXPECT_EQ(l->sysconfig.end, c.sysconfig.end);
    EXPECT_EQ(l->paddedSize, std::max(c.size, c.firmware.end));
  }
}

TEST(FirmwareInfo, StopsAtZeroOr52Bytes) {
  EXPECT_EQ(FirmwareInfoText(std::string_view("ABC\0DEF", 7)), "ABC");
  EXPECT_EQ(FirmwareInfoText(std::string(60, 'x')), std::string(52, 'x'));
  EXPECT_EQ(FirmwareInfoText(""), "");
}

}  // namespace
}  // namespace ardentix
