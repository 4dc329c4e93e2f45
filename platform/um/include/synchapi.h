#ifndef FL_UM_SYNCHAPI_H
#define FL_UM_SYNCHAPI_H

#include "minwinbase.h"

EXTERN_C_START

/* Critical sections are recursive, as on Windows. */
void WINAPI InitializeCriticalSection(_Out_ LPCRITICAL_SECTION lpCriticalSection);
BOOL WINAPI InitializeCriticalSectionAndSpinCount(_Out_ LPCRITICAL_SECTION lpCriticalSection,
                                                  _In_ DWORD dwSpinCount);
void WINAPI EnterCriticalSection(_Inout_ LPCRITICAL_SECTION lpCriticalSection);
BOOL WINAPI TryEnterCriticalSection(_Inout_ LPCRITICAL_SECTION lpCriticalSection);
void WINAPI LeaveCriticalSection(_Inout_ LPCRITICAL_SECTION lpCriticalSection);
void WINAPI DeleteCriticalSection(_Inout_ LPCRITICAL_SECTION lpCriticalSection);

/* Named events are not supported: lpName must be NULL. */
HANDLE WINAPI CreateEventA(_In_opt_ LPSECURITY_ATTRIBUTES lpEventAttributes, _In_ BOOL bManualReset,
                           _In_ BOOL bInitialState, _In_opt_ LPCSTR lpName);
BOOL WINAPI SetEvent(_In_ HANDLE hEvent);
BOOL WINAPI ResetEvent(_In_ HANDLE hEvent);
BOOL WINAPI PulseEvent(_In_ HANDLE hEvent);

DWORD WINAPI WaitForSingleObject(_In_ HANDLE hHandle, _In_ DWORD dwMilliseconds);
DWORD WINAPI WaitForMultipleObjects(_In_ DWORD nCount, _In_reads_(nCount) const HANDLE *lpHandles,
                                    _In_ BOOL bWaitAll, _In_ DWORD dwMilliseconds);
void WINAPI Sleep(_In_ DWORD dwMilliseconds);

EXTERN_C_END

#endif
