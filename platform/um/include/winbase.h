/*
 * Constants of the base API.
 */
#ifndef FL_UM_WINBASE_H
#define FL_UM_WINBASE_H

#include "minwinbase.h"

#include <stdarg.h>

#define INFINITE 0xFFFFFFFFu

#define WAIT_OBJECT_0      ((DWORD)STATUS_WAIT_0)
#define WAIT_ABANDONED     ((DWORD)STATUS_ABANDONED_WAIT_0)
#define WAIT_ABANDONED_0   ((DWORD)STATUS_ABANDONED_WAIT_0)
#define WAIT_IO_COMPLETION ((DWORD)STATUS_USER_APC)
#define WAIT_FAILED        ((DWORD)0xFFFFFFFF)
#define MAXIMUM_WAIT_OBJECTS 64

#define CREATE_SUSPENDED                  0x00000004u
#define STACK_SIZE_PARAM_IS_A_RESERVATION 0x00010000u

#define THREAD_PRIORITY_LOWEST        (-2)
#define THREAD_PRIORITY_BELOW_NORMAL  (-1)
#define THREAD_PRIORITY_NORMAL        0
#define THREAD_PRIORITY_HIGHEST       2
#define THREAD_PRIORITY_ABOVE_NORMAL  1
#define THREAD_PRIORITY_TIME_CRITICAL 15
#define THREAD_PRIORITY_IDLE          (-15)
#define THREAD_PRIORITY_ERROR_RETURN  (0x7FFFFFFF)

typedef HANDLE HLOCAL;

/* FormatMessageA: only the system's own messages (FORMAT_MESSAGE_FROM_SYSTEM),
 * in English, each ending with its line end as on Windows unless the width
 * mask is FORMAT_MESSAGE_MAX_WIDTH_MASK. With FORMAT_MESSAGE_ALLOCATE_BUFFER
 * lpBuffer is an LPSTR* that receives a buffer for LocalFree. */
#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100u
#define FORMAT_MESSAGE_IGNORE_INSERTS  0x00000200u
#define FORMAT_MESSAGE_FROM_STRING     0x00000400u
#define FORMAT_MESSAGE_FROM_HMODULE    0x00000800u
#define FORMAT_MESSAGE_FROM_SYSTEM     0x00001000u
#define FORMAT_MESSAGE_ARGUMENT_ARRAY  0x00002000u
#define FORMAT_MESSAGE_MAX_WIDTH_MASK  0x000000FFu

EXTERN_C_START

DWORD WINAPI FormatMessageA(_In_ DWORD dwFlags, _In_opt_ LPCVOID lpSource, _In_ DWORD dwMessageId,
                            _In_ DWORD dwLanguageId, _Out_ LPSTR lpBuffer, _In_ DWORD nSize,
                            _In_opt_ va_list* Arguments);
HLOCAL WINAPI LocalFree(_In_opt_ HLOCAL hMem);

EXTERN_C_END

#endif
