/*
 * readers.cpp: the port's reader table. Entry 0 belongs to passthru,
 * entries 1 to 15 to instances; RxOldest is the oldest slot any active
 * entry still needs.
 */
#include "datapath.h"

ULONG ReaderOldestPosition(PFDO_DATA Fdo)
{
    ULONG oldest = ReadULongAcquire(&Fdo->RxOldest);
    ULONG best = 0;
    BOOLEAN found = FALSE;
    for (ULONG i = 0; i < Fdo->ReaderCount; i++) {
        PREADER_ENTRY entry = &Fdo->ReaderTable[i];
        if (!entry->Active) {
            continue;
        }
        /* Distance from RxOldest going forward: the smallest is the oldest. */
        ULONG distance = RingDistance(oldest, entry->Position, Fdo->RxSlots);
        if (!found || distance < best) {
            best = distance;
            found = TRUE;
        }
    }
    if (!found) {
        return ReadULongAcquire(&Fdo->RxWrite);
    }
    return RingAdvance(oldest, best, Fdo->RxSlots);
}

VOID ReaderDetach(PFDO_DATA Fdo, ULONG Index)
{
    WdfSpinLockAcquire(Fdo->ReaderLock);
    PREADER_ENTRY entry = &Fdo->ReaderTable[Index];
    /* Passthru forwarding keeps its entry inside a scan from one poll to
     * the next; a pair that dissolves ends it here, or the port's next ring
     * restart would wait for a scan that never ends. */
    if (entry->Scanning) {
        entry->Scanning = 0;
        Fdo->RxScansInProgress--;
    }
    if (entry->Active) {
        entry->Active = 0;
        Fdo->ActiveReaders--;
        WriteULongRelease(&Fdo->RxOldest, ReaderOldestPosition(Fdo));
    }
    WdfSpinLockRelease(Fdo->ReaderLock);
}
