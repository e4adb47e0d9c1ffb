// What the command line needs from the system's console, one implementation
// per OS (console_posix.cpp, console_win32.cpp; the build picks one).
#pragma once

#include <string>
#include <vector>

namespace ardentix::cli {

// The program's arguments after its name, as UTF-8 (Windows hands main them
// in the ANSI code page).
std::vector<std::string> ProgramArguments(int argc, char** argv);

// Whether standard output is a terminal, made ready for the tables redrawn
// in place and for UTF-8 text.
bool PrepareTerminalOutput();

}  // namespace ardentix::cli
