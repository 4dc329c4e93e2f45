/*
 * driver.h: the fl driver's records and the routines its parts share.
 *
 * Three context areas carry all state: DRIVER_CONTEXT on the framework
 * driver object, FDO_DATA on each port's device, FILE_OBJECT_DATA on each
 * open handle (an instance). Fields that one thread writes while others read
 * them without a lock are volatile and are only touched through the
 * Read*Acquire / Write*Release / Interlocked routines.
 */
#ifndef FL_DRIVER_DRIVER_H
#define FL_DRIVER_DRIVER_H

#include <ntddk.h>
#include <wdf.h>

#include "public.h"
#include "hw/regs.h"

#define FL_POOL_TAG 0x44324C46u /* 'D2LF': "FL2D" in a pool dump */

#define FL_MAX_PORTS         16
#define FL_READER_COUNT      16 /* entry 0 passthru, 1..15 instances */
#define FL_COMMAND_RING_SIZE 4  /* one entry always stays empty */

/* ------------------------------------------------------------------ */
/* Driver-wide record                                                  */

/* Management thread commands. */
#define FL_MGM_STOP        0
#define FL_MGM_ADD_PORT    1
#define FL_MGM_REMOVE_PORT 2
/* Negotiation thread commands. */
#define FL_NEG_STOP        0
#define FL_NEG_ADD_PAIR    3
#define FL_NEG_REMOVE_PAIR 4

typedef struct _FDO_DATA FDO_DATA, *PFDO_DATA;

/* One entry of a command ring: the command, its port(s) (the management
 * ring uses First only) and the event the thread sets once it has handled
 * the command. */
typedef struct _COMMAND {
    ULONG Command;
    PFDO_DATA First;
    PFDO_DATA Second;
    PKEVENT Done;
} COMMAND, *PCOMMAND;

/* Producer and consumer are 0..3. The poster fills the entry, then
 * publishes the producer with release ordering; the thread reads the
 * producer with acquire ordering before the entry, and hands the entry back
 * by publishing the consumer the same way. Posters are serialised by the
 * ring's wait lock; only the ring's thread consumes. */
typedef struct _COMMAND_RING {
    volatile ULONG Producer;
    volatile ULONG Consumer;
    COMMAND Entries[FL_COMMAND_RING_SIZE];
} COMMAND_RING, *PCOMMAND_RING;

typedef struct _DRIVER_CONTEXT {
    COMMAND_RING MgmRing;
    WDFWAITLOCK MgmRingLock;
    COMMAND_RING NegRing;
    WDFWAITLOCK NegRingLock;
    PKTHREAD MgmThread;
    PKTHREAD NegThread;
    ULONG TimestampingMode;
    ULONG MgmThreadPriority;
    LONG SavedPriority;
    LONGLONG TimeBase;
    volatile LONG ActiveInstanceCount; /* interlocked only */
    volatile LONG PortCount;           /* interlocked only */
    BOOLEAN TimerResolutionSet;
} DRIVER_CONTEXT, *PDRIVER_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DRIVER_CONTEXT, DriverGetContext)

/* ------------------------------------------------------------------ */
/* Per-port record                                                     */

/* Receive slot: the descriptor image handed to the controller (its bus
 * address never changes), the buffer's virtual address and the harvest
 * timestamp. */
typedef struct _RX_SLOT {
    RX_DESCRIPTOR Image;
    PUCHAR Buffer;
    ULONGLONG Timestamp;
} RX_SLOT, *PRX_SLOT;

/* Transmit slot: descriptor image (bus address, length, command) and the
 * buffer's virtual address. */
typedef struct _TX_SLOT {
    TX_DESCRIPTOR Image;
    PUCHAR Buffer;
} TX_SLOT, *PTX_SLOT;

typedef struct _READER_ENTRY {
    ULONG Position;
    UCHAR Prunable;
    UCHAR Active;
    ULONGLONG Dropped; /* frames tail pruning moved this reader past */
} READER_ENTRY, *PREADER_ENTRY;

struct _FDO_DATA {
    WDFDEVICE Device;
    WDFQUEUE ReadQueue;
    WDFQUEUE WriteQueue;
    WDFQUEUE ControlQueue;
    WDFQUEUE LinkWaitQueue;

    ULONGLONG RegisterPhysical;
    ULONG PortResourceStart;
    ULONG PortResourceLength;

    /* From the registry at device add; read everywhere without a lock. */
    UCHAR PassthruEnabled;
    ULONG TxSlots;
    ULONG RxSlots;
    ULONG TxSlotSize;
    ULONG RxSlotSize;
    ULONG TxDescriptors;
    ULONG RxDescriptors;
    ULONG DmaChunkSize;
    ULONG PruneThresholdSlots;
    ULONG AutonegotiationConfiguration;

    PUCHAR Registers;
    ULONG RegisterLength;
    PVOID IoMapping;
    ULONG IoMappingLength;

    ULONG InterruptLevel;
    ULONG InterruptVector;
    ULONGLONG InterruptAffinity;
    WDFINTERRUPT Interrupt;

    ULONG PcieLinkWidth;

    WDFDMAENABLER DmaEnabler;

    PREADER_ENTRY ReaderTable;
    ULONG ReaderCount;
    ULONG ActiveReaders;
    WDFSPINLOCK ReaderLock;

    ULONGLONG RxRingLogical;
    PRX_DESCRIPTOR RxRing;
    PRX_SLOT RxSlotArray;
    volatile ULONG RxWrite;
    volatile ULONG RxOldest;
    ULONG RxRefill;
    ULONG RxNextCheck;

    ULONGLONG TxRingLogical;
    PTX_DESCRIPTOR TxRing;
    PTX_SLOT TxSlotArray;
    volatile ULONG TxProducer;
    volatile ULONG TxReleased;
    ULONG TxTail;
    ULONG TxClean;
    PULONG TxDescSlotMap;

    volatile ULONG HarvestTimeHigh1;
    volatile ULONG HarvestTimeHigh2;
    volatile ULONG HarvestTimeLow;

    UCHAR IsFirstFunction;
    UCHAR MacAddress[6];

    /* Written by the interrupt routine and at hardware start. LinkState
     * holds whether the link is up (bit 0) and how often it came up (the
     * bits above) in one word, so that a reader never pairs the state of one
     * moment with the count of another: read it with LinkStateRead. */
    volatile LONG64 LinkState;
    volatile ULONG LinkSpeed;
    volatile ULONG LinkDuplex;

    WDFSPINLOCK CountersLock;
    ULONGLONG PortCounters[FL_PORT_STAT_COUNT];

    ULONG PowerState;
};

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(FDO_DATA, FdoGetData)

/* ------------------------------------------------------------------ */
/* Per-instance record                                                 */

typedef struct _FILE_OBJECT_DATA {
    ULONG ReaderIndex;
    volatile UCHAR ReceptionEnabled;
    volatile UCHAR TransmissionEnabled;
    PKEVENT volatile ReceiveEvent;
    volatile ULONG ReadThreshold;
    volatile USHORT SnapLength;
    volatile ULONG ErrorFilter;
    PFDO_DATA Port;
    volatile ULONG ReadTimeout;
    PKTHREAD InstanceThread;
    LONG64 LastLinkState; /* the port's LinkState last reported */
    LONGLONG LastCompletion;
    volatile UCHAR StopRequested;
    PKEVENT volatile TransmitEvent;
    ULONGLONG CounterBaseline[FL_PORT_STAT_COUNT];
    volatile ULONGLONG TxPackets;
    volatile ULONGLONG TxBytes;
} FILE_OBJECT_DATA, *PFILE_OBJECT_DATA;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(FILE_OBJECT_DATA, FileGetData)

/* ------------------------------------------------------------------ */
/* Routines shared between the driver's parts                          */

/* A port's link state, one snapshot (acquire: the speed and duplex of an
 * up link are published before it). */
FORCEINLINE LONG64 LinkStateRead(PFDO_DATA Fdo)
{
    return ReadAcquire64(&Fdo->LinkState);
}
FORCEINLINE UCHAR LinkStateUp(LONG64 State)
{
    return (UCHAR)(State & 1);
}
FORCEINLINE ULONG LinkStateUpCount(LONG64 State)
{
    return (ULONG)((ULONGLONG)State >> 1);
}
/* The state after the link came up (Up) or went down, from State. */
FORCEINLINE LONG64 LinkStateNext(LONG64 State, BOOLEAN Up)
{
    return Up ? (LONG64)((((ULONGLONG)State >> 1) + 1) << 1 | 1) : (LONG64)((ULONGLONG)State & ~1ull);
}

EXTERN_C DRIVER_INITIALIZE DriverEntry;

/* driver.cpp */
EVT_WDF_OBJECT_CONTEXT_CLEANUP DriverUnload;
VOID DriverStopThreads(PDRIVER_CONTEXT Context);

/* device.cpp */
EVT_WDF_DRIVER_DEVICE_ADD PortAdd;

/* control.cpp: the port's sequential control queue */
EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL ControlDispatch;
/* The link-status record for a link state read first: the interrupt
 * publishes the state last on the way up, so the speed and duplex read after
 * it belong to the link it reports. Speed and duplex are 0 while down; the
 * padding is not written. */
VOID LinkStatusFill(PFDO_DATA Fdo, UCHAR LinkUp, PFL_IOCTL_LINK_STATUS Record);

/* preprocess.cpp: every request, in the caller's context, before a queue */
EVT_WDF_IO_IN_CALLER_CONTEXT RequestPreprocess;

/* dma.cpp */
NTSTATUS RxAllocate(PFDO_DATA Fdo);
NTSTATUS ReaderTableCreate(PFDO_DATA Fdo);
VOID ReaderTableFree(PFDO_DATA Fdo);

/* file.cpp */
EVT_WDF_DEVICE_FILE_CREATE InstanceCreate;
EVT_WDF_FILE_CLEANUP InstanceCleanup;
EVT_WDF_FILE_CLOSE InstanceClose;

/* readers.cpp: the port's reader table (under ReaderLock) */
VOID ReaderDetach(PFDO_DATA Fdo, ULONG Index);
/* The oldest of the active entries' positions, counted cyclically from
 * RxOldest; RxWrite when no entry is active. ReaderLock held. */
ULONG ReaderOldestPosition(PFDO_DATA Fdo);

/* threads.cpp: system threads and the command rings that drive them */
/* Makes the thread started on Context end soon (it is waited for). */
typedef VOID THREAD_STOP(PVOID Context);
typedef THREAD_STOP *PTHREAD_STOP;
/* Starts Routine on Context and references the thread. On failure no
 * thread runs on Context any more: one that started but could not be
 * referenced was stopped with Stop and waited for. */
NTSTATUS ThreadStart(PKSTART_ROUTINE Routine, PVOID Context, PTHREAD_STOP Stop, PKTHREAD *Thread);
VOID ThreadWaitAndRelease(PKTHREAD *Thread);
/* Returns once the ring's thread has handled the command. */
VOID PostCommand(PCOMMAND_RING Ring, WDFWAITLOCK Lock, ULONG Command, PFDO_DATA First, PFDO_DATA Second);
/* Posts without waiting, for a poster that must never wait on the ring's
 * thread: FALSE, and nothing posted, when the ring is full or its lock is
 * held. Done (may be NULL) is set by the ring's thread once it has handled
 * the command. */
BOOLEAN TryPostCommand(PCOMMAND_RING Ring, WDFWAITLOCK Lock, ULONG Command, PFDO_DATA First, PFDO_DATA Second,
                       PKEVENT Done);
/* The ring's thread: takes the oldest command, if any. */
BOOLEAN TakeCommand(PCOMMAND_RING Ring, PCOMMAND Command);
/* The ring's thread: whether a command waits, without taking it. */
BOOLEAN CommandPending(PCOMMAND_RING Ring);

/* management.cpp */
KSTART_ROUTINE ManagementThread;
KSTART_ROUTINE NegotiationThread;

/* timebase.cpp: nanoseconds since 1970 that follow the performance counter */
LONGLONG TimeBaseCompute(LONGLONG Counter, LONGLONG Frequency, LONGLONG SystemTime);
ULONGLONG TimestampFromCounter(LONGLONG Counter, LONGLONG Frequency, LONGLONG TimeBase);

#endif /* FL_DRIVER_DRIVER_H */
