// A station on simulated devices behind a real MainWindow, with a fake clock
// (the burn's fixed waits pass at once; the window's timers run in real
// time), recorded messages and file choices given by the test.
#pragma once

#include <unistd.h>

#include <QApplication>
#include <QString>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "QMR52916LIB_ext.h"
#include "core/clock.h"
#include "station/station.h"
#include "host/host_sim.h"
#include "ui/file_dialogs.h"
#include "ui/main_window.h"
#include "ui/station_session.h"

namespace ardentix::ui::testing {

namespace fs = std::filesystem;

class RecordingMessages final : public MessageSink {
 public:
  struct Shown {
    std::string text, caption;
    bool asked;
  };
  void ShowMessage(const std::string& text, const std::string& caption) override {
    shown.push_back({text, caption, false});
  }
  bool AskOkCancel(const std::string& text, const std::string& caption) override {
    shown.push_back({text, caption, true});
    return answerOk;
  }
  QStringList Texts() const {
    QStringList out;
    for (const Shown& s : shown) out << QString::fromStdString(s.text);
    return out;
  }
  std::vector<Shown> shown;
  bool answerOk = true;
};

// Answers the file dialogs from a queue; an empty queue cancels.
class QueuedChooser final : public FileChooser {
 public:
  std::optional<fs::path> Open(QWidget*, const FileDialogTexts& texts) override { return Next(texts); }
  std::optional<fs::path> Save(QWidget*, const FileDialogTexts& texts) override { return Next(texts); }
  std::deque<fs::path> answers;
  std::vector<std::string> filtersAsked;

 private:
  std::optional<fs::path> Next(const FileDialogTexts& texts) {
    filtersAsked.emplace_back(texts.filter);
    if (answers.empty()) return std::nullopt;
    fs::path p = answers.front();
    answers.pop_front();
    return p;
  }
};

inline fs::path MakeTempDir(const std::string& tag) {
  static int counter = 0;
  const fs::path dir = fs::temp_directory_path() /
                       ("ardentix-ui-" + tag + "-" + std::to_string(::getpid()) + "-" + std::to_string(++counter));
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

inline void WriteText(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

inline std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The simulator's default chip, catalogued fast enough to burn.
inline constexpr const char* kCatalogue =
    "Spi Count = 2 \r\n"
    "1\tW25Q128\t001840EF\t16384\ttest\t80\r\n"
    "2\tW25Q64\t001740ef\t8192\tlower\t80\r\n";

class StationUnderTest {
 public:
  // `simulation`: a device count or JSON; `unplugged`: devices pulled out
  // before the station starts.
  explicit StationUnderTest(const std::string& simulation, const std::string& unplugged = "",
                            const std::string& catalogue = kCatalogue)
      : dir(MakeTempDir("station")) {
    char error[512] = {};
    configured = QMR_SimConfigure(simulation.c_str(), error, sizeof error) == 1;
    configureError = error;
    for (char letter : unplugged) QMR_SimUnplug(letter);
    WriteText(dir / "SpiList.ini", catalogue);
    session = std::make_unique<StationSession>(dir, std::make_unique<FakeClock>(), std::make_unique<SimulatedHost>(),
                                               messages);
    window = std::make_unique<MainWindow>(session->station(), session->engine());
    auto queued = std::make_unique<QueuedChooser>();
    chooser = queued.get();
    window->SetFileChooser(std::move(queued));
  }
  ~StationUnderTest() {
    window.reset();
    session.reset();
    QMR_SimConfigure(nullptr, nullptr, 0);
    fs::remove_all(dir);
  }

  // The start-up sequence, as the program runs it.
  void Start(bool training = false) {
    if (training) window->EnableTraining();
    session->StartWatching();
    window->Initialise();
    window->show();
  }

  Station& station() { return session->station(); }
  BurnEngine& engine() { return session->engine(); }

  fs::path dir;
  bool configured = false;
  std::string configureError;
  RecordingMessages messages;
  std::unique_ptr<StationSession> session;
  std::unique_ptr<MainWindow> window;
  QueuedChooser* chooser = nullptr;
};

inline QString Q(const std::string& s) { return QString::fromStdString(s); }

}  // namespace ardentix::ui::testing
