#ifndef FL_UM_HANDLEAPI_H
#define FL_UM_HANDLEAPI_H

#include "minwinbase.h"

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

EXTERN_C_START

BOOL WINAPI CloseHandle(_In_ HANDLE hObject);

EXTERN_C_END

#endif
