/*
 * management.cpp: the two driver-wide threads. The management thread owns
 * the polling table of the ports whose self-managed I/O runs and polls them
 * every millisecond (continuously in timestamping mode 1); the negotiation
 * thread keeps the table of passthru pairs.
 */
#include "passthru.h"

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

/* Rounds (about 1 ms each) a pair is left alone after its links came up,
 * before a lost link is negotiated again. */
#define NEGOTIATE_COUNTDOWN 200

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

/* Puts Port in the first free entry; returns its index. */
static ULONG PollingAdd(PPOLL_ENTRY Table, PFDO_DATA Port)
{
    for (ULONG i = 0; i < FL_MAX_PORTS; i++) {
        if (!Table[i].InUse) {
            Table[i].Port = Port;
            Table[i].Peer = NULL;
            Table[i].PeerIndex = NO_PEER;
            Table[i].InUse = 1;
            return i;
        }
    }
    /* Device add admits at most FL_MAX_PORTS ports, so a free entry
     * always exists. */
    NT_ASSERT(FALSE);
    return NO_PEER;
}

/* The first and the second port of a pair, the first function first. */
static VOID PairOrder(PFDO_DATA A, PFDO_DATA B, PFDO_DATA *First, PFDO_DATA *Second)
{
    *First = A->IsFirstFunction ? A : B;
    *Second = A->IsFirstFunction ? B : A;
}

static VOID PortAddToTable(PDRIVER_CONTEXT Context, PPOLL_ENTRY Table, PFDO_DATA Port)
{
    ULONG index = PollingAdd(Table, Port);
    if (index == NO_PEER) {
        return;
    }
    ULONG peer = NO_PEER;
    if (Port->PassthruEnabled) {
        for (ULONG i = 0; i < FL_MAX_PORTS; i++) {
            if (i != index && Table[i].InUse && Table[i].PeerIndex == NO_PEER &&
                PassthruPartners(Port, Table[i].Port)) {
                peer = i;
                break;
            }
        }
    }
    if (peer != NO_PEER) {
        Table[index].Peer = Table[peer].Port;
        Table[index].PeerIndex = peer;
        Table[peer].Peer = Port;
        Table[peer].PeerIndex = index;
        PFDO_DATA first, second;
        PairOrder(Port, Table[peer].Port, &first, &second);
        PostCommand(&Context->NegRing, Context->NegRingLock, FL_NEG_ADD_PAIR, first, second);
    }

    RxStart(Port);
    if (!Port->PassthruEnabled) {
        TxStart(Port);
    } else if (peer != NO_PEER) {
        PassthruPairStart(Port, Table[peer].Port);
        /* A pair keeps the poll spinning in timestamping mode 1 as an
         * instance would. */
        InterlockedIncrement(&Context->ActiveInstanceCount);
    }
    /* A passthru port without its partner receives but does not send. */
}

static VOID PortRemoveFromTable(PDRIVER_CONTEXT Context, PPOLL_ENTRY Table, PFDO_DATA Port)
{
    for (ULONG i = 0; i < FL_MAX_PORTS; i++) {
        if (!Table[i].InUse || Table[i].Port != Port) {
            continue;
        }
        ULONG peer = Table[i].PeerIndex;
        if (peer != NO_PEER) {
            PFDO_DATA first, second;
            PairOrder(Port, Table[peer].Port, &first, &second);
            PostCommand(&Context->NegRing, Context->NegRingLock, FL_NEG_REMOVE_PAIR, first, NULL);
            PassthruPairStop(Port, Table[peer].Port);
            InterlockedDecrement(&Context->ActiveInstanceCount);
            Table[peer].Peer = NULL;
            Table[peer].PeerIndex = NO_PEER;
        }
        Table[i].InUse = 0;
        Table[i].Port = NULL;
        Table[i].Peer = NULL;
        Table[i].PeerIndex = NO_PEER;
        return;
    }
}

/* The timestamp of this poll: nanoseconds since 1970 from one performance
 * counter read, or 0 with timestamping off. */
static ULONGLONG PollTimestamp(PDRIVER_CONTEXT Context)
{
    if (Context->TimestampingMode == 0) {
        return 0;
    }
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter = KeQueryPerformanceCounter(&frequency);
    return TimestampFromCounter(counter.QuadPart, frequency.QuadPart, Context->TimeBase);
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
                PortAddToTable(context, table, command.First);
                PollingBind(context);
                KeSetEvent(command.Done, IO_NO_INCREMENT, FALSE);
                portCount++;
                break;
            case FL_MGM_REMOVE_PORT:
                PollingUnbind(context);
                PortRemoveFromTable(context, table, command.First);
                PollingBind(context);
                KeSetEvent(command.Done, IO_NO_INCREMENT, FALSE);
                portCount--;
                break;
            default:
                KeSetEvent(command.Done, IO_NO_INCREMENT, FALSE);
                break;
            }
        }

        /* One timestamp serves every port of this poll, in table order. */
        ULONGLONG now = PollTimestamp(context);
        for (ULONG i = 0; i < FL_MAX_PORTS; i++) {
            if (!table[i].InUse) {
                continue;
            }
            PFDO_DATA port = table[i].Port;
            RxHarvest(port, now);
            if (!port->PassthruEnabled) {
                TxPump(port);
            } else if (table[i].Peer != NULL) {
                PassthruForward(port, table[i].Peer);
            }
        }

        /* Timestamping mode 1 stamps frames within one round of their
         * arrival: no sleep while anything could be waiting for them. */
        if (!(context->TimestampingMode == 1 && portCount != 0 &&
              ReadAcquire(&context->ActiveInstanceCount) != 0)) {
            SleepMilliseconds(1);
        }
    }
}

/* Brings each pair whose links are not both up to the fastest mode both
 * wires share, then leaves it alone for NEGOTIATE_COUNTDOWN rounds.
 * Returns whether a negotiation was tried. */
static BOOLEAN PairsNegotiate(PPAIR_ENTRY Pairs, PCOMMAND_RING Commands)
{
    BOOLEAN tried = FALSE;
    for (ULONG i = 0; i < FL_MAX_PORTS; i++) {
        PPAIR_ENTRY pair = &Pairs[i];
        if (!pair->InUse) {
            continue;
        }
        if (ReadUCharAcquire(&pair->First->LinkUp) && ReadUCharAcquire(&pair->Second->LinkUp)) {
            continue;
        }
        if (pair->Countdown != 0) {
            if (pair->Countdown % 50 == 0) {
                DbgPrint("WaitTimeoutForNewNegotiation = %u\n", pair->Countdown);
            }
            pair->Countdown--;
            continue;
        }
        ULONG modes = pair->First->AutonegotiationConfiguration | pair->Second->AutonegotiationConfiguration;
        if (modes == 0) {
            continue;
        }
        tried = TRUE;
        if (PairNegotiateFirst(pair->First, pair->Second, modes, Commands) != 0) {
            pair->Countdown = NEGOTIATE_COUNTDOWN;
        }
        /* A command that came in meanwhile is handled before the next
         * pair; this one is tried again next round. */
        if (CommandPending(Commands)) {
            break;
        }
    }
    return tried;
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
                        /* Out of the pair, the ports advertise nothing, as
                         * every passthru port does until it is paired. */
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

        if (!PairsNegotiate(pairs, &context->NegRing)) {
            SleepMilliseconds(1);
        }
    }
}
