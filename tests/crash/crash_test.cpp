// The command line killed with SIGKILL at random moments while it burns,
// imports, exports, replaces sections and edits the catalogue, then started
// again. After every kill and start: the settings file reads and its
// counters lie between the counts before and after the run; BurnFile/ holds
// one whole set of section files; the catalogue, the export and each
// read-back file are the old or the new one; and no temporary or journal is
// left. "Old" is the folder before the run; "new" is what the same command
// leaves when nothing stops it (run on a copy), along with what its own
// complete steps leave (an export that imports first, a burn that imports
// and replaces a section).
//
// The seed is printed with a failure; ARDENTIX_CRASH_SEED=N runs the same
// commands with the same kill delays again.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <time.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>

#include "QMR52916LIB_ext.h"
#include "burnfiles/sample.h"
#include "cli/child_program.h"
#include "cli/cli.h"
#include "core/clock.h"
#include "core/files.h"
#include "core/settings.h"
#include "core/start_options.h"
#include "core/temp_dir.h"

namespace ardentix {
namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;  // path inside the station folder -> content
using Command = std::vector<std::string>;  // "@/" stands for the station folder it runs on

constexpr int kKills = 200;
constexpr int kDevices = 2;

// Every file of the station folder but the lock files, which stay empty for good.
Files Snapshot(const fs::path& dir) {
  Files files;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (entry.is_directory() || entry.path().extension() == ".lock") continue;
    files[fs::relative(entry.path(), dir).generic_string()] = ReadWholeFile(entry.path()).value_or("<unreadable>");
  }
  return files;
}

// The files of one group: a single name, or everything under "BurnFile/".
Files Group(const Files& all, const std::string& group) {
  Files g;
  for (const auto& [name, text] : all)
    if (group == "BurnFile/" ? name.rfind(group, 0) == 0 : name == group) g[name] = text;
  return g;
}

struct Operation {
  std::string name;
  Command command;                  // the run that is killed
  std::vector<Command> steps;       // commands whose complete result is acceptable too
  int devices = 0;                  // devices its burn counts
};

class CrashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(station_);
    fs::create_directories(inputs_);
    for (const auto& [name, spec] : {std::pair{"p1.vlr", SamplePackageSpec{4096, 5000, 784, "first", 1}},
                                     std::pair{"p2.vlr", SamplePackageSpec{4096, 7000, 501, "second", 2}}})
      ASSERT_TRUE(WriteFileAtomically(inputs_ / name, *MakeSamplePackage(spec)));
    ASSERT_TRUE(WriteFileAtomically(inputs_ / "voice.bin", std::string(3000, 'V')));
    ASSERT_TRUE(WriteFileAtomically(inputs_ / "sys.bin", std::string(777, 'S')));
    ASSERT_TRUE(WriteFileAtomically(inputs_ / "card.img", MakeSampleSdImage(64 * 1024)));
    ASSERT_TRUE(WriteFileAtomically(station_ / "SpiList.ini", "Spi Count = 1 \r\n1\tW25Q128\t001840EF\t16384\tsim\t80\r\n"));
    ASSERT_TRUE(WriteFileAtomically(station_ / "RQ4820Ardentix.ini",
                                    "[SETUP]\r\nMP Count=1\r\nSave SD File=1\r\n[OID MP]\r\nPass Count=10\r\nFail Count=3\r\n"));
    ASSERT_EQ(RunHere(station_, {"package", "import", In("p1.vlr")}), 0);
  }
  void TearDown() override { QMR_SimConfigure(nullptr, nullptr, 0); }

  std::string In(const char* name) const { return (inputs_ / name).string(); }

  // The command's arguments for a run on `dir`.
  static Command On(const fs::path& dir, Command args) {
    for (std::string& a : args)
      if (a.rfind("@/", 0) == 0) a = (dir / a.substr(2)).string();
    args.push_back("--station-dir=" + dir.string());
    return args;
  }

  // A command to its end in this process, on the fake clock, output dropped.
  int RunHere(const fs::path& dir, const Command& command) {
    const Command args = On(dir, command);
    std::ostringstream sink;
    std::streambuf* out = std::cout.rdbuf(sink.rdbuf());
    std::streambuf* err = std::cerr.rdbuf(sink.rdbuf());
    FakeClock clock;
    const int status = cli::RunCommandLine(args, &clock);
    std::cout.rdbuf(out);
    std::cerr.rdbuf(err);
    return status;
  }

  // What the folder holds after `command` runs to its end from `before`.
  Files Completed(const Command& command) {
    const fs::path copy = work_ / ("copy-" + std::to_string(copies_++));
    fs::copy(station_, copy, fs::copy_options::recursive);
    RunHere(copy, command);
    Files after = Snapshot(copy);
    fs::remove_all(copy);
    return after;
  }

  std::vector<Operation> Operations() const {
    const std::string out = "@/out.vlr", scratch = (work_ / "scratch.vlr").string();
    const std::string sim = "--simulate=" + std::to_string(kDevices);
    std::vector<Operation> ops;
    for (const char* p : {"p1.vlr", "p2.vlr"}) {
      ops.push_back({std::string("import ") + p, {"package", "import", In(p)}, {}, 0});
      ops.push_back({std::string("export from ") + p + " with a system configuration",
                     {"package", "export", out, "--from", In(p), "--sysconfig", In("sys.bin")},
                     {{"package", "import", In(p)}},
                     0});
      ops.push_back({std::string("burn ") + p, {"burn", sim, "--flash", In(p), "--sd1", In("card.img")},
                     {{"package", "import", In(p)}}, kDevices});
      ops.push_back({std::string("burn ") + p + " with a new voice",
                     {"burn", sim, "--flash", In(p), "--voice", In("voice.bin")},
                     {{"package", "import", In(p)}, {"package", "export", scratch, "--from", In(p), "--voice", In("voice.bin")}},
                     kDevices});
    }
    ops.push_back({"export", {"package", "export", out}, {}, 0});
    ops.push_back({"export with a new voice", {"package", "export", out, "--voice", In("voice.bin")}, {}, 0});
    return ops;
  }

  // A catalogue edit: each of three chips is added when missing, else removed.
  Operation CatalogueEdit(std::mt19937_64& rng) const {
    static const char* ids[] = {"0017400B", "00164020", "001860C8"};
    const std::string id = ids[rng() % 3];
    const std::string text = ReadWholeFile(station_ / "SpiList.ini").value_or("");
    if (text.find(id) != std::string::npos) return {"catalogue remove " + id, {"catalogue", "remove", id}, {}, 0};
    return {"catalogue add " + id, {"catalogue", "add", id, "TEST25", "4096", "50", "crash test"}, {}, 0};
  }

  // Checks the folder after the restart against `before` and the complete
  // outcomes; "" when every rule holds, else the first broken one.
  std::string Broken(const Files& before, const std::vector<Files>& completed, const Settings& counted, int devices) {
    const Files now = Snapshot(station_);
    static const std::regex known(
        R"((RQ4820Ardentix\.ini|SpiList\.ini|out\.vlr|[A-Z]\.bin|BurnFile/[1-4]\.bin|records\.sqlite(-wal|-shm)?))");
    for (const auto& [name, text] : now)
      if (!std::regex_match(name, known)) return "a stray file is left: " + name;

    std::string why;
    const Settings s = LoadSettings(station_ / "RQ4820Ardentix.ini", &why);
    if (!why.empty()) return "the settings file does not read: " + why;
    if (s.PassCount < counted.PassCount || s.FailCount < counted.FailCount ||
        s.PassCount + s.FailCount > counted.PassCount + counted.FailCount + devices)
      return "counters " + std::to_string(s.PassCount) + "/" + std::to_string(s.FailCount) + " after " +
             std::to_string(counted.PassCount) + "/" + std::to_string(counted.FailCount) + " and " +
             std::to_string(devices) + " devices";
    // The production records read, whatever the kill interrupted, and hold
    // no device that was not counted (a device's counter is saved first).
    if (now.count("records.sqlite")) {
      std::ostringstream out, err;
      cli::Context ctx{station_, out, err, nullptr};
      if (cli::RecordsCommand({"--format", "json"}, ctx) != 0) return "the records do not read: " + err.str();
      const auto records = nlohmann::json::parse(out.str(), nullptr, false);
      if (!records.is_array() || int64_t(records.size()) > int64_t(s.PassCount) + s.FailCount)
        return "records " + std::to_string(records.size()) + " for counters " + std::to_string(s.PassCount) + "/" +
               std::to_string(s.FailCount);
    }

    std::set<std::string> groups{"BurnFile/", "SpiList.ini", "out.vlr"};
    for (const Files* f : {&before, &now})
      for (const auto& [name, text] : *f)
        if (std::regex_match(name, std::regex("[A-Z]\\.bin"))) groups.insert(name);
    for (const std::string& g : groups) {
      const Files mine = Group(now, g);
      bool matches = mine == Group(before, g);
      for (const Files& c : completed) matches = matches || mine == Group(c, g);
      if (!matches) {
        std::string names;
        for (const auto& [name, text] : mine) names += " " + name + " (" + std::to_string(text.size()) + " bytes)";
        return g + " is neither the old nor a new one:" + (names.empty() ? " nothing" : names);
      }
    }
    return {};
  }

  test::TempDir root_{test::MemoryTempBase()};
  fs::path station_ = root_ / "station";
  fs::path inputs_ = root_ / "inputs";
  fs::path work_ = root_.path();
  int copies_ = 0;
};

TEST_F(CrashTest, EveryKillLeavesOldOrNewFilesAndNothingElse) {
  uint64_t seed = std::random_device{}();
  if (const char* s = std::getenv("ARDENTIX_CRASH_SEED")) seed = std::strtoull(s, nullptr, 10);
  SCOPED_TRACE("seed " + std::to_string(seed) + " (ARDENTIX_CRASH_SEED=" + std::to_string(seed) + " runs it again)");
  std::mt19937_64 rng(seed);
  const std::vector<Operation> ops = Operations();

  // How long each command runs when left alone: the kills fall inside that.
  // The time is learnt as the test goes, since the machine's load changes
  // it: a run that ends before its kill shortens it, a killed one lengthens
  // it a little, so that most runs are killed, at every point of their work.
  std::map<std::string, double> windowMs;
  auto windowOf = [&](const Operation& op) -> double& {
    auto it = windowMs.find(op.name);
    if (it != windowMs.end()) return it->second;
    const fs::path copy = work_ / "timing";
    fs::remove_all(copy);
    fs::copy(station_, copy, fs::copy_options::recursive);
    const auto start = std::chrono::steady_clock::now();
    test::RunProgram(ARDENTIX_FAKE_CLOCK_CLI, On(copy, op.command), work_ / "timing-run");
    fs::remove_all(copy);
    return windowMs[op.name] = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  };

  int kills = 0, rounds = 0;
  std::map<std::string, int> killsOf;
  std::map<std::pair<std::string, Files>, std::vector<Files>> outcomes;
  while (kills < kKills) {
    ASSERT_LT(++rounds, 5 * kKills) << "the commands end before they can be killed";
    const Operation op = rng() % 5 == 0 ? CatalogueEdit(rng) : ops[rng() % ops.size()];
    const Files before = Snapshot(station_);
    const Settings counted = LoadSettings(station_ / "RQ4820Ardentix.ini");
    // Most kills change nothing, so the same outcomes are asked for again:
    // they depend on every file but the counters, which are checked apart.
    Files key = before;
    key.erase("RQ4820Ardentix.ini");
    std::vector<Files>& completed = outcomes[{op.name, key}];
    if (completed.empty()) {
      completed.push_back(Completed(op.command));
      for (const Command& step : op.steps) completed.push_back(Completed(step));
    }

    double& window = windowOf(op);
    const auto delayUs = int64_t(std::uniform_real_distribution<double>(0, window * 1000)(rng));
    const Command args = On(station_, op.command);
    const pid_t child = test::StartProgram(ARDENTIX_FAKE_CLOCK_CLI, args, work_ / "run");
    ASSERT_GT(child, 0);
    const timespec pause{time_t(delayUs / 1000000), long(delayUs % 1000000) * 1000};
    ::nanosleep(&pause, nullptr);
    ::kill(child, SIGKILL);
    const test::ChildEnd end = test::WaitProgram(child, work_ / "run");
    const bool killed = end.signal == SIGKILL;
    window *= killed ? 1.1 : 0.8;
    kills += killed;
    killsOf[op.name] += killed;
    if (!killed) {
      ASSERT_EQ(end.exitCode, 0) << op.name << " failed on its own: " << end.err;
    }

    // The next start puts right what the kill interrupted.
    StartOptions start;
    start.stationDir = station_.string();
    StationDirChoice dir;
    std::string problem;
    ASSERT_EQ(PrepareStart(start, dir, problem), 0) << problem;
    ASSERT_EQ(dir.notice, "") << "after " << op.name;

    const std::string broken = Broken(before, completed, counted, op.devices);
    ASSERT_EQ(broken, "") << "round " << rounds << ": " << op.name << (killed ? ", killed after " : ", ended before ")
                          << delayUs << " us";
  }
  std::cout << "crash test: " << kills << " kills in " << rounds << " runs, seed " << seed << "\n";
  for (const auto& [name, n] : killsOf) std::cout << "  " << n << " during " << name << "\n";
}

}  // namespace
}  // namespace ardentix
