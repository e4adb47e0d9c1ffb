// The catalogue dialog's table, its buttons and the flash id report, on a
// catalogue file in a temporary folder and on simulated devices.
#include "catalogue/catalogue_dialog_model.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "catalogue/flash_id_report.h"
#include "core/faulty_platform.h"
#include "core/files.h"
#include "core/strings.h"
#include "station/station_fixture.h"

namespace ardentix::testing {
namespace {

namespace fs = std::filesystem;

// Row numbers in the file that are not 1..N, and a Remark that differs from
// the FreqMHz, so that a swapped or renumbered field shows.
constexpr const char* kThreeChips =
    "Spi Count = 3 \r\n"
    "5\tW25Q128\t001840EF\t16384\tfast\t80\r\n"
    "9\tMX25L64\t001720C2\t8192\tslow\t33\r\n"
    "12\tGD25Q32\t001640C8\t4096\tspare\t50\r\n";

class CatalogueDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = MakeTempDir("catalogue-dialog");
    WriteText(file(), kThreeChips);
    catalogue_.SetPath(file());
    model_.Open();
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path file() const { return dir_ / "SpiList.ini"; }
  std::string FileText() const { return ReadWholeFile(file()).value_or("<missing>"); }
  std::vector<std::string> Column(int column) const {
    std::vector<std::string> out;
    for (const CatalogueRow& r : model_.Rows()) out.push_back(r[size_t(column)]);
    return out;
  }

  fs::path dir_;
  SpiCatalogue catalogue_;
  CatalogueDialogModel model_{catalogue_};
};

TEST_F(CatalogueDialogTest, ShowsFreqBeforeRemarkAndClosingRenumbersOnlyTheFile) {
  EXPECT_EQ(model_.Rows(), (std::vector<CatalogueRow>{
                               {"5", "W25Q128", "001840EF", "16384", "80", "fast"},
                               {"9", "MX25L64", "001720C2", "8192", "33", "slow"},
                               {"12", "GD25Q32", "001640C8", "4096", "50", "spare"},
                           }));
  std::string error;
  ASSERT_TRUE(model_.Close(&error)) << error;
  EXPECT_EQ(FileText(),
            "Spi Count = 3 \r\n"
            "1\tW25Q128\t001840EF\t16384\tfast\t80\r\n"
            "2\tMX25L64\t001720C2\t8192\tslow\t33\r\n"
            "3\tGD25Q32\t001640C8\t4096\tspare\t50\r\n");
  EXPECT_EQ(Column(kCatalogueNo), (std::vector<std::string>{"5", "9", "12"})) << "the table keeps its numbers";
}

TEST_F(CatalogueDialogTest, DelRemovesOnlyARowInsideTheTableAndAlwaysRebuilds) {
  const struct {
    int mark;
    std::vector<std::string> shownNumbers;
    std::vector<std::string> ids;
  } cases[] = {
      {-1, {"5", "9", "12"}, {"001840EF", "001720C2", "001640C8"}},  // no selection
      {3, {"5", "9", "12"}, {"001840EF", "001720C2", "001640C8"}},   // the mark one past the last row
      {1, {"5", "12"}, {"001840EF", "001640C8"}},
      {2, {"5", "9"}, {"001840EF", "001720C2"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("mark " + std::to_string(c.mark));
    model_.Open();
    // An edit that only a rebuild carries into the catalogue.
    model_.SetCell(0, kCatalogueFreq, "104");
    model_.Delete(c.mark);
    EXPECT_EQ(Column(kCatalogueNo), c.shownNumbers);
    const std::vector<SpiCatalogueEntry> entries = catalogue_.Entries();
    ASSERT_EQ(entries.size(), c.ids.size());
    for (size_t i = 0; i < entries.size(); ++i) {
      EXPECT_EQ(entries[i].Id, c.ids[i]);
      EXPECT_EQ(entries[i].No, std::to_string(i)) << "the catalogue counts from 0";
    }
    EXPECT_EQ(catalogue_.FrequencyForId("001840EF"), 104);
    EXPECT_EQ(FileText(), kThreeChips) << "Del does not save";
  }
}

TEST_F(CatalogueDialogTest, AddedRowIsNumberedByTheRowCountAndSavedWithEmptyFields) {
  model_.Delete(0);
  EXPECT_EQ(model_.Add(), 2);
  EXPECT_EQ(model_.Rows().back(), (CatalogueRow{"3", "", "", "", "", ""}));
  ASSERT_TRUE(model_.Close());
  EXPECT_EQ(FileText(),
            "Spi Count = 3 \r\n"
            "1\tMX25L64\t001720C2\t8192\tslow\t33\r\n"
            "2\tGD25Q32\t001640C8\t4096\tspare\t50\r\n"
            "3\t\t\t\t\t\r\n");
}

TEST_F(CatalogueDialogTest, CellEditsLoseTabsAndLineBreaksAndStayInsideTheTable) {
  const struct {
    std::string typed;
    std::string stored;
  } cases[] = {
      {"W25Q\t256", "W25Q256"},
      {"line one\r\nline two\n", "line oneline two"},
      {"\t", ""},
      {"plain text", "plain text"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(model_.SetCell(1, kCatalogueRemark, c.typed), c.stored);
    EXPECT_EQ(model_.Cell(1, kCatalogueRemark), c.stored);
  }
  model_.SetCell(1, kCatalogueType, "MX\t25");
  ASSERT_TRUE(model_.Close());
  ASSERT_TRUE(catalogue_.Load());
  EXPECT_EQ(catalogue_.Entries()[1], (SpiCatalogueEntry{"2", "MX25", "001720C2", "8192", "plain text", "33"}));

  for (const auto& [row, column] : std::vector<std::pair<int, int>>{{-1, 0}, {3, 0}, {0, -1}, {0, 6}}) {
    EXPECT_EQ(model_.SetCell(row, column, "x"), std::nullopt) << row << "," << column;
    EXPECT_EQ(model_.Cell(row, column), "");
  }
}

TEST_F(CatalogueDialogTest, AFailedSaveOnCloseIsReported) {
  catalogue_.SetPath(dir_ / "missing-folder" / "SpiList.ini");
  model_.Delete(0);
  std::string error;
  EXPECT_FALSE(model_.Close(&error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(catalogue_.Count(), 2u) << "the rows are still the catalogue in memory";
}

// A catalogue the station cannot read is never written back, however the
// dialog closes: its rows are unknown, and saving the table would put an
// empty or half-known list in their place.
TEST_F(CatalogueDialogTest, AnUnreadableFileIsReportedAndNeverWrittenBack) {
  const struct {
    const char* name;
    bool regularFile;  // else what stands in its place is checked to stay
    fs::file_type type;
  } cases[] = {
      {"the station's user may not read it", true, fs::file_type::regular},
      {"a folder in its place", false, fs::file_type::directory},
#if !defined(_WIN32)  // Windows has no FIFOs in its file system
      {"a FIFO in its place", false, fs::file_type::fifo},
#endif
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(model_.Open());
    fs::remove_all(file());
    if (c.type == fs::file_type::regular) WriteText(file(), kThreeChips);
    if (c.type == fs::file_type::directory) fs::create_directories(file());
#if !defined(_WIN32)
    if (c.type == fs::file_type::fifo) {
      ASSERT_EQ(::mkfifo(file().c_str(), 0644), 0);
    }
#endif
    {
      test::FaultyPlatform unreadable;
      unreadable.refuseReading = [this](const fs::path& p) { return p == file(); };
      std::string problem;
      EXPECT_FALSE(model_.Open(&problem));
      EXPECT_NE(problem.find("SpiList.ini cannot be read"), std::string::npos) << problem;
      EXPECT_FALSE(model_.WillSave());
      EXPECT_EQ(model_.RowCount(), 3) << "the chips the station knows stay";
      model_.Delete(0);
      model_.Add();
      std::string error;
      EXPECT_FALSE(model_.Close(&error));
      EXPECT_NE(error.find("could not be read"), std::string::npos) << error;
    }
    EXPECT_EQ(fs::symlink_status(file()).type(), c.type);
    if (c.regularFile) {
      EXPECT_EQ(FileText(), kThreeChips);
    }
    fs::remove_all(file());
    WriteText(file(), kThreeChips);
  }
  // A missing file is no fault: the table starts empty and closing creates it.
  fs::remove(file());
  EXPECT_TRUE(model_.Open());
  EXPECT_EQ(model_.RowCount(), 0);
  ASSERT_TRUE(model_.Close());
  EXPECT_EQ(FileText(), "Spi Count = 0 \r\n");
}

// --- With a station on simulated devices -------------------------------------

std::string Farm(const std::vector<std::string>& devices) {
  std::string s = R"({"devices":[)";
  for (size_t i = 0; i < devices.size(); ++i) s += (i ? "," : "") + devices[i];
  return s + "]}";
}

std::string Device(char letter, const std::string& flashId = "") {
  std::string d = std::string(R"({"letter":")") + letter + "\"";
  if (!flashId.empty()) d += R"(,"flashId":")" + flashId + "\"";
  return d + "}";
}

// The simulator's default chip, in lower case, is the only one catalogued.
constexpr const char* kLowerCaseDefaultChip =
    "Spi Count = 1 \r\n"
    "1\tW25Q128\t001840ef\t16384\ttest\t80\r\n";

TEST_F(StationTest, AutoAddAppendsEachNewChipOnceAfterTheOperatorConfirms) {
  const std::string sameNewChip = "00C22017";  // id text 001720C2
  const std::string question = std::string("DriverID:E   FlashID: 001840EF \r\n"
                                           "DriverID:F   FlashID: 001720C2 \r\n"
                                           "DriverID:G   FlashID: 001720C2 \r\n"
                                           "DriverID:H   FlashID: 00FFFFFF \r\n") +
                               StringText(1051);
  const struct {
    const char* what;
    std::string devices;
    std::string fault;  // added to E once the station runs
    bool ok;
    std::vector<std::string> messages;
    std::vector<CatalogueRow> added;
  } cases[] = {
      {"known in lower case, two alike, no chip",
       Farm({Device('E'), Device('F', sameNewChip), Device('G', sameNewChip), Device('H', "00FFFFFF")}),
       "",
       true,
       {question, "new Add 1 SPI Flash, plz modify the size and type and remark"},
       {{"2", "NewType", "001720C2", "NewSize", "", "NewRemark"}}},
      {"cancelled", Farm({Device('E'), Device('F', sameNewChip), Device('G', sameNewChip), Device('H', "00FFFFFF")}),
       "", false, {question}, {}},
      {"nothing new", Farm({Device('E')}), "", true,
       {std::string("DriverID:E   FlashID: 001840EF \r\n") + StringText(1051), "no new SPI FLASH to add!"}, {}},
      {"a failed id read", Farm({Device('E')}), R"({"on":"flash-id"})", true,
       {std::string("DriverID:E   FlashID: 00000000 \r\n") + StringText(1051), "no new SPI FLASH to add!"}, {}},
      {"no device opens", Farm({Device('E')}), R"({"on":"open"})", true,
       {StringText(1051), "no new SPI FLASH to add!"}, {}},
      {"no device listed", Farm({}), "", true, {"没有连接有效设备!"}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    StartStation(c.devices, kLowerCaseDefaultChip);
    if (!c.fault.empty()) {
      ASSERT_EQ(QMR_SimAddFault('E', c.fault.c_str(), nullptr, 0), 1);
    }
    messages_.shown.clear();
    messages_.answerOk = c.ok;

    CatalogueDialogModel model(station_->catalogue());
    model.Open();
    const CatalogueRow known = model.Rows().at(0);
    EXPECT_EQ(model.AutoAdd(station_->rows(), messages_), int(c.added.size()));
    EXPECT_EQ(messages_.shown, c.messages);
    std::vector<CatalogueRow> expected = {known};
    expected.insert(expected.end(), c.added.begin(), c.added.end());
    EXPECT_EQ(model.Rows(), expected);
    EXPECT_EQ(station_->catalogue().Count(), 1u) << "AutoAdd changes only the table";
    EXPECT_EQ(ReadWholeFile(dir_ / "SpiList.ini"), kLowerCaseDefaultChip) << "nor does it save";

    host_.StopWatching();
    station_.reset();
  }
}

TEST_F(StationTest, FlashIdReportListsEveryDeviceThatOpens) {
  StartStation(Farm({Device('E'), Device('F', "00C22017"), Device('G'), Device('H')}));
  // F's chip does not answer; G does not open; H reads fine after both.
  ASSERT_EQ(QMR_SimAddFault('F', R"({"on":"flash-id"})", nullptr, 0), 1);
  ASSERT_EQ(QMR_SimAddFault('G', R"({"on":"open"})", nullptr, 0), 1);
  EXPECT_EQ(FlashIdReport(station_->rows()),
            "DriverID:E   FlashID: 001840EF \r\n"
            "DriverID:F   FlashID: 00000000 \r\n"
            "DriverID:H   FlashID: 001840EF \r\n");
  EXPECT_STREQ(FlashIdReportTitle(), "Read FlashId");

  // Each fault fired once: one open and one id read per device and report.
  EXPECT_EQ(FlashIdReport(station_->rows()),
            "DriverID:E   FlashID: 001840EF \r\n"
            "DriverID:F   FlashID: 001720C2 \r\n"
            "DriverID:G   FlashID: 001840EF \r\n"
            "DriverID:H   FlashID: 001840EF \r\n");
}

}  // namespace
}  // namespace ardentix::testing
