/*
 * rx.cpp: the receive slot ring and its readers.
 *
 * The controller's descriptor ring is small; the slot ring behind it is
 * large. The management thread moves completed descriptors into slots
 * (RxHarvest) and hands free slots back to the controller; every reader
 * (instance, or passthru in entry 0) walks the slots from its own position
 * up to RxWrite, and the slots stay until the oldest reader has passed
 * them (RxOldest).
 *
 * Ordering. RxWrite is published with release after the slot entries it
 * covers are written, and readers load it with acquire before they read
 * those entries. RxOldest is published with release (under ReaderLock)
 * after a reader has finished copying the slots it gives up, and the
 * harvest loads it with acquire before it hands those slots back to the
 * controller. The controller writes a descriptor's status byte last with
 * release; it is loaded here with acquire before the descriptor is copied.
 */
#include "datapath.h"

#include <atomic>

#include "hw/controller.h"

/* ------------------------------------------------------------------ */
/* Shared data read without a lock                                     */

static USHORT SnapLengthRead(PFILE_OBJECT_DATA Instance)
{
    /* Set by the control queue while the instance thread reads it; any
     * value, old or new, is a valid snap length for the next frame. */
    return std::atomic_ref<USHORT>(const_cast<USHORT &>(Instance->SnapLength)).load(std::memory_order_relaxed);
}

static UCHAR DescriptorStatusAcquire(PRX_DESCRIPTOR Descriptor)
{
    return ReadUCharAcquire(&Descriptor->Status);
}

/* The harvest time is three 32-bit halves. The writer stores the second
 * high half, then the low half, then the first high half, each with
 * release; the reader loads the first high half, the low half and the
 * second high half with acquire, in the opposite order. A reader that sees
 * both high halves agree has a low half of the same update: had the low
 * half been newer, the second high half loaded after it would be too, and
 * had it been older, the first high half loaded before it would be. */
static VOID HarvestTimePublish(PFDO_DATA Fdo, ULONGLONG Time)
{
    WriteULongRelease(&Fdo->HarvestTimeHigh2, (ULONG)(Time >> 32));
    WriteULongRelease(&Fdo->HarvestTimeLow, (ULONG)Time);
    WriteULongRelease(&Fdo->HarvestTimeHigh1, (ULONG)(Time >> 32));
}

ULONGLONG HarvestTimeRead(PFDO_DATA Fdo)
{
    for (;;) {
        ULONG high1 = ReadULongAcquire(&Fdo->HarvestTimeHigh1);
        ULONG low = ReadULongAcquire(&Fdo->HarvestTimeLow);
        ULONG high2 = ReadULongAcquire(&Fdo->HarvestTimeHigh2);
        if (high1 == high2) {
            return ((ULONGLONG)high1 << 32) | low;
        }
    }
}

/* ------------------------------------------------------------------ */
/* Frames in the slot ring                                             */

typedef struct _RX_FRAME {
    ULONG First;   /* first slot */
    ULONG Next;    /* slot after the end-of-packet slot */
    ULONG Length;  /* bytes over all its slots, FCS included */
    UCHAR Errors;  /* descriptor error bits of all its slots */
} RX_FRAME, *PRX_FRAME;

/* The frame starting at slot First, if its end-of-packet slot comes before
 * End. Slots between First and End are harvested and stay put while the
 * caller holds its scan. */
static BOOLEAN RxFrameAt(PFDO_DATA Fdo, ULONG First, ULONG End, PRX_FRAME Frame)
{
    Frame->First = First;
    Frame->Length = 0;
    Frame->Errors = 0;
    for (ULONG s = First; s != End;) {
        PRX_SLOT slot = &Fdo->RxSlotArray[s];
        Frame->Length += slot->Image.Length;
        Frame->Errors |= slot->Image.Errors;
        s = RingAdvance(s, 1, Fdo->RxSlots);
        if (slot->Image.Status & RXD_STAT_EOP) {
            Frame->Next = s;
            return TRUE;
        }
    }
    return FALSE;
}

/* The record's error bits for a frame's descriptor error byte, and whether
 * the instance's filter takes the frame. An error byte that carries none of
 * the four receive errors (checksum results only) is never delivered. */
static BOOLEAN RxFrameWanted(UCHAR DescriptorErrors, ULONG Filter, PULONG Errors)
{
    *Errors = 0;
    if (DescriptorErrors == 0) {
        return (Filter & ERROR_FILTER_GOOD) != 0;
    }
    if (DescriptorErrors & RXD_ERR_CE) *Errors |= PACKET_ERROR_CRC;
    if (DescriptorErrors & RXD_ERR_SE) *Errors |= PACKET_ERROR_SYMBOL;
    if (DescriptorErrors & RXD_ERR_SEQ) *Errors |= PACKET_ERROR_SEQUENCE;
    if (DescriptorErrors & RXD_ERR_RXE) *Errors |= PACKET_ERROR_DATA;
    BOOLEAN crc = (*Errors & PACKET_ERROR_CRC) && (Filter & ERROR_FILTER_CRC);
    BOOLEAN other = (*Errors & ~PACKET_ERROR_CRC) && (Filter & ERROR_FILTER_OTHER);
    return crc || other;
}

/* Bytes of the captured part. Lengths past 0xFFF8 would wrap the 16-bit
 * record size rule readers use, so a record never carries more. */
static ULONG RxCaptured(ULONG FrameLength, USHORT SnapLength)
{
    ULONG captured = FrameLength < SnapLength ? FrameLength : SnapLength;
    return captured < 0xFFF8u ? captured : 0xFFF8u;
}

/* The threshold walk of a reader starts over at its position. ReaderLock
 * held, or the entry's own scan. */
static VOID ReaderScanRestart(PREADER_ENTRY Entry)
{
    Entry->ScanEnd = Entry->Position;
    Entry->ScanBytes = 0;
}

/* ------------------------------------------------------------------ */
/* Start and harvest                                                   */

/* Instance threads may be copying from the old ring with its positions
 * when it restarts; were the slots handed to the controller under them,
 * a record would carry old lengths and new bytes. Scans that begin from
 * now on wait for the restart to end, and the restart goes on once the
 * scans in progress (one read's copy each; they never wait) have ended. */
static VOID RxReadersHoldOff(PFDO_DATA Fdo)
{
    WdfSpinLockAcquire(Fdo->ReaderLock);
    Fdo->RxRestarting = 1;
    while (Fdo->RxScansInProgress != 0) {
        WdfSpinLockRelease(Fdo->ReaderLock);
        SleepMilliseconds(1);
        WdfSpinLockAcquire(Fdo->ReaderLock);
    }
    WdfSpinLockRelease(Fdo->ReaderLock);
}

VOID RxStart(PFDO_DATA Fdo)
{
    RxReadersHoldOff(Fdo);
    for (ULONG d = 0; d < Fdo->RxDescriptors; d++) {
        RtlCopyMemory(&Fdo->RxRing[d], &Fdo->RxSlotArray[d].Image, sizeof(RX_DESCRIPTOR));
        Fdo->RxRing[d].Status = 0;
    }
    Fdo->RxRefill = 0;
    Fdo->RxNextCheck = 0;
    RegWrite(Fdo, E1000_RDT, Fdo->RxDescriptors - 1);
    RegWrite(Fdo, E1000_RDH, 0);

    /* Readers of instances that stay open across a restart keep nothing of
     * the old ring: they start again at slot 0 with the new one. The slot
     * behind slot 0 is marked never harvested, so that a reader attaching
     * to the new ring looks for no frame start in the old one. */
    WdfSpinLockAcquire(Fdo->ReaderLock);
    Fdo->RxSlotArray[Fdo->RxSlots - 1].Image.Status = 0;
    for (ULONG i = 0; i < Fdo->ReaderCount; i++) {
        if (Fdo->ReaderTable[i].Active) {
            Fdo->ReaderTable[i].Position = 0;
            ReaderScanRestart(&Fdo->ReaderTable[i]);
        }
    }
    WriteULongRelease(&Fdo->RxWrite, 0);
    WriteULongRelease(&Fdo->RxOldest, 0);
    Fdo->RxRestarting = 0;
    WdfSpinLockRelease(Fdo->ReaderLock);

    RegWrite(Fdo, E1000_RCTL, RegRead(Fdo, E1000_RCTL) | E1000_RCTL_EN);
}

/* Free slots between RxWrite and RxOldest; all of them when the two meet.
 * They never meet with a reader behind: the controller is always one
 * descriptor short of the slots it was given. */
static ULONG RxFreeSlots(PFDO_DATA Fdo, ULONG Write)
{
    ULONG free = RingDistance(Write, ReadULongAcquire(&Fdo->RxOldest), Fdo->RxSlots);
    return free == 0 ? Fdo->RxSlots : free;
}

VOID RxHarvest(PFDO_DATA Fdo, ULONGLONG Timestamp)
{
    const ULONG descriptors = Fdo->RxDescriptors;
    const ULONG slots = Fdo->RxSlots;
    ULONG write = ReadULongNoFence(&Fdo->RxWrite); /* written only here */
    ULONG check = Fdo->RxNextCheck;

    /* Descriptors the controller holds; it can complete all but the last. */
    ULONG held = RingDistance(check, Fdo->RxRefill, descriptors);
    if (held == 0) held = descriptors;

    /* Completed descriptors go to the slots from RxWrite on, in order,
     * all with this poll's timestamp. */
    for (ULONG n = 0; n < held && DescriptorStatusAcquire(&Fdo->RxRing[check]) != 0; n++) {
        PRX_SLOT slot = &Fdo->RxSlotArray[write];
        RtlCopyMemory(&slot->Image, &Fdo->RxRing[check], sizeof(RX_DESCRIPTOR));
        slot->Timestamp = Timestamp;
        check = RingAdvance(check, 1, descriptors);
        write = RingAdvance(write, 1, slots);
    }
    WriteULongRelease(&Fdo->RxWrite, write);
    Fdo->RxNextCheck = check;

    ULONG free = RxFreeSlots(Fdo, write);
    if (Fdo->PassthruEnabled && free < Fdo->PruneThresholdSlots) {
        RxTailPrune(Fdo);
        free = RxFreeSlots(Fdo, write);
    }

    held = RingDistance(check, Fdo->RxRefill, descriptors);
    if (held == 0) held = descriptors;
    ULONG slot = RingAdvance(write, held, slots);
    ULONG refill;
    if (free < descriptors) {
        /* Slot shortage: the controller gets only as many descriptors as
         * there are free slots. */
        refill = free > held ? free - held : 0;
        WdfSpinLockAcquire(Fdo->CountersLock);
        Fdo->PortCounters[FL_PORT_STAT_SLOT_SHORTAGE]++;
        WdfSpinLockRelease(Fdo->CountersLock);
    } else {
        refill = descriptors - held;
    }

    ULONG d = Fdo->RxRefill;
    for (ULONG k = 0; k < refill; k++) {
        RtlCopyMemory(&Fdo->RxRing[d], &Fdo->RxSlotArray[slot].Image, sizeof(RX_DESCRIPTOR));
        Fdo->RxRing[d].Status = 0;
        d = RingAdvance(d, 1, descriptors);
        slot = RingAdvance(slot, 1, slots);
    }
    if (d != Fdo->RxRefill) {
        Fdo->RxRefill = d;
        /* One descriptor short of the refill position: the register write
         * orders the descriptor writes before the controller reads them. */
        RegWrite(Fdo, E1000_RDT, d == 0 ? descriptors - 1 : d - 1);
    }

    HarvestTimePublish(Fdo, Timestamp);
}

/* ------------------------------------------------------------------ */
/* Tail pruning                                                        */

VOID RxTailPrune(PFDO_DATA Fdo)
{
    const ULONG slots = Fdo->RxSlots;
    WdfSpinLockAcquire(Fdo->ReaderLock);
    ULONG oldest = ReadULongNoFence(&Fdo->RxOldest); /* written under the lock only */
    ULONG write = ReadULongAcquire(&Fdo->RxWrite);
    if (Fdo->ActiveReaders < 2 || RxFreeSlots(Fdo, write) >= Fdo->PruneThresholdSlots) {
        WdfSpinLockRelease(Fdo->ReaderLock);
        return;
    }

    /* Where RxOldest would have to be for PruneThresholdSlots free slots,
     * moved back to just after an end of packet so that no reader is left
     * inside a frame. */
    ULONG target = RingAdvance(write, Fdo->PruneThresholdSlots, slots);
    while (target != oldest) {
        ULONG previous = RingAdvance(target, slots - 1, slots);
        if (Fdo->RxSlotArray[previous].Image.Status & RXD_STAT_EOP) {
            break;
        }
        target = previous;
    }

    /* Prunable readers behind the target jump to it; a reader inside a scan
     * (or the passthru reader) keeps its place and with it RxOldest. What a
     * reader loses is counted in frames, as the controller counts the ones
     * it misses: the two add up to the instance's dropped packets. A reader
     * always stands at the start of a frame and the target just after an
     * end of packet, so the end-of-packet slots passed are whole frames. */
    ULONG span = RingDistance(oldest, target, slots);
    ULONG keep = span;
    for (ULONG i = 0; i < Fdo->ReaderCount; i++) {
        PREADER_ENTRY entry = &Fdo->ReaderTable[i];
        if (!entry->Active) {
            continue;
        }
        ULONG behind = RingDistance(oldest, entry->Position, slots);
        if (behind >= span) {
            continue;
        }
        if (!entry->Prunable) {
            if (behind < keep) keep = behind;
            continue;
        }
        ULONGLONG dropped = 0;
        for (ULONG s = entry->Position; s != target; s = RingAdvance(s, 1, slots)) {
            if (Fdo->RxSlotArray[s].Image.Status & RXD_STAT_EOP) dropped++;
        }
        entry->Dropped += dropped;
        entry->Position = target;
        ReaderScanRestart(entry);
    }
    WriteULongRelease(&Fdo->RxOldest, RingAdvance(oldest, keep, slots));
    WdfSpinLockRelease(Fdo->ReaderLock);
}

/* ------------------------------------------------------------------ */
/* Reader table                                                        */

/* The start of the frame in progress at Write: a first reader must not
 * begin in the middle of a frame whose first slots were harvested before
 * it came. Walks back over harvested slots without end of packet, but
 * never into slots the controller may hold. */
static ULONG RxFrameStartBefore(PFDO_DATA Fdo, ULONG Write)
{
    const ULONG slots = Fdo->RxSlots;
    ULONG reach = slots > Fdo->RxDescriptors ? slots - Fdo->RxDescriptors - 1 : 0;
    ULONG start = Write;
    for (ULONG j = 0; j < reach; j++) {
        ULONG previous = RingAdvance(start, slots - 1, slots);
        UCHAR status = Fdo->RxSlotArray[previous].Image.Status;
        if (status == 0 || (status & RXD_STAT_EOP)) {
            return start;
        }
        start = previous;
    }
    /* No boundary within reach: start at the present and let the partial
     * frame through rather than read slots that may be rewritten. */
    return Write;
}

NTSTATUS ReaderAttach(PFDO_DATA Fdo, PULONG Index)
{
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    WdfSpinLockAcquire(Fdo->ReaderLock);
    if (Fdo->ActiveReaders == 0) {
        /* A first reader starts at the present: older data is dropped. */
        WriteULongRelease(&Fdo->RxOldest, RxFrameStartBefore(Fdo, ReadULongAcquire(&Fdo->RxWrite)));
    }
    for (ULONG i = 1; i < Fdo->ReaderCount; i++) {
        PREADER_ENTRY entry = &Fdo->ReaderTable[i];
        if (!entry->Active) {
            /* A later reader starts at the oldest data still held. */
            entry->Active = 1;
            entry->Prunable = 1;
            entry->Position = ReadULongNoFence(&Fdo->RxOldest);
            entry->Dropped = 0;
            ReaderScanRestart(entry);
            Fdo->ActiveReaders++;
            *Index = i;
            status = STATUS_SUCCESS;
            break;
        }
    }
    WdfSpinLockRelease(Fdo->ReaderLock);
    return status;
}

VOID ReaderAttachPassthru(PFDO_DATA Fdo)
{
    WdfSpinLockAcquire(Fdo->ReaderLock);
    PREADER_ENTRY entry = &Fdo->ReaderTable[0];
    if (!entry->Active) {
        if (Fdo->ActiveReaders == 0) {
            WriteULongRelease(&Fdo->RxOldest, RxFrameStartBefore(Fdo, ReadULongAcquire(&Fdo->RxWrite)));
        }
        entry->Active = 1;
        entry->Prunable = 0;
        entry->Position = ReadULongNoFence(&Fdo->RxOldest);
        entry->Dropped = 0;
        Fdo->ActiveReaders++;
    }
    WdfSpinLockRelease(Fdo->ReaderLock);
}

VOID ReaderBeginScan(PFDO_DATA Fdo, ULONG Index, PULONG Position, PULONG Write)
{
    WdfSpinLockAcquire(Fdo->ReaderLock);
    PREADER_ENTRY entry = &Fdo->ReaderTable[Index];
    entry->Prunable = 0;
    /* The ring starts over: its positions are read once it has. */
    while (Fdo->RxRestarting) {
        WdfSpinLockRelease(Fdo->ReaderLock);
        SleepMilliseconds(1);
        WdfSpinLockAcquire(Fdo->ReaderLock);
    }
    entry->Scanning = 1;
    Fdo->RxScansInProgress++;
    *Position = entry->Position;
    *Write = ReadULongAcquire(&Fdo->RxWrite);
    WdfSpinLockRelease(Fdo->ReaderLock);
}

VOID ReaderEndScan(PFDO_DATA Fdo, ULONG Index, ULONG Position, UCHAR Prunable)
{
    WdfSpinLockAcquire(Fdo->ReaderLock);
    PREADER_ENTRY entry = &Fdo->ReaderTable[Index];
    ULONG oldest = ReadULongNoFence(&Fdo->RxOldest);
    /* A position outside [RxOldest, RxWrite] belongs to a ring that
     * restarted during the scan: the reader starts over with the new one. */
    ULONG write = ReadULongAcquire(&Fdo->RxWrite);
    BOOLEAN outside = RingDistance(oldest, Position, Fdo->RxSlots) > RingDistance(oldest, write, Fdo->RxSlots);
    if (outside) {
        Position = oldest;
    }
    if (entry->Scanning) {
        entry->Scanning = 0;
        Fdo->RxScansInProgress--;
    }
    BOOLEAN heldOldest = entry->Position == oldest;
    entry->Prunable = Prunable;
    entry->Position = Position;
    if (outside) {
        ReaderScanRestart(entry);
    }
    if (heldOldest && entry->Active) {
        WriteULongRelease(&Fdo->RxOldest, ReaderOldestPosition(Fdo));
    }
    WdfSpinLockRelease(Fdo->ReaderLock);
}

/* ------------------------------------------------------------------ */
/* Reads                                                               */

/* Whether more than Threshold bytes of records wait for this reader, at
 * the snap length, whatever the error filter would keep. The walk goes on
 * where the last check of this reader stopped (its entry's ScanEnd), so
 * that every frame is walked once however often the check runs before the
 * read is due. */
static BOOLEAN ReadThresholdExceeded(PFILE_OBJECT_DATA Instance)
{
    PFDO_DATA port = Instance->Port;
    ULONG threshold = ReadULongNoFence(&Instance->ReadThreshold);
    USHORT snap = SnapLengthRead(Instance);
    ULONG position, write;
    ReaderBeginScan(port, Instance->ReaderIndex, &position, &write);
    /* The entry's walk is ours while the scan lasts: pruning passes over a
     * reader inside a scan, and a restart waits for it. */
    PREADER_ENTRY entry = &port->ReaderTable[Instance->ReaderIndex];
    /* A walk at another snap length, or one that no longer fits between
     * the reader and RxWrite, counts again. */
    if (entry->ScanSnap != snap ||
        RingDistance(position, entry->ScanEnd, port->RxSlots) > RingDistance(position, write, port->RxSlots)) {
        ReaderScanRestart(entry);
        entry->ScanSnap = snap;
    }
    ULONGLONG waiting = entry->ScanBytes;
    ULONG s = entry->ScanEnd;
    RX_FRAME frame;
    while (waiting <= threshold && RxFrameAt(port, s, write, &frame)) {
        waiting += PacketRecordSize(RxCaptured(frame.Length, snap));
        s = frame.Next;
    }
    entry->ScanEnd = s;
    entry->ScanBytes = waiting;
    ReaderEndScan(port, Instance->ReaderIndex, position, 1);
    return waiting > threshold;
}

VOID ReadCheck(WDFFILEOBJECT File, PFILE_OBJECT_DATA Instance)
{
    LARGE_INTEGER now;
    KeQuerySystemTimePrecise(&now);
    LONGLONG timeout = (LONGLONG)ReadULongNoFence(&Instance->ReadTimeout) * 10000;

    /* A system time that went backwards makes the read due at once rather
     * than holding it until the clock catches up. */
    BOOLEAN due = now.QuadPart < Instance->LastCompletion || now.QuadPart - Instance->LastCompletion > timeout;
    if (!due && ReadThresholdExceeded(Instance)) {
        due = TRUE;
        PKEVENT event = (PKEVENT)InterlockedCompareExchangePointer((PVOID volatile *)&Instance->ReceiveEvent, NULL, NULL);
        if (event != NULL) {
            KeSetEvent(event, IO_NO_INCREMENT, FALSE);
        }
    }
    if (!due) {
        return;
    }

    /* Without a pending read nothing changes: the next poll finds the read
     * due again. */
    WDFREQUEST request;
    if (!NT_SUCCESS(WdfIoQueueRetrieveRequestByFileObject(Instance->Port->ReadQueue, File, &request))) {
        return;
    }
    WDF_REQUEST_PARAMETERS parameters;
    WDF_REQUEST_PARAMETERS_INIT(&parameters);
    WdfRequestGetParameters(request, &parameters);
    ReadComplete(Instance, request, parameters.Parameters.Read.Length);
    Instance->LastCompletion = now.QuadPart;
}

/* Copies the captured bytes of Frame into Out. */
static VOID RxFrameCopy(PFDO_DATA Fdo, PRX_FRAME Frame, PUCHAR Out, ULONG Captured)
{
    ULONG copied = 0;
    for (ULONG s = Frame->First; copied < Captured; s = RingAdvance(s, 1, Fdo->RxSlots)) {
        PRX_SLOT slot = &Fdo->RxSlotArray[s];
        ULONG piece = slot->Image.Length;
        if (piece > Captured - copied) piece = Captured - copied;
        RtlCopyMemory(Out + copied, slot->Buffer, piece);
        copied += piece;
    }
}

/* Writes the read header and as many whole records as fit into Buffer
 * (at least 16 bytes); returns the bytes written. */
static ULONG ReadFill(PFILE_OBJECT_DATA Instance, PUCHAR Buffer, ULONG Length)
{
    PFDO_DATA port = Instance->Port;
    ULONG filter = ReadULongNoFence(&Instance->ErrorFilter);
    USHORT snap = SnapLengthRead(Instance);
    FL_READ_HEADER header = {0, 0};
    ULONG used = sizeof(FL_READ_HEADER);

    ULONG position, write;
    ReaderBeginScan(port, Instance->ReaderIndex, &position, &write);
    RX_FRAME frame;
    ULONG next = position;
    ULONGLONG consumed = 0; /* record bytes of every frame passed, kept or not */
    while (RxFrameAt(port, next, write, &frame)) {
        ULONG errors;
        ULONG captured = RxCaptured(frame.Length, snap);
        ULONG size = PacketRecordSize(captured);
        if (RxFrameWanted(frame.Errors, filter, &errors)) {
            if (Length - used < size) {
                break; /* stays for the next read */
            }
            PACKET_RECORD_HEADER record;
            record.Timestamp = port->RxSlotArray[frame.First].Timestamp;
            record.Flags = PACKET_FLAG_FCS_INCLUDED;
            record.WireLength = (USHORT)(frame.Length < 0xFFFFu ? frame.Length : 0xFFFFu);
            record.CapturedLength = (USHORT)captured;
            record.Errors = errors;
            /* Reserved is not ours to write. */
            RtlCopyMemory(Buffer + used, &record, FIELD_OFFSET(PACKET_RECORD_HEADER, Reserved));
            PUCHAR data = Buffer + used + sizeof(PACKET_RECORD_HEADER);
            RxFrameCopy(port, &frame, data, captured);
            /* The padding would otherwise carry whatever the buffer held. */
            RtlZeroMemory(data + captured, size - sizeof(PACKET_RECORD_HEADER) - captured);
            used += size;
            header.LastTimestamp = record.Timestamp;
        }
        consumed += size;
        next = frame.Next;
    }
    /* The threshold walk keeps what it counted past the frames taken here. */
    PREADER_ENTRY entry = &port->ReaderTable[Instance->ReaderIndex];
    if (entry->ScanSnap == snap &&
        RingDistance(position, entry->ScanEnd, port->RxSlots) >= RingDistance(position, next, port->RxSlots)) {
        entry->ScanBytes -= consumed;
    } else {
        entry->ScanEnd = next;
        entry->ScanBytes = 0;
        entry->ScanSnap = snap;
    }
    ReaderEndScan(port, Instance->ReaderIndex, next, 1);

    header.HarvestTime = HarvestTimeRead(port);
    RtlCopyMemory(Buffer, &header, sizeof(header));
    return used;
}

VOID ReadComplete(PFILE_OBJECT_DATA Instance, WDFREQUEST Request, size_t Length)
{
    if (!ReadUCharAcquire(&Instance->ReceptionEnabled)) {
        WdfRequestCompleteWithInformation(Request, STATUS_INVALID_DEVICE_REQUEST, 0);
        return;
    }
    if (Length < sizeof(FL_READ_HEADER)) {
        WdfRequestCompleteWithInformation(Request, STATUS_BUFFER_TOO_SMALL, 0);
        return;
    }
    PMDL mdl;
    NTSTATUS status = WdfRequestRetrieveOutputWdmMdl(Request, &mdl);
    if (!NT_SUCCESS(status)) {
        WdfRequestCompleteWithInformation(Request, status, 0);
        return;
    }
    PUCHAR buffer = (PUCHAR)MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority | MdlMappingNoExecute);
    if (buffer == NULL) {
        WdfRequestCompleteWithInformation(Request, STATUS_INSUFFICIENT_RESOURCES, 0);
        return;
    }
    /* Never past the mapped buffer, whatever length the request claims. */
    ULONG length = Length < MmGetMdlByteCount(mdl) ? (ULONG)Length : MmGetMdlByteCount(mdl);
    if (length < sizeof(FL_READ_HEADER)) {
        WdfRequestCompleteWithInformation(Request, STATUS_BUFFER_TOO_SMALL, 0);
        return;
    }
    WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, ReadFill(Instance, buffer, length));
}
