// The simulated USB bus: devices by drive letter, plug and unplug events and
// the timed plug schedule of a configuration.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <thread>

#include "config_internal.h"

namespace qmr::sim {

struct Bus::Hub {
  std::mutex mutex;
  std::shared_ptr<const Listener> listener;

  // The listener runs outside every lock, so that it may call back into the
  // bus or a device.
  void Notify(bool arrived, uint32_t mask) {
    std::shared_ptr<const Listener> l;
    {
      std::lock_guard lock(mutex);
      l = listener;
    }
    if (l && *l) (*l)(arrived, mask);
  }
};

struct Bus::Schedule {
  struct Event {
    std::chrono::steady_clock::time_point when;
    std::shared_ptr<VirtualDevice> device;
    bool plug = false;
  };
  std::vector<Event> events;  // in time order
  std::mutex mutex;
  std::condition_variable wake;
  bool stop = false;
  std::thread thread;
};

Bus::Bus(const SimConfig& config)
    : systemLocation_(config.systemLocation),
      hub_(std::make_shared<Hub>()),
      sharedBus_(config.busMBps > 0 ? std::make_shared<SharedBus>(config.busMBps) : nullptr) {
  // Hand-built configurations get the same unit-1 letters the parser gives.
  std::vector<DeviceConfig> list = config.devices;
  AssignUnitLetters(list);

  const auto start = std::chrono::steady_clock::now();
  std::vector<Schedule::Event> events;
  for (const DeviceConfig& d : list) {
    auto device = std::make_shared<VirtualDevice>(d);
    device->SetPlugNotifier([hub = hub_](bool arrived, uint32_t mask) { hub->Notify(arrived, mask); });
    if (sharedBus_) device->SetSharedBus(sharedBus_);
    if (d.plugAtMs >= 0) events.push_back({start + std::chrono::milliseconds(d.plugAtMs), device, true});
    if (d.unplugAtMs >= 0) events.push_back({start + std::chrono::milliseconds(d.unplugAtMs), device, false});
    devices_.push_back(std::move(device));
  }
  if (events.empty()) return;
  std::stable_sort(events.begin(), events.end(), [](const auto& a, const auto& b) { return a.when < b.when; });
  schedule_ = std::make_unique<Schedule>();
  schedule_->events = std::move(events);
  schedule_->thread = std::thread([this] { RunSchedule(); });
}

Bus::~Bus() {
  if (schedule_) {
    {
      std::lock_guard lock(schedule_->mutex);
      schedule_->stop = true;
    }
    schedule_->wake.notify_all();
    schedule_->thread.join();
  }
  // Devices held by open handles outlive the bus; they stop reporting here.
  std::lock_guard lock(hub_->mutex);
  hub_->listener.reset();
}

void Bus::RunSchedule() {
  Schedule& s = *schedule_;
  std::unique_lock lock(s.mutex);
  for (const Schedule::Event& e : s.events) {
    if (s.wake.wait_until(lock, e.when, [&] { return s.stop; })) return;
    lock.unlock();
    e.device->SetPlugged(e.plug);
    lock.lock();
  }
}

std::shared_ptr<VirtualDevice> Bus::Owner(char letter, int* lun) const {
  const char upper = char(std::toupper(static_cast<unsigned char>(letter)));
  if (upper < 'A' || upper > 'Z') return nullptr;
  // Devices of one port share its letter at different times: the plugged
  // one owns it, else the first listed.
  std::shared_ptr<VirtualDevice> found;
  int foundUnit = 0;
  for (const auto& device : devices_) {
    for (int unit = 0; unit < device->config().luns; ++unit) {
      if (device->LetterOf(unit) != upper) continue;
      if (device->Plugged()) {
        if (lun != nullptr) *lun = unit;
        return device;
      }
      if (!found) found = device, foundUnit = unit;
    }
  }
  if (found && lun != nullptr) *lun = foundUnit;
  return found;
}

std::shared_ptr<VirtualDevice> Bus::Find(char letter, int* lun) const {
  int unit = 0;
  auto device = Owner(letter, &unit);
  if (!device || !device->Plugged()) return nullptr;
  if (lun != nullptr) *lun = unit;
  return device;
}

uint32_t Bus::DriveMask() const {
  uint32_t mask = 0;
  for (const auto& device : devices_)
    if (device->Plugged()) mask |= device->LetterMask();
  return mask;
}

bool Bus::Plug(char letter) {
  auto device = Owner(letter, nullptr);
  if (!device) return false;
  if (!device->Plugged()) {
    // The port's units in turn: the one listed after the unit that came last.
    const char upper = char(std::toupper(static_cast<unsigned char>(letter)));
    std::vector<std::shared_ptr<VirtualDevice>> port;
    for (const auto& d : devices_)
      if (d->LetterOf(0) == upper || d->LetterOf(1) == upper) port.push_back(d);
    size_t last = port.size() - 1;
    uint64_t newest = 0;
    for (size_t i = 0; i < port.size(); ++i)
      if (port[i]->PluggedAt() > newest) newest = port[i]->PluggedAt(), last = i;
    device = port[(last + 1) % port.size()];
  }
  device->SetPlugged(true);
  return true;
}

bool Bus::Unplug(char letter) {
  auto device = Owner(letter, nullptr);
  if (!device) return false;
  device->SetPlugged(false);
  return true;
}

void Bus::SetListener(Listener listener) {
  auto shared = listener ? std::make_shared<const Listener>(std::move(listener)) : nullptr;
  std::lock_guard lock(hub_->mutex);
  hub_->listener = std::move(shared);
}

}  // namespace qmr::sim
