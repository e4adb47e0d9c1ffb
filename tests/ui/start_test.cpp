// What happens before the window: the options, the simulator and the station
// folder; and the file dialogs' filters.
#include <QtTest>

#include "QMR52916LIB_ext.h"
#include "burnfiles/texts.h"
#include "ui/burn_station_app.h"
#include "ui/file_dialogs.h"
#include "ui_fixture.h"

using namespace ardentix;
using namespace ardentix::ui;
using namespace ardentix::ui::testing;

class StartTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void cleanup() { QMR_SimConfigure(nullptr, nullptr, 0); }

  void options_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("stationDir");
    QTest::addColumn<QString>("simulate");  // "-": not given
    QTest::newRow("none") << QStringList{} << true << ""
                          << "-";
    QTest::newRow("both, separate") << QStringList{"--station-dir", "/s", "--simulate", "4"} << true << "/s"
                                    << "4";
    QTest::newRow("both, joined") << QStringList{"--station-dir=/s", "--simulate=f.json"} << true << "/s"
                                  << "f.json";
    QTest::newRow("missing value") << QStringList{"--simulate"} << false << ""
                                   << "-";
    QTest::newRow("unknown") << QStringList{"--burn"} << false << ""
                             << "-";
  }
  void options() {
    QFETCH(QStringList, args);
    QFETCH(bool, ok);
    QFETCH(QString, stationDir);
    QFETCH(QString, simulate);
    std::vector<std::string> list;
    for (const QString& a : args) list.push_back(a.toStdString());
    StartOptions options;
    std::string problem;
    QCOMPARE(ParseStartOptions(list, options, problem), ok);
    QCOMPARE(problem.empty(), ok);
    if (!ok) return;
    QCOMPARE(Q(options.stationDir), stationDir);
    QCOMPARE(options.simulateGiven, simulate != "-");
    if (options.simulateGiven) QCOMPARE(Q(options.simulate), simulate);
  }

  void preparation() {
    const fs::path dir = MakeTempDir("start");
    WriteText(dir / "bad.json", R"({"devices":[{"letter":"e!"}]})");
    WriteText(dir / "a-file", "");
    struct Case {
      const char* name;
      StartOptions options;
      int status;
      const char* problemMentions;
    } cases[] = {
        {"simulated", {(dir / "station").string(), "2", true, false}, 0, ""},
        {"bad simulator file", {(dir / "station").string(), (dir / "bad.json").string(), true, false}, 2, "bad.json"},
        {"folder that is a file", {(dir / "a-file").string(), "1", true, false}, 1, "a-file"},
    };
    for (const Case& c : cases) {
      StationDirChoice choice;
      std::string problem;
      QCOMPARE(PrepareStart(c.options, choice, problem), c.status);
      QVERIFY2(Q(problem).contains(c.problemMentions), c.name);
      if (c.status == 0) {
        QCOMPARE(choice.dir, dir / "station");
        QVERIFY(fs::is_directory(choice.dir));
        QCOMPARE(QMR_SimStatus(nullptr, 0), 1);
      }
    }
    fs::remove_all(dir);
  }

  void dialogFilters_data() {
    QTest::addColumn<QString>("pairs");
    QTest::addColumn<QStringList>("filters");
    QTest::newRow("SD image: display paired with display")
        << Q(std::string(kSdImageDialog.filter)) << QStringList{"Image Files (*.bin)"};
    QTest::newRow("package") << Q(std::string(kPackageOpenDialog.filter))
                             << QStringList{"Velor MP Files (*.vlr)", "All Files (*)"};
    QTest::newRow("export") << Q(std::string(kPackageSaveDialog.filter))
                            << QStringList{"RQ4820 Burn Files (*.vlr)", "All Files (*)"};
    QTest::newRow("voice, padded with blanks")
        << Q(std::string(kVoiceDialog.filter)) << QStringList{"Velor Voice Files (*.bin)", "All Files (*)"};
    QTest::newRow("several patterns") << "Images|*.bin;*.img|" << QStringList{"Images (*.bin *.img)"};
  }
  void dialogFilters() {
    QFETCH(QString, pairs);
    QFETCH(QStringList, filters);
    const std::string text = pairs.toStdString();
    QCOMPARE(QtNameFilters(text), filters);
  }
};

QTEST_MAIN(StartTest)
#include "start_test.moc"
