#ifndef FL_UM_PROFILEAPI_H
#define FL_UM_PROFILEAPI_H

#include "minwinbase.h"

EXTERN_C_START

BOOL WINAPI QueryPerformanceCounter(_Out_ LARGE_INTEGER *lpPerformanceCount);
BOOL WINAPI QueryPerformanceFrequency(_Out_ LARGE_INTEGER *lpFrequency);

EXTERN_C_END

#endif
