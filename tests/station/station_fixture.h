// A station on simulated devices with a fake clock: the fixed waits and the
// 300 ms timers run without waiting.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "QMR52916LIB_ext.h"
#include "burn/burn_engine.h"
#include "core/event_loop.h"
#include "station/station.h"
#include "host/host_sim.h"

namespace ardentix::testing {

class RecordingMessages final : public MessageSink {
 public:
  void ShowMessage(const std::string& text, const std::string& caption) override {
    shown.push_back(text);
    captions.push_back(caption);
  }
  bool AskOkCancel(const std::string& text, const std::string&) override {
    shown.push_back(text);
    return answerOk;
  }
  std::vector<std::string> shown;
  std::vector<std::string> captions;
  bool answerOk = true;
};

inline std::filesystem::path MakeTempDir(const std::string& tag) {
  static int counter = 0;
  auto dir = std::filesystem::temp_directory_path() /
             ("ardentix-" + tag + "-" + std::to_string(::getpid()) + "-" + std::to_string(++counter));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

inline void WriteText(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

// The simulator's default chip, catalogued fast enough to burn; a chip too
// slow to burn (flash id answer 00 01 40 17) and one too small for most
// images (answer 00 56 34 12).
inline constexpr const char* kCatalogue =
    "Spi Count = 3 \r\n"
    "1\tW25Q128\t001840EF\t16384\ttest\t80\r\n"
    "2\tSLOW25\t00174001\t8192\ttest\t47\r\n"
    "3\tTINY\t00123456\t8\ttest\t48\r\n";

class StationTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = MakeTempDir("station"); }
  void TearDown() override {
    if (station_) host_.StopWatching();
    station_.reset();
    QMR_SimConfigure(nullptr, nullptr, 0);
    std::filesystem::remove_all(dir_);
  }

  // Simulated devices from JSON (or a count), then the station's start-up.
  void StartStation(const std::string& simSpec, const std::string& catalogue = kCatalogue) {
    char error[512] = {};
    ASSERT_EQ(QMR_SimConfigure(simSpec.c_str(), error, sizeof error), 1) << error;
    WriteText(dir_ / "SpiList.ini", catalogue);
    station_ = std::make_unique<Station>(loop_, clock_, host_, messages_, dir_);
    // A device that answers is waited for until it does, however loaded the
    // machine: the removal check then ends as it would on an idle one.
    station_->SetQuickAnswerWait(Milliseconds(10000));
    host_.SetVolumeListener([this](bool arrived, uint32_t mask) {
      loop_.Post([this, arrived, mask] { station_->OnVolumeChange(arrived, mask); });
    });
    host_.StartWatching();
    station_->Initialise();
  }

  // START, then the station's loop until the run has ended and its rows are shown.
  void BurnToEnd(BurnEngine& engine) {
    engine.OnStartButton();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    loop_.Run([&] { return !engine.Running() || std::chrono::steady_clock::now() > deadline; });
    ASSERT_FALSE(engine.Running()) << "the run did not end";
    engine.WaitForWorkers();
    loop_.RunPending();
    station_->RefreshDeviceRows();
  }

  std::vector<std::string> RowTexts() const {
    std::vector<std::string> out;
    for (const auto& r : station_->rows().All()) out.push_back(r[0] + "|" + r[1] + "|" + r[2] + "|" + r[3]);
    return out;
  }
  std::string ListedLetters() const {
    std::string s;
    for (int i = 0; i < station_->slots().GetDeviceCount(); ++i) s += station_->slots().GetListedLetter(i);
    return s;
  }

  std::filesystem::path dir_;
  FakeClock clock_;
  EventLoop loop_{clock_};
  SimulatedHost host_;
  RecordingMessages messages_;
  std::unique_ptr<Station> station_;
};

}  // namespace ardentix::testing
