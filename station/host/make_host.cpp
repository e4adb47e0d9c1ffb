#include "QMR52916LIB_ext.h"
#include "host/host.h"
#include "host/host_sim.h"

#if defined(_WIN32)
#include "host/host_windows.h"
#else
#include "host/host_linux.h"
#endif

namespace ardentix {

std::unique_ptr<Host> MakeHost() {
  if (QMR_SimStatus(nullptr, 0) == 1) return std::make_unique<SimulatedHost>();
#if defined(_WIN32)
  return std::make_unique<WindowsHost>();
#else
  return std::make_unique<LinuxHost>();
#endif
}

}  // namespace ardentix
