/* The Win32 surface as a C program sees it: FlApi.h users may be C. */
#include <windows.h>

static DWORD WINAPI ReturnParameter(LPVOID parameter) { return (DWORD)(ULONG_PTR)parameter; }

int CSurfaceEventsAndThreads(void) {
    HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
    HANDLE thread;
    DWORD code = 0;
    CRITICAL_SECTION lock;

    if (event == NULL) return 1;
    if (WaitForSingleObject(event, 0) != WAIT_TIMEOUT) return 2;
    if (!SetEvent(event) || WaitForSingleObject(event, 0) != WAIT_OBJECT_0) return 3;

    thread = CreateThread(NULL, 0, ReturnParameter, (LPVOID)(ULONG_PTR)77, 0, NULL);
    if (thread == NULL || WaitForSingleObject(thread, INFINITE) != WAIT_OBJECT_0) return 4;
    if (!GetExitCodeThread(thread, &code) || code != 77) return 5;

    InitializeCriticalSection(&lock);
    EnterCriticalSection(&lock);
    EnterCriticalSection(&lock); /* recursive, as on Windows */
    LeaveCriticalSection(&lock);
    LeaveCriticalSection(&lock);
    DeleteCriticalSection(&lock);

    if (!CloseHandle(thread) || !CloseHandle(event)) return 6;
    SetLastError(ERROR_SUCCESS);
    if (CloseHandle(event) || GetLastError() != ERROR_INVALID_HANDLE) return 7;
    return min(0, 8);
}

int CSurfaceRegistry(const char *subkey) {
    HKEY key = NULL;
    DWORD disposition = 0, type = 0, value = 0x12345678, size = sizeof(value);
    char text[16];
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, subkey, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL, &key,
                        &disposition) != ERROR_SUCCESS)
        return 1;
    if (RegSetValueExA(key, "FromC", 0, REG_DWORD, (const BYTE *)&value, sizeof(value)) != ERROR_SUCCESS) return 2;
    value = 0;
    if (RegQueryValueExA(key, "FromC", NULL, &type, (LPBYTE)&value, &size) != ERROR_SUCCESS) return 3;
    if (type != REG_DWORD || size != 4 || value != 0x12345678) return 4;
    if (RegSetValueExA(key, "TextFromC", 0, REG_SZ, (const BYTE *)"abc", 4) != ERROR_SUCCESS) return 5;
    size = sizeof(text);
    if (RegQueryValueExA(key, "TextFromC", NULL, &type, (LPBYTE)text, &size) != ERROR_SUCCESS) return 6;
    if (type != REG_SZ || size != 4 || strcmp(text, "abc") != 0) return 7;
    if (RegCloseKey(key) != ERROR_SUCCESS) return 8;
    return 0;
}
