// Linux transport: SG_IO on the SCSI generic node of the disk behind a letter.
#pragma once

#include <scsi/sg.h>

#include <memory>
#include <string>

#include "../transport.h"

namespace qmr::linux_sg {

using IoctlFunction = int (*)(int fd, unsigned long request, void* argument);

constexpr unsigned char kSenseBytes = 32;

// Fills an sg_io_hdr for the request. cdb is a copy the header points at, so
// the request may be const; sense receives what the device reports (unused).
void BuildSgIoHeader(const ScsiRequest& request, unsigned char (&cdb)[16], unsigned char (&sense)[kSenseBytes],
                     sg_io_hdr_t& header);

// Success means the ioctl succeeded and SCSI, host and driver status (sense
// aside) are all good.
bool JudgeSgIo(int ioctlResult, const sg_io_hdr_t& header);
// Whether a failed SG_IO ended because the kernel's wait for the device ran
// out (the header's timeout), errno as the ioctl left it.
bool SgIoTimedOut(int ioctlResult, int error, const sg_io_hdr_t& header);

class SgBackend final : public Backend {
 public:
  SgBackend(int fd, IoctlFunction ioctlFunction);
  ~SgBackend() override;
  bool Execute(const ScsiRequest& request) override;
  bool TimedOut() const override { return timedOut_; }

 private:
  int fd_;
  IoctlFunction ioctl_;
  bool timedOut_ = false;
};

// "/dev/sg2" for "/dev/sdb" (or "sdb"), found under sysfsRoot
// ("/sys" normally); empty when the disk has no generic node.
std::string FindGenericNode(const std::string& sysfsRoot, const std::string& blockDevice);

// The generic node of the disk the letter stands for ("" when none).
std::string GenericNodeForLetter(const std::string& sysfsRoot, char letter);

// Opens the generic node of the disk mapped to the letter, read-write: vendor
// CDBs pass there with plain file permissions.
std::unique_ptr<Backend> OpenVolume(char letter);

}  // namespace qmr::linux_sg
