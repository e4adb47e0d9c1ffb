// ardentix-screenshot: renders the window for the documentation. Four
// simulated devices with realistic timing are burned with sample files, one
// of them with a flash that fails; the main window is grabbed when the batch
// has finished, then the catalogue dialog with a picked cell.
//   ardentix-screenshot --station-dir DIR --out DIR [--locale zh_CN]
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QPushButton>
#include <QSet>
#include <QTest>
#include <QThread>
#include <filesystem>
#include <iostream>

#include "QMR52916LIB_ext.h"
#include "burnfiles/sample.h"
#include "core/files.h"
#include "ui/burn_station_app.h"
#include "ui/editable_list_ctrl.h"
#include "ui/main_window.h"
#include "ui/spi_list_dialog.h"
#include "ui/station_session.h"
#include "ui/status_list.h"
#include "ui/translate.h"

namespace {

using namespace ardentix;
using namespace ardentix::ui;
namespace fs = std::filesystem;

constexpr const char* kDevices =
    R"({"timing":"realistic","devices":[{"letter":"E","serial":"000000012345"},{"letter":"F","serial":"000000012346"},)"
    R"({"letter":"G","serial":"000000012347"},{"letter":"H","serial":"000000012348"}]})";

// Messages go to the terminal: nobody is there to press OK.
class PrintedMessages final : public MessageSink {
 public:
  void ShowMessage(const std::string& text, const std::string& caption) override {
    std::cerr << "[" << caption << "] " << text << "\n";
  }
  bool AskOkCancel(const std::string& text, const std::string& caption) override {
    ShowMessage(text, caption);
    return true;
  }
};

// Hands the window the sample files instead of asking.
class FixedChooser final : public FileChooser {
 public:
  fs::path next;
  std::optional<fs::path> Open(QWidget*, const FileDialogTexts&) override { return next; }
  std::optional<fs::path> Save(QWidget*, const FileDialogTexts&) override { return next; }
};

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > timeoutMs) return false;
    QTest::qWait(20);
  }
  return true;
}

bool Save(QWidget& widget, const fs::path& file) {
  if (widget.grab().save(QString::fromStdString(file.string()))) {
    std::cout << "wrote " << file.string() << "\n";
    return true;
  }
  std::cerr << "ardentix-screenshot: cannot write " << file.string() << "\n";
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  StartOptions options;
  fs::path out = "docs";
  std::vector<std::string> rest;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--out" && i + 1 < argc)
      out = argv[++i];
    else if (a == "--locale" && i + 1 < argc)
      InstallTranslation(QLocale(QString::fromLocal8Bit(argv[++i])));
    else
      rest.push_back(a);
  }
  std::string problem;
  if (!ParseStartOptions(rest, options, problem) || options.stationDir.empty()) {
    std::cerr << "usage: ardentix-screenshot --station-dir DIR [--out DIR] [--locale NAME]\n";
    return 2;
  }
  char error[512] = {};
  if (!QMR_SimConfigure(kDevices, error, sizeof error)) {
    std::cerr << "ardentix-screenshot: " << error << "\n";
    return 2;
  }
  const fs::path dir = fs::absolute(options.stationDir);
  fs::create_directories(dir);
  fs::create_directories(out);
  const fs::path package = dir / "sample.vlr", image = dir / "sample.img";
  if (!WriteFileAtomically(package, *MakeSamplePackage({})) ||
      !WriteFileAtomically(image, MakeSampleSdImage(16u << 20))) {
    std::cerr << "ardentix-screenshot: cannot write the sample files into " << dir << "\n";
    return 1;
  }

  PrintedMessages messages;
  StationSession session(dir, std::make_unique<SystemClock>(), MakeHost(), messages);
  MainWindow window(session.station(), session.engine());
  auto chooser = std::make_unique<FixedChooser>();
  FixedChooser* files = chooser.get();
  window.SetFileChooser(std::move(chooser));
  window.EnableTraining();
  session.StartWatching();
  window.Initialise();
  window.show();
  if (!QTest::qWaitForWindowExposed(&window)) return 1;

  // The operator's steps: SD1 box, image, package, START; G's flash write fails.
  window.ControlAs<QCheckBox>(id::kSd1Check)->click();
  files->next = image;
  window.ControlAs<QPushButton>(id::kSd1Open)->click();
  files->next = package;
  window.ControlAs<QPushButton>(id::kFlashOpen)->click();
  if (!WaitUntil([&] { return !window.FileJobRunning(); }, 20000)) return 1;
  if (!QMR_SimAddFault('G', R"({"on":"flash-write","after":2,"action":"fail"})", error, sizeof error)) {
    std::cerr << "ardentix-screenshot: " << error << "\n";
    return 1;
  }
  window.SetBeep([] {});
  window.ControlAs<QPushButton>(id::kStart)->click();
  if (!WaitUntil([&] { return window.batchBoard().state() == BatchState::Finished; }, 120000)) return 1;
  QTest::qWait(400);  // one more refresh of the rows
  bool ok = Save(window, out / "main-window.png");

  SpiListDialog dialog(session.station(), &window);
  dialog.show();
  if (!QTest::qWaitForWindowExposed(&dialog)) return 1;
  EditableListCtrl* table = dialog.list();
  const QRect cell = table->visualRect(table->model()->index(1, 2));
  QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, cell.center());
  QTest::qWait(50);
  ok = Save(dialog, out / "catalogue.png") && ok;
  dialog.reject();
  window.reject();
  return ok ? 0 : 1;
}
