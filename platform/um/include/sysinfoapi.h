#ifndef FL_UM_SYSINFOAPI_H
#define FL_UM_SYSINFOAPI_H

#include "minwinbase.h"

EXTERN_C_START

DWORD WINAPI GetTickCount(void);
ULONGLONG WINAPI GetTickCount64(void);
void WINAPI GetSystemTimeAsFileTime(_Out_ LPFILETIME lpSystemTimeAsFileTime);

EXTERN_C_END

#endif
