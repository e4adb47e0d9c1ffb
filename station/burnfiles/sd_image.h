// SD images as build systems make them: raw, or compressed (gzip, xz, bzip2,
// zstd, a zip of one image), with a block map (.bmap) of the blocks that hold
// data and a .sha256 beside them. A run prepares each image once, before the
// first device is written: a compressed one is decoded into a checked cache
// file, the block map and the checksums are checked, and every worker then
// burns the same prepared image.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "burnfiles/image_codec.h"

namespace ardentix {

enum class SdImageFormat { Raw, Gzip, Xz, Bzip2, Zstd, Zip };

// "raw", "gzip", "xz", "bzip2", "zstd", "zip".
const char* SdImageFormatName(SdImageFormat format);
// By the file's first bytes, whatever its name.
SdImageFormat DetectSdImageFormat(std::string_view head);
// The name without a compression suffix ("card.wic.zst" -> "card.wic").
std::string DecodedName(const std::string& fileName);

// [begin, end) of an image, in bytes.
struct ImageRange {
  uint64_t begin = 0, end = 0;
  bool operator==(const ImageRange&) const = default;
};

// A bmaptool block map, versions 1.0 to 2.0.
struct BlockMap {
  int major = 0, minor = 0;
  uint64_t imageSize = 0, blockSize = 0, blocksCount = 0, mappedBlocksCount = 0;
  DigestKind checksumType = DigestKind::Sha1;
  std::string fileChecksum;     // hex; "" where the version has none
  std::string textForChecksum;  // the file with the checksum's value zeroed, as it was hashed
  struct Range {
    uint64_t first = 0, last = 0;  // blocks, inclusive
    std::string checksum;          // hex of the range's bytes; "" when the file gives none
  };
  std::vector<Range> ranges;

  // The range's bytes, the last block cut at the image's end.
  ImageRange Bytes(const Range& range) const;
  uint64_t MappedBytes() const;
};

// The text of a version 2.0 block map with SHA-256 checksums (the ranges'
// `checksum` already set), its own checksum filled in.
std::string BlockMapText(const BlockMap& map);

// Reads and checks a block map's text; false with the reason.
bool ParseBlockMap(std::string_view text, BlockMap& map, std::string& error);

// The block map beside an image: "<name>.bmap" of the image's name, of its
// name without the compression suffix, or without its last extension.
std::optional<std::filesystem::path> FindBlockMap(const std::filesystem::path& image);

// A sha256sum line for `fileName` (or the file's only line): its hash.
// nullopt when the text has no usable line.
struct Sha256Entry {
  std::string hash;  // lower case
  std::string name;
};
std::vector<Sha256Entry> ParseSha256Sums(std::string_view text);

// An image ready to burn.
struct PreparedSdImage {
  std::filesystem::path source;  // the file the operator chose
  std::filesystem::path data;    // the raw bytes: the source, or its decoded cache file
  SdImageFormat format = SdImageFormat::Raw;
  uint64_t storedSize = 0;  // the source's size
  uint64_t size = 0;        // the raw image's size
  std::vector<ImageRange> ranges;  // what is written and verified, ascending
  bool mapped = false;            // a block map is used
  std::filesystem::path bmapPath;
  std::string bmapChecksum;  // the block map file's own checksum
  uint64_t mappedBytes = 0;  // bytes in `ranges`
  std::string sha256;        // of the raw image, when preparing computed it ("" otherwise)
};

struct SdPrepareOptions {
  std::filesystem::path cacheFile;  // where a compressed image is decoded to
  uint64_t cardBytes = 0;           // the smallest card of the run, 0 when unknown
  std::string driveName;            // the drive with that card, for the message
  // Sets the two above; called only for an image that is more than a plain
  // raw one (a plain raw image burns as it always has, no card asked).
  std::function<void(uint64_t& cardBytes, std::string& driveName)> measureCards;
  // Bytes done of the work of preparing; on the preparing thread.
  std::function<void(uint64_t done, uint64_t total)> progress;
};

// Prepares the image; false with a message for the operator. Raw images
// without a block map or .sha256 are not read at all.
bool PrepareSdImage(const std::filesystem::path& path, const SdPrepareOptions& options, PreparedSdImage& out,
                    std::string& error);

// What will be burned, shown before START: the format and sizes, the block
// map and its mapped share, where a compressed image is decoded and the free
// space there. `pattern` gives the text of a string id (a window's own
// language; the string table's English by default).
std::string DescribeSdImage(const std::filesystem::path& path, const std::filesystem::path& cacheFolder,
                            const std::function<std::string(int)>& pattern = {});

}  // namespace ardentix
