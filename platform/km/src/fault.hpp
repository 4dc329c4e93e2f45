// Reporting of driver faults caught by the framework.
#pragma once

namespace km {

// Records the fault, prints it to the debugger log and, with FL_BUGCHECK=1,
// ends the process.
void ReportDriverFault(const char* format, ...) noexcept __attribute__((format(printf, 1, 2)));

}  // namespace km
