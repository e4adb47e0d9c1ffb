// The production records in the window: the line beside the counters after
// a burn, and the History view's selection and CSV export.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QtTest>

#include "burnfiles/sample.h"
#include "records/record_format.h"
#include "records/record_store.h"
#include "ui/history_dialog.h"
#include "ui_fixture.h"

using namespace ardentix;
using namespace ardentix::ui;
using namespace ardentix::ui::testing;

namespace {

records::UnitRecord Record(int n, const std::string& serial, const std::string& outcome, const std::string& day) {
  records::UnitRecord r;
  r.Id = "id-" + std::to_string(n);
  r.StartedUtc = day + "T08:00:0" + std::to_string(n) + ".000Z";
  r.EndedUtc = day + "T08:00:09.000Z";
  r.Station = "ST1";
  r.DriveLetter = "E";
  r.Location = "loc" + std::to_string(n);
  r.Outcome = outcome;
  r.ResultText = outcome == "passed" ? "Success!" : "Fail to download data FLASH.";
  r.Serial = serial;
  return r;
}

}  // namespace

class HistoryTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void theWindowShowsTheRunsRecordsAndOpensTheHistory() {
    StationUnderTest s("3");
    QVERIFY2(s.configured, s.configureError.c_str());
    s.window->SetRecords(&s.session->recorder());
    s.Start();
    MainWindow& w = *s.window;
    QCOMPARE(w.recordsLabel()->text(), QString("Records: none yet"));
    WriteText(s.dir / "sample.vlr", *MakeSamplePackage({4096, 5000, 784, "UI test firmware", 1}));
    s.chooser->answers.push_back(s.dir / "sample.vlr");
    w.ControlAs<QAbstractButton>(id::kFlashOpen)->click();
    QTRY_VERIFY(!w.FileJobRunning());
    char error[128] = {};
    QVERIFY(QMR_SimAddFault('F', R"({"on":"flash-write","after":2,"action":"fail"})", error, sizeof error));
    w.ControlAs<QAbstractButton>(id::kStart)->click();
    QTRY_VERIFY_WITH_TIMEOUT(!s.engine().Running(), 20000);
    QTRY_COMPARE(w.recordsLabel()->text(), QString("Records: yield 66.7% (2 of 3), duplicate serials: 0"));

    // The History button opens the view over this station's file.
    int rows = -1;
    QTimer::singleShot(0, [&] {
      auto* dialog = qobject_cast<HistoryDialog*>(QApplication::activeModalWidget());
      if (!dialog) return;
      rows = dialog->table()->rowCount();
      dialog->accept();
    });
    w.ControlAs<QAbstractButton>(id::kHistory)->click();
    QCOMPARE(rows, 3);
  }

  void theHistorySelectsAndExportsWhatItShows() {
    const fs::path dir = MakeTempDir("history");
    std::string error;
    auto store = records::RecordStore::Open(dir / "records.sqlite", error);
    QVERIFY2(store, error.c_str());
    std::vector<records::UnitRecord> all{Record(1, "000000000001", "failed", "2026-12-09"),
                                         Record(2, "000000000001", "passed", "2026-12-10"),
                                         Record(3, "000000000002", "passed", "2026-12-10")};
    QVERIFY2(store->Add(all, error), error.c_str());

    QueuedChooser chooser;
    RecordingMessages messages;
    HistoryDialog dialog(*store, chooser, messages);
    QCOMPARE(dialog.table()->rowCount(), 3);
    QCOMPARE(dialog.countLabel()->text(), QString("3 record(s)"));

    dialog.serialEdit()->setText("000000000001");
    Q_EMIT dialog.serialEdit()->editingFinished();
    QCOMPARE(dialog.table()->rowCount(), 2);
    dialog.outcomeBox()->setCurrentIndex(2);  // failed
    QCOMPARE(dialog.table()->rowCount(), 1);
    QCOMPARE(dialog.table()->item(0, 0)->text(), QString("2026-12-09T08:00:01"));
    QCOMPARE(dialog.table()->item(0, 4)->text(), QString("failed"));

    dialog.outcomeBox()->setCurrentIndex(0);
    dialog.serialEdit()->clear();
    dialog.fromEdit()->setText("2026-12-10");
    Q_EMIT dialog.fromEdit()->editingFinished();
    QCOMPARE(dialog.table()->rowCount(), 2);
    // A time that is not one is said; the last selection stays.
    dialog.toEdit()->setText("tomorrow");
    Q_EMIT dialog.toEdit()->editingFinished();
    QVERIFY2(dialog.countLabel()->text().startsWith("Not a time: tomorrow"), qPrintable(dialog.countLabel()->text()));
    QCOMPARE(dialog.table()->rowCount(), 2);

    chooser.answers.push_back(dir / "out.csv");
    dialog.ExportCsv();
    QCOMPARE(ReadText(dir / "out.csv"), records::RecordsCsv(dialog.shown()));
    QCOMPARE(dialog.shown().size(), size_t(2));
    QVERIFY(messages.shown.empty());
    // A place that cannot be written is said.
    chooser.answers.push_back(dir / "no-such-folder" / "out.csv");
    dialog.ExportCsv();
    QCOMPARE(messages.shown.size(), size_t(1));
    store.reset();
    fs::remove_all(dir);
  }
};

QTEST_MAIN(HistoryTest)
#include "history_test.moc"
