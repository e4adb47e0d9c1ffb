// SD image files: the compression recognised by content, block maps of every
// version read and bad ones refused, sha256sum lines.
#include <gtest/gtest.h>

#include <string>

#include "burnfiles/sd_image.h"

namespace ardentix {
namespace {

TEST(SdImageFormat, IsRecognisedByTheFirstBytes) {
  const struct {
    std::string head;
    SdImageFormat format;
  } cases[] = {
      {std::string("\x1f\x8b\x08\x00", 4), SdImageFormat::Gzip},
      {std::string("\xfd" "7zXZ\0\0", 7), SdImageFormat::Xz},
      {"BZh91AY&SY", SdImageFormat::Bzip2},
      {std::string("\x28\xb5\x2f\xfd\x04", 5), SdImageFormat::Zstd},
      {"PK\x03\x04\x14\x00", SdImageFormat::Zip},
      // Near misses stay raw: a card image may begin with anything.
      {"BZhX", SdImageFormat::Raw},
      {"PK\x05\x06", SdImageFormat::Raw},
      {std::string("\x1f", 1), SdImageFormat::Raw},
      {std::string(512, '\0'), SdImageFormat::Raw},
      {"", SdImageFormat::Raw},
  };
  for (const auto& c : cases) EXPECT_EQ(DetectSdImageFormat(c.head), c.format) << SdImageFormatName(c.format);
}

const std::string kSha1A(40, 'a'), kSha256A(64, 'a');

std::string Bmap(const std::string& version, const std::string& head, const std::string& ranges) {
  return "<?xml version=\"1.0\" ?>\n<!-- a <MappedBlocksCount> in a comment is not one -->\n<bmap version=\"" +
         version + "\">\n" + head + "<BlockMap>\n" + ranges + "</BlockMap>\n</bmap>\n";
}

// 10 blocks of 4096 bytes, the last one 100 bytes short.
const std::string kSizes =
    "<ImageSize> 40860 </ImageSize><BlockSize> 4096 </BlockSize><BlocksCount> 10 </BlocksCount>";

TEST(BlockMap, EveryVersionFromOneToTwoIsRead) {
  const struct {
    std::string name, text;
    DigestKind type;
    bool fileChecksum;
  } cases[] = {
      {"1.2 without checksums",
       Bmap("1.2", kSizes + "<MappedBlocksCount>4</MappedBlocksCount>", "<Range> 0-1 </Range><Range>8-9</Range>"),
       DigestKind::Sha1, false},
      {"1.3 SHA-1",
       Bmap("1.3", kSizes + "<MappedBlocksCount>4</MappedBlocksCount><BmapFileSHA1> " + kSha1A + " </BmapFileSHA1>",
            "<Range sha1=\"" + kSha1A + "\"> 0-1 </Range><Range sha1=\"" + kSha1A + "\">8-9</Range>"),
       DigestKind::Sha1, true},
      {"1.4 SHA-256",
       Bmap("1.4",
            kSizes + "<MappedBlocksCount>4</MappedBlocksCount><ChecksumType>sha256</ChecksumType><BmapFileChecksum>" +
                kSha256A + "</BmapFileChecksum>",
            "<Range chksum=\"" + kSha256A + "\">0-1</Range><Range chksum=\"" + kSha256A + "\">8-9</Range>"),
       DigestKind::Sha256, true},
      {"2.0 SHA-1",
       Bmap("2.0",
            kSizes + "<MappedBlocksCount>4</MappedBlocksCount><ChecksumType>sha1</ChecksumType><BmapFileChecksum>" +
                kSha1A + "</BmapFileChecksum>",
            "<Range chksum=\"" + kSha1A + "\">0-1</Range><Range chksum='" + kSha1A + "'>8-9</Range>"),
       DigestKind::Sha1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BlockMap map;
    std::string error;
    ASSERT_TRUE(ParseBlockMap(c.text, map, error)) << error;
    EXPECT_EQ(map.checksumType, c.type);
    ASSERT_EQ(map.ranges.size(), 2u);
    EXPECT_EQ(map.Bytes(map.ranges[0]), (ImageRange{0, 8192}));
    EXPECT_EQ(map.Bytes(map.ranges[1]), (ImageRange{32768, 40860})) << "the last block ends at the image's end";
    EXPECT_EQ(map.MappedBytes(), 8192u + 8092u);
    EXPECT_EQ(!map.fileChecksum.empty(), c.fileChecksum);
    if (c.fileChecksum) {
      // The text the file's checksum was taken over: its own value zeroed, nothing else changed.
      EXPECT_EQ(map.textForChecksum.size(), c.text.size());
      EXPECT_NE(map.textForChecksum.find(std::string(map.fileChecksum.size(), '0')), std::string::npos);
    }
  }
}

TEST(BlockMap, BadMapsAreRefusedWithTheReason) {
  const std::string head2 = "<MappedBlocksCount>2</MappedBlocksCount><ChecksumType>sha256</ChecksumType>"
                            "<BmapFileChecksum>" + kSha256A + "</BmapFileChecksum>";
  const std::string range = "<Range chksum=\"" + kSha256A + "\">0-1</Range>";
  const struct {
    std::string name, text, reason;
  } cases[] = {
      {"not xml", "hello", "no <bmap>"},
      {"version 3", Bmap("3.0", kSizes + head2, range), "version 3.0"},
      {"version 2.1", Bmap("2.1", kSizes + head2, range), "version 2.1"},
      {"no version", "<bmap><ImageSize>1</ImageSize></bmap>", "version"},
      {"no image size", Bmap("2.0", "<BlockSize>4096</BlockSize><BlocksCount>10</BlocksCount>" + head2, range),
       "ImageSize"},
      {"negative size", Bmap("2.0", "<ImageSize>-5</ImageSize><BlockSize>4096</BlockSize><BlocksCount>10</BlocksCount>" + head2, range),
       "ImageSize"},
      {"block of 100 bytes",
       Bmap("2.0", "<ImageSize>1000</ImageSize><BlockSize>100</BlockSize><BlocksCount>10</BlocksCount>" + head2,
            range),
       "multiple of 512"},
      {"block count wrong",
       Bmap("2.0", "<ImageSize>40860</ImageSize><BlockSize>4096</BlockSize><BlocksCount>11</BlocksCount>" + head2,
            range),
       "block count"},
      {"unknown hash", Bmap("2.0", kSizes + "<MappedBlocksCount>2</MappedBlocksCount><ChecksumType>md5</ChecksumType>", range),
       "ChecksumType"},
      {"short file checksum",
       Bmap("2.0", kSizes + "<MappedBlocksCount>2</MappedBlocksCount><ChecksumType>sha256</ChecksumType><BmapFileChecksum>abc</BmapFileChecksum>", range),
       "BmapFileChecksum"},
      {"range checksum of the other hash", Bmap("2.0", kSizes + head2, "<Range chksum=\"" + kSha1A + "\">0-1</Range>"),
       "no valid checksum"},
      {"range without checksum", Bmap("2.0", kSizes + head2, "<Range>0-1</Range>"), "no checksum"},
      {"range past the image", Bmap("2.0", kSizes + head2, "<Range chksum=\"" + kSha256A + "\">9-10</Range>"),
       "inside the image"},
      {"range backwards", Bmap("2.0", kSizes + head2, "<Range chksum=\"" + kSha256A + "\">5-4</Range>"),
       "ascending"},
      {"ranges overlapping",
       Bmap("2.0", kSizes + "<MappedBlocksCount>4</MappedBlocksCount><ChecksumType>sha256</ChecksumType><BmapFileChecksum>" + kSha256A + "</BmapFileChecksum>",
            range + "<Range chksum=\"" + kSha256A + "\">1-2</Range>"),
       "ascending"},
      {"range not a number", Bmap("2.0", kSizes + head2, "<Range chksum=\"" + kSha256A + "\">a-b</Range>"),
       "block range"},
      {"mapped count wrong", Bmap("2.0", kSizes + head2, range + "<Range chksum=\"" + kSha256A + "\">5</Range>"),
       "says 2"},
      {"range not closed", Bmap("2.0", kSizes + head2, "<Range chksum=\"" + kSha256A + "\">0-1"), "not closed"},
      {"comment not closed", "<!-- <bmap version=\"2.0\">", "comment"},
      {"no block map", "<bmap version=\"2.0\">" + kSizes + head2 + "</bmap>", "<BlockMap>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BlockMap map;
    std::string error;
    EXPECT_FALSE(ParseBlockMap(c.text, map, error));
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
}

TEST(Sha256Sums, LinesOfSha256sumAreRead) {
  const std::string a(64, 'a'), b(64, 'B');
  const auto entries = ParseSha256Sums(a + "  card.img.zst\n" + b + " *out/card.img\r\n" + "garbage line\n" +
                                       std::string(63, 'c') + "  short\n" + a + "\n");
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].name, "card.img.zst");
  EXPECT_EQ(entries[1].hash, std::string(64, 'b')) << "lower case";
  EXPECT_EQ(entries[1].name, "card.img") << "the name without its folder, binary mark dropped";
  EXPECT_EQ(entries[2].name, "");
  EXPECT_EQ(DecodedName("card.wic.zst"), "card.wic");
  EXPECT_EQ(DecodedName("card.img"), "card.img");
}

}  // namespace
}  // namespace ardentix
