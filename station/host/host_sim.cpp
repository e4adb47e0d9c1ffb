#include "host/host_sim.h"

#include "QMR52916LIB_ext.h"

namespace ardentix {
namespace {

constexpr uint32_t kSystemDisk = 1u << ('C' - 'A');


}  // namespace

SimulatedHost::SimulatedHost() = default;

SimulatedHost::~SimulatedHost() { StopWatching(); }

uint32_t SimulatedHost::LogicalDriveMask() { return uint32_t(QMR_SimDriveMask()) | kSystemDisk; }

DriveType SimulatedHost::GetDriveType(char letter) {
  if (uint32_t(QMR_SimDriveMask()) & DriveBit(letter)) return DriveType::Removable;
  if (DriveBit(letter) == kSystemDisk) return DriveType::Fixed;
  return DriveType::NoRootDir;
}

std::string SimulatedHost::DeviceNode(char letter) {
  return (uint32_t(QMR_SimDriveMask()) & DriveBit(letter)) ? std::string("sim:") + letter : std::string();
}

std::optional<DiskSpace> SimulatedHost::FreeSpace(char letter) {
  unsigned long long total = 0, used = 0;
  if (!QMR_SimCardUsage(letter, &total, &used)) return std::nullopt;
  return DiskSpace{total, total > used ? total - used : 0};
}

bool SimulatedHost::LockVolume(char letter, void*) {
  std::lock_guard lock(lockMutex_);
  // A volume is locked once; a second lock fails as it would on the real system.
  if ((locked_ & DriveBit(letter)) != 0 || QMR_SimLockVolume(letter) != 1) return false;
  locked_ |= DriveBit(letter);
  return true;
}

bool SimulatedHost::UnlockVolume(char letter, void*) {
  std::lock_guard lock(lockMutex_);
  if ((locked_ & DriveBit(letter)) == 0) return false;
  // The lock goes with the handle even when the device has gone.
  locked_ &= ~DriveBit(letter);
  return QMR_SimUnlockVolume(letter) == 1;
}

bool SimulatedHost::IsLocked(char letter) {
  std::lock_guard lock(lockMutex_);
  return (locked_ & DriveBit(letter)) != 0;
}

uint32_t SimulatedHost::LockedMask() {
  std::lock_guard lock(lockMutex_);
  return locked_;
}

FormatOutcome SimulatedHost::FormatDrive(char letter) {
  FormatOutcome outcome;
  outcome.started = true;
  outcome.exitCode = QMR_SimFormatCard(letter) ? 0 : 1;
  if (outcome.exitCode != 0) outcome.message = std::string("Drive ") + letter + ": could not be formatted.";
  return outcome;
}

void SimulatedHost::SetVolumeListener(VolumeListener listener) {
  std::lock_guard lock(mutex_);
  listener_ = std::move(listener);
}

void SimulatedHost::StartWatching() {
  std::lock_guard lock(mutex_);
  if (watching_) return;
  watching_ = true;
  QMR_SimSetListener(&SimulatedHost::OnSimEvent, this);
}

void SimulatedHost::StopWatching() {
  {
    std::lock_guard lock(mutex_);
    if (!watching_) return;
    watching_ = false;
  }
  QMR_SimSetListener(nullptr, nullptr);
}

void SimulatedHost::OnSimEvent(void* context, int arrived, unsigned long mask) {
  auto* self = static_cast<SimulatedHost*>(context);
  VolumeListener listener;
  {
    std::lock_guard lock(self->mutex_);
    if (!self->watching_) return;
    listener = self->listener_;
  }
  if (listener) listener(arrived != 0, uint32_t(mask));
}

}  // namespace ardentix
