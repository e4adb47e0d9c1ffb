// The catalogue dialog on a station with simulated devices: what it shows,
// what the operator's edits and buttons do, and that every way of closing
// writes SpiList.ini.
#include "ui/spi_list_dialog.h"

#include <QCursor>
#include <QHeaderView>
#include <QPushButton>
#include <QtTest>

#include "catalogue/spi_catalogue.h"
#include "core/strings.h"
#include "ui/editable_list_ctrl.h"
#include "ui_fixture.h"

using namespace ardentix;
using namespace ardentix::ui;
using namespace ardentix::ui::testing;

class SpiListDialogTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<StationUnderTest> s_;
  std::unique_ptr<SpiListDialog> dialog_;

  void Open(const std::string& simulation = "1") {
    dialog_.reset();
    s_.reset();
    s_ = std::make_unique<StationUnderTest>(simulation);
    QVERIFY2(s_->configured, s_->configureError.c_str());
    s_->Start();
    dialog_ = std::make_unique<SpiListDialog>(s_->station(), s_->window.get());
    dialog_->show();
    QApplication::setActiveWindow(dialog_.get());
    QVERIFY(QTest::qWaitForWindowActive(dialog_.get()));
  }
  EditableListCtrl* List() { return dialog_->list(); }
  QPushButton* Button(int controlId) { return dialog_->findChild<QPushButton*>(QString("c%1").arg(controlId)); }
  void EditCell(int row, int column, const QString& text) {
    const QPoint at = List()->visualRect(List()->model()->index(row, column)).center();
    QCursor::setPos(List()->viewport()->mapToGlobal(at));
    QTest::mouseClick(List()->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseClick(List()->viewport(), Qt::LeftButton, {}, at);
    QVERIFY(List()->cellEdit != nullptr);
    List()->cellEdit->setText(text);
    QTest::keyClick(List()->cellEdit, Qt::Key_Return);
    QTRY_VERIFY(List()->cellEdit == nullptr);
  }
  QStringList Row(int row) {
    QStringList cells;
    for (int c = 0; c < List()->columnCount(); ++c) cells << List()->CellText(row, c);
    return cells;
  }
  std::vector<SpiCatalogueEntry> FileEntries() { return SpiCatalogue::Parse(ReadText(s_->dir / "SpiList.ini")); }

 private Q_SLOTS:
  void cleanup() {
    dialog_.reset();
    s_.reset();
  }

  void showsTheCatalogue() {
    Open();
    QCOMPARE(dialog_->windowTitle(), QString("SPI list"));
    QCOMPARE(List()->rowCount(), 2);
    // Freq before Remark, the other way round from the file.
    QCOMPARE(Row(0), (QStringList{"1", "W25Q128", "001840EF", "16384", "80", "test"}));
    const char* headings[] = {"No", "SPI Type", "ID", "Len(KBytes)", "Freq(MHz)", "Remark"};
    for (int c = 0; c < 6; ++c) {
      QCOMPARE(List()->horizontalHeaderItem(c)->text(), QString(headings[c]));
      QCOMPARE(List()->columnWidth(c), c == 0 ? 60 : 100);
    }
    QVERIFY(List()->showGrid());
    for (int id : {1047, 1048, 1, 1049}) QVERIFY(Button(id) != nullptr);
  }

  void everyWayOfClosingSaves_data() {
    QTest::addColumn<QString>("how");
    QTest::newRow("Exit") << "exit";
    QTest::newRow("Escape") << "escape";
    QTest::newRow("close box") << "close";
  }
  void everyWayOfClosingSaves() {
    QFETCH(QString, how);
    Open();
    WriteText(s_->dir / "SpiList.ini", "Spi Count = 0 \r\n");  // proves the dialog writes it
    EditCell(0, 1, "W25Q128JV");
    EditCell(1, 4, "104");
    if (how == "exit")
      Button(1)->click();
    else if (how == "escape")
      QTest::keyClick(dialog_.get(), Qt::Key_Escape);
    else
      dialog_->close();
    QVERIFY(!dialog_->isVisible());
    const auto entries = FileEntries();
    QCOMPARE(int(entries.size()), 2);
    QCOMPARE(Q(entries[0].SpiType), QString("W25Q128JV"));
    QCOMPARE(Q(entries[1].FreqMHz), QString("104"));
    QCOMPARE(Q(entries[1].Remark), QString("lower"));
    QCOMPARE(Q(entries[1].No), QString("2"));
    // The running station sees the same catalogue.
    QCOMPARE(s_->station().catalogue().FrequencyForId("001740EF"), 104);
  }

  void aFailedSaveIsReported() {
    Open();
    // A folder where the file should be: the save cannot replace it.
    std::filesystem::remove(s_->dir / "SpiList.ini");
    std::filesystem::create_directories(s_->dir / "SpiList.ini" / "keep");
    Button(1)->click();
    QVERIFY(!dialog_->isVisible());
    QCOMPARE(int(s_->messages.shown.size()), 1);
    QVERIFY(s_->messages.shown[0].text.rfind("SpiList.ini was not saved", 0) == 0);
  }

  void anUnreadableCatalogueIsReportedAndNotWrittenBack() {
    Open();
    // A folder where the file should be: it cannot be read, so it must not be written.
    dialog_.reset();
    std::filesystem::remove(s_->dir / "SpiList.ini");
    std::filesystem::create_directories(s_->dir / "SpiList.ini");
    dialog_ = std::make_unique<SpiListDialog>(s_->station(), s_->window.get());
    dialog_->show();
    QTRY_COMPARE(int(s_->messages.shown.size()), 1);
    QVERIFY(s_->messages.shown[0].text.rfind("SpiList.ini cannot be read", 0) == 0);
    QCOMPARE(List()->rowCount(), 2);  // the chips the station knows
    Button(1047)->click();
    Button(1)->click();
    QVERIFY(!dialog_->isVisible());
    QCOMPARE(int(s_->messages.shown.size()), 2);
    QVERIFY(s_->messages.shown[1].text.rfind("SpiList.ini was not saved", 0) == 0);
    QVERIFY(std::filesystem::is_directory(s_->dir / "SpiList.ini"));
    QVERIFY(std::filesystem::is_empty(s_->dir / "SpiList.ini"));
  }

  void addAndDelete() {
    Open();
    Button(1047)->click();
    QCOMPARE(Row(2), (QStringList{"3", "", "", "", "", ""}));
    List()->setCurrentCell(0, 3);
    Button(1048)->click();
    QCOMPARE(List()->rowCount(), 2);
    QCOMPARE(Row(0).mid(0, 3), (QStringList{"2", "W25Q64", "001740ef"}));  // keeps the number it showed
    QCOMPARE(Row(1)[0], QString("3"));

    // Del without a selection mark deletes nothing.
    dialog_.reset();
    dialog_ = std::make_unique<SpiListDialog>(s_->station(), s_->window.get());
    QCOMPARE(dialog_->list()->currentRow(), -1);
    Button(1048)->click();
    QCOMPARE(dialog_->list()->rowCount(), 2);
    Button(1)->click();
    const auto entries = FileEntries();
    QCOMPARE(int(entries.size()), 2);
    QCOMPARE(Q(entries[0].No + "|" + entries[0].Id), QString("1|001740ef"));
    // The row added and left empty is saved with empty fields.
    QCOMPARE(Q(entries[1].No + "|" + entries[1].SpiType + entries[1].Id + entries[1].Remark), QString("2|"));
  }

  void autoAdd_data() {
    QTest::addColumn<QString>("devices");
    QTest::addColumn<QString>("extraRow");  // a listed row for a device the scan refused
    QTest::addColumn<bool>("answerOk");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<QStringList>("newIds");
    const QString two = R"({"devices":[{"letter":"E","flashId":"00C84018"},{"letter":"F","flashId":"00C84018"},)"
                        R"({"letter":"G","flashId":"00EF4017"}]})";
    const QString report =
        "DriverID:E   FlashID: 001840C8 \r\nDriverID:F   FlashID: 001840C8 \r\nDriverID:G   FlashID: 001740EF \r\n" +
        QString::fromUtf8(StringText(1051));
    QTest::newRow("one new id twice, one known in lower case")
        << two << "" << true << QStringList{report, "new Add 1 SPI Flash, plz modify the size and type and remark"}
        << QStringList{"001840C8"};
    QTest::newRow("cancelled") << two << "" << false << QStringList{report} << QStringList{};
    QTest::newRow("a device answering FF FF FF FF")
        << R"({"devices":[{"letter":"E","flashId":"FFFFFFFF"}]})"
        << "E" << true
        << QStringList{QString("DriverID:E   FlashID: 00FFFFFF \r\n") + QString::fromUtf8(StringText(1051)),
                       QString("no new SPI FLASH to add!")}
        << QStringList{};
    QTest::newRow("no device") << "0"
                               << "" << true << QStringList{QString::fromUtf8("没有连接有效设备!")} << QStringList{};
  }
  void autoAdd() {
    QFETCH(QString, devices);
    QFETCH(QString, extraRow);
    QFETCH(bool, answerOk);
    QFETCH(QStringList, messages);
    QFETCH(QStringList, newIds);
    Open(devices.toStdString());
    if (!extraRow.isEmpty())
      s_->station().rows().Append({"1", extraRow.toStdString() + "(0) :", "The device is ready....", "---"});
    s_->messages.answerOk = answerOk;
    Button(1049)->click();
    QCOMPARE(s_->messages.Texts(), messages);
    QCOMPARE(List()->rowCount(), 2 + int(newIds.size()));
    for (int i = 0; i < newIds.size(); ++i)
      QCOMPARE(Row(2 + i), (QStringList{QString::number(3 + i), "NewType", newIds[i], "NewSize", "", "NewRemark"}));
    // Nothing reaches the file before the dialog closes.
    QCOMPARE(int(FileEntries().size()), 2);
    dialog_->accept();
    QCOMPARE(int(FileEntries().size()), 2 + int(newIds.size()));
  }
};

QTEST_MAIN(SpiListDialogTest)
#include "spi_list_dialog_test.moc"
