// Optional command trace: one line per command sent, for checking what the
// station really sent to a device.
#pragma once

#include <string>

#include "transport.h"

namespace qmr {

// "E F6 05 06 00 00 10 00 00 08 00 00 00 00 00 00 00 in 4096 ok"
std::string FormatTraceLine(char letter, const ScsiRequest& request, bool ok);

// Appends the line when a trace file is set (QMR52916_TRACE or SetTraceFile).
void TraceCommand(char letter, const ScsiRequest& request, bool ok);

// Replaces the trace file; null or "" turns the trace off. Returns false when
// the file cannot be opened for appending.
bool SetTraceFile(const char* path);

}  // namespace qmr
