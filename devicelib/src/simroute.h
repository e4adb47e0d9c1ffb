// Routes opens to the simulator when one is configured.
#pragma once

#include <memory>
#include <string>

#include "sim/sim.h"
#include "transport.h"

namespace qmr {

// False when the library's setup from the environment (QMR52916_SIMULATE,
// read at the first call) cannot be used. Every export then fails, so that
// nothing runs on half a configuration nor falls back to the machine's own
// drives; the reason goes to stderr once and to QMR_GetSetupError.
// QMR_SimConfigure replaces the setup and so ends the failure.
bool LibraryUsable();

// The reason LibraryUsable is false, "" while it is true. Prints nothing.
std::string SetupError();

// The active simulated bus, or null for real devices and when the library
// is not usable (check LibraryUsable first).
std::shared_ptr<sim::Bus> SimulatedBus();

// The simulator status without ending the program: 1 active, 0 off, -1 bad
// configuration (message in error).
int SimulationStatus(std::string& error);

bool ConfigureSimulation(const char* spec, std::string& error);

// The plug listener of every bus, present and future.
void SetSimulationListener(void (*listener)(void*, int, unsigned long), void* context);

// A backend for a simulated letter, null when no plugged device shows it or
// the open fails.
std::unique_ptr<Backend> OpenSimulated(sim::Bus& bus, char letter);

// A stand-in for every device, for tests and fuzzing of the library and the
// station over devices that answer anything: while set, opens ask it for the
// letter's backend (null: the letter cannot be opened) and neither the
// simulator nor the system is asked. Null restores the normal road.
using BackendOpener = std::unique_ptr<Backend> (*)(char letter);
void SetBackendOpener(BackendOpener opener);
BackendOpener CurrentBackendOpener();

}  // namespace qmr
