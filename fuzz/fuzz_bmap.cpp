// Arbitrary bytes as a block map: reading never crashes, and a map it takes
// is one a burn can follow: ascending ranges inside the image, adding up to
// the mapped count, each cut at the image's end.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "burnfiles/sd_image.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using ardentix::fuzz::Check;
  ardentix::BlockMap map;
  std::string error;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!ardentix::ParseBlockMap(text, map, error)) {
    Check(!error.empty());
    return 0;
  }
  uint64_t blocks = 0, bytes = 0, end = 0;
  for (const auto& r : map.ranges) {
    Check(r.first <= r.last && r.last < map.blocksCount);
    const ardentix::ImageRange b = map.Bytes(r);
    Check(b.begin >= end && b.begin < b.end && b.end <= map.imageSize);
    Check(b.begin % 512 == 0);
    end = b.end;
    blocks += r.last - r.first + 1;
    bytes += b.end - b.begin;
  }
  Check(blocks == map.mappedBlocksCount);
  Check(bytes == map.MappedBytes() && bytes <= map.imageSize);
  Check(map.fileChecksum.empty() || map.textForChecksum.size() == size);
  return 0;
}
