#include "linux_sg.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "../drivemap.h"

namespace qmr::linux_sg {
namespace {

// DRIVER_SENSE only says that sense data came back; it is not a failure.
constexpr unsigned kDriverSense = 0x08;
// The kernel gave up waiting for the device: the host adapter's DID_TIME_OUT,
// or the upper layer's DRIVER_TIMEOUT.
constexpr unsigned kDidTimeOut = 0x03;
constexpr unsigned kDriverTimeout = 0x06;

int SystemIoctl(int fd, unsigned long request, void* argument) { return ::ioctl(fd, request, argument); }

}  // namespace

void BuildSgIoHeader(const ScsiRequest& request, unsigned char (&cdb)[16], unsigned char (&sense)[kSenseBytes],
                     sg_io_hdr_t& header) {
  std::memcpy(cdb, request.cdb, 16);
  std::memset(sense, 0, sizeof sense);
  std::memset(&header, 0, sizeof header);
  header.interface_id = 'S';
  header.cmd_len = 16;
  header.cmdp = cdb;
  header.mx_sb_len = kSenseBytes;
  header.sbp = sense;
  header.timeout = request.timeoutMs;
  switch (request.direction) {
    case DataDirection::In:
      header.dxfer_direction = SG_DXFER_FROM_DEV;
      break;
    case DataDirection::Out:
      header.dxfer_direction = SG_DXFER_TO_DEV;
      break;
    case DataDirection::None:
      header.dxfer_direction = SG_DXFER_NONE;
      break;
  }
  if (request.direction != DataDirection::None) {
    header.dxferp = request.buffer;
    header.dxfer_len = request.length;
  }
}

bool JudgeSgIo(int ioctlResult, const sg_io_hdr_t& header) {
  if (ioctlResult < 0) return false;
  return header.status == 0 && header.host_status == 0 && (header.driver_status & ~kDriverSense) == 0;
}

bool SgIoTimedOut(int ioctlResult, int error, const sg_io_hdr_t& header) {
  if (ioctlResult < 0) return error == ETIMEDOUT;
  return header.host_status == kDidTimeOut || (header.driver_status & 0x0F) == kDriverTimeout;
}

SgBackend::SgBackend(int fd, IoctlFunction ioctlFunction)
    : fd_(fd), ioctl_(ioctlFunction ? ioctlFunction : SystemIoctl) {}

SgBackend::~SgBackend() {
  if (fd_ >= 0) ::close(fd_);
}

bool SgBackend::Execute(const ScsiRequest& request) {
  unsigned char cdb[16];
  unsigned char sense[kSenseBytes];
  sg_io_hdr_t header;
  BuildSgIoHeader(request, cdb, sense, header);
  errno = 0;
  const int rc = ioctl_(fd_, SG_IO, &header);
  const int error = errno;
  const bool ok = JudgeSgIo(rc, header);
  timedOut_ = !ok && SgIoTimedOut(rc, error, header);
  return ok;
}

std::string FindGenericNode(const std::string& sysfsRoot, const std::string& blockDevice) {
  namespace fs = std::filesystem;
  const std::string name = fs::path(blockDevice).filename().string();
  if (name.empty()) return {};
  std::error_code ec;
  const fs::path dir = fs::path(sysfsRoot) / "block" / name / "device" / "scsi_generic";
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    const std::string sg = entry.path().filename().string();
    if (sg.rfind("sg", 0) == 0) return "/dev/" + sg;
  }
  return {};
}

std::string GenericNodeForLetter(const std::string& sysfsRoot, char letter) {
  const std::string disk = DiskForLetter(letter);
  return disk.empty() ? std::string() : FindGenericNode(sysfsRoot, disk);
}

std::unique_ptr<Backend> OpenVolume(char letter) {
  const std::string node = GenericNodeForLetter("/sys", letter);
  if (node.empty()) return nullptr;
  const int fd = ::open(node.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return nullptr;
  return std::make_unique<SgBackend>(fd, nullptr);
}

}  // namespace qmr::linux_sg
