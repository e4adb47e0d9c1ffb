// Huge inputs under a memory limit: ardentix-cli, run as the operator runs
// it, refuses them with a message and a failed status, and is never ended
// by an allocation that fails.
#include <gtest/gtest.h>

#include "burnfiles/burnfiles_fixture.h"
#include "cli/child_program.h"
#include "core/temp_dir.h"

namespace ardentix {
namespace {

namespace fs = std::filesystem;
using bftest::W;

constexpr uint64_t kHuge = uint64_t(3) << 29;  // 1.5 GiB, sparse: costs no disk
constexpr rlim_t kMemoryLimit = rlim_t(1) << 30;

// A sanitizer's own allocator ignores the address-space limit; its largest
// allocation stands in for it.
bool Sanitized() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#else
  return false;
#endif
}

test::ChildOptions UnderMemoryLimit() {
  test::ChildOptions o;
  if (Sanitized()) o.extraAsanOptions = "max_allocation_size_mb=1024:allocator_may_return_null=1";
  else o.addressSpaceLimit = kMemoryLimit;
  return o;
}

void MakeSparse(const fs::path& path, const std::string& head, uint64_t size) {
  bftest::WriteFile(path, head);
  fs::resize_file(path, size);
}

TEST(CliUnderAMemoryLimit, HugeInputsAreRefusedWithAMessage) {
  test::TempDir dir;
  const fs::path station = dir / "station";
  fs::create_directories(station);
  // A package whose header is good and whose voice section runs to its end;
  // its checksum is not checked, so nothing but its size is wrong.
  MakeSparse(dir / "huge.vlr", bftest::MakePackage(3072, {W(1024), W(kHuge), 0, 0, W(64)}, "ABC", false), kHuge);
  MakeSparse(dir / "huge.bin", "voice", kHuge);
  bftest::WriteFile(dir / "good.vlr", bftest::MakePackage(3072, bftest::TypicalWords()));
  const std::string dirArg = "--station-dir=" + station.string();
  ASSERT_EQ(test::RunProgram(ARDENTIX_CLI, {"package", "import", (dir / "good.vlr").string(), dirArg}, dir / "setup")
                .exitCode,
            0);

  const struct {
    const char* name;
    std::vector<std::string> args;
    const char* says;
    const char* textFile;  // a station file made huge for this case
  } cases[] = {
      {"import", {"package", "import", (dir / "huge.vlr").string()}, "vlr file format error", nullptr},
      {"info", {"package", "info", (dir / "huge.vlr").string()}, "vlr file format error", nullptr},
      {"export --voice", {"package", "export", (dir / "out.vlr").string(), "--voice", (dir / "huge.bin").string()},
       "too big", nullptr},
      {"export --from", {"package", "export", (dir / "out.vlr").string(), "--from", (dir / "huge.vlr").string()},
       "vlr file format error", nullptr},
      {"catalogue", {"catalogue", "list"}, "cannot read", "SpiList.ini"},
      {"settings", {"settings"}, "more than", "RQ4820Ardentix.ini"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.textFile != nullptr) MakeSparse(station / c.textFile, "", kHuge);
    std::vector<std::string> args = c.args;
    args.push_back(dirArg);
    const test::ChildEnd end = test::RunProgram(ARDENTIX_CLI, args, dir / "run", UnderMemoryLimit());
    EXPECT_EQ(end.signal, 0) << end.err;
    EXPECT_EQ(end.exitCode, 1) << end.err;
    EXPECT_NE(end.err.find(c.says), std::string::npos) << end.err;
    EXPECT_EQ(end.err.find("terminate called"), std::string::npos) << end.err;
    EXPECT_EQ(end.err.find("AddressSanitizer"), std::string::npos) << end.err;
    if (c.textFile != nullptr) {
      EXPECT_EQ(fs::file_size(station / c.textFile), kHuge) << "never written over";
      fs::remove(station / c.textFile);
    }
  }
  EXPECT_FALSE(fs::exists(dir / "out.vlr"));
  EXPECT_EQ(bftest::ReadFile(station / "BurnFile" / "2.bin").size(), 976u) << "the voice section is the good one's";
}

}  // namespace
}  // namespace ardentix
