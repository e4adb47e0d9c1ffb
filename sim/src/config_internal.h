// Configuration helpers shared by the parser, the devices and the bus.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "sim/sim.h"

namespace qmr::sim {

// Gives each two-unit device without a lun1Letter the next free letter after
// its own (a letter no device of the set uses). Returns the index of the
// first device left without one, or -1.
int AssignUnitLetters(std::vector<DeviceConfig>& devices);

// "QMRSIM" and six digits; stable for a device index.
std::string DefaultInstanceId(int index);

std::string_view FaultTargetName(FaultTarget target);
std::string_view FaultActionName(FaultAction action);

}  // namespace qmr::sim
