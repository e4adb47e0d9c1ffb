// Opening a device by drive letter, and the extension exports.
#include <algorithm>
#include <cstring>
#include <string>

#include "QMR52916LIB_ext.h"
#include "drive_letter.h"
#include "simroute.h"
#include "transport.h"

#if defined(_WIN32)
#include "platform/windows_sptd.h"
#else
#include "platform/linux_sg.h"
#endif

namespace {

void* Record(char letter, std::unique_ptr<qmr::Backend> backend) {
  return backend ? qmr::MakeHandle(letter, std::move(backend)) : qmr::InvalidHandle();
}

void* OpenHandle(char letter) {
  if (auto opener = qmr::CurrentBackendOpener()) return Record(letter, opener(letter));
  if (auto bus = qmr::SimulatedBus()) return Record(letter, qmr::OpenSimulated(*bus, letter));
#if defined(_WIN32)
  return qmr::windows_sptd::OpenVolume(letter);
#else
  return Record(letter, qmr::linux_sg::OpenVolume(letter));
#endif
}

void* Open(char given, bool identifyCheck) {
  const char letter = qmr::CanonicalDriveLetter(given);
  if (letter == 0 || !qmr::LibraryUsable()) return qmr::InvalidHandle();
  void* handle = OpenHandle(letter);
  if (qmr::IsInvalidHandle(handle)) return qmr::InvalidHandle();
  if (identifyCheck) {
    // A device of this family answers the identify command with (1, 1).
    const uint8_t cdb[16] = {0xF6};
    uint8_t answer[2] = {};
    if (!qmr::SendScsiCommand(handle, cdb, answer, 2, nullptr, 0) || answer[0] != 1 || answer[1] != 1) {
      qmr::CloseHandle(handle);
      return qmr::InvalidHandle();
    }
  }
  return handle;
}

void CopyError(const std::string& message, char* error, int errorSize) {
  if (error == nullptr || errorSize <= 0) return;
  const size_t n = std::min(message.size(), size_t(errorSize - 1));
  std::memcpy(error, message.data(), n);
  error[n] = '\0';
}

std::shared_ptr<qmr::sim::VirtualDevice> SimOwner(char letter, int* lun) {
  auto bus = qmr::SimulatedBus();
  if (!bus) return nullptr;
  return bus->Owner(letter, lun);
}

}  // namespace

extern "C" {

QMR_API void* TVQ_OpenDevice(char driveLetter) { return Open(driveLetter, true); }
QMR_API void* USB_OpenDevice(char driveLetter) { return Open(driveLetter, false); }

QMR_API int QMR_SimConfigure(const char* spec, char* error, int errorSize) {
  std::string message;
  if (qmr::ConfigureSimulation(spec, message)) return 1;
  CopyError(message, error, errorSize);
  return 0;
}

QMR_API int QMR_GetSetupError(char* error, int errorSize) {
  const std::string message = qmr::SetupError();
  CopyError(message, error, errorSize);
  return message.empty() ? 0 : 1;
}

QMR_API int QMR_SimStatus(char* error, int errorSize) {
  std::string message;
  const int status = qmr::SimulationStatus(message);
  CopyError(message, error, errorSize);
  return status;
}

QMR_API unsigned long QMR_SimDriveMask(void) {
  auto bus = qmr::SimulatedBus();
  return bus ? bus->DriveMask() : 0;
}

QMR_API int QMR_SimPlug(char letter) {
  auto bus = qmr::SimulatedBus();
  return bus && bus->Plug(letter) ? 1 : 0;
}

QMR_API int QMR_SimUnplug(char letter) {
  auto bus = qmr::SimulatedBus();
  return bus && bus->Unplug(letter) ? 1 : 0;
}

QMR_API int QMR_SimAddFault(char letter, const char* faultJson, char* error, int errorSize) {
  int lun = 0;
  if (!qmr::LibraryUsable()) {
    CopyError(qmr::SetupError(), error, errorSize);
    return 0;
  }
  auto device = SimOwner(letter, &lun);
  if (!device) {
    CopyError(std::string("no simulated device has the letter ") + letter, error, errorSize);
    return 0;
  }
  qmr::sim::FaultSpec fault;
  std::string message;
  if (faultJson == nullptr || !qmr::sim::ParseFault(faultJson, fault, message)) {
    CopyError(message.empty() ? "no fault given" : message, error, errorSize);
    return 0;
  }
  device->AddFault(fault);
  return 1;
}

QMR_API int QMR_SimPeekFlash(char letter, unsigned long long address, unsigned char* buffer,
                             unsigned long long length) {
  int lun = 0;
  auto device = SimOwner(letter, &lun);
  return device && buffer && device->PeekFlash(address, buffer, length) ? 1 : 0;
}

QMR_API int QMR_SimPokeFlash(char letter, unsigned long long address, const unsigned char* buffer,
                             unsigned long long length) {
  int lun = 0;
  auto device = SimOwner(letter, &lun);
  return device && buffer && device->PokeFlash(address, buffer, length) ? 1 : 0;
}

QMR_API int QMR_SimPeekSd(char letter, unsigned long long offset, unsigned char* buffer, unsigned long long length) {
  int lun = 0;
  auto device = SimOwner(letter, &lun);
  return device && buffer && device->PeekSd(lun, offset, buffer, length) ? 1 : 0;
}

QMR_API void QMR_SimSetListener(QMR_SimListener listener, void* context) {
  qmr::SetSimulationListener(listener, context);
}

QMR_API int QMR_SimLockVolume(char letter) {
  int lun = 0;
  auto device = SimOwner(letter, &lun);
  return device && device->Lock(lun) ? 1 : 0;
}

QMR_API int QMR_SimUnlockVolume(char letter) {
  int lun = 0;
  auto device = SimOwner(letter, &lun);
  return device && device->Plugged() ? 1 : 0;
}

QMR_API int QMR_SimCardUsage(char letter, unsigned long long* totalBytes, unsigned long long* usedBytes) {
  int lun = 0;
  auto device = SimOwner(letter, &lun);
  if (!device || !device->Plugged()) return 0;
  const uint64_t sectors = lun == 0 ? device->config().sdSectors : device->config().sd2Sectors;
  if (totalBytes) *totalBytes = sectors * 512;
  if (usedBytes) *usedBytes = device->SdBytesStored(lun);
  return 1;
}

QMR_API int QMR_SimFormatCard(char letter) {
  int lun = 0;
  auto device = SimOwner(letter, &lun);
  return device && device->FormatCard(lun) ? 1 : 0;
}

QMR_API int QMR_SimDeviceLetters(char* out, int outSize) {
  auto bus = qmr::SimulatedBus();
  if (!bus) {
    if (out && outSize > 0) out[0] = '\0';
    return 0;
  }
  std::string letters;
  for (const auto& device : bus->Devices()) letters += device->LetterOf(0);
  if (out && outSize > 0) {
    const size_t n = std::min(letters.size(), size_t(outSize - 1));
    std::memcpy(out, letters.data(), n);
    out[n] = '\0';
  }
  return int(letters.size());
}

}  // extern "C"
