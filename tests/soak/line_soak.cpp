// The soak's continuous variant: eight ports on the line for N burns, each
// device swapped as it finishes (pulled and plugged again), some with a fault
// armed for their next burn, others pulled in the middle of their SD stage.
// Checked as it goes: every burn counted once in the counters and the
// settings file, every report the line's, a passed device's serial kept, no
// volume left locked; at the end Stop lets the running ones finish.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "QMR52916LIB_ext.h"
#include "burn/burn_engine.h"
#include "burn/continuous_line.h"
#include "burnfiles/import.h"
#include "burnfiles/sample.h"
#include "core/event_loop.h"
#include "core/settings.h"
#include "host/host_sim.h"
#include "station/station.h"

namespace ardentix {
namespace {

class Silent final : public MessageSink {
 public:
  void ShowMessage(const std::string& text, const std::string&) override { last = text; }
  bool AskOkCancel(const std::string&, const std::string&) override { return true; }
  std::string last;
};

void Write(const std::filesystem::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }

}  // namespace

int LineSoak(int burns, uint64_t seed) {
  std::mt19937_64 random(seed);
  auto chance = [&](double p) { return std::uniform_real_distribution<double>(0, 1)(random) < p; };
  const auto dir = std::filesystem::temp_directory_path() / ("ardentix-line-soak-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  auto fail = [&](const std::string& what, int done) {
    std::printf("soak --continuous: invariant broken after %d burns: %s (seed %llu; replay with --continuous --seed %llu)\n",
                done, what.c_str(), static_cast<unsigned long long>(seed), static_cast<unsigned long long>(seed));
    return 1;
  };
  Write(dir / "SpiList.ini", "Spi Count = 1 \r\n1\tW25Q128\t001840EF\t16384\ttest\t80\r\n");
  char error[256] = {};
  if (QMR_SimConfigure("8", error, sizeof error) != 1) return fail(error, 0);
  Write(dir / "line.vlr", *MakeSamplePackage({16 * 1024, 20 * 1024, 4096}));
  Write(dir / "line.img", MakeSampleSdImage(3 * kSdChunkBytes - 700, uint32_t(seed)));

  int status = 0;
  {
    FakeClock clock;
    EventLoop loop(clock);
    SimulatedHost host;
    Silent messages;
    Station station(loop, clock, host, messages, dir);
    host.SetVolumeListener([&](bool arrived, uint32_t mask) {
      loop.Post([&station, arrived, mask] { station.OnVolumeChange(arrived, mask); });
    });
    host.StartWatching();
    station.Initialise();
    if (!ImportBurnPackage(station.files(), dir / "line.vlr").ok) return fail("the package did not import", 0);
    station.files().sd1ImagePath = dir / "line.img";
    BurnEngine engine(station);
    engine.checkBoxes = RunSettings{1, 0, 1};
    engine.continuousChecked = true;
    std::deque<DeviceReport> finished;
    engine.line().SetEventListener([&](const LineEvent& e) {
      if (e.kind == LineEvent::Kind::Finished) finished.push_back(e.report);
    });
    engine.OnStartButton();
    int done = 0, passed = 0, failed = 0;
    const auto runUntil = [&](const std::function<bool()>& until) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      loop.Run([&] { return until() || std::chrono::steady_clock::now() > deadline; });
      return until();
    };
    while (done < burns && status == 0) {
      if (!runUntil([&] { return !finished.empty(); })) {
        status = fail("no device finished within a minute", done);
        break;
      }
      const DeviceReport r = finished.front();
      finished.pop_front();
      ++done;
      (r.outcome == BurnOutcome::Passed ? passed : failed)++;
      const std::string serial = "0000000123" + std::to_string(45 + (r.letter - 'E'));
      if (!r.continuous) status = fail(std::string(1, r.letter) + "'s report is not the line's", done);
      if (r.outcome == BurnOutcome::Passed && r.serial != serial)
        status = fail(std::string(1, r.letter) + " passed with serial \"" + r.serial + "\"", done);
      // Workers that have finished but not yet been heard of may have counted already.
      const int pending = int(finished.size()) + engine.line().Running();
      if (station.PassCount < passed || station.FailCount < failed ||
          station.PassCount + station.FailCount > passed + failed + pending)
        status = fail("the counters say " + std::to_string(station.PassCount) + "/" +
                          std::to_string(station.FailCount) + ", the line finished " + std::to_string(passed) + "/" +
                          std::to_string(failed),
                      done);
      // The swap: out (when it is still there), a fault armed now and then, in again.
      const char letter = r.letter;
      QMR_SimUnplug(letter);
      if (!runUntil([&] { return engine.line().StateOf(letter) == CycleState::Empty; })) {
        status = fail(std::string(1, letter) + " is still listed after it was pulled", done);
        break;
      }
      if (chance(0.15)) {
        const char* faults[] = {R"({"on":"sd-write","after":1,"action":"fail"})",
                                R"({"on":"sd-read","after":2,"action":"corrupt"})",
                                R"({"on":"flash-write","after":3,"action":"fail"})",
                                R"({"on":"sd-write","after":2,"action":"unplug"})",
                                R"({"on":"lock","action":"fail","count":5})"};
        const char* f = faults[std::uniform_int_distribution<int>(0, 4)(random)];
        if (QMR_SimAddFault(letter, f, error, sizeof error) != 1) status = fail(error, done);
      }
      QMR_SimPlug(letter);
    }
    engine.OnStartButton();  // Stop
    if (status == 0 && !runUntil([&] { return !engine.Running(); })) status = fail("Stop did not end the line", done);
    engine.WaitForWorkers();
    loop.RunPending();
    if (status == 0) {
      while (!finished.empty()) {
        (finished.front().outcome == BurnOutcome::Passed ? passed : failed)++;
        finished.pop_front();
      }
      if (station.PassCount != passed || station.FailCount != failed)
        status = fail("after Stop the counters do not match the line's devices", done);
      const Settings file = LoadSettings(station.settingsPath());
      if (file.PassCount != passed || file.FailCount != failed) status = fail("the settings file lags", done);
      if (host.LockedMask() != 0) status = fail("a volume is left locked", done);
      if (engine.line().Running() != 0) status = fail("a worker is left", done);
    }
    if (status == 0)
      std::printf("soak --continuous: %d burns, %d passed, %d failed, invariants held\n", passed + failed, passed,
                  failed);
    host.StopWatching();
  }
  QMR_SimConfigure(nullptr, nullptr, 0);
  std::filesystem::remove_all(dir);
  return status;
}

}  // namespace ardentix
