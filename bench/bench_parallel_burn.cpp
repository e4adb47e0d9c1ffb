// Eight devices against one, with realistic device timing and the burn's
// fixed waits: eight should take no longer than one plus the 500 ms start
// interval of each further device.
#include "bench_station.h"
#include "burnfiles/import.h"
#include "burnfiles/sample.h"

#include <cstdlib>

using namespace ardentix;
using namespace ardentix::bench;

namespace {

double BurnDevices(int count, const std::filesystem::path& dir, const std::string& image = "sample.img") {
  std::string devices;
  for (int i = 0; i < count; ++i)
    devices += std::string(i ? "," : "") + R"({"letter":")" + char('E' + i) + R"("})";
  Configure(R"({"timing":"realistic","devices":[)" + devices + "]}");
  static int run = 0;
  const auto station = dir / ("station-" + std::to_string(count) + "-" + std::to_string(++run));
  std::filesystem::create_directories(station);
  SystemClock clock;
  BenchStation s(clock, station);
  if (s.station->rows().Count() != count) {
    std::fprintf(stderr, "expected %d devices, found %d\n", count, s.station->rows().Count());
    std::exit(1);
  }
  BurnFileSet& files = s.station->files();
  if (!ImportBurnPackage(files, dir / "sample.vlr").ok) std::exit(1);
  files.sd1ImagePath = dir / image;
  s.engine->checkBoxes = RunSettings{1, 0, 1};
  const double seconds = s.Burn();
  if (s.station->PassCount != count) {
    std::fprintf(stderr, "only %d of %d devices passed\n", s.station->PassCount.load(), count);
    std::exit(1);
  }
  return seconds;
}

}  // namespace

int main() {
  const auto dir = TempDir("parallel");
  WriteFile(dir / "sample.vlr", *MakeSamplePackage({64 * 1024, 192 * 1024, 4096}));
  WriteFile(dir / "sample.img", MakeSampleSdImage(4u << 20));
  const double one = BurnDevices(1, dir);
  const double eight = BurnDevices(8, dir);
  // The same image as build systems ship it: zstd, and beside a block map.
  if (std::system(("cd '" + dir.string() + "' && zstd -q -c sample.img > sample.img.zst && "
                   "mkdir -p mapped && cp --sparse=always sample.img mapped/ && bmaptool -q create -o mapped/sample.img.bmap mapped/sample.img")
                      .c_str()) != 0)
    std::exit(1);
  const double zstd = BurnDevices(8, dir, "sample.img.zst");
  const double bmap = BurnDevices(8, dir, "mapped/sample.img");
  std::printf("Eight devices from a zstd image %.2f s, from the image with its bmap %.2f s (raw %.2f s)\n", zstd, bmap,
              eight);
  std::filesystem::remove_all(dir);
  const double limit = 1.05 * (one + 7 * 0.5);
  std::printf("One device %.2f s, eight devices %.2f s, limit 1.05 x (%.2f + 7 x 0.50) = %.2f s (target: eight <= limit) %s\n",
              one, eight, one, limit, eight <= limit ? "MET" : "MISSED");
  return eight <= limit ? 0 : 1;
}
