/*
 * Base types shared by the kernel-mode and user-mode surfaces.
 *
 * Windows is LLP64: LONG and ULONG are 32 bits there, while Linux's long is
 * 64 bits. Every Windows integer type is therefore spelled with a fixed-width
 * type, so that records shared between the driver, the library and files have
 * the same layout as on Windows. This header compiles as C and as C++.
 */
#ifndef FL_PLATFORM_NTDEF_H
#define FL_PLATFORM_NTDEF_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "sal.h"

#ifdef __cplusplus
#define EXTERN_C extern "C"
#define EXTERN_C_START extern "C" {
#define EXTERN_C_END }
#else
#define EXTERN_C extern
#define EXTERN_C_START
#define EXTERN_C_END
#endif

/* Calling conventions and storage classes have no meaning on x86-64 Linux. */
#define NTAPI
#define NTSYSAPI
#define NTSYSCALLAPI
#define WINAPI
#define APIENTRY
#define CALLBACK
#define __stdcall
#define __cdecl
#ifdef __cplusplus
#define FORCEINLINE inline __attribute__((always_inline))
#else
#define FORCEINLINE static inline __attribute__((always_inline))
#endif
#define DECLSPEC_SELECTANY __attribute__((weak))
#define DECLSPEC_ALIGN(x) __attribute__((aligned(x)))
#define DECLSPEC_NOINLINE __attribute__((noinline))

typedef void VOID;
typedef void *PVOID;
typedef void *LPVOID;
typedef const void *PCVOID;

typedef char CHAR;
typedef int16_t SHORT;
typedef int32_t LONG;
typedef int32_t INT;
typedef uint8_t UCHAR;
typedef uint16_t USHORT;
typedef uint32_t ULONG;
typedef uint32_t UINT;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef int64_t LONG64;
typedef uint64_t ULONG64;
typedef uint64_t DWORD64;
typedef int8_t INT8;
typedef int16_t INT16;
typedef int32_t INT32;
typedef int64_t INT64;
typedef uint8_t UINT8;
typedef uint16_t UINT16;
typedef uint32_t UINT32;
typedef uint64_t UINT64;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef size_t SIZE_T;
typedef intptr_t SSIZE_T;
typedef ULONG_PTR KAFFINITY;
typedef uint8_t BOOLEAN;

#ifdef __cplusplus
typedef char16_t WCHAR;
#else
typedef uint16_t WCHAR;
#endif

typedef CHAR *PCHAR, *PSTR, *LPSTR;
typedef const CHAR *PCSTR, *LPCSTR, *PCSZ;
typedef WCHAR *PWCHAR, *PWSTR, *LPWSTR;
typedef const WCHAR *PCWCH, *PCWSTR, *LPCWSTR;
typedef UCHAR *PUCHAR;
typedef USHORT *PUSHORT;
typedef SHORT *PSHORT;
typedef ULONG *PULONG;
typedef LONG *PLONG;
typedef ULONGLONG *PULONGLONG;
typedef LONGLONG *PLONGLONG;
typedef ULONG64 *PULONG64;
typedef ULONG_PTR *PULONG_PTR;
typedef SIZE_T *PSIZE_T;
typedef BOOLEAN *PBOOLEAN;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#ifndef NULL
#define NULL ((void *)0)
#endif

typedef void *HANDLE;
typedef HANDLE *PHANDLE;

typedef LONG NTSTATUS;
typedef NTSTATUS *PNTSTATUS;

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

#include "ntstatus.h"

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        ULONG LowPart;
        ULONG HighPart;
    };
    struct {
        ULONG LowPart;
        ULONG HighPart;
    } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _UNICODE_STRING {
    USHORT Length;        /* bytes, without a terminator */
    USHORT MaximumLength; /* bytes */
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING *PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, ANSI_STRING, *PSTRING, *PANSI_STRING;
typedef const STRING *PCANSI_STRING;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY *Flink;
    struct _LIST_ENTRY *Blink;
} LIST_ENTRY, *PLIST_ENTRY;

/* GUIDs. DEFINE_GUID declares; with INITGUID defined before the include it
 * also defines (weakly, so several translation units may do so). */
#ifndef GUID_DEFINED
#define GUID_DEFINED
typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;
#endif
typedef GUID *LPGUID;
typedef const GUID *LPCGUID;
#ifdef __cplusplus
#define REFGUID const GUID &
#else
#define REFGUID const GUID *
#endif

#undef DEFINE_GUID
#ifdef __cplusplus
#define FL_GUID_LINKAGE extern "C"
#else
#define FL_GUID_LINKAGE /* a const object at file scope in C is external already */
#endif
#ifdef INITGUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    FL_GUID_LINKAGE const GUID DECLSPEC_SELECTANY name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#else
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) EXTERN_C const GUID name
#endif

#ifdef __cplusplus
inline bool IsEqualGUID(const GUID &a, const GUID &b) { return memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool operator==(const GUID &a, const GUID &b) { return IsEqualGUID(a, b); }
#define InlineIsEqualGUID(a, b) IsEqualGUID(a, b)
#else
#define IsEqualGUID(a, b) (memcmp((a), (b), sizeof(GUID)) == 0)
#define InlineIsEqualGUID(a, b) IsEqualGUID(a, b)
#endif

/* Access rights, shared by handles of both modes. */
typedef ULONG ACCESS_MASK;
typedef ACCESS_MASK *PACCESS_MASK;
#define DELETE                   0x00010000u
#define READ_CONTROL             0x00020000u
#define WRITE_DAC                0x00040000u
#define WRITE_OWNER              0x00080000u
#define SYNCHRONIZE              0x00100000u
#define STANDARD_RIGHTS_REQUIRED 0x000F0000u
#define STANDARD_RIGHTS_READ     READ_CONTROL
#define STANDARD_RIGHTS_WRITE    READ_CONTROL
#define STANDARD_RIGHTS_EXECUTE  READ_CONTROL
#define STANDARD_RIGHTS_ALL      0x001F0000u
#define MAXIMUM_ALLOWED          0x02000000u
#define GENERIC_READ             0x80000000u
#define GENERIC_WRITE            0x40000000u
#define GENERIC_EXECUTE          0x20000000u
#define GENERIC_ALL              0x10000000u

#define EVENT_QUERY_STATE  0x0001u
#define EVENT_MODIFY_STATE 0x0002u
#define EVENT_ALL_ACCESS   (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x3u)

/* Registry value types and key rights, used by the driver and by user mode. */
#define REG_NONE                0u
#define REG_SZ                  1u
#define REG_EXPAND_SZ           2u
#define REG_BINARY              3u
#define REG_DWORD               4u
#define REG_DWORD_LITTLE_ENDIAN 4u
#define REG_DWORD_BIG_ENDIAN    5u
#define REG_LINK                6u
#define REG_MULTI_SZ            7u
#define REG_QWORD               11u
#define REG_QWORD_LITTLE_ENDIAN 11u

#define KEY_QUERY_VALUE        0x0001u
#define KEY_SET_VALUE          0x0002u
#define KEY_CREATE_SUB_KEY     0x0004u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define KEY_NOTIFY             0x0010u
#define KEY_CREATE_LINK        0x0020u
#define KEY_WOW64_64KEY        0x0100u
#define KEY_WOW64_32KEY        0x0200u
#define KEY_READ    ((STANDARD_RIGHTS_READ | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY) & ~SYNCHRONIZE)
#define KEY_WRITE   ((STANDARD_RIGHTS_WRITE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY) & ~SYNCHRONIZE)
#define KEY_EXECUTE (KEY_READ & ~SYNCHRONIZE)
#define KEY_ALL_ACCESS                                                                        \
    ((STANDARD_RIGHTS_ALL | KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY |            \
      KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY | KEY_CREATE_LINK) & ~SYNCHRONIZE)

#define REG_OPTION_NON_VOLATILE 0x0u
#define REG_OPTION_VOLATILE     0x1u
#define REG_CREATED_NEW_KEY     0x1u
#define REG_OPENED_EXISTING_KEY 0x2u

/* Helpers every Windows code base takes for granted. */
#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define RTL_FIELD_SIZE(type, field) (sizeof(((type *)0)->field))
#define CONTAINING_RECORD(address, type, field) \
    ((type *)((PCHAR)(address) - (ULONG_PTR)offsetof(type, field)))
#define RTL_NUMBER_OF(a) (sizeof(a) / sizeof((a)[0]))
#define ARRAYSIZE(a) RTL_NUMBER_OF(a)
#define UNREFERENCED_PARAMETER(p) ((void)(p))
#define ARGUMENT_PRESENT(p) ((p) != NULL)
#ifdef __cplusplus
#define C_ASSERT(e) static_assert(e, #e)
#else
#define C_ASSERT(e) _Static_assert(e, #e)
#endif

#define RtlCopyMemory(d, s, n) memcpy((d), (s), (n))
#define RtlMoveMemory(d, s, n) memmove((d), (s), (n))
#define RtlFillMemory(d, n, f) memset((d), (f), (n))
#define RtlZeroMemory(d, n) memset((d), 0, (n))
#define RtlEqualMemory(a, b, n) (memcmp((a), (b), (n)) == 0)

#endif
