#ifndef FL_UM_WOW64APISET_H
#define FL_UM_WOW64APISET_H

#include "minwinbase.h"

EXTERN_C_START

/* Every process here is native 64-bit: *Wow64Process is always FALSE. */
BOOL WINAPI IsWow64Process(_In_ HANDLE hProcess, _Out_ PBOOL Wow64Process);

EXTERN_C_END

#endif
