// A station on simulated devices for the benchmarks.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "QMR52916LIB_ext.h"
#include "burn/burn_engine.h"
#include "core/event_loop.h"
#include "station/station.h"
#include "host/host_sim.h"
#if ARDENTIX_HAVE_RECORDS
#include "records/burn_recorder.h"
#endif

namespace ardentix::bench {

class QuietMessages final : public MessageSink {
 public:
  void ShowMessage(const std::string& text, const std::string&) override { std::fprintf(stderr, "%s\n", text.c_str()); }
  bool AskOkCancel(const std::string&, const std::string&) override { return true; }
};

inline std::filesystem::path TempDir(const char* tag) {
  auto dir = std::filesystem::temp_directory_path() / (std::string("ardentix-bench-") + tag + "-" +
                                                        std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

inline void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), std::streamsize(bytes.size()));
}

inline void Configure(const std::string& spec) {
  char error[512] = {};
  if (!QMR_SimConfigure(spec.c_str(), error, sizeof error)) {
    std::fprintf(stderr, "simulator: %s\n", error);
    std::exit(2);
  }
}

inline double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

// A station with its loop, host and burn engine.
struct BenchStation {
  BenchStation(Clock& clock, const std::filesystem::path& dir) : clock(clock), loop(clock) {
    WriteFile(dir / "SpiList.ini", "Spi Count = 1 \r\n1\tW25Q128\t001840EF\t16384\tbench\t80\r\n");
    station = std::make_unique<Station>(loop, clock, host, messages, dir);
    host.SetVolumeListener([this](bool arrived, uint32_t mask) {
      loop.Post([this, arrived, mask] { station->OnVolumeChange(arrived, mask); });
    });
    host.StartWatching();
    station->Initialise();
#if ARDENTIX_HAVE_RECORDS
    recorder = std::make_unique<records::BurnRecorder>(*station, dir / records::kRecordFileName, "bench");
#endif
    engine = std::make_unique<BurnEngine>(*station);
#if ARDENTIX_HAVE_RECORDS
    engine->SetRunObserver(recorder.get());
#endif
  }
  ~BenchStation() {
    engine.reset();
#if ARDENTIX_HAVE_RECORDS
    recorder.reset();
#endif
    host.StopWatching();
  }
  // START and wait for the run's end; returns the wall time.
  double Burn() {
    const auto t0 = std::chrono::steady_clock::now();
    engine->OnStartButton();
    loop.Run([&] { return !engine->Running(); });
    engine->WaitForWorkers();
    return Seconds(std::chrono::steady_clock::now() - t0);
  }

  Clock& clock;
  EventLoop loop;
  SimulatedHost host;
  QuietMessages messages;
  std::unique_ptr<Station> station;
#if ARDENTIX_HAVE_RECORDS
  std::unique_ptr<records::BurnRecorder> recorder;
#endif
  std::unique_ptr<BurnEngine> engine;
};

}  // namespace ardentix::bench
