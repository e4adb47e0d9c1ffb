// The window's texts in Simplified Chinese: the shipped translation, how
// the core's English texts find theirs, and the choice by locale.
#include <QHeaderView>
#include <QPushButton>
#include <QtTest>

#include "catalogue/catalogue_dialog_model.h"
#include "core/status_codes.h"
#include "core/strings.h"
#include "ui/status_list.h"
#include "ui/translate.h"
#include "ui_fixture.h"

using namespace ardentix;
using namespace ardentix::ui;
using namespace ardentix::ui::testing;

class TranslateTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void cleanup() { InstallTranslation(QLocale(QLocale::English)); }

  void theLocaleChoosesTheLanguage_data() {
    QTest::addColumn<QString>("locale");
    QTest::addColumn<bool>("chinese");
    QTest::newRow("zh_CN") << "zh_CN" << true;
    QTest::newRow("zh_Hans_CN") << "zh_Hans_CN" << true;
    QTest::newRow("en_US") << "en_US" << false;
    QTest::newRow("de_DE") << "de_DE" << false;
    QTest::newRow("C") << "C" << false;
  }
  void theLocaleChoosesTheLanguage() {
    QFETCH(QString, locale);
    QFETCH(bool, chinese);
    QCOMPARE(InstallTranslation(QLocale(locale)), chinese);
    QCOMPARE(Tr(115), chinese ? QString::fromUtf8("开始") : QString("Start"));
  }

  // Texts as the core makes them, and what the Chinese window shows.
  void coreTextsFindTheirTranslation_data() {
    QTest::addColumn<QString>("english");
    QTest::addColumn<QString>("shown");
    QTest::newRow("table text") << QString::fromUtf8(StatusText(status::kSuccess)) << QString::fromUtf8("成功！");
    QTest::newRow("stage with progress") << "Erase flash...(40%)" << QString::fromUtf8("正在擦除闪存...(40%)");
    QTest::newRow("fixed text") << "vlr file format error" << QString::fromUtf8("vlr 文件格式错误");
    QTest::newRow("number filled in")
        << "new Add 2 SPI Flash, plz modify the size and type and remark"
        << QString::fromUtf8("新添加了 2 个 SPI 闪存，请修改容量、型号和备注");
    QTest::newRow("report ending in a table text")
        << QString("DriverID:E   FlashID: 001840EF \r\n") + QString::fromUtf8(StringText(1051))
        << QString("DriverID:E   FlashID: 001840EF \r\n") +
               QString::fromUtf8("\n\n 按“确定”自动添加新的 SPI ID，按“取消”退出。\n注意：自动添加只添加 SPI ID，其他信息"
                                 "（型号、容量、备注等）需要手动填写。\n 如有错误，请联系 Velor。");
    QTest::newRow("data stays as it is") << "/line/firmware.vlr" << "/line/firmware.vlr";
    QTest::newRow("a percentage alone") << "(10%)" << "(10%)";
    QTest::newRow("a short text inside another") << "Open the box" << "Open the box";
    QTest::newRow("empty") << "" << "";
  }
  void coreTextsFindTheirTranslation() {
    QFETCH(QString, english);
    QFETCH(QString, shown);
    QVERIFY(InstallTranslation(QLocale("zh_CN")));
    QCOMPARE(TrText(english.toStdString()), shown);
    InstallTranslation(QLocale(QLocale::English));
    QCOMPARE(TrText(english.toStdString()), english);
  }

  void theWindowInChinese() {
    QVERIFY(InstallTranslation(QLocale("zh_CN")));
    StationUnderTest s("2");
    QVERIFY(s.configured);
    s.Start();
    QCOMPARE(s.window->ControlAs<QPushButton>(id::kStart)->text(), QString::fromUtf8("开始"));
    QCOMPARE(s.window->ControlAs<QAbstractButton>(id::kFlashCheck)->text(), QString::fromUtf8("烧录 SPI 文件"));
    StatusList* list = s.window->statusList();
    QCOMPARE(list->headerItem()->text(3), QString::fromUtf8("结果"));
    QTRY_COMPARE(list->Text(0, 2), QString::fromUtf8("设备已就绪...."));
    // Still every column in view, with the Chinese texts.
    QVERIFY(list->header()->sectionViewportPosition(3) + list->columnWidth(3) <= list->viewport()->width());
  }
};

QTEST_MAIN(TranslateTest)
#include "translate_test.moc"
