// A long run of the station on simulated devices: thousands of burns in
// batches of one to eight, with faults of every kind the simulator can inject,
// devices plugged and pulled between batches and units swapped for others on
// the same port at random moments of a run, checking after every batch
// what must always hold (counters, settings file, device contents, locks,
// handles, threads, memory). Time is the fake clock's, so the fixed waits
// cost nothing.
//
//   ardentix_soak [N] [--seed S]     N burns (default 10000)
//   ardentix_soak [N] --continuous   the same on the continuous line (line_soak.cpp)
//
// Prints "soak: N burns, P passed, F failed, invariants held" and exits 0, or
// names the first broken invariant with the seed that replays it and exits 1.
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "QMR52916LIB.h"
#include "QMR52916LIB_ext.h"
#include "burn/burn_engine.h"
#include "burnfiles/import.h"
#include "burnfiles/sample.h"
#include "core/event_loop.h"
#include "core/settings.h"
#include "core/status_codes.h"
#include "core/strings.h"
#include "host/host_sim.h"
#include "station/station.h"

namespace ardentix {
namespace {

constexpr char kFirstLetter = 'E';
constexpr int kPlaces = 8;              // E..L: the station shows eight devices
constexpr int kLun1Offset = 8;          // a second unit's letter sits eight letters on (M..T)
constexpr int kEpochBatches = 20;       // the line is cleared this often, and memory measured
constexpr int kWarmUpEpochs = 2;
constexpr size_t kMemorySlackBytes = 192 * 1024;
constexpr int kFastClockMHz = 80;

// The chips: the one the catalogue burns, one too slow, one too small, and
// one it does not know. Answer bytes of the flash id command, byte 0 first.
struct Chip {
  const char* answerHex;
  bool burnable;
};
constexpr Chip kChips[] = {{"00EF4018", true}, {"00014017", false}, {"00563412", false}, {"00CCBBAA", false}};

constexpr const char* kCatalogue =
    "Spi Count = 3 \r\n"
    "1\tW25Q128\t001840EF\t16384\ttest\t80\r\n"
    "2\tSLOW25\t00174001\t8192\ttest\t47\r\n"
    "3\tTINY\t00123456\t8\ttest\t48\r\n";

// Fault targets with roughly how many such commands one identification and
// burn sends: a fault's "after" falls anywhere in that span.
struct Target {
  const char* name;
  int span;
  bool moves;  // data-moving: "corrupt" applies
};
constexpr Target kTargets[] = {
    {"open", 7, false},        {"identify", 7, false},    {"inquiry", 2, false},
    {"flash-id", 4, false},    {"flash-status", 8, false}, {"flash-read", 24, true},
    {"flash-write", 20, true}, {"sector-erase", 4, false}, {"chip-erase", 1, false},
    {"sd-read", 8, true},      {"sd-write", 5, true},      {"read-capacity", 1, true},
    {"lock", 3, false},
};

class Random {
 public:
  explicit Random(uint64_t seed) : gen_(seed) {}
  int Below(int n) { return n <= 1 ? 0 : int(std::uniform_int_distribution<int>(0, n - 1)(gen_)); }
  bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(gen_) < p; }

 private:
  std::mt19937_64 gen_;
};

struct Unit {
  uint64_t id = 0;
  std::string serial;       // as made: 12 digits, or "" for a unit without one
  int chip = 0;             // index into kChips
  bool twoLuns = false;
  std::string flashStart;   // first 4096 bytes of its flash, carried between buses
  std::string seenSerial;   // serial digits in its flash when it was last plugged in
  bool serialLost = false;  // a burn cut short between erase and rewrite took it
  bool plugged = true;
  // Came in by a swap the station has not run into yet: its next burn must
  // find it is not the unit identified.
  bool swappedIn = false;
  // The last batch whose faults corrupted its flash reads: the station may
  // then have read another block 0 than the unit holds, and take it for
  // another unit (burning nothing) until it has read it cleanly.
  int corruptReadBatch = -10;
};

// A unit swapped for another on its port during a batch: both keep their
// flash in a file, so that each one's can be read whichever is plugged.
struct PortSwap {
  int place = -1;
  Unit leaving, coming;
  bool beforeStart = false;  // else at the atSleep-th wait of the run
  int atSleep = 0;
  std::atomic<int> sleeps{0};
  std::atomic<bool> done{false};
};

std::string Hex12(uint64_t v) {
  char s[16];
  std::snprintf(s, sizeof s, "%012llu", static_cast<unsigned long long>(v % 1000000000000ull));
  return s;
}

char LetterOf(int place) { return char(kFirstLetter + place); }
uint32_t Bit(char letter) { return DriveBit(letter); }

std::string SerialField(const std::string& digits) {
  std::string f(24, '\xFF');
  if (digits.size() == 12)
    for (size_t i = 0; i < 12; ++i) {
      f[2 * i] = digits[i];
      f[2 * i + 1] = '\0';
    }
  return f;
}

std::string DigitsOf(const std::string& field) {
  FlashSerial s{};
  std::memcpy(s.data(), field.data(), s.size());
  return SerialDigits(s);
}

int CountThreads() {
  int n = 0;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator("/proc/self/task", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    ++n;
  return n;
}

size_t HeapInUse() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return 0;  // the sanitizers keep their own heap; their leak checks stand in
#else
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
#endif
}

class MessagesSeen final : public MessageSink {
 public:
  void ShowMessage(const std::string& text, const std::string&) override { shown.push_back(text); }
  bool AskOkCancel(const std::string& text, const std::string&) override {
    shown.push_back(text);
    return true;
  }
  std::vector<std::string> shown;
};

struct Broken {
  std::string what;
};

class Soak {
 public:
  Soak(int burns, uint64_t seed) : target_(burns), seed_(seed), random_(seed) {}

  int Run() {
    try {
      SetUp();
      while (burns_ < target_) {
        ++batch_;
        ChangeUnits();
        BurnBatch();
        if (batch_ % kEpochBatches == 0) ClearLine();
      }
      ClearLine();
    } catch (const Broken& b) {
      std::printf("soak: invariant broken in batch %d after %d burns: %s (seed %llu; replay with --seed %llu)\n",
                  batch_, burns_, b.what.c_str(), static_cast<unsigned long long>(seed_),
                  static_cast<unsigned long long>(seed_));
      TearDown();
      return 1;
    }
    std::printf("soak: %d burns, %d passed, %d failed, invariants held\n", burns_, passed_, failed_);
    std::fprintf(stderr,
                 "soak: %d batches, %d runs refused by the lock test, %d serials lost to cut burns, %d units swapped, "
                 "heap %zu KB at the first measure, %zu KB at most after it\n",
                 batch_, lockRefusals_, serialsLost_, swaps_, heapBaseline_ / 1024, heapMax_ / 1024);
    TearDown();
    return 0;
  }

 private:
  [[noreturn]] void Fail(const std::string& what) { throw Broken{what}; }
  void Expect(bool ok, const std::string& what) {
    if (!ok) Fail(what);
  }

  void SetUp() {
    dir_ = std::filesystem::temp_directory_path() / ("ardentix-soak-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    WriteFile(dir_ / "SpiList.ini", kCatalogue);
    // The options the line runs with come from the seed; the counters start
    // where an earlier shift left them.
    writeVerify_ = random_.Chance(0.5);
    saveSdFile_ = random_.Chance(0.3);
    const int pass0 = random_.Below(50), fail0 = random_.Below(10);
    WriteFile(SettingsPath(dir_), "[SETUP]\r\nStart SN=000000000001\r\nMP Count=1\r\nWrite Verify=" +
                                      std::to_string(writeVerify_) + "\r\nSave SD File=" +
                                      std::to_string(saveSdFile_) + "\r\n[OID MP]\r\nPass Count=" +
                                      std::to_string(pass0) + "\r\nFail Count=" + std::to_string(fail0) + "\r\n");

    SamplePackageSpec spec;
    spec.firmwareBytes = 16 * 1024;
    spec.voiceBytes = 40 * 1024 + 1000;  // the last flash chunk is a short one
    spec.sysconfigBytes = 4 * 1024;
    spec.seed = uint32_t(seed_);
    auto package = MakeSamplePackage(spec);
    if (!package) Fail("the sample package could not be made");
    package_ = *package;
    WriteFile(dir_ / "line.vlr", package_);
    sdImage_ = MakeSampleSdImage(3 * kSdChunkBytes - 700, uint32_t(seed_ >> 8));
    WriteFile(dir_ / "line.img", sdImage_);

    Configure({});
    station_ = std::make_unique<Station>(loop_, clock_, host_, messages_, dir_);
    station_->SetQuickAnswerWait(Milliseconds(10000));  // the simulator answers; a loaded machine is no reason to defer
    host_.SetVolumeListener([this](bool arrived, uint32_t mask) {
      loop_.Post([this, arrived, mask] { station_->OnVolumeChange(arrived, mask); });
    });
    host_.StartWatching();
    station_->Initialise();
    const ImportResult imported = ImportBurnPackage(station_->files(), dir_ / "line.vlr");
    if (!imported.ok) Fail("the sample package did not import: " + imported.detail);
    station_->files().sd1ImagePath = dir_ / "line.img";
    engine_ = std::make_unique<BurnEngine>(*station_);
    engine_->checkBoxes = RunSettings{1, 0, 1};
    engine_->OnCheckBoxesChanged();
    threadBaseline_ = CountThreads();
    CheckSettingsFile();
  }

  void TearDown() {
    if (engine_) engine_->WaitForWorkers();
    engine_.reset();
    host_.StopWatching();
    station_.reset();
    QMR_SimConfigure(nullptr, nullptr, 0);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  static void WriteFile(const std::filesystem::path& p, const std::string& text) {
    std::ofstream out(p, std::ios::binary);
    out << text;
  }

  // --- The simulated line -------------------------------------------------

  std::string FaultsJson() {
    std::ostringstream o;
    o << "[";
    const int n = random_.Chance(0.45) ? 0 : 1 + random_.Below(2);
    std::set<std::string> corrupted;
    for (int i = 0; i < n; ++i) {
      const Target& t = kTargets[random_.Below(int(std::size(kTargets)))];
      std::vector<const char*> actions = {"fail", "unplug"};
      // The simulator flips the middle bit of a transfer: a corrupting write
      // read back through a corrupting read of the same range would look
      // right, which no real card or flash does.
      const std::string name = t.name;
      const std::string partner = name == "sd-read"       ? "sd-write"
                                  : name == "sd-write"    ? "sd-read"
                                  : name == "flash-read"  ? "flash-write"
                                  : name == "flash-write" ? "flash-read"
                                                          : "";
      if (t.moves && (partner.empty() || corrupted.count(partner) == 0)) actions.push_back("corrupt");
      if (std::strcmp(t.name, "flash-status") == 0 || std::strcmp(t.name, "sector-erase") == 0)
        actions.push_back("busy");
      const char* action = actions[size_t(random_.Below(int(actions.size())))];
      if (std::strcmp(action, "corrupt") == 0) corrupted.insert(name);
      const int count = random_.Chance(0.8) ? 1 : 2 + random_.Below(3);
      o << (i ? "," : "") << "{\"on\":\"" << t.name << "\",\"after\":" << random_.Below(t.span + 1)
        << ",\"action\":\"" << action << "\",\"count\":" << count << "}";
    }
    o << "]";
    return o.str();
  }

  std::string FlashFileOf(const Unit& u) const { return (dir_ / ("unit" + std::to_string(u.id) + ".flash")).string(); }

  std::string DeviceJson(Unit& u, int place, const std::string& extra) {
    std::ostringstream o;
    o << "{\"letter\":\"" << LetterOf(place) << "\",\"serial\":"
      << (u.serial.empty() ? std::string("null") : "\"" + u.serial + "\"") << ",\"flashId\":\""
      << kChips[u.chip].answerHex << "\",\"sdSectors\":4096,\"eraseBusyPolls\":" << random_.Below(4)
      << ",\"usbInstanceId\":\"SOAK" << u.id << "\"";
    if (u.twoLuns) o << ",\"luns\":2,\"lun1Letter\":\"" << char(LetterOf(place) + kLun1Offset) << "\"";
    const std::string faults = FaultsJson();
    if (faults.find("\"flash-read\",\"after\"") != std::string::npos &&
        faults.find("\"action\":\"corrupt\"") != std::string::npos)
      u.corruptReadBatch = batch_;
    o << extra << ",\"faults\":" << faults << "}";
    return o.str();
  }

  // A new bus holding the given units (all plugged), each with fresh faults;
  // with a swap, the place's unit and the one that will take its port.
  void Configure(const std::vector<int>& places) {
    std::ostringstream o;
    o << "{\"devices\":[";
    bool first = true;
    for (int place : places) {
      Unit& u = *units_[size_t(place)];
      std::string extra;
      if (swap_ && swap_->place == place)
        extra = ",\"unplugAtMs\":86400000,\"flashFile\":\"" + FlashFileOf(u) + "\"";
      o << (first ? "" : ",") << DeviceJson(u, place, extra);
      first = false;
    }
    if (swap_)
      o << ",{\"letter\":\"" << LetterOf(swap_->place) << "\",\"serial\":\"" << swap_->coming.serial
        << "\",\"flashId\":\"" << kChips[swap_->coming.chip].answerHex
        << "\",\"sdSectors\":4096,\"usbInstanceId\":\"SOAK" << swap_->coming.id
        << "\",\"plugAtMs\":90000000,\"flashFile\":\"" << FlashFileOf(swap_->coming) << "\"}";
    o << "]}";
    if (std::getenv("ARDENTIX_SOAK_SHOW")) std::fprintf(stderr, "batch %d line: %s\n", batch_, o.str().c_str());
    char error[512] = {};
    if (QMR_SimConfigure(o.str().c_str(), error, sizeof error) != 1)
      Fail(std::string("the simulator refused the line: ") + error);
    scheduledBus_ = swap_ != nullptr;
    for (int place : places) {
      const Unit& u = *units_[size_t(place)];
      if (!u.flashStart.empty())
        QMR_SimPokeFlash(LetterOf(place), 0, reinterpret_cast<const unsigned char*>(u.flashStart.data()),
                         u.flashStart.size());
    }
  }

  std::string PeekFlash(char letter, uint64_t at, uint64_t n) {
    std::string s(n, '\0');
    if (!QMR_SimPeekFlash(letter, at, reinterpret_cast<unsigned char*>(s.data()), n)) return {};
    return s;
  }

  uint32_t UnitMask(int place) const {
    const char letter = LetterOf(place);
    return Bit(letter) | (units_[size_t(place)]->twoLuns ? Bit(char(letter + kLun1Offset)) : 0);
  }

  // Notifications come in bursts or apart; the station's timers sort them.
  void Pause() {
    const int r = random_.Below(4);
    loop_.AdvanceBy(Milliseconds(r == 0 ? 0 : r == 1 ? 100 : r == 2 ? 350 : 20));
  }
  void Settle() {
    loop_.AdvanceBy(Milliseconds(1000));
    loop_.RunPending();
  }

  Unit NewUnit() {
    Unit u;
    u.id = ++unitsMade_;
    u.serial = random_.Chance(0.05) ? std::string() : Hex12(u.id * 7919 + seed_ % 100000);
    const int c = random_.Below(100);
    u.chip = c < 91 ? 0 : c < 94 ? 1 : c < 97 ? 2 : 3;
    u.twoLuns = random_.Chance(0.1);
    return u;
  }

  // Between batches the operator takes some devices away, puts pulled ones
  // back and plugs new ones in; never more than the burns still to do.
  void ChangeUnits() {
    const uint32_t plugged = uint32_t(QMR_SimDriveMask());
    std::vector<int> removed, replugged, added, kept;
    int remaining = target_ - burns_;
    for (int place = 0; place < kPlaces; ++place) {
      auto& u = units_[size_t(place)];
      if (!u) continue;
      u->plugged = (plugged & Bit(LetterOf(place))) != 0;
      const bool keep = u->plugged ? random_.Chance(0.6) : random_.Chance(0.5);
      if (keep && remaining > 0) {
        (u->plugged ? kept : replugged).push_back(place);
        --remaining;
      } else {
        removed.push_back(place);
      }
    }
    // A free place, or one whose device was just taken away, may get a new one.
    for (int place = 0; place < kPlaces && remaining > 0; ++place) {
      const bool leaving = std::find(removed.begin(), removed.end(), place) != removed.end();
      if (units_[size_t(place)] && !leaving) continue;
      if (random_.Chance(0.5) || (kept.empty() && replugged.empty() && added.empty())) {
        added.push_back(place);
        --remaining;
      }
    }

    // What stays keeps its flash across the new bus.
    for (int place : kept) units_[size_t(place)]->flashStart = PeekFlash(LetterOf(place), 0, 4096);
    for (int place : replugged) units_[size_t(place)]->flashStart = PeekFlash(LetterOf(place), 0, 4096);
    for (int place : removed) {
      if (units_[size_t(place)]->plugged) {
        QMR_SimUnplug(LetterOf(place));
        Pause();
      }
      units_[size_t(place)].reset();
    }
    Settle();
    CheckRowsMatchDrives("after devices were pulled");

    for (int place : added) units_[size_t(place)] = NewUnit();
    std::vector<int> present = kept;
    present.insert(present.end(), replugged.begin(), replugged.end());
    present.insert(present.end(), added.begin(), added.end());
    // Now and then a unit of this batch is swapped for another on its port.
    swap_.reset();
    std::vector<int> swappable;
    for (int place : present)
      if (!units_[size_t(place)]->twoLuns) swappable.push_back(place);
    if (!swappable.empty() && random_.Chance(0.25)) {
      swap_ = std::make_unique<PortSwap>();
      swap_->place = swappable[size_t(random_.Below(int(swappable.size())))];
      swap_->leaving = *units_[size_t(swap_->place)];
      swap_->coming = NewUnit();
      if (swap_->coming.serial.empty()) swap_->coming.serial = Hex12(swap_->coming.id * 7919 + 1);
      swap_->coming.twoLuns = false;
      swap_->beforeStart = random_.Chance(0.2);
      swap_->atSleep = random_.Below(40);
    }
    Configure(present);
    // The new bus shows every present device at once; the system tells of
    // the ones that (re)appeared.
    std::vector<int> arriving = replugged;
    arriving.insert(arriving.end(), added.begin(), added.end());
    for (int place : arriving) {
      Unit& u = *units_[size_t(place)];
      u.plugged = true;
      u.seenSerial = DigitsOf(PeekFlash(LetterOf(place), 136, 24));
      const uint32_t mask = UnitMask(place);
      loop_.Post([this, mask] { station_->OnVolumeChange(true, mask); });
      Pause();
    }
    Settle();
    CheckRowsMatchDrives("after devices were plugged in");
  }

  // The operator pulls every device; nothing of them may stay behind.
  void ClearLine() {
    for (int place = 0; place < kPlaces; ++place) {
      auto& u = units_[size_t(place)];
      if (!u) continue;
      if (QMR_SimDriveMask() & Bit(LetterOf(place))) {
        QMR_SimUnplug(LetterOf(place));
        Pause();
      }
      u.reset();
    }
    Settle();
    Configure({});
    // An arrival scan releases the rows of failed devices that went while burning.
    loop_.Post([this] { station_->OnVolumeChange(true, 0); });
    Settle();
    Expect(station_->rows().Count() == 0 && station_->slots().GetDeviceCount() == 0,
           "with every device pulled, " + std::to_string(station_->rows().Count()) + " rows are still shown");
    CheckHandlesAndThreads();
    const size_t heap = HeapInUse();
    ++epochs_;
    if (std::getenv("ARDENTIX_SOAK_SHOW")) std::fprintf(stderr, "epoch %d heap %zu\n", epochs_, heap);
    if (heap == 0) return;
    if (epochs_ == kWarmUpEpochs) {
      heapBaseline_ = heapMax_ = heap;
    } else if (epochs_ > kWarmUpEpochs) {
      heapMax_ = std::max(heapMax_, heap);
      Expect(heap <= heapBaseline_ + kMemorySlackBytes,
             "memory grows: " + std::to_string(heap / 1024) + " KB in use, " + std::to_string(heapBaseline_ / 1024) +
                 " KB after warm-up");
    }
  }

  // --- One batch ----------------------------------------------------------

  void BurnBatch() {
    DeviceSlotTable& slots = station_->slots();
    const int passBefore = station_->PassCount, failBefore = station_->FailCount;
    std::set<char> expected;
    messages_.shown.clear();
    // The unit that may leave, as the station saw it plugged in.
    if (swap_) swap_->leaving = *units_[size_t(swap_->place)];
    bool anyRow = false;
    bool ran = false;
    for (int attempt = 0; attempt < 3 && !ran; ++attempt) {
      // A refused attempt may have lost a device on the way: what is ready
      // is taken again before each.
      expected.clear();
      // (one pulled by a refused attempt may still be listed: START passes it by)
      const uint32_t present = uint32_t(QMR_SimDriveMask());
      for (int b = 0; b < slots.GetDeviceCount(); ++b) {
        const char letter = slots.GetListedLetter(b);
        if (slots.GetDeviceStatus(letter) == DeviceStatus::Ready && (present & Bit(letter)) != 0)
          expected.insert(letter);
      }
      anyRow = station_->rows().Count() > 0;  // START does nothing without one
      const size_t shown = messages_.shown.size();
      if (swap_ && !swap_->done) {
        if (swap_->beforeStart) {
          SwapPort(*swap_);  // before the removal check could see it
        } else {
          PortSwap* s = swap_.get();
          clock_.SetSleepHook([this, s](Milliseconds) {
            if (s->sleeps.fetch_add(1) == s->atSleep) SwapPort(*s);
          });
        }
      }
      engine_->OnStartButton();
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
      bool refused = false;
      loop_.Run([&] {
        refused = messages_.shown.size() > shown && messages_.shown.back().rfind("Lock fail!", 0) == 0;
        return !engine_->Running() || refused || std::chrono::steady_clock::now() > deadline;
      });
      if (refused) {
        // The lock test failed: no worker started, the button ends the run.
        ++lockRefusals_;
        engine_->WaitForWorkers();
        Expect(station_->PassCount == passBefore && station_->FailCount == failBefore,
               "a run refused by the lock test changed the counters");
        engine_->OnStartButton();
        Expect(!engine_->Running(), "STOP did not end a run refused by the lock test");
        continue;
      }
      Expect(!engine_->Running(), "the run did not end");
      if (messages_.shown.size() > shown) Fail("START said: " + messages_.shown.back());
      ran = true;
    }
    engine_->WaitForWorkers();
    clock_.SetSleepHook(nullptr);
    loop_.RunPending();
    station_->RefreshDeviceRows();
    if (ran && anyRow) CheckOutcomes(expected, passBefore, failBefore);
    FinishSwap();
    CheckSettingsFile();
    CheckHandlesAndThreads();
    Expect(host_.LockedMask() == 0, "a volume is left locked (mask " + std::to_string(host_.LockedMask()) + ")");
  }

  static void SwapPort(PortSwap& s) {
    if (s.done.exchange(true)) return;
    QMR_SimUnplug(LetterOf(s.place));
    QMR_SimPlug(LetterOf(s.place));  // the port's other unit
  }

  std::string FileFlash(const Unit& u, uint64_t at, uint64_t n) const {
    std::ifstream in(FlashFileOf(u), std::ios::binary);
    std::string s(n, '\xFF');
    in.seekg(std::streamoff(at));
    in.read(s.data(), std::streamsize(n));  // past the file's end the flash reads erased
    return s;
  }

  // A burn of the swap's place: the report is of the unit that left, or of
  // none when its worker found the newcomer.
  void CheckSwappedPlace(const DeviceReport& r, int& passed, int& failed) {
    const Unit& u = swap_->leaving;
    const std::string who = std::string(1, r.letter) + ": (unit " + std::to_string(u.id) + ", swapped out)";
    if (r.outcome == BurnOutcome::None) {
      Expect(r.result == status::kOtherUnit, who + " was not burned and its result is " + std::to_string(r.result));
      return;
    }
    const std::string digits = DigitsOf(FileFlash(u, 136, 24));
    if (r.outcome == BurnOutcome::Passed) {
      ++passed;
      std::string want = package_;
      want.replace(136, 24, SerialField(u.seenSerial));
      want[206] = char(kFastClockMHz & 0xFF);
      want[207] = char(kFastClockMHz >> 8);
      const std::string flash = FileFlash(u, 0, package_.size());
      size_t i = 0;
      while (i < flash.size() && flash[i] == want[i]) ++i;
      Expect(i == flash.size(), who + " passed but its flash differs from the image at byte " + std::to_string(i));
    } else {
      ++failed;
      Expect(digits == u.serial || digits.empty(),
             who + " failed and its flash holds serial \"" + digits + "\" instead of \"" + u.serial + "\"");
    }
  }

  // After a batch with a swap: each unit's flash holds its own serial, and
  // the newcomer stays on the port.
  void FinishSwap() {
    if (!swap_) return;
    if (swap_->done) {
      const Unit& left = swap_->leaving;
      const std::string leftDigits = DigitsOf(FileFlash(left, 136, 24));
      Expect(leftDigits == left.serial || leftDigits.empty(),
             "unit " + std::to_string(left.id) + " left its port with serial \"" + leftDigits + "\", it came with \"" +
                 left.serial + "\"");
      Unit coming = swap_->coming;
      const std::string comingDigits = DigitsOf(FileFlash(coming, 136, 24));
      Expect(comingDigits == coming.serial, "unit " + std::to_string(coming.id) +
                                                " swapped in holds serial \"" + comingDigits + "\", it came with \"" +
                                                coming.serial + "\"");
      coming.seenSerial = coming.serial;
      coming.flashStart = FileFlash(coming, 0, 4096);
      // The station learns of it from its report (not burned, identified
      // anew), or at its next burn.
      coming.swappedIn = !swapDetected_;
      coming.plugged = (QMR_SimDriveMask() & Bit(LetterOf(swap_->place))) != 0;
      units_[size_t(swap_->place)] = coming;
      ++swaps_;
    }
    std::error_code ec;
    std::filesystem::remove(FlashFileOf(swap_->leaving), ec);
    std::filesystem::remove(FlashFileOf(swap_->coming), ec);
    swap_.reset();
    swapDetected_ = false;
  }

  void CheckOutcomes(const std::set<char>& expected, int passBefore, int failBefore) {
    DeviceSlotTable& slots = station_->slots();
    const std::vector<DeviceReport> reports = engine_->Reports();
    std::set<char> burned;
    int passed = 0, failed = 0;
    if (std::getenv("ARDENTIX_SOAK_SHOW"))
      for (char l : expected)
        std::fprintf(stderr, "%c: status %d stage %d result %d\n", l, int(slots.GetDeviceStatus(l)),
                     slots.GetDeviceStage(l), slots.GetDeviceResult(l));
    for (const DeviceReport& r : reports) {
      burned.insert(r.letter);
      const int place = r.letter - kFirstLetter;
      Expect(place >= 0 && place < kPlaces && units_[size_t(place)], std::string("a burn ran on ") + r.letter +
                                                                          ", where no device was plugged");
      Unit& u = *units_[size_t(place)];
      const std::string who = std::string(1, r.letter) + ": (unit " + std::to_string(u.id) + ")";
      if (swap_ && swap_->done && swap_->place == place) {
        if (r.outcome == BurnOutcome::None || station_->slots().GetDeviceResult(r.letter) == status::kOtherUnit)
          swapDetected_ = true;
        CheckSwappedPlace(r, passed, failed);
        continue;
      }
      if (u.swappedIn) {
        // Plugged in under the letter of a unit that had its report already:
        // its burn finds it is another unit and burns nothing, unless a scan
        // has identified it since (then it is burned as any unit, with its
        // own serial, as the checks below see).
        u.swappedIn = false;
        if (r.outcome == BurnOutcome::None) {
          Expect(r.result == status::kOtherUnit, who + " came in by a swap and its burn ended " + std::to_string(r.result));
          continue;
        }
      }
      if (r.outcome == BurnOutcome::None) {
        Expect(r.result == status::kOtherUnit && batch_ - u.corruptReadBatch <= 1,
               who + " was not burned (" + std::to_string(r.result) + ")");
        continue;
      }
      if (r.outcome == BurnOutcome::Passed) {
        ++passed;
        CheckPassed(r.letter, u, who);
      } else {
        ++failed;
        CheckFailed(r, u, who);
      }
    }
    Expect(burned == expected, "the run burned " + std::string(burned.begin(), burned.end()) + ", " +
                                   std::string(expected.begin(), expected.end()) + " were ready");
    Expect(station_->PassCount - passBefore == passed,
           "Pass Count grew by " + std::to_string(station_->PassCount - passBefore) + ", " + std::to_string(passed) +
               " devices passed");
    Expect(station_->FailCount - failBefore == failed,
           "Fail Count grew by " + std::to_string(station_->FailCount - failBefore) + ", " + std::to_string(failed) +
               " devices failed");
    burns_ += passed + failed;
    passed_ += passed;
    failed_ += failed;
    (void)slots;
  }

  void CheckPassed(char letter, Unit& u, const std::string& who) {
    DeviceSlotTable& slots = station_->slots();
    // A device pulled right after its last command has lost its slot with its row.
    if (slots.FindInDeviceList(letter) >= 0)
      Expect(slots.GetDeviceStage(letter) == status::kDownloadOk && slots.GetDeviceResult(letter) == status::kSuccess,
             who + " passed but its slot shows " + std::to_string(slots.GetDeviceStage(letter)) + "/" +
                 std::to_string(slots.GetDeviceResult(letter)));
    Expect(kChips[u.chip].burnable, who + " passed on a chip the catalogue refuses");
    std::string card(sdImage_.size(), '\0');
    Expect(QMR_SimPeekSd(letter, 0, reinterpret_cast<unsigned char*>(card.data()), card.size()) == 1 &&
               card == sdImage_,
           who + " passed but its card does not hold the image");
    std::string want = package_;
    const std::string serial = SerialField(u.seenSerial);
    want.replace(136, 24, serial);
    want[206] = char(kFastClockMHz & 0xFF);
    want[207] = char(kFastClockMHz >> 8);
    const std::string flash = PeekFlash(letter, 0, package_.size());
    if (flash != want) {
      const std::string got = flash.size() >= 160 ? DigitsOf(flash.substr(136, 24)) : "";
      if (flash.size() >= 160 && flash.compare(136, 24, serial) != 0)
        Fail(who + " passed with serial \"" + got + "\" in its flash; it came with \"" + u.seenSerial + "\"");
      size_t i = 0;
      while (i < flash.size() && flash[i] == want[i]) ++i;
      Fail(who + " passed but its flash differs from the image at byte " + std::to_string(i));
    }
    Expect(u.serialLost || u.seenSerial == u.serial,
           who + " came with serial \"" + u.serial + "\" and the station saw \"" + u.seenSerial + "\"");
  }

  void CheckFailed(const DeviceReport& report, Unit& u, const std::string& who) {
    const char letter = report.letter;
    DeviceSlotTable& slots = station_->slots();
    // What the worker left; a device pulled since has lost its row and slot
    // with it, one still listed shows it.
    const StatusCode result = report.result;
    Expect(result > 0 && result != status::kSuccess && result != status::kPending && !StatusText(result).empty(),
           who + " failed but its result (" + std::to_string(result) + ") names no failure");
    // Corrupted reads of its block 0 may make the station take it for another
    // unit at the end of its failed burn: the row is then a new arrival's.
    const bool reidentified = slots.FindInDeviceList(letter) >= 0 &&
                              slots.GetDeviceResult(letter) == status::kOtherUnit &&
                              slots.GetDeviceOutcome(letter) == BurnOutcome::None && batch_ - u.corruptReadBatch <= 1;
    const StatusCode shown = reidentified ? status::kOtherUnit : result;
    if (slots.FindInDeviceList(letter) >= 0 && !reidentified)
      Expect(slots.GetDeviceResult(letter) == result && slots.GetDeviceOutcome(letter) == BurnOutcome::Failed,
             who + " failed with " + std::to_string(result) + " and its slot shows " +
                 std::to_string(slots.GetDeviceResult(letter)));
    for (int row = 0; row < station_->rows().Count(); ++row) {
      if (station_->rows().Text(row, 1).rfind(std::string(1, letter), 0) != 0) continue;
      Expect(station_->rows().Text(row, 3) == StatusText(shown),
             who + " failed and its row reads \"" + station_->rows().Text(row, 3) + "\"");
    }
    // A burn cut off between the erase and the rewrite of block 0 takes the
    // serial with it; any other serial there is a wrong one.
    const std::string field = PeekFlash(letter, 136, 24);
    const std::string digits = DigitsOf(field);
    if (!u.serial.empty() && digits != u.serial) {
      Expect(field == std::string(24, '\xFF'),
             who + " failed and its flash holds serial \"" + digits + "\" instead of \"" + u.serial + "\"");
      if (!u.serialLost) ++serialsLost_;
      u.serialLost = true;
    }
  }

  // Every row is a listed device in list order, and a device shown as ready
  // is one the system still has.
  void CheckRowsMatchDrives(const std::string& when) {
    DeviceSlotTable& slots = station_->slots();
    StatusRows& rows = station_->rows();
    Expect(rows.Count() == slots.GetDeviceCount(), when + ": " + std::to_string(rows.Count()) + " rows for " +
                                                       std::to_string(slots.GetDeviceCount()) + " listed devices");
    const uint32_t plugged = uint32_t(QMR_SimDriveMask());
    for (int b = 0; b < slots.GetDeviceCount(); ++b) {
      const char letter = slots.GetListedLetter(b);
      Expect(rows.Text(b, 1).rfind(std::string(1, letter), 0) == 0, when + ": row " + std::to_string(b) +
                                                                        " does not show the device listed there");
      if (slots.GetDeviceStatus(letter) == DeviceStatus::Ready)
        Expect((plugged & Bit(letter)) != 0,
               when + ": " + std::string(1, letter) + ": is shown ready, but no device is plugged there");
    }
  }

  void CheckSettingsFile() {
    const Settings file = LoadSettings(station_->settingsPath());
    const Settings& mem = station_->settings();
    Expect(file.PassCount == station_->PassCount && file.FailCount == station_->FailCount,
           "the settings file holds " + std::to_string(file.PassCount) + "/" + std::to_string(file.FailCount) +
               ", the station counts " + std::to_string(station_->PassCount) + "/" +
               std::to_string(station_->FailCount));
    Expect(file.WriteVerify == mem.WriteVerify && file.SaveSdFile == mem.SaveSdFile && file.LockOnXp == mem.LockOnXp &&
               file.startSn == mem.startSn && file.totalCountShown == mem.totalCountShown,
           "the settings file's options differ from the station's");
  }

  void CheckHandlesAndThreads() {
    // The removal probes run on threads of their own: their answers are in,
    // and their threads joined, before the handles and threads are counted.
    while (station_->deviceCalls().WaitBriefly(Milliseconds(100)) > 0) {
    }
    const int handles = QMR_OpenHandleCount();
    Expect(handles == 0, std::to_string(handles) + " device handles are left open");
    const int threads = CountThreads();
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer starts a thread of its own with the first one it sees.
    if (batch_ == 1) threadBaseline_ = threads;
#endif
    // A bus with a swap's timed entries keeps its schedule's thread.
    const int expected = threadBaseline_ + (scheduledBus_ ? 1 : 0);
    Expect(threads == expected, std::to_string(threads) + " threads run, " + std::to_string(expected) +
                                    " should (" + std::to_string(threadBaseline_) + " at the start)");
  }

  const int target_;
  const uint64_t seed_;
  Random random_;
  std::filesystem::path dir_;
  FakeClock clock_;
  EventLoop loop_{clock_};
  SimulatedHost host_;
  MessagesSeen messages_;
  std::unique_ptr<Station> station_;
  std::unique_ptr<BurnEngine> engine_;
  std::string package_, sdImage_;
  int writeVerify_ = 0, saveSdFile_ = 0;
  std::array<std::optional<Unit>, kPlaces> units_;
  std::unique_ptr<PortSwap> swap_;
  bool swapDetected_ = false;
  int swaps_ = 0;
  uint64_t unitsMade_ = 0;
  int batch_ = 0, burns_ = 0, passed_ = 0, failed_ = 0, lockRefusals_ = 0, serialsLost_ = 0, epochs_ = 0;
  int threadBaseline_ = 0;
  bool scheduledBus_ = false;
  size_t heapBaseline_ = 0, heapMax_ = 0;
};

}  // namespace
}  // namespace ardentix

namespace ardentix {
int LineSoak(int burns, uint64_t seed);
}

int main(int argc, char** argv) {
  int burns = 10000;
  bool line = false;
  uint64_t seed = uint64_t(std::chrono::system_clock::now().time_since_epoch().count()) % 1000000007ull;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--continuous") {
      line = true;
    } else if (a == "--seed" && i + 1 < argc) {
      seed = std::strtoull(argv[++i], nullptr, 10);
    } else if (!a.empty() && a.find_first_not_of("0123456789") == std::string::npos) {
      burns = std::atoi(a.c_str());
    } else {
      std::fprintf(stderr, "usage: %s [N] [--seed S] [--continuous]\n", argv[0]);
      return 2;
    }
  }
  // The library's simulator, not the machine's drives; no trace file.
  ::setenv("QMR52916_SIMULATE", "", 1);
  ::setenv("QMR52916_TRACE", "", 1);
  std::printf("soak: %d burns, seed %llu\n", burns, static_cast<unsigned long long>(seed));
  std::fflush(stdout);
  if (line) return ardentix::LineSoak(burns, seed);
  return ardentix::Soak(burns, seed).Run();
}
