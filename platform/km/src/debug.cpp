// DbgPrint, the debugger log and driver faults.
#include <km/debug.hpp>

#include <wdm.h>

#include "fault.hpp"

#include <nt/unicode.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

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

// Formats as the Windows kernel's printf does: LONG and ULONG are 32 bits,
// so "%lu" and "%lx" take a 32-bit argument; "%I64u" and "%llu" take 64;
// "%I" and "%z" a pointer-sized one; "%ws", "%S" and "%ls" print a wide
// (UTF-16) string, "%wZ" a UNICODE_STRING. Everything else is C's printf.
std::string Format(const char* format, va_list ap) {
    std::string out;
    char piece[512];
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        std::string spec = "%";
        ++p;
        while (*p != '\0' && std::strchr("-+ #0", *p)) spec += *p++;
        if (*p == '*') {
            spec += std::to_string(va_arg(ap, int));
            ++p;
        } else {
            while (*p >= '0' && *p <= '9') spec += *p++;
        }
        if (*p == '.') {
            spec += *p++;
            if (*p == '*') {
                spec += std::to_string(va_arg(ap, int));
                ++p;
            } else {
                while (*p >= '0' && *p <= '9') spec += *p++;
            }
        }
        enum { Int, Short, Char, Long64, Size, Wide } size = Int;
        if (std::strncmp(p, "I64", 3) == 0) {
            size = Long64;
            p += 3;
        } else if (std::strncmp(p, "I32", 3) == 0) {
            p += 3;
        } else if (std::strncmp(p, "ll", 2) == 0) {
            size = Long64;
            p += 2;
        } else if (std::strncmp(p, "hh", 2) == 0) {
            size = Char;
            p += 2;
        } else if (*p == 'h') {
            size = Short;
            ++p;
        } else if (*p == 'l' || *p == 'w') {
            size = Wide;  // a 32-bit integer, or a wide character or string
            ++p;
        } else if (*p == 'I' || *p == 'z' || *p == 'j' || *p == 't') {
            size = Size;
            ++p;
        }
        const char conversion = *p;
        if (conversion == '\0') break;
        piece[0] = '\0';
        switch (conversion) {
        case 'd':
        case 'i':
            if (size == Long64) {
                std::snprintf(piece, sizeof piece, (spec + "lld").c_str(), va_arg(ap, long long));
            } else if (size == Size) {
                std::snprintf(piece, sizeof piece, (spec + "zd").c_str(), va_arg(ap, ssize_t));
            } else {
                int value = va_arg(ap, int);
                if (size == Short) value = static_cast<short>(value);
                if (size == Char) value = static_cast<signed char>(value);
                std::snprintf(piece, sizeof piece, (spec + "d").c_str(), value);
            }
            break;
        case 'u':
        case 'x':
        case 'X':
        case 'o':
            if (size == Long64) {
                std::snprintf(piece, sizeof piece, (spec + "ll" + conversion).c_str(), va_arg(ap, unsigned long long));
            } else if (size == Size) {
                std::snprintf(piece, sizeof piece, (spec + "z" + conversion).c_str(), va_arg(ap, size_t));
            } else {
                unsigned value = va_arg(ap, unsigned);
                if (size == Short) value = static_cast<unsigned short>(value);
                if (size == Char) value = static_cast<unsigned char>(value);
                std::snprintf(piece, sizeof piece, (spec + conversion).c_str(), value);
            }
            break;
        case 'c':
        case 'C': {
            int value = va_arg(ap, int);
            std::string text;
            if (size == Wide || conversion == 'C') {
                text = nt::Utf16ToUtf8(std::u16string(1, static_cast<char16_t>(value)));
            } else {
                text.assign(1, static_cast<char>(value));
            }
            std::snprintf(piece, sizeof piece, (spec + "s").c_str(), text.c_str());
            break;
        }
        case 's':
        case 'S': {
            std::string text;
            if (size == Wide || conversion == 'S') {
                const char16_t* wide = va_arg(ap, const char16_t*);
                text = wide ? nt::Utf16ToUtf8(wide) : "(null)";
            } else {
                const char* narrow = va_arg(ap, const char*);
                text = narrow ? narrow : "(null)";
            }
            std::snprintf(piece, sizeof piece, (spec + "s").c_str(), text.c_str());
            break;
        }
        case 'Z': {
            std::string text = "(null)";
            if (size == Wide) {
                auto* string = va_arg(ap, const UNICODE_STRING*);
                if (string && string->Buffer) {
                    text = nt::Utf16ToUtf8(std::u16string_view(string->Buffer, string->Length / sizeof(WCHAR)));
                }
            } else {
                auto* string = va_arg(ap, const ANSI_STRING*);
                if (string && string->Buffer) text.assign(string->Buffer, string->Length);
            }
            std::snprintf(piece, sizeof piece, (spec + "s").c_str(), text.c_str());
            break;
        }
        case 'p':
            std::snprintf(piece, sizeof piece, (spec + "p").c_str(), va_arg(ap, void*));
            break;
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            std::snprintf(piece, sizeof piece, (spec + conversion).c_str(), va_arg(ap, double));
            break;
        case 'n':
            (void)va_arg(ap, void*);
            break;
        case '%':
            std::strcpy(piece, "%");
            break;
        default:
            out += spec;
            out += conversion;
            continue;
        }
        out += piece;
    }
    return out;
}

ULONG Print(const char* format, va_list ap) {
    std::string text = Format(format, ap);
    Emit(text.data(), text.size());
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
    km::PrintF("*** STOP: 0x%08X (0x%I64X, 0x%I64X, 0x%I64X, 0x%I64X)\n", BugCheckCode,
               static_cast<unsigned long long>(P1), static_cast<unsigned long long>(P2),
               static_cast<unsigned long long>(P3), static_cast<unsigned long long>(P4));
    std::fprintf(stderr, "*** STOP: 0x%08X (0x%lX, 0x%lX, 0x%lX, 0x%lX)\n", BugCheckCode,
                 static_cast<unsigned long>(P1), static_cast<unsigned long>(P2), static_cast<unsigned long>(P3),
                 static_cast<unsigned long>(P4));
    std::abort();
}
