// DbgPrint, the debugger log and driver faults.
#include <km/debug.hpp>

#include <wdm.h>

#include "fault.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace km {

namespace {

struct Debugger {
    std::mutex lock;
    std::filesystem::path path;  // empty: not chosen yet
    std::vector<std::string> faults;
};

Debugger& State() {
    static Debugger* debugger = new Debugger;  // usable from static destructors
    return *debugger;
}

std::filesystem::path DefaultLogPath() {
    std::filesystem::path base;
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state) {
        base = state;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        base = std::filesystem::path(home) / ".local" / "state";
    } else {
        base = std::filesystem::temp_directory_path();
    }
    return base / "ferrolan" / "debugger.log";
}

// Writes one finished message. Lines from different threads never mix.
void Emit(const char* text, size_t length) {
    Debugger& debugger = State();
    std::lock_guard guard(debugger.lock);
    if (const char* env = std::getenv("FL_DEBUGGER"); env && *env) {
        std::fwrite(text, 1, length, stderr);
        std::fflush(stderr);
        return;
    }
    if (debugger.path.empty()) debugger.path = DefaultLogPath();
    std::error_code ignored;
    std::filesystem::create_directories(debugger.path.parent_path(), ignored);
    if (FILE* log = std::fopen(debugger.path.c_str(), "a")) {
        std::fwrite(text, 1, length, log);
        std::fclose(log);
    }
}

ULONG Print(const char* format, va_list ap) {
    char small[512];
    va_list copy;
    va_copy(copy, ap);
    int needed = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (needed < 0) return static_cast<ULONG>(STATUS_INVALID_PARAMETER);
    if (static_cast<size_t>(needed) < sizeof small) {
        Emit(small, static_cast<size_t>(needed));
    } else {
        std::string large(static_cast<size_t>(needed) + 1, '\0');
        std::vsnprintf(large.data(), large.size(), format, ap);
        Emit(large.data(), static_cast<size_t>(needed));
    }
    return STATUS_SUCCESS;
}

ULONG PrintF(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    ULONG result = Print(format, ap);
    va_end(ap);
    return result;
}

}  // namespace

void SetDebuggerLogPath(const std::filesystem::path& path) {
    Debugger& debugger = State();
    std::lock_guard guard(debugger.lock);
    debugger.path = path;
}

std::filesystem::path DebuggerLogPath() {
    Debugger& debugger = State();
    std::lock_guard guard(debugger.lock);
    if (debugger.path.empty()) debugger.path = DefaultLogPath();
    return debugger.path;
}

std::vector<std::string> DriverFaults() {
    Debugger& debugger = State();
    std::lock_guard guard(debugger.lock);
    return debugger.faults;
}

size_t DriverFaultCount() {
    Debugger& debugger = State();
    std::lock_guard guard(debugger.lock);
    return debugger.faults.size();
}

void ClearDriverFaults() {
    Debugger& debugger = State();
    std::lock_guard guard(debugger.lock);
    debugger.faults.clear();
}

void ReportDriverFault(const char* format, ...) noexcept {
    char text[512];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    {
        Debugger& debugger = State();
        std::lock_guard guard(debugger.lock);
        debugger.faults.emplace_back(text);
    }
    PrintF("*** driver fault: %s\n", text);
    if (const char* env = std::getenv("FL_BUGCHECK"); env && std::string(env) == "1") {
        std::fprintf(stderr, "*** STOP: driver fault: %s\n", text);
        std::abort();
    }
}

}  // namespace km

extern "C" ULONG DbgPrint(PCSTR Format, ...) {
    va_list ap;
    va_start(ap, Format);
    ULONG result = km::Print(Format, ap);
    va_end(ap);
    return result;
}

extern "C" ULONG vDbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, va_list ap) {
    (void)ComponentId;
    (void)Level;
    return km::Print(Format, ap);
}

extern "C" ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
    va_list ap;
    va_start(ap, Format);
    ULONG result = vDbgPrintEx(ComponentId, Level, Format, ap);
    va_end(ap);
    return result;
}

extern "C" VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
    km::PrintF("*** STOP: 0x%08X (0x%lX, 0x%lX, 0x%lX, 0x%lX)\n", BugCheckCode, static_cast<unsigned long>(P1),
               static_cast<unsigned long>(P2), static_cast<unsigned long>(P3), static_cast<unsigned long>(P4));
    std::fprintf(stderr, "*** STOP: 0x%08X (0x%lX, 0x%lX, 0x%lX, 0x%lX)\n", BugCheckCode,
                 static_cast<unsigned long>(P1), static_cast<unsigned long>(P2), static_cast<unsigned long>(P3),
                 static_cast<unsigned long>(P4));
    std::abort();
}
