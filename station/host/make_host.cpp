#include "QMR52916LIB_ext.h"
#include "host/host.h"
#include "host/host_sim.h"

#if defined(_WIN32)
#include "host/host_windows.h"
#elif __has_include("host/host_linux.h")
#include "host/host_linux.h"
#define ARDENTIX_HAVE_LINUX_HOST 1
#endif

namespace ardentix {

std::unique_ptr<Host> MakeHost() {
  if (QMR_SimStatus(nullptr, 0) == 1) return std::make_unique<SimulatedHost>();
#if defined(_WIN32)
  return std::make_unique<WindowsHost>();
#elif defined(ARDENTIX_HAVE_LINUX_HOST)
  return std::make_unique<LinuxHost>();
#else
  return std::make_unique<SimulatedHost>();
#endif
}

}  // namespace ardentix
