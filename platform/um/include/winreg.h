#ifndef FL_UM_WINREG_H
#define FL_UM_WINREG_H

#include "minwinbase.h"

/* Predefined keys, sign-extended as on 64-bit Windows. Only
 * HKEY_LOCAL_MACHINE has content here; the others give ERROR_FILE_NOT_FOUND. */
#define HKEY_CLASSES_ROOT   ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER   ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE  ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define HKEY_USERS          ((HKEY)(ULONG_PTR)((LONG)0x80000003))

EXTERN_C_START

/* The registry functions return their error; they leave GetLastError alone,
 * as Windows does. */
LSTATUS WINAPI RegOpenKeyExA(_In_ HKEY hKey, _In_opt_ LPCSTR lpSubKey, _In_ DWORD ulOptions,
                             _In_ REGSAM samDesired, _Out_ PHKEY phkResult);
LSTATUS WINAPI RegCreateKeyExA(_In_ HKEY hKey, _In_ LPCSTR lpSubKey, _Reserved_ DWORD Reserved,
                               _In_opt_ LPSTR lpClass, _In_ DWORD dwOptions, _In_ REGSAM samDesired,
                               _In_opt_ const LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                               _Out_ PHKEY phkResult, _Out_opt_ LPDWORD lpdwDisposition);
LSTATUS WINAPI RegCloseKey(_In_ HKEY hKey);

LSTATUS WINAPI RegQueryValueExA(_In_ HKEY hKey, _In_opt_ LPCSTR lpValueName, _Reserved_ LPDWORD lpReserved,
                                _Out_opt_ LPDWORD lpType, _Out_writes_bytes_to_opt_(*lpcbData, *lpcbData) LPBYTE lpData,
                                _Inout_opt_ LPDWORD lpcbData);
LSTATUS WINAPI RegQueryValueExW(_In_ HKEY hKey, _In_opt_ LPCWSTR lpValueName, _Reserved_ LPDWORD lpReserved,
                                _Out_opt_ LPDWORD lpType, _Out_writes_bytes_to_opt_(*lpcbData, *lpcbData) LPBYTE lpData,
                                _Inout_opt_ LPDWORD lpcbData);
LSTATUS WINAPI RegSetValueExA(_In_ HKEY hKey, _In_opt_ LPCSTR lpValueName, _Reserved_ DWORD Reserved,
                              _In_ DWORD dwType, _In_reads_bytes_opt_(cbData) const BYTE *lpData, _In_ DWORD cbData);
LSTATUS WINAPI RegSetValueExW(_In_ HKEY hKey, _In_opt_ LPCWSTR lpValueName, _Reserved_ DWORD Reserved,
                              _In_ DWORD dwType, _In_reads_bytes_opt_(cbData) const BYTE *lpData, _In_ DWORD cbData);
LSTATUS WINAPI RegDeleteValueA(_In_ HKEY hKey, _In_opt_ LPCSTR lpValueName);
LSTATUS WINAPI RegDeleteKeyA(_In_ HKEY hKey, _In_ LPCSTR lpSubKey);
LSTATUS WINAPI RegEnumKeyExA(_In_ HKEY hKey, _In_ DWORD dwIndex, _Out_writes_to_opt_(*lpcchName, *lpcchName + 1) LPSTR lpName,
                             _Inout_ LPDWORD lpcchName, _Reserved_ LPDWORD lpReserved, _Inout_opt_ LPSTR lpClass,
                             _Inout_opt_ LPDWORD lpcchClass, _Out_opt_ PFILETIME lpftLastWriteTime);
LSTATUS WINAPI RegEnumValueA(_In_ HKEY hKey, _In_ DWORD dwIndex, _Out_writes_to_opt_(*lpcchValueName, *lpcchValueName + 1) LPSTR lpValueName,
                             _Inout_ LPDWORD lpcchValueName, _Reserved_ LPDWORD lpReserved, _Out_opt_ LPDWORD lpType,
                             _Out_writes_bytes_to_opt_(*lpcbData, *lpcbData) LPBYTE lpData, _Inout_opt_ LPDWORD lpcbData);

EXTERN_C_END

#endif
