/*
 * <wdm.h>: the subset of the Windows kernel that drivers of this system call,
 * with Windows' names, signatures and semantics where drivers rely on them.
 *
 * Object pointers handed to a driver (events, threads, device objects) all
 * start with a one-byte type, as Windows' dispatcher and I/O objects do, so
 * that ObDereferenceObject and KeWaitForSingleObject can tell them apart.
 */
#ifndef FL_KM_WDM_H
#define FL_KM_WDM_H

#include <stdarg.h>

#include "ntdef.h"
#include "devioctl.h"

EXTERN_C_START

#define NTKERNELAPI
#define FASTCALL
#define POINTER_ALIGNMENT
#define PAGED_CODE() ((void)0)
#define PAGED_CODE_LOCKED() ((void)0)
#define ALLOC_PRAGMA_UNUSED

typedef CHAR CCHAR;
typedef SHORT CSHORT;
typedef UCHAR KIRQL, *PKIRQL;
typedef LONG KPRIORITY;
typedef CCHAR KPROCESSOR_MODE;
typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;
typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;
typedef ULONG LOGICAL;
typedef KAFFINITY *PKAFFINITY;

#define PASSIVE_LEVEL  0
#define LOW_LEVEL      0
#define APC_LEVEL      1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL     15

typedef enum _MODE { KernelMode, UserMode, MaximumMode } MODE;

#define LOW_PRIORITY          0
#define LOW_REALTIME_PRIORITY 16
#define HIGH_PRIORITY         31
#define MAXIMUM_PRIORITY      32

#define IO_NO_INCREMENT 0

/* Access rights of threads (events and keys come from ntdef.h). */
#define THREAD_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFFu)

/* ------------------------------------------------------------------ */
/* Debugging                                                           */

/* Appends to the machine's debugger log (or stderr, see km/debug.hpp). The
 * format is the Windows kernel's: %lu and %lx take a 32-bit ULONG, %I64u
 * a 64-bit value, %ws a wide string, %wZ a PUNICODE_STRING. */
ULONG DbgPrint(PCSTR Format, ...);
ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...);
ULONG vDbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, va_list ap);
#define DPFLTR_IHVDRIVER_ID 77
#define DPFLTR_ERROR_LEVEL   0
#define DPFLTR_WARNING_LEVEL 1
#define DPFLTR_TRACE_LEVEL   2
#define DPFLTR_INFO_LEVEL    3
#define KdPrint(args) DbgPrint args
#define KdPrintEx(args) DbgPrintEx args

/* Stops the machine with a report in the debugger log; never returns. */
__attribute__((noreturn)) VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2,
                                            ULONG_PTR P3, ULONG_PTR P4);
#define ASSERT(e) ((void)((e) ? 0 : (KeBugCheckEx(0x1E, 0, 0, 0, __LINE__), 0)))
#define NT_ASSERT(e) ASSERT(e)

/* ------------------------------------------------------------------ */
/* Interlocked operations and barriers: full barriers, as on Windows.  */

FORCEINLINE LONG InterlockedIncrement(LONG volatile *p) { return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST); }
FORCEINLINE LONG InterlockedDecrement(LONG volatile *p) { return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST); }
FORCEINLINE LONG InterlockedExchangeAdd(LONG volatile *p, LONG v) { return __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST); }
FORCEINLINE LONG InterlockedAdd(LONG volatile *p, LONG v) { return __atomic_add_fetch(p, v, __ATOMIC_SEQ_CST); }
FORCEINLINE LONG InterlockedExchange(LONG volatile *p, LONG v) { return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST); }
FORCEINLINE LONG InterlockedOr(LONG volatile *p, LONG v) { return __atomic_fetch_or(p, v, __ATOMIC_SEQ_CST); }
FORCEINLINE LONG InterlockedAnd(LONG volatile *p, LONG v) { return __atomic_fetch_and(p, v, __ATOMIC_SEQ_CST); }
FORCEINLINE LONG InterlockedCompareExchange(LONG volatile *p, LONG exchange, LONG comparand)
{
    __atomic_compare_exchange_n(p, &comparand, exchange, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
FORCEINLINE LONG64 InterlockedIncrement64(LONG64 volatile *p) { return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST); }
FORCEINLINE LONG64 InterlockedDecrement64(LONG64 volatile *p) { return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST); }
FORCEINLINE LONG64 InterlockedExchangeAdd64(LONG64 volatile *p, LONG64 v) { return __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST); }
FORCEINLINE LONG64 InterlockedAdd64(LONG64 volatile *p, LONG64 v) { return __atomic_add_fetch(p, v, __ATOMIC_SEQ_CST); }
FORCEINLINE LONG64 InterlockedExchange64(LONG64 volatile *p, LONG64 v) { return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST); }
FORCEINLINE LONG64 InterlockedCompareExchange64(LONG64 volatile *p, LONG64 exchange, LONG64 comparand)
{
    __atomic_compare_exchange_n(p, &comparand, exchange, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
FORCEINLINE PVOID InterlockedExchangePointer(PVOID volatile *p, PVOID v) { return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST); }
FORCEINLINE PVOID InterlockedCompareExchangePointer(PVOID volatile *p, PVOID exchange, PVOID comparand)
{
    __atomic_compare_exchange_n(p, &comparand, exchange, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
/* Plain reads and writes with the ordering drivers rely on. */
FORCEINLINE LONG ReadAcquire(LONG const volatile *p) { return __atomic_load_n(p, __ATOMIC_ACQUIRE); }
FORCEINLINE VOID WriteRelease(LONG volatile *p, LONG v) { __atomic_store_n(p, v, __ATOMIC_RELEASE); }
FORCEINLINE LONG64 ReadAcquire64(LONG64 const volatile *p) { return __atomic_load_n(p, __ATOMIC_ACQUIRE); }
FORCEINLINE VOID WriteRelease64(LONG64 volatile *p, LONG64 v) { __atomic_store_n(p, v, __ATOMIC_RELEASE); }
FORCEINLINE UCHAR ReadUCharAcquire(UCHAR const volatile *p) { return __atomic_load_n(p, __ATOMIC_ACQUIRE); }
FORCEINLINE VOID WriteUCharRelease(UCHAR volatile *p, UCHAR v) { __atomic_store_n(p, v, __ATOMIC_RELEASE); }
FORCEINLINE ULONG ReadULongAcquire(ULONG const volatile *p) { return __atomic_load_n(p, __ATOMIC_ACQUIRE); }
FORCEINLINE VOID WriteULongRelease(ULONG volatile *p, ULONG v) { __atomic_store_n(p, v, __ATOMIC_RELEASE); }
FORCEINLINE ULONG ReadULongNoFence(ULONG const volatile *p) { return __atomic_load_n(p, __ATOMIC_RELAXED); }
FORCEINLINE VOID WriteULongNoFence(ULONG volatile *p, ULONG v) { __atomic_store_n(p, v, __ATOMIC_RELAXED); }

#if defined(__SANITIZE_THREAD__)
/* ThreadSanitizer does not model stand-alone fences (GCC rejects them under
 * -Wtsan); a sequentially consistent read-modify-write is a full barrier it
 * understands. */
static inline void KmFullBarrier(void)
{
    static int word;
    __atomic_fetch_add(&word, 0, __ATOMIC_SEQ_CST);
}
#define KeMemoryBarrier() KmFullBarrier()
#define MemoryBarrier() KmFullBarrier()
#else
#define KeMemoryBarrier() __atomic_thread_fence(__ATOMIC_SEQ_CST)
#define MemoryBarrier() __atomic_thread_fence(__ATOMIC_SEQ_CST)
#endif
#define KeMemoryBarrierWithoutFence() __atomic_signal_fence(__ATOMIC_SEQ_CST)
#define _ReadWriteBarrier() __atomic_signal_fence(__ATOMIC_SEQ_CST)

/* ------------------------------------------------------------------ */
/* Objects, events, threads and waits                                  */

/* Dispatcher object types (the first byte of every object). */
#define EventNotificationObject     0
#define EventSynchronizationObject  1
#define ThreadObject                6
#define IO_TYPE_DEVICE              3
#define IO_TYPE_DRIVER              4
#define IO_TYPE_FILE                5

typedef struct _DISPATCHER_HEADER {
    UCHAR Type;
    UCHAR Reserved1;     /* nonzero: the object stands for a referenced handle object */
    UCHAR Reserved2[2];
    LONG SignalState;    /* reached atomically by the kernel only */
    PVOID Reserved3;     /* kernel's own */
} DISPATCHER_HEADER;

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KTHREAD *PKTHREAD, *PRKTHREAD;
typedef struct _KTHREAD *PETHREAD;
typedef struct _EPROCESS *PEPROCESS;
typedef struct _OBJECT_TYPE *POBJECT_TYPE;

extern POBJECT_TYPE *ExEventObjectType;
extern POBJECT_TYPE *PsThreadType;
extern POBJECT_TYPE *IoFileObjectType;

typedef enum _KWAIT_REASON {
    Executive = 0,
    FreePage,
    PageIn,
    PoolAllocation,
    DelayExecution,
    Suspended,
    UserRequest,
    MaximumWaitReason = 37
} KWAIT_REASON;

typedef struct _OBJECT_HANDLE_INFORMATION {
    ULONG HandleAttributes;
    ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;
#define OBJ_INHERIT        0x00000002u
#define OBJ_CASE_INSENSITIVE 0x00000040u
#define OBJ_KERNEL_HANDLE  0x00000200u
#define InitializeObjectAttributes(p, n, a, r, s) \
    do {                                          \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);  \
        (p)->RootDirectory = (r);                 \
        (p)->Attributes = (a);                    \
        (p)->ObjectName = (n);                    \
        (p)->SecurityDescriptor = (s);            \
        (p)->SecurityQualityOfService = NULL;     \
    } while (0)

typedef struct _CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
LONG KeResetEvent(PRKEVENT Event);
VOID KeClearEvent(PRKEVENT Event);
LONG KeReadStateEvent(PRKEVENT Event);

/* Waits for an event or a thread object. Timeout in 100 ns units: negative is
 * relative, positive an absolute system time, NULL waits forever. Returns
 * STATUS_WAIT_0 or STATUS_TIMEOUT. */
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout);
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval);
VOID KeStallExecutionProcessor(ULONG MicroSeconds);

typedef VOID KSTART_ROUTINE(PVOID StartContext);
typedef KSTART_ROUTINE *PKSTART_ROUTINE;

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                              PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine, PVOID StartContext);
__attribute__((noreturn)) NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus);
PKTHREAD KeGetCurrentThread(void);
PETHREAD PsGetCurrentThread(void);
HANDLE PsGetCurrentThreadId(void);

/* Priorities are recorded per thread and reported back; Linux real-time
 * scheduling is not forced on anyone. */
KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority);
KPRIORITY KeQueryPriorityThread(PKTHREAD Thread);

/* Affinity is applied to the calling thread. */
KAFFINITY KeQueryActiveProcessors(void);
ULONG KeQueryActiveProcessorCount(PKAFFINITY ActiveProcessors);
ULONG KeGetCurrentProcessorNumber(void);
VOID KeSetSystemAffinityThread(KAFFINITY Affinity);
KAFFINITY KeSetSystemAffinityThreadEx(KAFFINITY Affinity);
VOID KeRevertToUserAffinityThread(void);
VOID KeRevertToUserAffinityThreadEx(KAFFINITY Affinity);

KIRQL KeGetCurrentIrql(void);

/* Handle references. Object is an event (ExEventObjectType), a thread
 * (PsThreadType) or NULL for any type. */
NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID *Object,
                                   POBJECT_HANDLE_INFORMATION HandleInformation);
LONG_PTR ObfReferenceObject(PVOID Object);
LONG_PTR ObfDereferenceObject(PVOID Object);
#define ObReferenceObject(o) ObfReferenceObject(o)
#define ObDereferenceObject(o) ObfDereferenceObject(o)
NTSTATUS ZwClose(HANDLE Handle);
NTSTATUS ZwWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout);

/* ------------------------------------------------------------------ */
/* Time                                                                */

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);
VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime);        /* 100 ns since 1601 */
VOID KeQuerySystemTimePrecise(PLARGE_INTEGER CurrentTime);
ULONGLONG KeQueryInterruptTime(void);
/* Records the request and returns the resolution now in force (100 ns). */
ULONG ExSetTimerResolution(ULONG DesiredTime, BOOLEAN SetResolution);

/* ------------------------------------------------------------------ */
/* Spin locks                                                          */

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
#define KeAcquireSpinLock(l, o) (*(o) = KeAcquireSpinLockRaiseToDpc(l))

/* ------------------------------------------------------------------ */
/* Pool                                                                */

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    NonPagedPoolExecute = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    DontUseThisType = 3,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
    NonPagedPoolNx = 512,
    NonPagedPoolNxCacheAligned = 516
} POOL_TYPE;

/* Tagged allocations: the tag's outstanding count is kept, so a test can
 * prove that a driver freed all it took. Blocks are 16-byte aligned, whatever
 * the pool type. */
PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
VOID ExFreePoolWithTag(PVOID P, ULONG Tag);
VOID ExFreePool(PVOID P);

/* ------------------------------------------------------------------ */
/* Strings                                                             */

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive);
#define RTL_CONSTANT_STRING(s) \
    { (USHORT)(sizeof(s) - sizeof((s)[0])), (USHORT)sizeof(s), (PWSTR)(s) }
#define DECLARE_CONST_UNICODE_STRING(name, s) \
    const WCHAR name##_buffer[] = s;          \
    const UNICODE_STRING name = { (USHORT)(sizeof(s) - sizeof(WCHAR)), (USHORT)sizeof(s), (PWSTR)name##_buffer }
#define DECLARE_UNICODE_STRING_SIZE(name, size) \
    WCHAR name##_buffer[size];                  \
    UNICODE_STRING name = { 0, (USHORT)(size) * sizeof(WCHAR), name##_buffer }

/* ------------------------------------------------------------------ */
/* Registers and memory descriptors                                    */

typedef enum _MEMORY_CACHING_TYPE { MmNonCached = 0, MmCached = 1, MmWriteCombined = 2 } MEMORY_CACHING_TYPE;

/* Maps a device's memory resource. The returned range is not ordinary memory:
 * reach it only through READ_REGISTER_* and WRITE_REGISTER_*. */
PVOID MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, MEMORY_CACHING_TYPE CacheType);
VOID MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes);

ULONG READ_REGISTER_ULONG(volatile ULONG *Register);
VOID WRITE_REGISTER_ULONG(volatile ULONG *Register, ULONG Value);
USHORT READ_REGISTER_USHORT(volatile USHORT *Register);
VOID WRITE_REGISTER_USHORT(volatile USHORT *Register, USHORT Value);
UCHAR READ_REGISTER_UCHAR(volatile UCHAR *Register);
VOID WRITE_REGISTER_UCHAR(volatile UCHAR *Register, UCHAR Value);

typedef struct _MDL {
    struct _MDL *Next;
    CSHORT Size;
    CSHORT MdlFlags;
    PEPROCESS Process;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
} MDL, *PMDL;

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED        0x0002

typedef enum _MM_PAGE_PRIORITY { LowPagePriority, NormalPagePriority = 16, HighPagePriority = 32 } MM_PAGE_PRIORITY;
#define MdlMappingNoWrite   0x80000000u
#define MdlMappingNoExecute 0x40000000u

FORCEINLINE PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority)
{
    (void)Priority;
    return Mdl ? Mdl->MappedSystemVa : NULL;
}
#define MmGetMdlByteCount(m) ((m)->ByteCount)
#define MmGetMdlByteOffset(m) ((m)->ByteOffset)
#define MmGetMdlVirtualAddress(m) ((PVOID)((PCHAR)((m)->StartVa) + (m)->ByteOffset))

/* ------------------------------------------------------------------ */
/* I/O: IRPs, device objects, resources                                */

#define IRP_MJ_CREATE          0x00
#define IRP_MJ_CLOSE           0x02
#define IRP_MJ_READ            0x03
#define IRP_MJ_WRITE           0x04
#define IRP_MJ_DEVICE_CONTROL  0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_CLEANUP         0x12
#define IRP_MJ_POWER           0x16
#define IRP_MJ_PNP             0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define IRP_MN_START_DEVICE    0x00
#define IRP_MN_REMOVE_DEVICE   0x02
#define IRP_MN_STOP_DEVICE     0x04
#define IRP_MN_READ_CONFIG     0x0F
#define IRP_MN_WRITE_CONFIG    0x10
#define IRP_MN_SURPRISE_REMOVAL 0x17

#define PCI_WHICHSPACE_CONFIG 0x0
#define PCI_WHICHSPACE_ROM    0x52696350

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef struct _DEVICE_OBJECT *PDEVICE_OBJECT;
typedef struct _DRIVER_OBJECT *PDRIVER_OBJECT;
typedef struct _FILE_OBJECT *PFILE_OBJECT;

typedef struct _IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            ULONG WhichSpace;
            PVOID Buffer;
            ULONG Offset;
            ULONG POINTER_ALIGNMENT Length;
        } ReadWriteConfig;
        struct {
            ULONG Length;
            ULONG POINTER_ALIGNMENT Key;
            LARGE_INTEGER ByteOffset;
        } Read;
        struct {
            ULONG Length;
            ULONG POINTER_ALIGNMENT Key;
            LARGE_INTEGER ByteOffset;
        } Write;
        struct {
            ULONG OutputBufferLength;
            ULONG POINTER_ALIGNMENT InputBufferLength;
            ULONG POINTER_ALIGNMENT IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;
    PFILE_OBJECT FileObject;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

/* An IRP carries a single stack location: requests built by drivers go to
 * the bus driver below them and nowhere else. */
typedef struct _IRP {
    CSHORT Type;
    USHORT Size;
    PMDL MdlAddress;
    ULONG Flags;
    union {
        PVOID SystemBuffer;
    } AssociatedIrp;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CHAR StackCount;
    CHAR CurrentLocation;
    BOOLEAN Cancel;
    PIO_STATUS_BLOCK UserIosb;
    PKEVENT UserEvent;
    IO_STACK_LOCATION Stack;
} IRP, *PIRP;

FORCEINLINE PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp) { return &Irp->Stack; }
FORCEINLINE PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) { return &Irp->Stack; }

typedef struct _DEVICE_OBJECT {
    CSHORT Type;             /* IO_TYPE_DEVICE */
    USHORT Size;
    LONG ReferenceCount;
    PDRIVER_OBJECT DriverObject;
    PDEVICE_OBJECT NextDevice;
    PDEVICE_OBJECT AttachedDevice;
    ULONG Flags;
    PVOID DeviceExtension;
    DEVICE_TYPE DeviceType;
    PVOID Reserved;          /* kernel's own */
} DEVICE_OBJECT;

typedef VOID DRIVER_UNLOAD(PDRIVER_OBJECT DriverObject);
typedef DRIVER_UNLOAD *PDRIVER_UNLOAD;
typedef NTSTATUS DRIVER_INITIALIZE(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE *PDRIVER_INITIALIZE;

typedef struct _DRIVER_OBJECT {
    CSHORT Type;             /* IO_TYPE_DRIVER */
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    PVOID DriverExtension;
    UNICODE_STRING DriverName;
    PDRIVER_INITIALIZE DriverInit;
    PDRIVER_UNLOAD DriverUnload;
    PVOID Reserved;          /* kernel's own */
} DRIVER_OBJECT;

/* Builds a synchronous request for the device stack below a driver. Only
 * IRP_MJ_PNP with IRP_MN_READ_CONFIG / IRP_MN_WRITE_CONFIG is understood by
 * the bus; the request is freed when it completes. */
PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                  ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                  PIO_STATUS_BLOCK IoStatusBlock);
NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
#define IoCallDriver(d, i) IofCallDriver(d, i)
PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject);

/* Hardware resources. */
#define CmResourceTypeNull       0
#define CmResourceTypePort       1
#define CmResourceTypeInterrupt  2
#define CmResourceTypeMemory     3
#define CmResourceTypeDma        4

#define CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE 0x0000
#define CM_RESOURCE_INTERRUPT_LATCHED         0x0001
#define CM_RESOURCE_INTERRUPT_MESSAGE         0x0002
#define CM_RESOURCE_MEMORY_READ_WRITE         0x0000
#define CM_RESOURCE_PORT_MEMORY               0x0000
#define CM_RESOURCE_PORT_IO                   0x0001

typedef enum _CM_SHARE_DISPOSITION {
    CmResourceShareUndetermined = 0,
    CmResourceShareDeviceExclusive,
    CmResourceShareDriverExclusive,
    CmResourceShareShared
} CM_SHARE_DISPOSITION;

typedef struct _CM_PARTIAL_RESOURCE_DESCRIPTOR {
    UCHAR Type;
    UCHAR ShareDisposition;
    USHORT Flags;
    union {
        struct {
            PHYSICAL_ADDRESS Start;
            ULONG Length;
        } Generic;
        struct {
            PHYSICAL_ADDRESS Start;
            ULONG Length;
        } Port;
        struct {
            PHYSICAL_ADDRESS Start;
            ULONG Length;
        } Memory;
        struct {
            ULONG Level;
            ULONG Vector;
            KAFFINITY Affinity;
        } Interrupt;
        struct {
            ULONG Reserved1;
            ULONG MessageCount;
            ULONG Vector;
            KAFFINITY Affinity;
        } MessageInterrupt;
    } u;
} CM_PARTIAL_RESOURCE_DESCRIPTOR, *PCM_PARTIAL_RESOURCE_DESCRIPTOR;

EXTERN_C_END

#endif
