/*
 * management.cpp: the two driver-wide threads. The management thread owns
 * the polling table of the ports whose self-managed I/O runs and polls them
 * every millisecond (continuously in timestamping mode 1); the negotiation
 * thread keeps the table of passthru pairs.
 */
#include "driver.h"

#include "hw/controller.h"

typedef struct _POLL_ENTRY {
    PFDO_DATA Port;
    PFDO_DATA Peer;
    ULONG PeerIndex; /* (ULONG)-1 when none */
    UCHAR InUse;
} POLL_ENTRY, *PPOLL_ENTRY;

typedef struct _PAIR_ENTRY {
    PFDO_DATA First;
    PFDO_DATA Second;
    UCHAR InUse;
    ULONG Countdown;
} PAIR_ENTRY, *PPAIR_ENTRY;

#define NO_PEER ((ULONG)-1)

static KAFFINITY HighestProcessor(void)
{
    KAFFINITY active = KeQueryActiveProcessors();
    KAFFINITY highest = 1;
    while (active >>= 1) {
        highest <<= 1;
    }
    return highest;
}

/* The thread polls on the highest-numbered processor; while it handles a
 * command it may run anywhere, as the poster does. */
static VOID PollingBind(PDRIVER_CONTEXT Context)
{
    Context->SavedPriority = KeQueryPriorityThread(KeGetCurrentThread());
    KeSetSystemAffinityThreadEx(HighestProcessor());
}

static VOID PollingUnbind(PDRIVER_CONTEXT Context)
{
    KeSetPriorityThread(KeGetCurrentThread(), Context->SavedPriority);
    KeSetSystemAffinityThreadEx(KeQueryActiveProcessors());
}

static VOID PollingAdd(PPOLL_ENTRY Table, PFDO_DATA Port)
{
    for (ULONG i = 0; i < FL_MAX_PORTS; i++) {
        if (!Table[i].InUse) {
            Table[i].Port = Port;
            Table[i].Peer = NULL;
            Table[i].PeerIndex = NO_PEER;
            Table[i].InUse = 1;
            return;
        }
    }
    /* Device add admits at most FL_MAX_PORTS ports, so a free entry
     * always exists. */
    NT_ASSERT(FALSE);
}

static VOID PollingRemove(PPOLL_ENTRY Table, PFDO_DATA Port)
{
    for (ULONG i = 0; i < FL_MAX_PORTS; i++) {
        if (Table[i].InUse && Table[i].Port == Port) {
            Table[i].InUse = 0;
            Table[i].Port = NULL;
            Table[i].Peer = NULL;
            Table[i].PeerIndex = NO_PEER;
            return;
        }
    }
}

VOID ManagementThread(PVOID StartContext)
{
    PDRIVER_CONTEXT context = (PDRIVER_CONTEXT)StartContext;
    POLL_ENTRY table[FL_MAX_PORTS];
    ULONG portCount = 0;

    PollingBind(context);

    LARGE_INTEGER frequency;
    LARGE_INTEGER counter = KeQueryPerformanceCounter(&frequency);
    LARGE_INTEGER systemTime;
    KeQuerySystemTimePrecise(&systemTime);
    context->TimeBase = TimeBaseCompute(counter.QuadPart, frequency.QuadPart, systemTime.QuadPart);

    RtlZeroMemory(table, sizeof(table));
    for (ULONG i = 0; i < FL_MAX_PORTS; i++) {
        table[i].PeerIndex = NO_PEER;
    }

    for (;;) {
        COMMAND command;
        if (TakeCommand(&context->MgmRing, &command)) {
            switch (command.Command) {
            case FL_MGM_STOP:
                KeSetEvent(command.Done, IO_NO_INCREMENT, FALSE);
                PollingUnbind(context);
                return;
            case FL_MGM_ADD_PORT:
                PollingUnbind(context);
                PollingAdd(table, command.First);
                PollingBind(context);
                KeSetEvent(command.Done, IO_NO_INCREMENT, FALSE);
                portCount++;
                break;
            case FL_MGM_REMOVE_PORT:
                PollingUnbind(context);
                PollingRemove(table, command.First);
                PollingBind(context);
                KeSetEvent(command.Done, IO_NO_INCREMENT, FALSE);
                portCount--;
                break;
            default:
                KeSetEvent(command.Done, IO_NO_INCREMENT, FALSE);
                break;
            }
        }

        /* One poll serves every port in the table, in table order. The
         * receive harvest, the transmit pump and passthru forwarding run
         * here once the data path exists; until then a port in the table
         * only has its link tracked (by the interrupt). */

        if (!(context->TimestampingMode == 1 && portCount != 0 &&
              ReadAcquire(&context->ActiveInstanceCount) != 0)) {
            SleepMilliseconds(1);
        }
    }
}

VOID NegotiationThread(PVOID StartContext)
{
    PDRIVER_CONTEXT context = (PDRIVER_CONTEXT)StartContext;
    PAIR_ENTRY pairs[FL_MAX_PORTS];
    RtlZeroMemory(pairs, sizeof(pairs));

    for (;;) {
        COMMAND command;
        if (TakeCommand(&context->NegRing, &command)) {
            switch (command.Command) {
            case FL_NEG_STOP:
                KeSetEvent(command.Done, IO_NO_INCREMENT, FALSE);
                return;
            case FL_NEG_ADD_PAIR:
                for (ULONG i = 0; i < FL_MAX_PORTS; i++) {
                    if (!pairs[i].InUse) {
                        pairs[i].First = command.First;
                        pairs[i].Second = command.Second;
                        pairs[i].InUse = 1;
                        pairs[i].Countdown = 0;
                        break;
                    }
                }
                break;
            case FL_NEG_REMOVE_PAIR:
                for (ULONG i = 0; i < FL_MAX_PORTS; i++) {
                    if (pairs[i].InUse && pairs[i].First == command.First) {
                        /* The ports go back to advertising nothing until
                         * their own configuration applies again. */
                        (VOID) PhyAdvertiseNone(pairs[i].First);
                        (VOID) PhyAdvertiseNone(pairs[i].Second);
                        pairs[i].InUse = 0;
                        break;
                    }
                }
                break;
            default:
                break;
            }
            KeSetEvent(command.Done, IO_NO_INCREMENT, FALSE);
        }

        /* Pairs whose links are down are negotiated to a common speed here
         * with the passthru data path; the table is kept from now on. */

        SleepMilliseconds(1);
    }
}
