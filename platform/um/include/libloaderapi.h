/*
 * Modules and their exports looked up by name. The platform's functions are
 * linked, not loaded: GetModuleHandleA knows the system modules whose exports
 * callers look up at run time, and GetProcAddress answers for those exports.
 */
#ifndef FL_UM_LIBLOADERAPI_H
#define FL_UM_LIBLOADERAPI_H

#include "minwinbase.h"

EXTERN_C_START

/* "kernel32.dll" (the suffix and the case do not matter); NULL names the
 * program itself. Unknown modules: NULL with ERROR_MOD_NOT_FOUND. */
HMODULE WINAPI GetModuleHandleA(_In_opt_ LPCSTR lpModuleName);

/* Unknown names and ordinals: NULL with ERROR_PROC_NOT_FOUND. */
FARPROC WINAPI GetProcAddress(_In_ HMODULE hModule, _In_ LPCSTR lpProcName);

EXTERN_C_END

#endif
