// GetModuleHandleA and GetProcAddress over a table of the exports that
// callers look up by name (functions that may be missing on older systems).
#include <windows.h>

#include "um_status.h"

#include <nt/unicode.h>

#include <cstdint>
#include <string_view>

namespace {

struct Export {
    const char* name;
    FARPROC address;
};

struct Module {
    const char* name;  // without ".dll"
    const Export* exports;
    size_t count;
};

// As on Windows, the caller casts the address back to the export's type.
template <class Function>
FARPROC AsFarProc(Function* function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

const Export kKernel32Exports[] = {
    {"IsWow64Process", AsFarProc(&IsWow64Process)},
    {"GetModuleHandleA", AsFarProc(&GetModuleHandleA)},
    {"GetProcAddress", AsFarProc(&GetProcAddress)},
};

const Module kModules[] = {
    {"kernel32", kKernel32Exports, std::size(kKernel32Exports)},
};

// The program's own module: it exports nothing looked up here.
const Module kProgram = {"", nullptr, 0};

HMODULE HandleOf(const Module& module) { return reinterpret_cast<HMODULE>(const_cast<Module*>(&module)); }

const Module* ModuleOf(HMODULE handle) {
    for (const Module& module : kModules) {
        if (HandleOf(module) == handle) return &module;
    }
    return handle == HandleOf(kProgram) ? &kProgram : nullptr;
}

}  // namespace

extern "C" {

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
    if (lpModuleName == nullptr) return HandleOf(kProgram);
    std::string_view name(lpModuleName);
    if (name.size() > 4 && nt::EqualNames(name.substr(name.size() - 4), ".dll")) name.remove_suffix(4);
    for (const Module& module : kModules) {
        if (nt::EqualNames(name, module.name)) return HandleOf(module);
    }
    um::FailWithError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    const Module* module = ModuleOf(hModule);
    if (module == nullptr) {
        um::FailWithError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    // Values below 0x10000 are ordinals; no ordinals are published.
    if (reinterpret_cast<uintptr_t>(lpProcName) >= 0x10000) {
        // Export names are case-sensitive, as on Windows.
        for (size_t i = 0; i < module->count; ++i) {
            if (std::string_view(module->exports[i].name) == lpProcName) return module->exports[i].address;
        }
    }
    um::FailWithError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

}  // extern "C"
