#ifndef FL_UM_ERRHANDLINGAPI_H
#define FL_UM_ERRHANDLINGAPI_H

#include "minwinbase.h"

EXTERN_C_START

/* Per thread, as on Windows. */
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(_In_ DWORD dwErrCode);

EXTERN_C_END

#endif
