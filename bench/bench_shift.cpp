// An 8-hour shift of an 8-port station, batch against the continuous line,
// on a simulated clock: the devices' transfers move at the simulator's
// realistic rates, each card at its own speed (spread by 15 % either way),
// all sharing the hub's bandwidth by the simulator's own rule; the station's
// fixed waits (arrival timer, settle time, start spacing, lock test, flash
// stage waits) are its own constants. One operator takes 5 s per device and
// handles one device at a time: in the batch he swaps all of them once the
// run has ended, then presses START; on the line he swaps each device as it
// finishes. Prints units per hour of both, their ratio, and the bound that
// the operator and the ports allow.
#include <algorithm>
#include <array>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <deque>
#include <limits>
#include <random>
#include <vector>

#include "burn/continuous_line.h"
#include "sim/sim.h"

using namespace ardentix;
using qmr::sim::SharedBus;
using qmr::sim::Timing;

namespace {

constexpr int kPorts = 8;
constexpr double kShiftS = 8 * 3600.0;
constexpr double kSwapS = 5.0;
constexpr double kSpread = 0.15;
constexpr double kSdImageMB = 128 * 1.048576;   // a 128 MiB card image
constexpr double kFlashImageMB = 8 * 1.048576;  // an 8 MiB flash package
constexpr double kBusMBps = 35;                 // the simulator's USB 2.0 hub
constexpr double kSdChunkMB = 61440 / 1e6;
constexpr double kFlashChunkMB = 4096 / 1e6;
// The flash stage's own waits: two settles, erase to write, and the status
// polls of two erases that answer busy twice each.
constexpr double kFlashWaitsS = 1.0 + 1.0 + 0.5 + 2 * 2 * 1.0;
constexpr double kLockTestS = 0.3;  // the batch's pre-test: three 100 ms waits
constexpr double kEps = 1e-9;

double S(Milliseconds ms) { return double(ms.count()) / 1000.0; }

// One piece of a device's burn: data over the bus at the device's own rate,
// or a wait of its own (command latencies, the stage's fixed waits).
struct Step {
  double mb = 0;       // data to move; 0 = a wait
  double ownMBps = 0;  // the rate it would move at alone
  double waitS = 0;
};

std::vector<Step> BurnSteps(double cardSpeed) {
  const Timing t = Timing::Realistic();
  const double latency = t.commandLatencyUs / 1e6;
  const double sdCommands = kSdImageMB / kSdChunkMB;
  const double flashCommands = kFlashImageMB / kFlashChunkMB;
  return {
      {kSdImageMB, t.sdWriteMBps * cardSpeed, 0},
      {0, 0, sdCommands * latency},
      {kSdImageMB, t.sdReadMBps * cardSpeed, 0},
      {0, 0, sdCommands * latency},
      {0, 0, kFlashWaitsS + 2 * t.eraseLatencyUs / 1e6},
      {kFlashImageMB, t.flashWriteMBps, 0},
      {kFlashImageMB, t.flashReadMBps, 0},
      {0, 0, 2 * flashCommands * latency},
  };
}

struct Port {
  std::vector<Step> steps;
  size_t step = 0;
  double left = 0;  // MB, or seconds for a wait
  bool burning = false;
  double startedS = 0;
};

struct Result {
  int units = 0;
  double meanBurnS = 0;
};

class Shift {
 public:
  explicit Shift(uint32_t seed) : random_(seed), speed_(1 - kSpread, 1 + kSpread) {}

  // Moves every burning port forward to `until` (or to the next step's end,
  // whichever comes first); returns the time reached.
  double Advance(double until) {
    int sharing = 0;
    for (const Port& p : ports_)
      if (p.burning && p.steps[p.step].mb > 0) ++sharing;
    double dt = until - now_;
    for (const Port& p : ports_) {
      if (!p.burning) continue;
      const Step& s = p.steps[p.step];
      const double rate = s.mb > 0 ? SharedBus::Share(s.ownMBps, kBusMBps, sharing) : 1.0;
      dt = std::min(dt, p.left / rate);
    }
    dt = std::max(dt, 0.0);
    for (Port& p : ports_) {
      if (!p.burning) continue;
      const Step& s = p.steps[p.step];
      const double rate = s.mb > 0 ? SharedBus::Share(s.ownMBps, kBusMBps, sharing) : 1.0;
      p.left -= dt * rate;
    }
    now_ += dt;
    return now_;
  }
  // Ports whose burn ended at this moment.
  std::vector<int> Finished() {
    std::vector<int> done;
    for (int i = 0; i < kPorts; ++i) {
      Port& p = ports_[size_t(i)];
      while (p.burning && p.left <= kEps) {
        if (++p.step == p.steps.size()) {
          p.burning = false;
          done.push_back(i);
          burnS_ += now_ - p.startedS;
          if (now_ <= kShiftS) ++units_;
          ++burns_;
        } else {
          const Step& s = p.steps[p.step];
          p.left = s.mb > 0 ? s.mb : s.waitS;
        }
      }
    }
    return done;
  }
  void Start(int i) {
    Port& p = ports_[size_t(i)];
    p.steps = BurnSteps(speed_(random_));  // a new device: its own card
    p.step = 0;
    p.left = p.steps[0].mb;
    p.burning = true;
    p.startedS = now_;
  }
  bool AnyBurning() const {
    return std::any_of(ports_.begin(), ports_.end(), [](const Port& p) { return p.burning; });
  }
  double now() const { return now_; }
  Result result() const { return {units_, burns_ ? burnS_ / burns_ : 0}; }

 protected:
  std::mt19937 random_;
  std::uniform_real_distribution<double> speed_;
  std::array<Port, kPorts> ports_;
  double now_ = 0;
  int units_ = 0, burns_ = 0;
  double burnS_ = 0;
};

// START, the run, the operator swapping all eight, START again.
Result Batch(uint32_t seed) {
  Shift shift(seed);
  double t = 0;
  while (t < kShiftS) {
    // START: the lock pre-test, then one worker every 500 ms.
    shift.Advance(t += kLockTestS);
    for (int i = 0; i < kPorts; ++i) {
      if (i) {
        const double next = t + 0.5;
        while (shift.Advance(next) < next - kEps) shift.Finished();
        t = next;
      }
      shift.Start(i);
    }
    while (shift.AnyBurning()) {
      shift.Advance(std::numeric_limits<double>::infinity());
      shift.Finished();
    }
    // Eight swaps, the arrival scan after the last, then START.
    t = shift.now() + kPorts * kSwapS + S(kNotificationDelay);
    shift.Advance(t);
  }
  return shift.result();
}

// The line: each device swapped as it ends, started once identified and settled.
Result Line(uint32_t seed) {
  Shift shift(seed);
  std::deque<int> toSwap;  // in the order they ended
  double operatorFreeS = 0;
  struct Due {
    double at;
    int port;
  };
  std::vector<Due> starts;  // identified: start after the settle time
  double lastStartS = -1e9;
  const double tick = S(kLineTick);
  for (int i = 0; i < kPorts; ++i) starts.push_back({0, i});  // plugged at START
  while (shift.now() < kShiftS) {
    // The next moment anything but a transfer happens.
    double next = std::numeric_limits<double>::infinity();
    if (!toSwap.empty()) next = std::max(operatorFreeS, shift.now());
    for (const Due& d : starts) {
      // Starts happen on the line's ticks, 500 ms apart at least.
      double at = std::max(d.at, lastStartS + S(kLineStartSpacing));
      at = std::ceil(at / tick - kEps) * tick;
      next = std::min(next, at);
    }
    shift.Advance(next);
    for (int port : shift.Finished()) toSwap.push_back(port);
    const double now = shift.now();
    if (now + kEps < next) continue;  // a burn step ended first
    if (!toSwap.empty() && operatorFreeS <= now + kEps) {
      const int port = toSwap.front();
      toSwap.pop_front();
      operatorFreeS = now + kSwapS;
      // Plugged at the end of the swap; identified after the arrival timer.
      starts.push_back({operatorFreeS + S(kNotificationDelay) + S(kSettleTime), port});
    }
    auto due = std::min_element(starts.begin(), starts.end(), [](const Due& a, const Due& b) { return a.at < b.at; });
    if (due != starts.end() && due->at <= now + kEps && now + kEps >= lastStartS + S(kLineStartSpacing)) {
      shift.Start(due->port);
      lastStartS = now;
      starts.erase(due);
    }
  }
  return shift.result();
}

}  // namespace

int main() {
  const auto t0 = std::chrono::steady_clock::now();
  const Result batch = Batch(1);
  const Result line = Line(1);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const double batchRate = batch.units / 8.0;
  const double lineRate = line.units / 8.0;
  // A port's own cycle: its burn, the swap, the arrival timer and the settle time.
  const double cycle = line.meanBurnS + kSwapS + S(kNotificationDelay) + S(kSettleTime);
  const double bound = std::min(3600 / kSwapS, kPorts * 3600 / cycle);
  const double ratio = batchRate > 0 ? lineRate / batchRate : 0;
  const bool met = ratio >= 1.5 && lineRate >= 0.9 * bound;
  std::printf("8-hour shift, %d ports, hub %.0f MB/s, cards +-%.0f %%, swap %.0f s per device\n", kPorts, kBusMBps,
              kSpread * 100, kSwapS);
  std::printf("batch:      %4d units, %6.1f units/h (mean burn %.1f s)\n", batch.units, batchRate, batch.meanBurnS);
  std::printf("continuous: %4d units, %6.1f units/h (mean burn %.1f s)\n", line.units, lineRate, line.meanBurnS);
  std::printf("bound: min(3600/%.0f, %d x 3600/%.1f) = %.1f units/h\n", kSwapS, kPorts, cycle, bound);
  std::printf("continuous/batch %.2f (target >= 1.50), continuous/bound %.2f (target >= 0.90), %.2f s %s\n", ratio,
              bound > 0 ? lineRate / bound : 0, seconds, met ? "MET" : "MISSED");
  return met ? 0 : 1;
}
