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

/* Commands for the negotiation thread that its ring could not take yet,
 * oldest first. The management thread posts them without waiting: that
 * thread answers between PHY accesses and polls of up to 10 ms, while a
 * receive ring holds about 3 ms of line rate. A pair is added once and
 * removed once (whose poster waits for it) per start of one of its ports,
 * so twice the ports bound what can be outstanding. */
#define DEFERRED_COUNT (2 * FL_MAX_PORTS)

typedef struct _DEFERRED {
    COMMAND Entries[DEFERRED_COUNT];
    ULONG Oldest;
    ULONG Count;
} DEFERRED, *PDEFERRED;

/* Hands the oldest deferred commands to the negotiation ring while it takes
 * them. */
static VOID DeferredFlush(PDRIVER_CONTEXT Context, PDEFERRED Deferred)
{
    while (Deferred->Count != 0) {
        PCOMMAND c = &Deferred->Entries[Deferred->Oldest];
        if (!TryPostCommand(&Context->NegRing, Context->NegRingLock, c->Command, c->First, c->Second, c->Done)) {
            return;
        }
        Deferred->Oldest = (Deferred->Oldest + 1) % DEFERRED_COUNT;
        Deferred->Count--;
    }
}

/* Queues a command for the negotiation thread behind those still waiting
 * and posts what the ring takes; Done (may be NULL) is set once that thread
 * has handled it. */
static VOID NegotiationPost(PDRIVER_CONTEXT Context, PDEFERRED Deferred, ULONG Command, PFDO_DATA First,
                            PFDO_DATA Second, PKEVENT Done)
{
    /* Never full (see DEFERRED_COUNT); were it so, the order of the
     * commands matters more than the wait. */
    while (Deferred->Count == DEFERRED_COUNT) {
        DeferredFlush(Context, Deferred);
        SleepMilliseconds(1);
    }
    PCOMMAND c = &Deferred->Entries[(Deferred->Oldest + Deferred->Count) % DEFERRED_COUNT];
    c->Command = Command;
    c->First = First;
    c->Second = Second;
    c->Done = Done;
    Deferred->Count++;
    DeferredFlush(Context, Deferred);
}

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

/* The thread polls on the highest-numbered processor at MgmThreadPriority,
 * above the instance threads; while it handles a command it may run
 * anywhere at the priority it was created with, as the poster does. */
static VOID PollingBind(PDRIVER_CONTEXT Context)
{
    Context->SavedPriority = KeQueryPriorityThread(KeGetCurrentThread());
    KeSetPriorityThread(KeGetCurrentThread(), (KPRIORITY)Context->MgmThreadPriority);
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

static VOID PortAddToTable(PDRIVER_CONTEXT Context, PDEFERRED Deferred, PPOLL_ENTRY Table, PFDO_DATA Port)
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
        NegotiationPost(Context, Deferred, FL_NEG_ADD_PAIR, first, second, NULL);
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

/* Returns whether Done went to the negotiation thread, which sets it once it
 * no longer touches the pair's ports; otherwise the caller sets it. */
static BOOLEAN PortRemoveFromTable(PDRIVER_CONTEXT Context, PDEFERRED Deferred, PPOLL_ENTRY Table, PFDO_DATA Port,
                                   PKEVENT Done)
{
    BOOLEAN handed = FALSE;
    for (ULONG i = 0; i < FL_MAX_PORTS; i++) {
        if (!Table[i].InUse || Table[i].Port != Port) {
            continue;
        }
        /* What the statistics registers counted since the last fold; the
         * next hardware start clears them. */
        CountersAccumulate(Port, NULL);
        ULONG peer = Table[i].PeerIndex;
        if (peer != NO_PEER) {
            PFDO_DATA first, second;
            PairOrder(Port, Table[peer].Port, &first, &second);
            NegotiationPost(Context, Deferred, FL_NEG_REMOVE_PAIR, first, NULL, Done);
            handed = TRUE;
            PassthruPairStop(Port, Table[peer].Port);
            InterlockedDecrement(&Context->ActiveInstanceCount);
            Table[peer].Peer = NULL;
            Table[peer].PeerIndex = NO_PEER;
        }
        Table[i].InUse = 0;
        Table[i].Port = NULL;
        Table[i].Peer = NULL;
        Table[i].PeerIndex = NO_PEER;
        break;
    }
    return handed;
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

/* The statistics registers are 32 bits wide and stop at their top: at
 * 64-byte line rate the frame counters get there in about 48 minutes. Folded
 * into the 64-bit counters this often, they never do, however long nobody
 * asks. */
#define FOLD_INTERVAL_MS 500

VOID ManagementThread(PVOID StartContext)
{
    PDRIVER_CONTEXT context = (PDRIVER_CONTEXT)StartContext;
    POLL_ENTRY table[FL_MAX_PORTS];
    ULONG portCount = 0;
    DEFERRED deferred;
    RtlZeroMemory(&deferred, sizeof(deferred));

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
    const LONGLONG foldInterval = frequency.QuadPart * FOLD_INTERVAL_MS / 1000;
    LONGLONG nextFold = counter.QuadPart + foldInterval;

    for (;;) {
        DeferredFlush(context, &deferred);

        COMMAND command;
        if (TakeCommand(&context->MgmRing, &command)) {
            switch (command.Command) {
            case FL_MGM_STOP:
                KeSetEvent(command.Done, IO_NO_INCREMENT, FALSE);
                PollingUnbind(context);
                return;
            case FL_MGM_ADD_PORT:
                PollingUnbind(context);
                PortAddToTable(context, &deferred, table, command.First);
                PollingBind(context);
                KeSetEvent(command.Done, IO_NO_INCREMENT, FALSE);
                portCount++;
                break;
            case FL_MGM_REMOVE_PORT:
                PollingUnbind(context);
                if (!PortRemoveFromTable(context, &deferred, table, command.First, command.Done)) {
                    KeSetEvent(command.Done, IO_NO_INCREMENT, FALSE);
                }
                PollingBind(context);
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

        LONGLONG counterNow = KeQueryPerformanceCounter(NULL).QuadPart;
        if (counterNow - nextFold >= 0) {
            nextFold = counterNow + foldInterval;
            for (ULONG i = 0; i < FL_MAX_PORTS; i++) {
                if (table[i].InUse) {
                    CountersAccumulate(table[i].Port, NULL);
                }
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
        if (LinkStateUp(LinkStateRead(pair->First)) && LinkStateUp(LinkStateRead(pair->Second))) {
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
            /* The management thread posts pairs without waiting. */
            if (command.Done != NULL) {
                KeSetEvent(command.Done, IO_NO_INCREMENT, FALSE);
            }
        }

        if (!PairsNegotiate(pairs, &context->NegRing)) {
            SleepMilliseconds(1);
        }
    }
}
