#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "catalogue/spi_catalogue.h"
#include "cli/cli.h"
#include "core/files.h"
#include "core/temp_dir.h"

namespace ardentix::cli {
namespace {

struct Outcome {
  int status;
  std::string out, err;
};

class CatalogueCommandTest : public ::testing::Test {
 protected:
  Outcome Catalogue(const Args& args) {
    std::ostringstream out, err;
    Context ctx{dir.path(), out, err};
    const int status = CatalogueCommand(args, ctx);
    return {status, out.str(), err.str()};
  }
  std::string File() { return ReadWholeFile(CataloguePath(dir.path())).value_or("<missing>"); }

  test::TempDir dir;
};

TEST_F(CatalogueCommandTest, AddListRemove) {
  Outcome r = Catalogue({"list"});
  EXPECT_EQ(r.status, kExitOk);
  EXPECT_NE(r.out.find("0 chips"), std::string::npos);

  r = Catalogue({"add", "001840ef", "W25Q128", "16384", "80", "bench sample"});
  EXPECT_EQ(r.status, kExitOk) << r.err;
  r = Catalogue({"add", "001840C8", "GD25Q128", "16384", "104"});
  EXPECT_EQ(r.status, kExitOk) << r.err;
  EXPECT_EQ(File(), "Spi Count = 2 \r\n1\tW25Q128\t001840EF\t16384\tbench sample\t80\r\n2\tGD25Q128\t001840C8\t16384\t\t104\r\n");

  r = Catalogue({"list"});
  EXPECT_EQ(r.status, kExitOk);
  EXPECT_NE(r.out.find("001840EF"), std::string::npos);
  EXPECT_NE(r.out.find("bench sample"), std::string::npos);
  EXPECT_NE(r.out.find("2 chips"), std::string::npos);

  r = Catalogue({"remove", "001840ef"});
  EXPECT_EQ(r.status, kExitOk) << r.err;
  EXPECT_EQ(File(), "Spi Count = 1 \r\n1\tGD25Q128\t001840C8\t16384\t\t104\r\n");
}

TEST_F(CatalogueCommandTest, RemovingAnAbsentIdFails) {
  const std::string before = "Spi Count = 1 \r\n1\tGD\t001840C8\t16384\t\t104\r\n";
  ASSERT_TRUE(WriteFileAtomically(CataloguePath(dir.path()), before));
  const Outcome r = Catalogue({"remove", "001840EF"});
  EXPECT_EQ(r.status, kExitFailed);
  EXPECT_NE(r.err.find("001840EF is not in"), std::string::npos) << r.err;
  EXPECT_EQ(File(), before);
}

TEST_F(CatalogueCommandTest, RefusesBadInputWithAReason) {
  ASSERT_EQ(Catalogue({"add", "001840EF", "W25Q128", "16384", "80"}).status, kExitOk);
  const std::string before = File();
  const struct {
    Args args;
    int status;
    const char* says;
  } cases[] = {
      {{}, kExitUsage, "usage"},
      {{"frobnicate"}, kExitUsage, "unknown subcommand"},
      {{"list", "x"}, kExitUsage, "no arguments"},
      {{"add", "001840C8", "GD", "16384"}, kExitUsage, "add takes"},
      {{"add", "001840C8", "GD", "16384", "80", "r", "extra"}, kExitUsage, "add takes"},
      {{"add", "001840C8", "G\tD", "16384", "80"}, kExitUsage, "tab or line break"},
      {{"add", "001840C8", "GD", "16384", "80", "two\nlines"}, kExitUsage, "tab or line break"},
      {{"add", "001840C8", "GD", "16384", "80", "cr\r"}, kExitUsage, "tab or line break"},
      {{"add", "001840C8", "GD", "16M", "80"}, kExitUsage, "SIZE_KB"},
      {{"add", "001840C8", "GD", "", "80"}, kExitUsage, "SIZE_KB"},
      {{"add", "001840C8", "GD", "-1", "80"}, kExitUsage, "SIZE_KB"},
      {{"add", "001840C8", "GD", "99999999999", "80"}, kExitUsage, "SIZE_KB"},
      {{"add", "001840C8", "GD", "16384", "fast"}, kExitUsage, "FREQ_MHZ"},
      {{"add", "001840C8", "GD", "16384", "0"}, kExitUsage, "FREQ_MHZ"},
      {{"add", "1840C8", "GD", "16384", "80"}, kExitUsage, "eight hex digits"},
      {{"add", "00184XC8", "GD", "16384", "80"}, kExitUsage, "eight hex digits"},
      {{"add", "001840C8", "", "16384", "80"}, kExitUsage, "TYPE"},
      {{"add", "001840ef", "again", "16384", "80"}, kExitFailed, "already in"},
      {{"remove"}, kExitUsage, "one ID"},
  };
  for (const auto& c : cases) {
    const Outcome r = Catalogue(c.args);
    std::string line;
    for (const auto& a : c.args) line += a + " ";
    EXPECT_EQ(r.status, c.status) << line;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << line << "-> " << r.err;
    EXPECT_EQ(File(), before) << line;
  }
}

TEST_F(CatalogueCommandTest, AnUnreadableCatalogueIsNotOverwritten) {
  std::filesystem::create_directory(CataloguePath(dir.path()));
  const Outcome r = Catalogue({"add", "001840EF", "W25Q128", "16384", "80"});
  EXPECT_EQ(r.status, kExitFailed);
  EXPECT_NE(r.err.find("cannot read"), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_directory(CataloguePath(dir.path())));
}

}  // namespace
}  // namespace ardentix::cli
