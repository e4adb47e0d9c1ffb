// burn: the station's main job without a window.
#include <iomanip>
#include <map>
#include <nlohmann/json.hpp>
#include <ostream>
#include <set>
#include <sstream>

#include "burn/burn_engine.h"
#include "burn/continuous_line.h"
#include "burnfiles/sd_image.h"
#include "burnfiles/import.h"
#include "burnfiles/sections.h"
#include "cli/session.h"
#include "core/status_codes.h"
#include "core/files.h"
#include "cli/run_records.h"

namespace ardentix::cli {
namespace {

constexpr const char* kUsage =
    "usage: ardentix-cli burn [--sd1 IMG] [--sd2 IMG] [--flash VLR [--voice FILE] [--sysconfig FILE]]\n"
    "                         [--simulate N|FILE] [--station-dir DIR] [--json FILE]\n"
    "                         [--loop | --continuous [--for SECONDS]]";

struct BurnOptions {
  std::filesystem::path sd1, sd2, flash, voice, sysconfig, json;
  bool loop = false;
  bool continuous = false;
  int64_t forMs = -1;  // --for: how long the line runs; -1 until Ctrl-C
};

bool Parse(const Args& args, BurnOptions& o, std::string& problem) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto path = [&](std::filesystem::path& into) {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        problem = a + " needs a file";
        return false;
      }
      into = std::filesystem::absolute(PathFromText(args[++i]));
      return true;
    };
    if (a == "--sd1") {
      if (!path(o.sd1)) return false;
    } else if (a == "--sd2") {
      if (!path(o.sd2)) return false;
    } else if (a == "--flash") {
      if (!path(o.flash)) return false;
    } else if (a == "--voice") {
      if (!path(o.voice)) return false;
    } else if (a == "--sysconfig") {
      if (!path(o.sysconfig)) return false;
    } else if (a == "--json") {
      if (!path(o.json)) return false;
    } else if (a == "--loop") {
      o.loop = true;
    } else if (a == "--continuous") {
      o.continuous = true;
    } else if (a == "--for") {
      char* end = nullptr;
      const std::string value = i + 1 < args.size() ? args[++i] : "";
      const double seconds = value.empty() ? -1 : std::strtod(value.c_str(), &end);
      if (value.empty() || *end != 0 || !(seconds > 0) || seconds > 1e7) {
        problem = "--for needs a number of seconds above 0";
        return false;
      }
      o.forMs = int64_t(seconds * 1000);
    } else {
      problem = "unexpected argument \"" + a + "\"";
      return false;
    }
  }
  if (o.loop && o.continuous) {
    problem = "--loop and --continuous are two ways of burning: give one";
    return false;
  }
  if (o.forMs >= 0 && !o.continuous) {
    problem = "--for is for --continuous";
    return false;
  }
  if ((!o.voice.empty() || !o.sysconfig.empty()) && o.flash.empty()) {
    problem = "--voice and --sysconfig replace sections of the package given with --flash";
    return false;
  }
  return true;
}

// Draws the rows as the window shows them, each with a progress bar.
class ProgressView {
 public:
  ProgressView(Station& station, std::ostream& out, bool interactive)
      : station_(station), out_(out), interactive_(interactive) {}

  void Update() {
    std::vector<std::string> lines;
    const DeviceSlotTable& slots = station_.slots();
    for (int i = 0; i < station_.rows().Count(); ++i) {
      const StatusRow& row = station_.rows().Row(i);
      const char letter = slots.GetListedLetter(i);
      std::ostringstream line;
      line << std::left << std::setw(4) << row[0] << std::setw(9) << row[1] << std::setw(48) << row[2]
           << std::setw(34) << row[3];
      if (interactive_) line << Bar(slots.GetDeviceStatus(letter) == DeviceStatus::Burning ? slots.GetDeviceProgress(letter) : -1);
      lines.push_back(line.str());
    }
    if (interactive_) {
      // Redraw in place: up over the last drawing, then each line cleared.
      if (drawn_ > 0) out_ << "\x1b[" << drawn_ << "A";
      for (const auto& l : lines) out_ << "\x1b[2K" << l << "\n";
      for (size_t i = lines.size(); i < size_t(drawn_); ++i) out_ << "\x1b[2K\n";
      drawn_ = std::max<int>(drawn_, int(lines.size()));
      out_.flush();
      return;
    }
    // One line per change.
    for (int i = 0; i < int(lines.size()); ++i) {
      const char letter = slots.GetListedLetter(i);
      const std::string text = station_.rows().Row(i)[1] + "\t" + station_.rows().Row(i)[2] + "\t" +
                               station_.rows().Row(i)[3];
      if (last_[letter] != text) {
        last_[letter] = text;
        out_ << text << std::endl;
      }
    }
  }

 private:
  static std::string Bar(int32_t percent) {
    if (percent < 0) return std::string(22, ' ');
    const int filled = std::clamp(percent, 0, 100) / 5;
    return "[" + std::string(size_t(filled), '#') + std::string(size_t(20 - filled), '-') + "]";
  }
  Station& station_;
  std::ostream& out_;
  bool interactive_;
  int drawn_ = 0;
  std::map<char, std::string> last_;
};

const char* OutcomeText(BurnOutcome o) {
  return o == BurnOutcome::Passed ? "passed" : o == BurnOutcome::Failed ? "failed" : "none";
}

nlohmann::json ReportJson(const std::vector<DeviceReport>& reports, int passed, int failed) {
  nlohmann::json devices = nlohmann::json::array();
  for (const DeviceReport& r : reports) {
    nlohmann::json stages = nlohmann::json::object();
    for (const auto& [name, ms] : r.stageMs) stages[name] = double(ms) / 1000.0;
    devices.push_back({{"letter", std::string(1, r.letter)},
                       {"lun", r.lun},
                       {"stage", StatusText(r.stage)},
                       {"result", StatusText(r.result)},
                       {"outcome", OutcomeText(r.outcome)},
                       {"serial", r.serial.empty() ? nlohmann::json(nullptr) : nlohmann::json(r.serial)},
                       {"flashId", r.flashIdText},
                       {"seconds", double(r.endedMs - r.startedMs) / 1000.0},
                       {"stageSeconds", stages}});
  }
  return {{"passed", passed}, {"failed", failed}, {"devices", devices}};
}

// One START and its run; false when START refused (its message was printed).
bool RunOnce(Session& session, BurnEngine& engine, ProgressView& view) {
  engine.OnStartButton();
  if (!engine.Running()) return false;
  session.RunUntil([&] { return !engine.Running(); });
  // A stop request ends the loop early: the workers still finish their devices.
  engine.WaitForWorkers();
  session.loop().RunPending();
  session.station().RefreshDeviceRows();
  view.Update();
  return true;
}

const char* EventText(LineEvent::Kind kind) {
  switch (kind) {
    case LineEvent::Kind::Arrived:
      return "identified, waiting";
    case LineEvent::Kind::Started:
      return "burning";
    case LineEvent::Kind::Finished:
      return "";
    case LineEvent::Kind::Removed:
      return "removed";
  }
  return "";
}

std::string Seconds(int64_t ms) {
  std::ostringstream s;
  s << std::fixed << std::setprecision(1) << double(ms) / 1000.0;
  return s.str();
}

// The line until Ctrl-C or --for, a line per device event; then Stop, and
// the running devices finish. Returns the devices it finished.
std::vector<DeviceReport> RunLine(Session& session, BurnEngine& engine, const BurnOptions& options, Context& ctx,
                                  bool* started) {
  Station& station = session.station();
  const int64_t begin = session.clock().NowMs();
  ContinuousLine& line = engine.line();
  line.SetEventListener([&](const LineEvent& e) {
    ctx.out << "[" << std::setw(8) << Seconds(e.ms - begin) << " s] " << e.letter << ": ";
    if (e.kind == LineEvent::Kind::Finished) {
      const DeviceReport& r = e.report;
      ctx.out << OutcomeText(r.outcome) << "  " << StatusText(r.result) << "  serial "
              << (r.serial.empty() ? "-" : r.serial) << "  " << Seconds(r.endedMs - r.startedMs) << " s  ("
              << std::fixed << std::setprecision(1) << engine.unitRate().PerHour(session.clock().NowMs())
              << " units/h)";
    } else {
      ctx.out << EventText(e.kind);
    }
    ctx.out << std::endl;
  });
  ctx.out << "Continuous: each device plugged in is burned; Ctrl-C stops" << std::endl;
  engine.OnStartButton();
  *started = engine.Running();
  if (!*started) {
    line.SetEventListener(nullptr);
    return {};
  }
  session.RunUntil(nullptr, options.forMs);
  ctx.out << "Stopping: the devices being burned finish..." << std::endl;
  engine.OnStartButton();  // Stop
  // Past a Ctrl-C too: the running devices finish and their records are written.
  session.loop().Run([&] { return !engine.Running(); });
  engine.WaitForWorkers();
  session.loop().RunPending();
  station.RefreshDeviceRows();
  line.SetEventListener(nullptr);
  return line.Finished();
}

}  // namespace

int BurnCommand(const Args& args, Context& ctx) {
  BurnOptions options;
  std::string problem;
  if (!Parse(args, options, problem)) {
    ctx.err << "ardentix-cli burn: " << problem << "\n" << kUsage << "\n";
    return kExitUsage;
  }
  Session session(ctx);
  Station& station = session.station();
  session.Start();
  // Made before the engine: the engine's workers report to it until the engine is gone.
  const std::unique_ptr<RunRecords> records = StartRunRecords(station, ctx);
  BurnEngine engine(station);
  if (records) engine.SetRunObserver(records->observer());
  engine.checkBoxes = RunSettings{!options.sd1.empty(), !options.sd2.empty(), !options.flash.empty()};
  engine.OnCheckBoxesChanged();

  BurnFileSet& files = station.files();
  files.sd1ImagePath = options.sd1;
  files.sd2ImagePath = options.sd2;
  // What will be burned, before START: the format, a block map's share.
  for (const auto& [name, path] : {std::pair{"SD1", options.sd1}, std::pair{"SD2", options.sd2}})
    if (!path.empty())
      ctx.out << name << " image: " << DescribeSdImage(path, station.stationDir() / "sd-cache") << "\n";
  if (!options.flash.empty()) {
    const ImportResult imported = ImportBurnPackage(files, options.flash);
    if (!imported.ok) {
      ctx.err << "ardentix-cli burn: " << imported.message
              << (imported.detail.empty() ? "" : " (" + imported.detail + ")") << "\n";
      return kExitFailed;
    }
    station.SetCaption(imported.caption);
    ctx.out << "FirmwareInfo: " << imported.firmwareInfo << "\n";
    for (const auto& [path, replace] :
         {std::pair{options.voice, &ReplaceVoiceSection}, std::pair{options.sysconfig, &ReplaceSysconfigSection}}) {
      if (path.empty()) continue;
      const ReplaceResult r = replace(files, path);
      if (!r.ok) {
        ctx.err << "ardentix-cli burn: " << r.message << "\n";
        return kExitFailed;
      }
    }
  }

  if (station.rows().Count() == 0 && !options.continuous) {
    ctx.err << "ardentix-cli burn: No device found\n";
    return kExitUsage;
  }

  ProgressView view(station, ctx.out, ctx.interactive);
  int passedTotal = 0, failedTotal = 0;
  std::vector<DeviceReport> allReports;
  int status = kExitOk;
  if (options.continuous) {
    engine.continuousChecked = true;
    const int32_t passBefore = station.PassCount, failBefore = station.FailCount;
    const int64_t begin = session.clock().NowMs();
    bool started = false;
    allReports = RunLine(session, engine, options, ctx, &started);
    if (!started) return kExitFailed;  // START said why
    passedTotal = station.PassCount - passBefore;
    failedTotal = station.FailCount - failBefore;
    if (failedTotal > 0) status = kExitFailed;
    const double hours = double(session.clock().NowMs() - begin) / 3'600'000.0;
    ctx.out << "Units: " << passedTotal << " passed in " << Seconds(session.clock().NowMs() - begin) << " s";
    if (hours > 0) ctx.out << " (" << std::fixed << std::setprecision(1) << passedTotal / hours << " units/h)";
    ctx.out << "\n";
  }

  if (!options.continuous) station.SetChangeListener([&] { view.Update(); });
  for (; !options.continuous;) {
    const int32_t passBefore = station.PassCount, failBefore = station.FailCount;
    if (!RunOnce(session, engine, view)) {
      status = kExitFailed;
      break;
    }
    const int passed = station.PassCount - passBefore, failed = station.FailCount - failBefore;
    passedTotal += passed;
    failedTotal += failed;
    const auto reports = engine.Reports();
    allReports.insert(allReports.end(), reports.begin(), reports.end());
    if (failed > 0) status = kExitFailed;
    // A device left unburned (another unit than the one identified, a unit
    // that could not be read) did not pass either.
    for (int i = 0; i < station.slots().GetDeviceCount(); ++i) {
      const StatusCode result = station.slots().GetDeviceResult(station.slots().GetListedLetter(i));
      if (result == ardentix::status::kOtherUnit || result == ardentix::status::kLunUnknown) status = kExitFailed;
    }
    if (!options.loop || StopRequested()) break;

    // Next batch: the burned devices leave, new ones arrive and settle.
    ctx.out << "Passed: " << passed << "  Failed: " << failed << "; waiting for the next devices..." << std::endl;
    std::set<char> burned;
    for (const auto& r : reports) burned.insert(r.letter);
    auto listed = [&] {
      std::set<char> s;
      for (int i = 0; i < station.slots().GetDeviceCount(); ++i) s.insert(station.slots().GetListedLetter(i));
      return s;
    };
    session.RunUntil([&] {
      for (char l : listed())
        if (burned.count(l)) return false;
      return true;
    });
    int64_t lastChange = session.clock().NowMs();
    std::set<char> seen = listed();
    session.RunUntil([&] {
      const auto now = listed();
      if (now != seen) {
        seen = now;
        lastChange = session.clock().NowMs();
      }
      return !now.empty() && session.clock().NowMs() - lastChange >= 2000;
    });
    if (StopRequested()) break;
  }
  station.SetChangeListener(nullptr);

  for (const DeviceReport& r : allReports) {
    ctx.out << "  " << r.letter << ":  " << std::left << std::setw(7) << OutcomeText(r.outcome) << std::setw(34)
            << StatusText(r.result) << "serial " << (r.serial.empty() ? "-" : r.serial) << "  flash id "
            << (r.flashIdText.empty() ? "-" : r.flashIdText) << "  " << std::fixed << std::setprecision(1)
            << double(r.endedMs - r.startedMs) / 1000.0 << " s\n";
  }
  ctx.out << "Passed: " << passedTotal << "  Failed: " << failedTotal << "\n";
  ctx.out << "Counters: " << PathText(station.settingsPath()) << " (Pass Count " << station.PassCount.load()
          << ", Fail Count " << station.FailCount.load() << ")\n";
  if (records) ctx.out << records->Summary() << "\n";
  if (!options.json.empty()) {
    // Replaced whole: a reader never sees half a report.
    std::string error;
    if (!WriteFileAtomically(options.json, ReportJson(allReports, passedTotal, failedTotal).dump(2) + "\n", &error)) {
      ctx.err << "ardentix-cli burn: " << error << "\n";
      status = kExitFailed;
    }
  }
  return status;
}

}  // namespace ardentix::cli
