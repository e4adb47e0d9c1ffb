#include "ui/burn_station_app.h"

#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <iostream>

#include "QMR52916LIB_ext.h"
#include "core/strings.h"
#include "ui/about_dialog.h"
#include "ui/main_window.h"
#include "ui/message_box_sink.h"
#include "ui/station_session.h"
#include "ui/translate.h"

namespace ardentix::ui {
namespace {

// Start-up problems go to the terminal and, since the program may have been
// started from a desktop, into a message box.
void Report(const std::string& text) {
  std::cerr << "ardentix: " << text << "\n";
  QMessageBox box(QMessageBox::Warning, QString::fromUtf8(text::kProgramCaption), TrText(text), QMessageBox::Ok);
  box.button(QMessageBox::Ok)->setText(Tr(3018));
  box.exec();
}

}  // namespace

BurnStationApp::BurnStationApp(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("ardentix"));
  setWindowIcon(ProgramIcon());
  // Simplified Chinese for a Chinese system, English otherwise.
  InstallTranslation(QLocale::system());
}

int BurnStationApp::Run() {
  std::vector<std::string> args;
  for (const QString& a : arguments().mid(1)) args.push_back(a.toStdString());
  StartOptions options;
  std::string problem;
  if (!ParseStartOptions(args, options, problem)) {
    std::cerr << "ardentix: " << problem << "\n" << kStartUsage;
    return 2;
  }
  if (options.help) {
    std::cout << kStartUsage;
    return 0;
  }

  StationDirChoice dir;
  if (const int status = PrepareStart(options, dir, problem); status != 0) {
    Report(problem);
    return status;
  }
  const bool simulating = QMR_SimStatus(nullptr, 0) == 1;

  MessageBoxSink messages;
  StationSession session(dir.dir, std::make_unique<SystemClock>(), MakeHost(), messages);
  MainWindow window(session.station(), session.engine());
#if ARDENTIX_HAVE_RECORDS
  window.SetRecords(&session.recorder());
#endif
  messages.SetOwner(&window);
  if (simulating) window.EnableTraining();
  session.StartWatching();
  window.Initialise();
  if (!dir.notice.empty()) {
    std::cerr << "ardentix: " << dir.notice << "\n";
    // Once, over the window, as soon as it shows.
    QTimer::singleShot(0, &window, [&] { messages.ShowMessage(dir.notice, text::kProgramCaption); });
  }
  window.exec();
  return 0;
}

}  // namespace ardentix::ui
