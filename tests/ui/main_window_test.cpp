// The main window driven as the operator drives it, on simulated devices.
#include <QAction>
#include <QCheckBox>
#include <QHeaderView>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressDialog>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QtTest>

#include "burn/continuous_line.h"
#include "burnfiles/sample.h"
#include "burnfiles/texts.h"
#include "core/settings.h"
#include "core/strings.h"
#include "station/remembered.h"
#include "ui/status_list.h"
#include "ui/training_panel.h"
#include "ui/wait_notice.h"
#include "ui_fixture.h"

using namespace ardentix;
using namespace ardentix::ui;
using namespace ardentix::ui::testing;

namespace {

// Flash writes slow enough (about 2.5 s for the large package) that a test
// can act while the devices are being burned. A device is busy for one
// command at a time, so the chunks stay short: the removal check opens the
// devices being burned and waits for their current command.
std::string SlowDevices(const std::string& letters) {
  std::string json = R"({"timing":{"flashWriteMBps":0.05},"devices":[)";
  for (size_t i = 0; i < letters.size(); ++i)
    json += std::string(i ? "," : "") + R"({"letter":")" + letters[i] + R"("})";
  return json + "]}";
}

const SamplePackageSpec kSmallPackage{4096, 5000, 784, "UI test firmware", 1};
const SamplePackageSpec kLargePackage{4096, 120000, 784, "UI test firmware", 1};

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<StationUnderTest> s_;

  MainWindow& W() { return *s_->window; }
  QAbstractButton* Button(int controlId) { return W().ControlAs<QAbstractButton>(controlId); }
  QString EditText(int controlId) { return W().ControlAs<QLineEdit>(controlId)->text(); }

  void StartWith(const std::string& simulation, const std::string& unplugged = "", bool training = false) {
    s_.reset();  // one simulator per process: the old station goes first
    s_ = std::make_unique<StationUnderTest>(simulation, unplugged);
    QVERIFY2(s_->configured, s_->configureError.c_str());
    s_->Start(training);
  }
  // The operator's import: the Open button, the file, the notice until done.
  void Import(const std::string& package) {
    WriteText(s_->dir / "sample.vlr", package);
    s_->chooser->answers.push_back(s_->dir / "sample.vlr");
    Button(id::kFlashOpen)->click();
    QTRY_VERIFY(!W().FileJobRunning());
  }
  void ChooseSd1(uint64_t bytes) {
    WriteText(s_->dir / "card.img", MakeSampleSdImage(bytes));
    if (!Button(id::kSd1Check)->isChecked()) Button(id::kSd1Check)->click();
    s_->chooser->answers.push_back(s_->dir / "card.img");
    Button(id::kSd1Open)->click();
  }
  QString Row(int row) {
    StatusList* list = W().statusList();
    return list->Text(row, 0) + "|" + list->Text(row, 1) + "|" + list->Text(row, 2) + "|" + list->Text(row, 3);
  }

 private Q_SLOTS:
  void cleanup() { s_.reset(); }

  void startUpState() {
    StartWith("2");
    QVERIFY(Button(id::kFlashCheck)->isChecked());
    QVERIFY(Button(id::kFlashOpen)->isEnabled());
    for (int box : {id::kSd1Check, id::kSd2Check}) QVERIFY(!Button(box)->isChecked());
    for (int open : {id::kSd1Open, id::kSd2Open}) QVERIFY(!Button(open)->isEnabled());
    QVERIFY(W().ControlAs<QRadioButton>(id::kRadioFlash)->isChecked());
    QVERIFY(!W().ControlAs<QRadioButton>(id::kRadioSd)->isChecked());
    QVERIFY(!Button(id::kExtraOptions)->isChecked());
    QCOMPARE(W().testType, 1);
    // Texts come from the string table, after the start-up's own order.
    QCOMPARE(Button(id::kStart)->text(), QString("Start"));
    QCOMPARE(Button(id::kExit)->text(), QString("Exit"));
    QCOMPARE(Button(id::kFlashCheck)->text(), QString("SPI File Burn"));
    QCOMPARE(Button(id::kSpiList)->text(), QString("SPI list"));
    QCOMPARE(W().windowTitle(), QString("FirmwareInfo RQ4820/B/(61700)(SPIBOOT) V4.5.0_ForCustomer "));
    for (int package : {id::kExport, id::kVoice, id::kSysconfig}) QVERIFY(!Button(package)->isEnabled());
    // The hidden controls exist, hidden, with their start values.
    for (int hidden : {id::kRadioSd, id::kExtraOptions, id::kGenerate, id::kVid1, id::kFlashIdReport})
      QVERIFY2(W().Control(hidden)->isHidden(), qPrintable(QString::number(hidden)));
    QCOMPARE(EditText(id::kVid1), QString("7E21"));
    QCOMPARE(EditText(id::kPid2), QString("5A38"));
    QCOMPARE(W().ControlAs<QComboBox>(id::kDriveBox)->count(), 2);
    QCOMPARE(W().ControlAs<QComboBox>(id::kDriveBox)->itemText(0).left(2), QString("E:"));

    StatusList* list = W().statusList();
    const struct {
      const char* heading;
      int width;
      Qt::Alignment alignment;
    } columns[] = {{"No.", 60, Qt::AlignLeft},
                   {"Drive(Lun)", 160, Qt::AlignHCenter},
                   {"Status", 280, Qt::AlignHCenter},
                   {"Result", 120, Qt::AlignHCenter}};
    // At the default size every column, Result included, is in view at no
    // less than the resource's width.
    int right = 0;
    for (int c = 0; c < 4; ++c) {
      QCOMPARE(list->headerItem()->text(c), QString(columns[c].heading));
      QVERIFY2(list->columnWidth(c) >= columns[c].width, qPrintable(QString::number(list->columnWidth(c))));
      QCOMPARE(Qt::Alignment(list->headerItem()->textAlignment(c)) & Qt::AlignHorizontal_Mask, columns[c].alignment);
      right = std::max(right, list->header()->sectionViewportPosition(c) + list->columnWidth(c));
    }
    QVERIFY2(right <= list->viewport()->width(), qPrintable(QString("%1 > %2").arg(right).arg(list->viewport()->width())));
    QCOMPARE(Row(0), QString("  1|E(0) :|The device is ready....|---"));
    // The first refresh rewrites the number without its padding.
    QTRY_COMPARE(Row(1), QString("2|F(0) :|The device is ready....|---"));
  }

  void checkBoxesEnableTheirOpenButtons_data() {
    QTest::addColumn<int>("box");
    QTest::addColumn<int>("open");
    QTest::newRow("SD1") << id::kSd1Check << id::kSd1Open;
    QTest::newRow("SD2") << id::kSd2Check << id::kSd2Open;
    QTest::newRow("SPI") << id::kFlashCheck << id::kFlashOpen;
  }
  void checkBoxesEnableTheirOpenButtons() {
    QFETCH(int, box);
    QFETCH(int, open);
    StartWith("1");
    for (int round = 0; round < 2; ++round) {
      QTest::mouseClick(Button(box), Qt::LeftButton);
      QCOMPARE(Button(open)->isEnabled(), Button(box)->isChecked());
    }
    QCOMPARE(Button(box)->isChecked(), box == id::kFlashCheck);
  }

  void startWithMissingFilesSaysWhichOne_data() {
    QTest::addColumn<int>("box");
    QTest::addColumn<QString>("message");
    QTest::newRow("SD1 image") << id::kSd1Check << "Please select the Img file.";
    QTest::newRow("SD2 image") << id::kSd2Check << "Plz select img file burn to sd2.";
    QTest::newRow("package") << id::kFlashCheck << "pls select vlr file.";
  }
  void startWithMissingFilesSaysWhichOne() {
    QFETCH(int, box);
    QFETCH(QString, message);
    StartWith("1");
    if (Button(id::kFlashCheck)->isChecked() != (box == id::kFlashCheck)) Button(id::kFlashCheck)->click();
    if (box != id::kFlashCheck) Button(box)->click();
    Button(id::kStart)->click();
    QCOMPARE(s_->messages.Texts(), QStringList{message});
    QCOMPARE(Q(s_->messages.shown[0].caption), QString("RQ4820 Ardentix"));
    QVERIFY(!s_->engine().Running());
    QCOMPARE(Button(id::kStart)->text(), QString("Start"));
  }

  void failedLockTestLeavesStopEnabled() {
    StartWith("2");
    char error[128] = {};
    QVERIFY(QMR_SimAddFault('F', R"({"on":"lock"})", error, sizeof error));
    Button(id::kFlashCheck)->click();  // nothing to burn: the lock test alone
    Button(id::kStart)->click();
    QTRY_COMPARE(s_->messages.Texts(), QStringList{"Lock fail! Drive(s): F:"});
    QVERIFY(s_->engine().Running());
    QCOMPARE(Button(id::kStart)->text(), QString("Stop"));
    QVERIFY(Button(id::kStart)->isEnabled());
    Button(id::kStart)->click();
    QVERIFY(!s_->engine().Running());
    QCOMPARE(Button(id::kStart)->text(), QString("Start"));
    QCOMPARE(EditText(id::kPassCount), QString("0"));
  }

  void wholeBurnThroughTheWindow() {
    StartWith("3");
    Import(*MakeSamplePackage(kSmallPackage));
    QCOMPARE(W().windowTitle(), Q(MainWindowCaption(kSmallPackage.firmwareInfo)));
    QCOMPARE(EditText(id::kFlashPath), Q((s_->dir / "sample.vlr").string()));
    QTRY_VERIFY(Button(id::kExport)->isEnabled());
    ChooseSd1(70000);
    QCOMPARE(EditText(id::kSd1Path), Q((s_->dir / "card.img").string()));

    Button(id::kStart)->click();
    QCOMPARE(Button(id::kStart)->text(), QString("Stop"));
    QVERIFY(!Button(id::kStart)->isEnabled());
    for (int controlId : {id::kSd1Open, id::kFlashOpen, id::kExport, id::kVoice, id::kSysconfig})
      QVERIFY2(!W().Control(controlId)->isEnabled(), qPrintable(QString::number(controlId)));
    QTRY_VERIFY_WITH_TIMEOUT(!s_->engine().Running(), 20000);
    QTRY_COMPARE(Row(2), QString("3|G(0) :|Download OK|Success!"));
    QCOMPARE(Row(0), QString("1|E(0) :|Download OK|Success!"));
    QCOMPARE(EditText(id::kPassCount), QString("3"));
    QCOMPARE(EditText(id::kFailCount), QString("0"));
    QCOMPARE(LoadSettings(s_->station().settingsPath()).PassCount, 3);
    QCOMPARE(Button(id::kStart)->text(), QString("Start"));
    for (int controlId : {id::kStart, id::kSd1Open, id::kFlashOpen, id::kExport, id::kVoice, id::kSysconfig})
      QVERIFY2(W().Control(controlId)->isEnabled(), qPrintable(QString::number(controlId)));
    QVERIFY(s_->messages.shown.empty());
  }

  void theContinuousLineThroughTheWindow() {
    StartWith(R"({"devices":[{"letter":"E"},{"letter":"F","plugAtMs":999999999}]})");
    Import(*MakeSamplePackage(kSmallPackage));
    // The choice is kept with the window's others, not in the line's settings file.
    W().continuousBox()->click();
    QVERIFY(LoadRemembered(s_->dir).continuous);

    Button(id::kStart)->click();
    QVERIFY(s_->engine().line().Active());
    QCOMPARE(Button(id::kStart)->text(), QString("Stop"));
    QVERIFY(Button(id::kStart)->isEnabled());  // Stop ends the line
    QVERIFY(!W().continuousBox()->isEnabled());
    QVERIFY(!Button(id::kFlashOpen)->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(W().batchStateLabel()->text(), QString("line running: E done - swap me"), 20000);
    QMR_SimPlug('F');  // no START: F is burned as it arrives
    QTRY_COMPARE_WITH_TIMEOUT(W().batchStateLabel()->text(), QString("line running: E done - swap me, F waiting"),
                              20000);
    // The settle time passes on the station's (fake) clock.
    static_cast<FakeClock&>(s_->session->clock()).Advance(kSettleTime);
    QTRY_COMPARE_WITH_TIMEOUT(W().batchStateLabel()->text(), QString("line running: E done - swap me, F done - swap me"),
                              20000);
    QTRY_COMPARE(EditText(id::kPassCount), QString("2"));
    QVERIFY(W().unitsPerHourLabel()->text().startsWith("Units per hour: "));
    Button(id::kStart)->click();
    QTRY_VERIFY_WITH_TIMEOUT(!s_->engine().Running(), 20000);
    QCOMPARE(Button(id::kStart)->text(), QString("Start"));
    QVERIFY(W().continuousBox()->isEnabled());
    QVERIFY(ReadText(s_->station().settingsPath()).find("ontinuous") == std::string::npos);
    QVERIFY(s_->messages.shown.empty());
  }

  void aFinishedBatchReadsAtAGlance() {
    StartWith("3");
    Import(*MakeSamplePackage(kSmallPackage));
    int beeps = 0;
    W().SetBeep([&] { ++beeps; });
    W().SetToday([] { return std::string("2024-05-06"); });
    char error[128] = {};
    QVERIFY(QMR_SimAddFault('F', R"({"on":"flash-write","after":2,"action":"fail"})", error, sizeof error));
    QLabel* state = W().batchStateLabel();
    auto* summary = W().findChild<QLabel*>("runSummary");
    auto* yield = W().findChild<QLabel*>("dayYield");
    QCOMPARE(state->text(), QString());
    QCOMPARE(yield->text(), QString("Yield of the day: no device yet"));

    Button(id::kStart)->click();
    QCOMPARE(state->text(), QString::fromUtf8("burning\u2026"));
    QCOMPARE(W().statusList()->Tone(0), RowTone::Neutral);
    QTRY_VERIFY_WITH_TIMEOUT(!s_->engine().Running(), 20000);
    QTRY_COMPARE(state->text(), QString("batch finished: swap the devices"));
    QTRY_COMPARE(Row(1), QString("2|F(0) :|The device is ready....|Fail to download data FLASH."));
    const RowTone tones[] = {RowTone::Passed, RowTone::Failed, RowTone::Passed};
    for (int r = 0; r < 3; ++r) QCOMPARE(W().statusList()->Tone(r), tones[r]);
    QCOMPARE(summary->text(), QString("This run: passed 2, failed 1, running 0"));
    QCOMPARE(yield->text(), QString("Yield of the day: 66.7% (2 of 3)"));
    QTest::qWait(700);  // refreshes go on: one signal per batch
    QCOMPARE(beeps, 1);
    QCOMPARE(LoadRemembered(s_->dir).day, (DayTally{"2024-05-06", 2, 1}));

    // The devices are swapped: the state clears, the run's counts stay.
    // (One at a time: a removal replaces the one before that was not yet checked.)
    for (int left = 2; left >= 0; --left) {
      QMR_SimUnplug(char('E' + left));
      QTRY_COMPARE(W().statusList()->topLevelItemCount(), left);
      QCOMPARE(state->text(), left > 0 ? QString("batch finished: swap the devices") : QString());
    }
    QCOMPARE(summary->text(), QString("This run: passed 2, failed 1, running 0"));

    // With the signal off the next batch ends silently; the switch is remembered.
    W().batchSignalBox()->click();
    QVERIFY(!LoadRemembered(s_->dir).batchSignal);
    QMR_SimPlug('E');
    QTRY_COMPARE(W().statusList()->topLevelItemCount(), 1);
    W().activateWindow();
    QTRY_VERIFY(QApplication::focusWidget() != nullptr);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    QVERIFY(s_->engine().Running());
    QTRY_VERIFY_WITH_TIMEOUT(!s_->engine().Running(), 20000);
    QTRY_COMPARE(W().batchBoard().state(), BatchState::Finished);
    QCOMPARE(W().statusList()->Tone(0), RowTone::Passed);
    QCOMPARE(beeps, 1);
    QCOMPARE(yield->text(), QString("Yield of the day: 75.0% (3 of 4)"));
  }

  void startFromTheKeyboard_data() {
    QTest::addColumn<int>("focus");
    QTest::addColumn<int>("key");
    QTest::newRow("Space on a check box") << id::kFlashCheck << int(Qt::Key_Space);
    QTest::newRow("Enter on Exit") << id::kExit << int(Qt::Key_Return);
    QTest::newRow("Enter on a path") << id::kFlashPath << int(Qt::Key_Enter);
    QTest::newRow("Space on the list") << id::kStatusList << int(Qt::Key_Space);
  }
  void startFromTheKeyboard() {
    QFETCH(int, focus);
    QFETCH(int, key);
    StartWith("1");
    Import(*MakeSamplePackage(kSmallPackage));
    W().activateWindow();
    W().Control(focus)->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), W().Control(focus));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
    QVERIFY(s_->engine().Running());
    QVERIFY(W().isVisible());                       // Enter did not close the window
    QVERIFY(Button(id::kFlashCheck)->isChecked());  // Space did not toggle the box
    QTRY_VERIFY_WITH_TIMEOUT(!s_->engine().Running(), 20000);
    QTRY_COMPARE(Row(0), QString("1|E(0) :|Download OK|Success!"));
  }

  void keysTypeIntoAnEdit() {
    StartWith("1");
    Import(*MakeSamplePackage(kSmallPackage));
    // The only edits one types into are among the hidden controls.
    W().findChild<QWidget*>("hiddenControls")->show();
    auto* vid = W().ControlAs<QLineEdit>(id::kVid1);
    vid->show();
    W().activateWindow();
    vid->setFocus();
    vid->end(false);
    QTRY_COMPARE(QApplication::focusWidget(), vid);
    QTest::keyClick(vid, Qt::Key_Space);
    QTest::keyClick(vid, Qt::Key_Return);
    QCOMPARE(vid->text(), QString("7E21 "));
    QVERIFY(!s_->engine().Running());
    QVERIFY(W().isVisible());
  }

  void rememberedChoicesComeBackButNeverBurn() {
    s_.reset();
    s_ = std::make_unique<StationUnderTest>("2");
    QVERIFY(s_->configured);
    WriteText(s_->dir / "card.img", MakeSampleSdImage(70000));
    WriteText(s_->dir / "sample.vlr", *MakeSamplePackage(kSmallPackage));
    RememberedChoices last;
    last.sd1Image = s_->dir / "card.img";
    last.sd2Image = s_->dir / "gone.img";
    last.flashPackage = s_->dir / "sample.vlr";
    last.sd1Enabled = 1;
    last.batchSignal = false;
    QVERIFY(SaveRemembered(s_->dir, last));
    s_->Start();
    QTRY_VERIFY(!W().FileJobRunning());
    QCOMPARE(EditText(id::kSd1Path), Q((s_->dir / "card.img").string()));
    QCOMPARE(EditText(id::kSd2Path), QString());
    QCOMPARE(EditText(id::kFlashPath), Q((s_->dir / "sample.vlr").string()));
    QCOMPARE(W().windowTitle(), Q(MainWindowCaption(kSmallPackage.firmwareInfo)));
    QVERIFY(Button(id::kSd1Check)->isChecked());
    QVERIFY(Button(id::kSd1Open)->isEnabled());
    QVERIFY(Button(id::kFlashCheck)->isChecked());
    QVERIFY(!W().batchSignalBox()->isChecked());
    QTRY_COMPARE(s_->messages.Texts(),
                 QStringList{QString::fromUtf8(StringText(3066)) + "\n" + Q((s_->dir / "gone.img").string())});
    QTest::qWait(400);
    QVERIFY(!s_->engine().Running());
    QCOMPARE(s_->station().PassCount.load(), 0);
    QCOMPARE(Row(0), QString("1|E(0) :|The device is ready....|---"));

    // What the operator changes is what the next start shows.
    Button(id::kSd1Check)->click();
    Button(id::kSd2Check)->click();
    const RememberedChoices now = LoadRemembered(s_->dir);
    QCOMPARE(now.sd1Enabled, 0);
    QCOMPARE(now.sd2Enabled, 1);
    QCOMPARE(now.sd1Image, s_->dir / "card.img");
    QCOMPARE(now.flashPackage, s_->dir / "sample.vlr");
    QVERIFY(!fs::exists(s_->dir / "RQ4820Ardentix.ini"));  // the line's settings file stays untouched
  }

  void theStatusListTakesTheRoom() {
    StartWith("2");
    StatusList* list = W().statusList();
    auto* path = W().Control(id::kSd1Path);
    auto* open = W().Control(id::kSd1Open);
    const QSize listBefore = list->size();
    const int pathWidth = path->width(), openLeft = open->x(), resultWidth = list->columnWidth(3);
    W().resize(W().size() + QSize(200, 150));
    QTRY_COMPARE(list->size(), listBefore + QSize(200, 150));
    QCOMPARE(path->width(), pathWidth + 200);
    QCOMPARE(open->x(), openLeft + 200);
    QVERIFY(list->columnWidth(3) > resultWidth);
    // Never narrower than the columns' resource widths.
    W().resize(100, 100);
    QTRY_VERIFY(W().width() >= W().minimumSizeHint().width());
    for (int c = 0; c < 4; ++c) QVERIFY(list->columnWidth(c) >= StatusList::MinimumColumnWidth(c));
    QVERIFY(list->header()->sectionViewportPosition(3) + list->columnWidth(3) <= list->viewport()->width());
  }

  void importRunsBesideTheWindowBehindItsNotice() {
    StartWith("1");
    auto bad = *MakeSamplePackage(kSmallPackage);
    bad[1000] ^= 1;
    WriteText(s_->dir / "bad.vlr", bad);
    s_->chooser->answers.push_back(s_->dir / "bad.vlr");
    Button(id::kFlashOpen)->click();
    // The button has returned; the import is still on its thread.
    QVERIFY(W().FileJobRunning());
    QVERIFY(W().waitNotice() != nullptr);
    QCOMPARE(W().waitNotice()->text(), QString::fromUtf8("Importing,pls wait\u2026\u2026"));
    QVERIFY(W().waitNotice()->isVisible());
    QTRY_VERIFY(!W().FileJobRunning());
    QVERIFY(W().waitNotice() == nullptr);
    QCOMPARE(s_->messages.Texts(), QStringList{"vlr file format error"});
    QCOMPARE(EditText(id::kFlashPath), Q((s_->dir / "bad.vlr").string()));
    QCOMPARE(W().windowTitle(), QString("FirmwareInfo RQ4820/B/(61700)(SPIBOOT) V4.5.0_ForCustomer "));
    QTest::qWait(400);
    QVERIFY(!Button(id::kExport)->isEnabled());
    QCOMPARE(s_->chooser->filtersAsked.back(), std::string(kPackageOpenDialog.filter));

    // Cancelling the dialog changes nothing and shows no notice.
    Button(id::kFlashOpen)->click();
    QVERIFY(!W().FileJobRunning());
    QCOMPARE(EditText(id::kFlashPath), Q((s_->dir / "bad.vlr").string()));
  }

  void exportAndSectionReplacement() {
    StartWith("1");
    Import(*MakeSamplePackage(kSmallPackage));
    QTRY_VERIFY(Button(id::kVoice)->isEnabled());
    WriteText(s_->dir / "voice.bin", std::string(3000, 'V'));
    s_->chooser->answers.push_back(s_->dir / "voice.bin");
    Button(id::kVoice)->click();
    QCOMPARE(s_->messages.Texts(), QStringList{"replace ok"});
    QVERIFY(s_->station().files().voiceReplaced);

    s_->chooser->answers.push_back(s_->dir / "out.vlr");
    Button(id::kExport)->click();
    QVERIFY(W().waitNotice() != nullptr);
    QCOMPARE(W().waitNotice()->text(), QString::fromUtf8("Exporting,pls wait\u2026\u2026"));
    QTRY_VERIFY(!W().FileJobRunning());
    QCOMPARE(s_->messages.Texts().size(), 1);  // no message after a successful export
    QVERIFY(ReadText(s_->dir / "out.vlr").find(std::string(3000, 'V')) != std::string::npos);
    QCOMPARE(EditText(id::kFlashPath), Q((s_->dir / "out.vlr").string()));
    QCOMPARE(s_->chooser->filtersAsked.back(), std::string(kPackageSaveDialog.filter));
  }

  void unplugAndPlugDuringARun() {
    StartWith(SlowDevices("EFGH"), "H", true);
    Import(*MakeSamplePackage(kLargePackage));
    TrainingPanel* panel = W().trainingPanel();
    QVERIFY(panel != nullptr);
    QTRY_COMPARE(panel->devices()->count(), 4);
    QCOMPARE(panel->devices()->item(3)->text(), QString("H:  unplugged"));
    Button(id::kStart)->click();
    // The Status cell carries the slot's progress while it writes.
    QTRY_VERIFY_WITH_TIMEOUT(W().statusList()->Progress(1) > 0, 10000);
    QVERIFY(W().statusList()->Text(1, 2).endsWith(QString("(%1%)").arg(W().statusList()->Progress(1))));
    panel->Select('F');
    panel->Unplug();
    panel->Select('H');
    panel->Plug();
    QTRY_COMPARE(W().statusList()->topLevelItemCount(), 2);  // F's row goes at once
    QCOMPARE(W().statusList()->Text(1, 1), QString("G(0) :"));
    QVERIFY(s_->engine().Running());
    QTRY_VERIFY_WITH_TIMEOUT(!s_->engine().Running(), 20000);
    // The arrival waited for the run to end.
    QTRY_COMPARE(W().statusList()->topLevelItemCount(), 3);
    QTRY_COMPARE(Row(2), QString("3|H(0) :|The device is ready....|---"));
    QCOMPARE(s_->station().PassCount.load(), 2);
    QCOMPARE(s_->station().FailCount.load(), 1);
    QTRY_COMPARE(EditText(id::kFailCount), QString("1"));
    QTRY_COMPARE(panel->devices()->item(1)->text(), QString("F:  unplugged"));
  }

  void trainingFaultsReachTheBurn() {
    StartWith("2", "", true);
    TrainingPanel* panel = W().trainingPanel();
    QTRY_COMPARE(panel->devices()->count(), 2);
    // Every offered fault is one the simulator takes.
    const auto& faults = TrainingFaults();
    for (size_t i = 0; i < faults.size(); ++i) {
      panel->AddFault(int(i));
      QTRY_COMPARE(panel->lastNote(), "E: " + QString::fromUtf8(StringText(faults[i].nameStringId)));
    }
    StartWith("2", "", true);
    panel = W().trainingPanel();
    Import(*MakeSamplePackage(kSmallPackage));
    QTRY_COMPARE(panel->devices()->count(), 2);
    panel->Select('F');
    const int flashWrite =
        int(std::find_if(faults.begin(), faults.end(), [](const TrainingFault& f) { return f.nameStringId == 3053; }) -
            faults.begin());
    panel->faults()->setCurrentIndex(flashWrite);
    panel->findChild<QPushButton*>("addFault")->click();
    QTRY_COMPARE(panel->lastNote(), QString("F: Flash write fails"));
    Button(id::kStart)->click();
    QTRY_VERIFY_WITH_TIMEOUT(!s_->engine().Running(), 20000);
    QTRY_COMPARE(Row(1), QString("2|F(0) :|The device is ready....|Fail to download data FLASH."));
    QCOMPARE(Row(0), QString("1|E(0) :|Download OK|Success!"));
  }

  void closingDuringARunAsksAndWaits() {
    StartWith(SlowDevices("EF"));
    Import(*MakeSamplePackage(kLargePackage));
    Button(id::kStart)->click();
    QTRY_VERIFY_WITH_TIMEOUT(W().statusList()->Progress(0) > 0, 10000);

    s_->messages.answerOk = false;
    W().close();
    QVERIFY(W().isVisible());
    QCOMPARE(Q(s_->messages.shown.back().text), QString::fromUtf8(StringText(3015)));
    QVERIFY(s_->engine().Running());

    s_->messages.answerOk = true;
    W().reject();  // Escape
    QVERIFY(!W().isVisible());
    QVERIFY(!s_->engine().Running());
    QCOMPARE(LoadSettings(s_->station().settingsPath()).PassCount, 2);
    QCOMPARE(EditText(id::kPassCount), QString("2"));
  }

  void catalogueIsRefusedDuringARun() {
    StartWith(SlowDevices("E"));
    Import(*MakeSamplePackage(kLargePackage));
    Button(id::kStart)->click();
    Button(id::kSpiList)->click();
    QCOMPARE(s_->messages.Texts(), QStringList{QString::fromUtf8(StringText(3017))});
    QVERIFY(QApplication::activeModalWidget() == nullptr);
  }

  void smallDialogsAndHiddenControls() {
    StartWith("1");
    Button(id::kReleaseNotes)->click();
    QCOMPARE(s_->messages.Texts(), QStringList{QString::fromUtf8(StringText(1048))});

    // The about entry of the Help menu runs the about box modally.
    QAction* about = W().findChild<QAction*>("aboutAction");
    QVERIFY(about != nullptr);
    QCOMPARE(about->text(), QString("Velor RQ4820Ardentixs(&A)..."));
    QString title, line;
    QTimer::singleShot(0, [&] {
      QWidget* box = QApplication::activeModalWidget();
      if (box == nullptr) return;
      title = box->windowTitle();
      if (auto* l = box->findChild<QLabel*>("aboutLine")) line = l->text();
      box->findChild<QPushButton*>()->click();
    });
    about->trigger();
    QCOMPARE(title, QString::fromUtf8("關於 RQ4820 Ardentix"));
    QCOMPARE(line, QString("RQ4820 Ardentix Version 3.0"));
    QVERIFY(W().isVisible());

    // "Display external info!": pull, then resize by the fixed amounts.
    const QSize before = W().size();
    W().ControlAs<QCheckBox>(id::kExtraOptions)->click();
    QCOMPARE(W().showExtraOptions, 1);
    QCOMPARE(W().size(), before + QSize(6, 240));
    W().ControlAs<QCheckBox>(id::kExtraOptions)->click();
    QCOMPARE(W().size(), before + QSize(12, 52));

    // Every change of the accumulated value pulls the bound fields.
    W().ControlAs<QLineEdit>(id::kTotalCount)->setText("7");
    QCOMPARE(W().totalCountShown, 7);
    Button(id::kRadioSd)->click();  // disabled: nothing
    QCOMPARE(W().testType, 1);
  }

  void flashIdReport() {
    StartWith(R"({"devices":[{"letter":"E"},{"letter":"F","flashId":"00C84017"}]})");
    Button(id::kFlashIdReport)->click();
    QCOMPARE(s_->messages.Texts(),
             QStringList{"DriverID:E   FlashID: 001840EF \r\nDriverID:F   FlashID: 001740C8 \r\n"});
    QCOMPARE(Q(s_->messages.shown[0].caption), QString("Read FlashId"));
  }

  void masterImage() {
    StartWith(R"({"devices":[{"letter":"E","sdSectors":40960},{"letter":"F","sdSectors":40960}]})");
    ChooseSd1(70000);
    Button(id::kFlashCheck)->click();
    Button(id::kStart)->click();
    QTRY_VERIFY_WITH_TIMEOUT(!s_->engine().Running(), 20000);
    unsigned long long total = 0, used = 0;
    QVERIFY(QMR_SimCardUsage('F', &total, &used));
    QVERIFY(used >= 70000);

    auto* drives = W().ControlAs<QComboBox>(id::kDriveBox);
    drives->setCurrentIndex(1);
    Q_EMIT drives->activated(1);
    W().ControlAs<QPushButton>(id::kGenerate)->click();
    QCOMPARE(s_->messages.Texts(), QStringList{"Create Image Success !!"});
    QCOMPARE(Q(s_->messages.shown[0].caption), QString("KPL4092E OID MP Tool"));
    const fs::path image = s_->dir / "Image_F.bin";
    QCOMPARE(EditText(id::kSd1Path), Q(image.string()));
    QCOMPARE(s_->station().files().sd1ImagePath, image);
    QCOMPARE(uint64_t(fs::file_size(image)), uint64_t(used + 10 * 1024 * 1024));
    QVERIFY(Button(id::kGenerate)->isEnabled());

    // Format empties the selected card only.
    s_->messages.shown.clear();
    W().ControlAs<QPushButton>(id::kFormat)->click();
    QVERIFY(QMR_SimCardUsage('F', &total, &used));
    QCOMPARE(used, 0ull);
    QVERIFY(QMR_SimCardUsage('E', &total, &used));
    QVERIFY(used >= 70000);
    QVERIFY(s_->messages.shown.empty());
  }

  void masterImageCancelled() {
    // 10 MiB at 1 MB/s: long enough to press Cancel.
    StartWith(R"({"timing":{"sdReadMBps":1},"devices":[{"letter":"E","sdSectors":40960}]})");
    bool cancelled = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      if (auto* progress = qobject_cast<QProgressDialog*>(QApplication::activeModalWidget())) {
        if (progress->value() > 0 && !cancelled) {
          QCOMPARE(progress->windowTitle(), QString("KPL4092E OID MP Tool"));
          progress->findChild<QPushButton*>()->click();
          cancelled = true;
        }
      }
    });
    poll.start(20);
    W().ControlAs<QPushButton>(id::kGenerate)->click();
    QVERIFY(cancelled);
    QCOMPARE(s_->messages.Texts(), QStringList{"Create Image Cancelled !!"});
    QCOMPARE(EditText(id::kSd1Path), QString());
    QVERIFY(s_->station().files().sd1ImagePath.empty());
    QVERIFY(!fs::exists(s_->dir / "Image_E.bin"));
  }

  void masterImageWithoutDrive() {
    StartWith("0");
    ChooseSd1(7000);
    W().ControlAs<QPushButton>(id::kGenerate)->click();
    QCOMPARE(EditText(id::kSd1Path), QString());  // emptied, nothing else
    QCOMPARE(s_->station().files().sd1ImagePath, s_->dir / "card.img");
    QVERIFY(s_->messages.shown.empty());
    QVERIFY(Button(id::kGenerate)->isEnabled());
  }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
