#ifndef FL_UM_PROCESSTHREADSAPI_H
#define FL_UM_PROCESSTHREADSAPI_H

#include "minwinbase.h"

EXTERN_C_START

/* CREATE_SUSPENDED is not supported (ERROR_NOT_SUPPORTED). */
HANDLE WINAPI CreateThread(_In_opt_ LPSECURITY_ATTRIBUTES lpThreadAttributes, _In_ SIZE_T dwStackSize,
                           _In_ LPTHREAD_START_ROUTINE lpStartAddress, _In_opt_ LPVOID lpParameter,
                           _In_ DWORD dwCreationFlags, _Out_opt_ LPDWORD lpThreadId);
HANDLE WINAPI GetCurrentThread(void);
DWORD WINAPI GetCurrentThreadId(void);
HANDLE WINAPI GetCurrentProcess(void);
DWORD WINAPI GetCurrentProcessId(void);
BOOL WINAPI GetExitCodeThread(_In_ HANDLE hThread, _Out_ LPDWORD lpExitCode);
BOOL WINAPI SetThreadPriority(_In_ HANDLE hThread, _In_ int nPriority);
int WINAPI GetThreadPriority(_In_ HANDLE hThread);
BOOL WINAPI SwitchToThread(void);

EXTERN_C_END

#endif
