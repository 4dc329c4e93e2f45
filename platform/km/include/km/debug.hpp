// The kernel debugger as this platform provides it: DbgPrint output goes to a
// log of the machine, and driver faults the framework catches (a request
// completed twice, a dead handle) are recorded there and counted.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace km {

// Where DbgPrint writes when FL_DEBUGGER is not set in the environment (with
// it, output goes to stderr). The machine sets its own log; until then the
// log is debugger.log in the state folder ($XDG_STATE_HOME/ferrolan, else
// ~/.local/state/ferrolan). Each line is appended and flushed at once.
void SetDebuggerLogPath(const std::filesystem::path& path);
std::filesystem::path DebuggerLogPath();

// Driver faults seen so far, oldest first. With FL_BUGCHECK=1 in the
// environment the first fault stops the process instead, as a bug check
// would.
std::vector<std::string> DriverFaults();
size_t DriverFaultCount();
void ClearDriverFaults();

}  // namespace km
