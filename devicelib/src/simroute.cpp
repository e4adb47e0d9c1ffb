#include "simroute.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>

namespace qmr {
namespace {

struct SimState {
  std::mutex mutex;
  bool initialised = false;
  std::shared_ptr<sim::Bus> bus;
  std::string error;  // set when QMR52916_SIMULATE cannot be used
  bool errorPrinted = false;
  // Mirrors the state for the command path: 0 not read yet, 1 usable, -1 not.
  std::atomic<int> usable{0};
  void (*listener)(void*, int, unsigned long) = nullptr;
  void* listenerContext = nullptr;
};

// Caller holds the state's mutex.
void InstallListener(SimState& s) {
  if (!s.bus) return;
  if (s.listener == nullptr) {
    s.bus->SetListener(nullptr);
    return;
  }
  auto fn = s.listener;
  void* ctx = s.listenerContext;
  s.bus->SetListener([fn, ctx](bool arrived, uint32_t mask) { fn(ctx, arrived ? 1 : 0, mask); });
}

SimState& State() {
  static SimState state;
  return state;
}

// A device's backing file may not open: the setup is refused with the reason.
std::shared_ptr<sim::Bus> MakeBus(const sim::SimConfig& config, std::string& error) {
  try {
    return std::make_shared<sim::Bus>(config);
  } catch (const std::exception& e) {
    error = std::string("simulator: ") + e.what();
    return nullptr;
  }
}

// Caller holds the mutex.
void InitFromEnvironment(SimState& s) {
  if (s.initialised) return;
  s.initialised = true;
  const char* spec = std::getenv("QMR52916_SIMULATE");
  if (spec != nullptr && *spec != '\0') {
    sim::SimConfig config;
    if (sim::ParseSimSpec(spec, config, s.error)) s.bus = MakeBus(config, s.error);
    if (s.error.empty() && !s.bus) s.error = "QMR52916_SIMULATE cannot be used";
  }
  s.usable = s.error.empty() ? 1 : -1;
}

// Caller holds the mutex. A library must not end its caller (this may be a
// burn worker): the setup's fault is said once and every export fails.
bool UsableLocked(SimState& s) {
  InitFromEnvironment(s);
  if (s.error.empty()) return true;
  if (!s.errorPrinted) {
    s.errorPrinted = true;
    std::fprintf(stderr, "QMR52916LIB: %s\n", s.error.c_str());
  }
  return false;
}

class SimBackend final : public Backend {
 public:
  SimBackend(std::shared_ptr<sim::VirtualDevice> device, int lun) : device_(std::move(device)), lun_(lun) {}
  bool Execute(const ScsiRequest& r) override {
    const sim::Direction d = r.direction == DataDirection::In    ? sim::Direction::In
                             : r.direction == DataDirection::Out ? sim::Direction::Out
                                                                 : sim::Direction::None;
    const sim::CommandResult result = device_->Run(lun_, r.cdb, d, r.buffer, r.length, r.timeoutMs);
    timedOut_ = result == sim::CommandResult::TimedOut;
    return result == sim::CommandResult::Good;
  }
  bool TimedOut() const override { return timedOut_; }

 private:
  bool timedOut_ = false;
  std::shared_ptr<sim::VirtualDevice> device_;
  int lun_;
};

std::atomic<BackendOpener> standIn{nullptr};

}  // namespace

void SetBackendOpener(BackendOpener opener) { standIn.store(opener); }

BackendOpener CurrentBackendOpener() { return standIn.load(); }

bool LibraryUsable() {
  SimState& s = State();
  const int known = s.usable.load(std::memory_order_acquire);
  if (known == 1) return true;
  std::lock_guard lock(s.mutex);
  return UsableLocked(s);
}

std::string SetupError() {
  SimState& s = State();
  std::lock_guard lock(s.mutex);
  InitFromEnvironment(s);
  return s.error;
}

std::shared_ptr<sim::Bus> SimulatedBus() {
  SimState& s = State();
  std::lock_guard lock(s.mutex);
  if (!UsableLocked(s)) return nullptr;
  return s.bus;
}

int SimulationStatus(std::string& error) {
  SimState& s = State();
  std::lock_guard lock(s.mutex);
  InitFromEnvironment(s);
  error = s.error;
  if (!s.error.empty()) return -1;
  return s.bus ? 1 : 0;
}

bool ConfigureSimulation(const char* spec, std::string& error) {
  SimState& s = State();
  std::shared_ptr<sim::Bus> bus;
  if (spec != nullptr && *spec != '\0') {
    sim::SimConfig config;
    if (!sim::ParseSimSpec(spec, config, error)) return false;
    bus = MakeBus(config, error);
    if (!bus) return false;
  }
  std::lock_guard lock(s.mutex);
  s.initialised = true;
  s.error.clear();
  s.usable = 1;
  if (s.bus) s.bus->SetListener(nullptr);
  s.bus = std::move(bus);
  InstallListener(s);
  return true;
}

void SetSimulationListener(void (*listener)(void*, int, unsigned long), void* context) {
  SimState& s = State();
  std::lock_guard lock(s.mutex);
  InitFromEnvironment(s);
  s.listener = listener;
  s.listenerContext = context;
  InstallListener(s);
}

std::unique_ptr<Backend> OpenSimulated(sim::Bus& bus, char letter) {
  int lun = 0;
  auto device = bus.Find(letter, &lun);
  if (!device || !device->Open(lun)) return nullptr;
  return std::make_unique<SimBackend>(std::move(device), lun);
}

}  // namespace qmr
