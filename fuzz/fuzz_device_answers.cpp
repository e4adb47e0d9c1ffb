// A broken or hostile USB device: every command is answered from the input,
// with any status, any data, short transfers and lying residual, transfer
// and sense lengths (through the Linux SG_IO layer and the Windows
// pass-through record). The station's start-up and arrival
// scans and every library export run over such devices; nothing may crash,
// read or write outside the caller's buffers, or list a drive the scan
// should have refused.
#include <fuzzer/FuzzedDataProvider.h>
#include <mutex>
#include <scsi/sg.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "QMR52916LIB.h"
#include "QMR52916LIB_ext.h"
#include "catalogue/flash_id_report.h"
#include "core/event_loop.h"
#include "core/message_sink.h"
#include "drivemap.h"
#include "fuzz_support.h"
#include "host/host.h"
#include "platform/linux_sg.h"
#include "platform/windows_sptd.h"
#include "simroute.h"
#include "station/station.h"

namespace {

namespace fuzz = ardentix::fuzz;
using fuzz::Check;

FuzzedDataProvider* in = nullptr;  // the current input, read by the fake devices
// The station asks some devices from threads of its own (removal probes); the
// input is one stream, so the devices take their answers from it one at a time.
std::mutex inputLock;

// The largest data phase a command can describe.
constexpr uint32_t kMaxDataPhase = 65535u * 512u;

void CheckRequest(const qmr::ScsiRequest& r) {
  if (r.direction == qmr::DataDirection::None) {
    Check(r.buffer == nullptr && r.length == 0);
  } else {
    Check(r.buffer != nullptr && r.length > 0);
  }
  // The station bounds its commands; whatever it set, a command always has a
  // bound and never one longer than the library's own.
  Check(r.length <= kMaxDataPhase && r.timeoutMs > 0 && r.timeoutMs <= qmr::kDefaultCommandTimeoutMs);
}

// Fills up to n bytes from the input; fewer when it runs out (a short
// transfer that leaves the rest of the buffer as it was).
void FillFromInput(uint8_t* buffer, size_t n) {
  const std::vector<uint8_t> bytes = in->ConsumeBytes<uint8_t>(n);
  if (!bytes.empty()) std::memcpy(buffer, bytes.data(), bytes.size());
}

size_t TransferLength(uint8_t how, size_t length) {
  switch (how & 3) {
    case 1:
      return in->ConsumeIntegralInRange<size_t>(0, length);  // short
    case 2:
      return 0;  // nothing moved, yet maybe "success"
    default:
      return length;
  }
}

// A device answering at the transport layer.
class AnsweringBackend final : public qmr::Backend {
 public:
  bool Execute(const qmr::ScsiRequest& r) override {
    const std::lock_guard<std::mutex> lock(inputLock);
    CheckRequest(r);
    const uint8_t how = in->ConsumeIntegral<uint8_t>();
    if (r.direction == qmr::DataDirection::In) FillFromInput(r.buffer, TransferLength(how, r.length));
    if (r.direction == qmr::DataDirection::Out) {
      volatile uint8_t sum = 0;  // the device reads the whole payload
      for (uint32_t i = 0; i < r.length; ++i) sum = uint8_t(sum + r.buffer[i]);
    }
    return (how & 0x80) == 0;
  }
};

// The kernel's side of SG_IO, as a device behind it might make it look.
int LyingIoctl(int, unsigned long request, void* argument) {
  const std::lock_guard<std::mutex> lock(inputLock);
  Check(request == SG_IO);
  auto* h = static_cast<sg_io_hdr_t*>(argument);
  Check(h->interface_id == 'S' && h->cmd_len == 16 && h->cmdp != nullptr && h->sbp != nullptr);
  Check(h->mx_sb_len == qmr::linux_sg::kSenseBytes);
  if (h->dxfer_direction == SG_DXFER_NONE)
    Check(h->dxferp == nullptr && h->dxfer_len == 0);
  else
    Check(h->dxferp != nullptr && h->dxfer_len > 0);
  const uint8_t how = in->ConsumeIntegral<uint8_t>();
  if (h->dxfer_direction == SG_DXFER_FROM_DEV)
    FillFromInput(static_cast<uint8_t*>(h->dxferp), TransferLength(how, h->dxfer_len));
  h->resid = in->ConsumeIntegral<int>();
  h->sb_len_wr = in->ConsumeIntegral<uint8_t>();
  FillFromInput(h->sbp, std::min<size_t>(h->sb_len_wr, h->mx_sb_len));
  h->status = in->ConsumeIntegral<uint8_t>();
  h->masked_status = in->ConsumeIntegral<uint8_t>();
  h->host_status = in->ConsumeIntegral<uint16_t>();
  h->driver_status = in->ConsumeIntegral<uint16_t>();
  h->duration = in->ConsumeIntegral<unsigned>();
  h->info = in->ConsumeIntegral<unsigned>();
  return (how & 0x80) ? -1 : 0;
}

// The Windows pass-through record as the driver would hand it back: the
// device's data, then a status, a transfer length and a returned-byte count
// it made up.
class PassThroughBackend final : public qmr::Backend {
 public:
  bool Execute(const qmr::ScsiRequest& r) override {
    const std::lock_guard<std::mutex> lock(inputLock);
    CheckRequest(r);
    qmr::windows_sptd::PassThroughRecord record;
    qmr::windows_sptd::FillPassThroughRecord(r, record);
    const SCSI_PASS_THROUGH_DIRECT& h = record.header;
    Check(h.Length == sizeof h && h.CdbLength == 16 && h.TimeOutValue >= 1 &&
          uint64_t(h.TimeOutValue) * 1000 >= r.timeoutMs && uint64_t(h.TimeOutValue - 1) * 1000 < r.timeoutMs);
    Check(h.SenseInfoOffset == offsetof(qmr::windows_sptd::PassThroughRecord, sense));
    Check(h.DataBuffer == (r.direction == qmr::DataDirection::None ? nullptr : r.buffer));
    Check(h.DataTransferLength == r.length && h.DataIn == (r.direction == qmr::DataDirection::Out ? 0 : 1));
    const uint8_t how = in->ConsumeIntegral<uint8_t>();
    if (h.DataIn == 1 && h.DataBuffer != nullptr)
      FillFromInput(static_cast<uint8_t*>(h.DataBuffer), TransferLength(how, h.DataTransferLength));
    record.header.ScsiStatus = in->ConsumeIntegral<uint8_t>();
    record.header.DataTransferLength = in->ConsumeIntegral<uint32_t>();
    FillFromInput(record.sense, std::min<size_t>(in->ConsumeIntegral<uint8_t>(), sizeof record.sense));
    const uint32_t returned = in->ConsumeIntegral<uint32_t>();
    return qmr::windows_sptd::JudgePassThrough((how & 0x80) == 0, returned, record);
  }
};

std::unique_ptr<qmr::Backend> OpenFake(char) {
  const std::lock_guard<std::mutex> lock(inputLock);
  switch (in->ConsumeIntegral<uint8_t>() % 5) {
    case 4:
      return std::make_unique<PassThroughBackend>();
    case 3:
      return nullptr;  // the drive cannot be opened
    case 2:
      return std::make_unique<qmr::linux_sg::SgBackend>(-1, &LyingIoctl);
    default:
      return std::make_unique<AnsweringBackend>();
  }
}

// Location: C to Z are USB disks of a fake /sys; every third one is logical
// unit 1 and "Q" is not on USB at all, so the parent string ends in 0, in 1
// or cannot be had.
char UnitOfLetter(char letter) {
  if (letter == 'Q') return -1;
  return (letter - 'C') % 3 == 2 ? 1 : 0;
}

void BuildFakeSysfs(const std::filesystem::path& root) {
  namespace fs = std::filesystem;
  std::string drives;
  for (char letter = 'C'; letter <= 'Z'; ++letter) {
    const std::string disk = std::string("sd") + char(letter - 'A' + 'a');
    if (!drives.empty()) drives += ",";
    drives += std::string(1, letter) + "=/dev/" + disk;
    if (UnitOfLetter(letter) < 0) continue;
    const std::string port = "1-" + std::to_string(letter - 'A');
    const fs::path usb = root / "devices" / "usb1" / port;
    const fs::path scsi = usb / (port + ":1.0") / "host0" / "target0:0:0" /
                          ("0:0:0:" + std::to_string(int(UnitOfLetter(letter))));
    fs::create_directories(scsi);
    std::ofstream(usb / "idVendor") << "1f3a\n";
    std::ofstream(usb / "serial") << "FUZZ" << letter << "\n";
    fs::create_directories(root / "block" / disk);
    std::ofstream(root / "block" / disk / "removable") << "1\n";
    fs::create_directory_symlink(scsi, root / "block" / disk / "device");
  }
  qmr::SetSysfsRoot(root.string());
  ::setenv("QMR52916_DRIVES", drives.c_str(), 1);
}

class FakeHost final : public ardentix::Host {
 public:
  uint32_t driveMask = 0;
  uint32_t fixedMask = 0;
  uint32_t LogicalDriveMask() override { return driveMask; }
  ardentix::DriveType GetDriveType(char letter) override {
    return (fixedMask & ardentix::DriveBit(letter)) ? ardentix::DriveType::Fixed : ardentix::DriveType::Removable;
  }
  std::string DeviceNode(char) override { return {}; }
  std::optional<ardentix::DiskSpace> FreeSpace(char) override { return std::nullopt; }
  bool LockVolume(char, void*) override { return true; }
  bool UnlockVolume(char, void*) override { return true; }
  ardentix::FormatOutcome FormatDrive(char) override { return {}; }
  int OsMajorVersion() override { return 10; }
  void SetVolumeListener(VolumeListener) override {}
  void StartWatching() override {}
  void StopWatching() override {}
};

class NoMessages final : public ardentix::MessageSink {
 public:
  void ShowMessage(const std::string&, const std::string&) override {}
  bool AskOkCancel(const std::string&, const std::string&) override { return false; }
};

bool IsUpperHex(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); });
}

// What the scan may have listed: at most 8 drives, each once, on unit 0, a
// removable letter from C, with a well-formed id text and a serial that is
// twelve digits or all 0xFF.
void CheckListed(ardentix::Station& station, const FakeHost& host) {
  const auto& rows = station.rows().All();
  Check(rows.size() <= 8 && int(rows.size()) == station.slots().GetDeviceCount());
  std::set<char> letters;
  for (size_t i = 0; i < rows.size(); ++i) {
    const char letter = rows[i][1].empty() ? 0 : rows[i][1][0];
    Check(letter >= 'C' && letter <= 'Z' && letters.insert(letter).second);
    Check(station.slots().GetListedLetter(int(i)) == letter);
    Check(UnitOfLetter(letter) == 0 && !(host.fixedMask & ardentix::DriveBit(letter)));
    Check(rows[i][1] == std::string(1, letter) + "(0) :");
    const std::string id = station.Identified(letter).flashIdText;
    Check(id.size() == 8 && id.compare(0, 2, "00") == 0 && IsUpperHex(id));
    const ardentix::FlashSerial serial = station.FlashSerialCache(letter);
    const bool blank = std::all_of(serial.begin(), serial.end(), [](uint8_t b) { return b == 0xFF; });
    Check(blank || ardentix::SerialDigits(serial).size() == 12);
  }
}

void RunStation(const std::filesystem::path& dir) {
  ardentix::FakeClock clock;
  ardentix::EventLoop loop(clock);
  FakeHost host;
  NoMessages messages;
  host.driveMask = in->ConsumeIntegral<uint32_t>();
  host.fixedMask = in->ConsumeIntegral<uint32_t>();
  ardentix::Station station(loop, clock, host, messages, dir);
  station.Initialise();  // the start-up scan
  CheckListed(station, host);
  // The "R" report reads every listed device's id again.
  for (const ardentix::FlashIdReading& r : ardentix::ReadFlashIds(ardentix::ListedDriveLetters(station.rows())))
    Check(r.idText.size() == 8 && IsUpperHex(r.idText));
  // More drives arrive; the arrival timer scans them after 300 ms.
  station.OnVolumeChange(true, in->ConsumeIntegral<uint32_t>());
  loop.AdvanceBy(ardentix::Milliseconds(700));
  CheckListed(station, host);
  // Removals: drives that no longer open lose their rows.
  station.OnVolumeChange(false, in->ConsumeIntegral<uint32_t>());
  loop.AdvanceBy(ardentix::Milliseconds(700));
  CheckListed(station, host);
  // The next part reads the input without the devices' lock: no probe may
  // still be under way.
  while (station.deviceCalls().WaitBriefly(std::chrono::milliseconds(50)) > 0) {
  }
}

// A buffer of exactly the data phase, so that any access beyond it is caught.
std::vector<uint8_t> Phase(size_t bytes) { return std::vector<uint8_t>(bytes); }

char AnyLetter() { return char('C' + in->ConsumeIntegralInRange<int>(0, 23)); }

// Text the library wrote into a cleared buffer: at most max characters, the
// rest of the buffer untouched.
void CheckText(const char* out, size_t size, size_t max) {
  const size_t n = strnlen(out, size);
  Check(n <= max);
  for (size_t i = n; i < size; ++i) Check(out[i] == 0);
}

void RunExports() {
  std::vector<void*> open;
  std::vector<void*> closed;  // handles closed already: using them must do nothing
  auto handle = [&]() -> void* {
    if (open.empty()) return QMR_INVALID_HANDLE;
    return open[in->ConsumeIntegralInRange<size_t>(0, open.size() - 1)];
  };
  for (int step = 0; step < 48 && in->remaining_bytes() > 0; ++step) {
    const unsigned short count = in->ConsumeIntegralInRange<unsigned short>(0, 16);
    const unsigned long address = in->ConsumeIntegral<uint32_t>();
    switch (in->ConsumeIntegralInRange<int>(0, 24)) {
      case 0:
      case 1: {
        void* h = in->ConsumeBool() ? TVQ_OpenDevice(AnyLetter()) : USB_OpenDevice(AnyLetter());
        if (h != QMR_INVALID_HANDLE) open.push_back(h);
        if (open.size() > 4) {
          QMR_CloseDevice(open.front());
          closed.push_back(open.front());
          open.erase(open.begin());
        }
        break;
      }
      case 2: {
        uint8_t status[2];
        TVQ_ReadFlashStatus(handle(), status);
        break;
      }
      case 3: {
        auto b = Phase(count * 512u);
        TVQ_FlashRead(handle(), b.data(), address, count);
        break;
      }
      case 4: {
        auto b = Phase(count * 512u);
        TVQ_FlashWrite(handle(), b.data(), address, count);
        break;
      }
      case 5:
        TVQ_FlashErase(handle());
        break;
      case 6: {
        uint8_t id[4];
        TVQ_GetFlashID(handle(), id);
        break;
      }
      case 7:
        TVQ_SectorErase(handle(), uint16_t(address >> 16), uint16_t(address), uint8_t(count));
        break;
      case 8:
        TVQ_ResetDevice(handle());
        break;
      case 9:
        TVQ_SetSDOffset(handle(), address);
        break;
      case 10: {
        auto b = Phase(count * 512u);
        TVQ_ReadSD(handle(), address, count, b.data());
        break;
      }
      case 11: {
        auto b = Phase(count * 512u);
        TVQ_WriteSD(handle(), address, count, b.data());
        break;
      }
      case 12: {
        auto b = Phase(count * 512u);
        USB_ReadSD(handle(), address, count, b.data());
        break;
      }
      case 13: {
        auto b = Phase(count * 512u);
        USB_WriteSD(handle(), address, count, b.data());
        break;
      }
      case 14:
        USB_ReadCapacity(handle());
        break;
      case 15: {
        uint8_t inquiry[36];
        USB_Inquiry(handle(), inquiry);
        break;
      }
      case 16:
        SDTest_GetSector(handle());
        break;
      case 17:
        SDTest_GetReadTime(handle(), address);
        break;
      case 18:
      case 19:
      case 20: {
        uint8_t cdb[16] = {};
        const auto bytes = in->ConsumeBytes<uint8_t>(16);
        std::copy(bytes.begin(), bytes.end(), cdb);
        const long length = in->ConsumeIntegralInRange<long>(-4, 4096);
        auto b = Phase(size_t(std::max(length, 0L)));
        if (b.empty()) b.reserve(1);
        void* h = handle();
        const int r = in->ConsumeIntegralInRange<int>(0, 2);
        if (r == 0) TVQ_BulkNone(h, cdb);
        if (r == 1) TVQ_BulkIn(h, cdb, b.data(), length);
        if (r == 2) TVQ_BulkOut(h, cdb, b.data(), length);
        break;
      }
      case 21: {
        char out[128] = {};
        if (TVQ_GetUSBString(AnyLetter(), out)) Check(std::strncmp(out, "DISK&VEN_", 9) == 0);
        CheckText(out, sizeof out, 48);
        break;
      }
      case 22: {
        char out[64] = {};
        const char letter = AnyLetter();
        const int ok = TVQ_GetDeviceParentString(letter, out);
        CheckText(out, sizeof out, 35);
        if (ok) Check(out[std::strlen(out) - 1] == '0' + UnitOfLetter(letter));
        const int lun = TVQ_GetDeviceLun(letter, out);
        Check(lun == (ok ? UnitOfLetter(letter) : -1));
        break;
      }
      case 23:
      case 24: {
        // A stale handle, or the address of something that is not one.
        uint8_t b[512];
        void* h = closed.empty() || in->ConsumeBool() ? static_cast<void*>(b) : closed.back();
        Check(TVQ_FlashRead(h, b, 0, 1) == 0 && TVQ_GetFlashID(h, b) == 0 && USB_ReadCapacity(h) == 0);
        break;
      }
    }
  }
  for (void* h : open) QMR_CloseDevice(h);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ::unsetenv("QMR52916_SIMULATE");
  ::unsetenv("QMR52916_TRACE");
  const std::filesystem::path dir = fuzz::WorkDir("device-answers");
  BuildFakeSysfs(dir / "sys");
  std::filesystem::create_directories(dir / "station");
  std::ofstream(dir / "station" / "SpiList.ini", std::ios::binary)
      << "Spi Count = 2 \r\n1\tW25Q128\t001840EF\t16384\ttest\t80\r\n2\tSLOW25\t00174001\t8192\ttest\t47\r\n";
  qmr::SetBackendOpener(&OpenFake);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::filesystem::path stationDir = fuzz::WorkDir("device-answers") / "station";
  FuzzedDataProvider provider(data, size);
  in = &provider;
  RunStation(stationDir);
  RunExports();
  in = nullptr;
  return 0;
}
