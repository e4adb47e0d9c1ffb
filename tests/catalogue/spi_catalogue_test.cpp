#include "catalogue/spi_catalogue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/child_process.h"
#include "core/files.h"
#include "core/temp_dir.h"

namespace ardentix {
namespace {

namespace fs = std::filesystem;

SpiCatalogueEntry Row(std::string no, std::string type, std::string id, std::string kb, std::string remark,
                      std::string mhz) {
  return SpiCatalogueEntry{no, type, id, kb, remark, mhz};
}

TEST(FlashIdText, IsZeroThenAnswerBytesThreeTwoOne) {
  const struct {
    unsigned char answer[4];
    const char* text;
  } cases[] = {
      {{0x00, 0xEF, 0x40, 0x18}, "001840EF"},
      {{0xAB, 0xCD, 0xEF, 0x01}, "0001EFCD"},  // byte 0 is not part of it
      {{0xFF, 0xFF, 0xFF, 0xFF}, "00FFFFFF"},
      {{0x00, 0x00, 0x00, 0x00}, "00000000"},
      {{0x12, 0x0a, 0x0b, 0x0c}, "000C0B0A"},
  };
  for (const auto& c : cases) EXPECT_EQ(FlashIdText(c.answer), c.text);
}

TEST(SpiCatalogueFormat, ParsesRowsAfterTheFirstLine) {
  const struct {
    const char* what;
    std::string text;
    std::vector<SpiCatalogueEntry> rows;
  } cases[] = {
      {"empty file", "", {}},
      {"header only", "Spi Count = 0 \r\n", {}},
      {"header without line end", "Spi Count = 0 ", {}},
      {"two rows",
       "Spi Count = 2 \r\n1\tW25Q128\t001840EF\t16384\tok\t80\r\n2\tGD\t001840C8\t8192\t\t104\r\n",
       {Row("1", "W25Q128", "001840EF", "16384", "ok", "80"), Row("2", "GD", "001840C8", "8192", "", "104")}},
      {"a stated count does not matter", "Spi Count = 7 \r\n1\ta\tb\tc\td\te\r\n2\tf\tg\th\ti\tj\r\n",
       {Row("1", "a", "b", "c", "d", "e"), Row("2", "f", "g", "h", "i", "j")}},
      {"a data row in the first line is lost", "1\ta\tb\tc\td\te\r\n2\tf\tg\th\ti\tj\r\n",
       {Row("2", "f", "g", "h", "i", "j")}},
      {"LF line ends", "Spi Count = 1 \n1\ta\tb\tc\td\te\n", {Row("1", "a", "b", "c", "d", "e")}},
      {"last row without line end", "h\r\n1\ta\tb\tc\td\te", {Row("1", "a", "b", "c", "d", "e")}},
      {"seven pieces keep six", "h\r\n1\ta\tb\tc\td\te\textra\r\n", {Row("1", "a", "b", "c", "d", "e")}},
      {"missing pieces stay empty", "h\r\n1\ta\tb\r\n", {Row("1", "a", "b", "", "", "")}},
      {"a line without tabs is all No", "h\r\nhello world\r\n", {Row("hello world", "", "", "", "", "")}},
      {"an empty line is an entry", "h\r\n\r\n1\ta\tb\tc\td\te\r\n",
       {Row("", "", "", "", "", ""), Row("1", "a", "b", "c", "d", "e")}},
      {"only one CR is a line end", "h\r\n1\ta\tb\tc\td\te\r\r\n", {Row("1", "a", "b", "c", "d", "e\r")}},
      {"empty pieces between tabs", "h\r\n\t\t\t\t\t\r\n", {Row("", "", "", "", "", "")}},
  };
  for (const auto& c : cases) EXPECT_EQ(SpiCatalogue::Parse(c.text), c.rows) << c.what;
}

TEST(SpiCatalogueFormat, WritesFreshRowNumbersAndCrLf) {
  EXPECT_EQ(SpiCatalogue::Format({}), "Spi Count = 0 \r\n");
  EXPECT_EQ(SpiCatalogue::Format({Row("7", "W25Q128", "001840EF", "16384", "ok", "80"), Row("x", "", "", "", "", "")}),
            "Spi Count = 2 \r\n1\tW25Q128\t001840EF\t16384\tok\t80\r\n2\t\t\t\t\t\r\n");
}

TEST(SpiCatalogue, LooksUpByUpperCasedIdFirstRowFirst) {
  SpiCatalogue cat;
  cat.Rebuild({Row("", "lower", "001840ef", "16384", "", "80"), Row("", "dup", "001840EF", "1", "", "33"),
               Row("", "empty freq", "00AAAAAA", "1", "", ""), Row("", "word freq", "00BBBBBB", "1", "", "fast"),
               Row("", "blank freq", "00CCCCCC", "1", "", "  66 MHz"), Row("", "neg", "00DDDDDD", "1", "", "-5")});
  const struct {
    const char* id;
    const char* type;  // nullptr: not found
    int32_t mhz;
  } cases[] = {
      {"001840EF", "lower", 80},     {"001840ef", nullptr, 12},  // the given id is not folded
      {"00AAAAAA", "empty freq", 0}, {"00BBBBBB", "word freq", 0}, {"00CCCCCC", "blank freq", 66},
      {"00DDDDDD", "neg", -5},       {"00EEEEEE", nullptr, 12},    {"", nullptr, 12},
  };
  for (const auto& c : cases) {
    const auto e = cat.FindById(c.id);
    EXPECT_EQ(e.has_value(), c.type != nullptr) << c.id;
    if (e && c.type) {
      EXPECT_EQ(e->SpiType, c.type) << c.id;
    }
    EXPECT_EQ(cat.FrequencyForId(c.id), c.mhz) << c.id;
  }
}

TEST(SpiCatalogue, EditsForTheDialog) {
  SpiCatalogue cat;
  cat.Add(Row("5", "a", "1", "", "", ""));
  cat.Add(Row("9", "b", "2", "", "", ""));
  cat.Add(Row("9", "c", "3", "", "", ""));
  EXPECT_FALSE(cat.RemoveAt(3));
  EXPECT_TRUE(cat.RemoveAt(1));
  ASSERT_EQ(cat.Count(), 2u);
  EXPECT_EQ(cat.Entries()[1].SpiType, "c");

  cat.Rebuild({Row("x", "d", "4", "", "", ""), Row("y", "e", "5", "", "", "")});
  const auto rows = cat.Entries();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].No, "0");  // rebuilt rows count from 0
  EXPECT_EQ(rows[1].No, "1");
  EXPECT_FALSE(cat.FindById("1").has_value());
  cat.Clear();
  EXPECT_EQ(cat.Count(), 0u);
}

class CatalogueFile : public ::testing::Test {
 protected:
  test::TempDir dir;
  fs::path path = CataloguePath(dir.path());
};

TEST_F(CatalogueFile, SavesAndLoadsBack) {
  EXPECT_EQ(path.filename(), "SpiList.ini");
  SpiCatalogue cat(path);
  cat.Rebuild({Row("", "W25Q128", "001840EF", "16384", "ok", "80"), Row("", "GD", "001840C8", "8192", "", "104")});
  ASSERT_TRUE(cat.Save());
  EXPECT_EQ(ReadWholeFile(path),
            "Spi Count = 2 \r\n1\tW25Q128\t001840EF\t16384\tok\t80\r\n2\tGD\t001840C8\t8192\t\t104\r\n");

  SpiCatalogue again(path);
  again.Add(Row("stale", "", "", "", "", ""));
  ASSERT_EQ(again.Load(), SpiCatalogue::LoadResult::Loaded);  // replaces what was there
  ASSERT_EQ(again.Count(), 2u);
  EXPECT_EQ(again.Entries()[0], Row("1", "W25Q128", "001840EF", "16384", "ok", "80"));
  EXPECT_EQ(again.FrequencyForId("001840C8"), 104);
}

TEST_F(CatalogueFile, AMissingFileIsAnEmptyCatalogue) {
  SpiCatalogue cat(path);
  cat.Add(Row("", "", "001840EF", "", "", "80"));
  EXPECT_EQ(cat.Load(), SpiCatalogue::LoadResult::Missing);
  EXPECT_EQ(cat.Count(), 0u);
  EXPECT_EQ(cat.FrequencyForId("001840EF"), kUnknownChipFrequencyMHz);
  EXPECT_FALSE(fs::exists(path));
}

TEST_F(CatalogueFile, AFailedSaveKeepsTheOldFile) {
  const std::string old = "Spi Count = 1 \r\n1\told\t001840EF\t16384\t\t80\r\n";
  ASSERT_TRUE(WriteFileAtomically(path, old));
  SpiCatalogue cat(path);
  std::vector<SpiCatalogueEntry> many(50, Row("", "W25Q128", "001840EF", "16384", "a long remark", "80"));
  cat.Rebuild(many);

  EXPECT_EQ(test::RunWithFileSizeLimit(100, [&] { return cat.Save(); }), test::ChildResult::False);
  EXPECT_EQ(ReadWholeFile(path), old);

  std::string error;
  cat.Rebuild({Row("", "bad\ttype", "001840EF", "1", "", "80")});
  EXPECT_FALSE(cat.Save(&error));
  EXPECT_NE(error, "");
  EXPECT_EQ(ReadWholeFile(path), old);

  SpiCatalogue nowhere(dir / "missing-folder" / "SpiList.ini");
  EXPECT_FALSE(nowhere.Save(&error));
}

// Workers look chips up while the dialog rebuilds and reloads the list: a
// lookup sees the old or the new catalogue, never a half-built one.
TEST_F(CatalogueFile, LookupsDuringRebuildsSeeAWholeCatalogue) {
  std::vector<SpiCatalogueEntry> a, b;
  for (int i = 0; i < 40; ++i) {
    a.push_back(Row("", "filler", "00F0F0" + std::to_string(10 + i), "1", "", "50"));
    b.push_back(a.back());
  }
  a.push_back(Row("", "W25Q128", "001840EF", "16384", "", "80"));
  b.push_back(Row("", "W25Q128", "001840EF", "16384", "", "104"));
  SpiCatalogue writer(path);
  writer.Rebuild(b);
  ASSERT_TRUE(writer.Save());

  SpiCatalogue cat(path);
  cat.Rebuild(a);
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      while (!stop) {
        const int32_t mhz = cat.FrequencyForId("001840EF");
        if (mhz != 80 && mhz != 104) ++bad;
      }
    });
  }
  for (int round = 0; round < 300; ++round) {
    cat.Rebuild(round % 2 ? a : b);
    cat.Load();
    cat.Add(Row("", "x", "00000001", "1", "", "1"));
    cat.RemoveAt(0);
  }
  stop = true;
  for (auto& r : readers) r.join();
  EXPECT_EQ(bad, 0);
}

TEST(StarterCatalogue, HoldsTheSimulatorsChipAsExamples) {
  const fs::path file = fs::path(ARDENTIX_DATA_DIR) / "SpiList.ini";
  const std::string text = ReadWholeFile(file).value_or("");
  ASSERT_NE(text, "");
  size_t lines = 0;
  for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1), ++lines)
    EXPECT_TRUE(at > 0 && text[at - 1] == '\r') << "line " << lines + 1 << " does not end in CR LF";
  EXPECT_EQ(text.back(), '\n');

  SpiCatalogue cat(file);
  ASSERT_EQ(cat.Load(), SpiCatalogue::LoadResult::Loaded);
  EXPECT_GE(cat.Count(), 3u);
  EXPECT_EQ(text.substr(0, text.find('\r')), "Spi Count = " + std::to_string(cat.Count()) + " ");
  const unsigned char simulated[4] = {0x00, 0xEF, 0x40, 0x18};
  const auto chip = cat.FindById(FlashIdText(simulated));
  ASSERT_TRUE(chip.has_value());
  EXPECT_EQ(chip->SpiType, "W25Q128");
  EXPECT_EQ(chip->LenKBytes, "16384");
  EXPECT_EQ(cat.FrequencyForId("001840EF"), 80);
  for (const auto& e : cat.Entries()) {
    EXPECT_NE(e.Remark.find("example"), std::string::npos) << e.Id;
    EXPECT_GE(cat.FrequencyForId(e.Id), 48) << e.Id;  // every starter chip can be burned
    EXPECT_EQ(cat.FindById(e.Id)->SpiType, e.SpiType) << "duplicate id " << e.Id;
  }
}

}  // namespace
}  // namespace ardentix
