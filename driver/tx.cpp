/*
 * tx.cpp: transmit slots and the transmit descriptor ring.
 *
 * Writes copy frames into slots from TxProducer on; the management thread
 * posts filled slots to the controller one descriptor per slot (TxPump)
 * and gives slots back once the controller reports their descriptors done.
 *
 * Ordering. TxWrite fills a record's slots, then publishes TxProducer with
 * release; TxPump loads it with acquire before it copies those slot images.
 * TxPump publishes TxReleased with release after the controller reported
 * the slots done (status loaded with acquire); TxWrite loads it with
 * acquire before it reuses the slots.
 *
 * Two writes never fill slots at the same time: the port's write queue is
 * sequential, and a write never waits (it takes what fits and completes),
 * so the queue costs no more than a lock would and needs none.
 */
#include "datapath.h"

#include "hw/controller.h"

/* Bytes of frame data per slot: the descriptor's length field is 16 bits. */
static ULONG TxPieceSize(PFDO_DATA Fdo)
{
    return Fdo->TxSlotSize < 0xFFFFu ? Fdo->TxSlotSize : 0xFFFFu;
}

/* Slots a frame may take at most: one slot always stays free, and the
 * controller sends a frame only once all its descriptors are posted, with
 * one descriptor always empty. A frame needing more could never be sent. */
static ULONG TxFrameSlotLimit(PFDO_DATA Fdo)
{
    ULONG ring = Fdo->TxSlots < Fdo->TxDescriptors ? Fdo->TxSlots : Fdo->TxDescriptors;
    return ring - 1;
}

/* A write may be filling slots with the old positions when the transmit
 * positions restart; TxStart holds new writes off and waits for the ones
 * in progress. Both sides use full barriers (interlocked), so that a write
 * either sees the restart coming or is seen by it. */
static BOOLEAN TxWriteEnter(PFDO_DATA Fdo)
{
    InterlockedIncrement(&Fdo->TxWritesInProgress);
    if (InterlockedCompareExchange(&Fdo->TxRestarting, 0, 0) == 0) {
        return TRUE;
    }
    InterlockedDecrement(&Fdo->TxWritesInProgress);
    return FALSE;
}

static VOID TxWriteLeave(PFDO_DATA Fdo)
{
    InterlockedDecrement(&Fdo->TxWritesInProgress);
}

VOID TxStart(PFDO_DATA Fdo)
{
    InterlockedExchange(&Fdo->TxRestarting, 1);
    while (InterlockedCompareExchange(&Fdo->TxWritesInProgress, 0, 0) != 0) {
        SleepMilliseconds(1);
    }
    WriteULongRelease(&Fdo->TxProducer, 0);
    WriteULongRelease(&Fdo->TxReleased, 0);
    Fdo->TxTail = 0;
    Fdo->TxClean = 0;
    InterlockedExchange(&Fdo->TxRestarting, 0);
    RegWrite(Fdo, E1000_TCTL, RegRead(Fdo, E1000_TCTL) | E1000_TCTL_EN);
}

ULONG TxFreeSlots(PFDO_DATA Fdo)
{
    ULONG producer = ReadULongAcquire(&Fdo->TxProducer);
    ULONG free = RingDistance(producer, ReadULongAcquire(&Fdo->TxReleased), Fdo->TxSlots);
    return free == 0 ? Fdo->TxSlots : free;
}

/* Copies Length frame bytes into slots from Producer on; returns the slot
 * after the last. Only the last slot ends the packet. */
static ULONG TxFrameCopy(PFDO_DATA Fdo, ULONG Producer, const UCHAR *Data, ULONG Length, BOOLEAN InsertFcs)
{
    const ULONG piece = TxPieceSize(Fdo);
    for (ULONG offset = 0; offset < Length; offset += piece) {
        PTX_SLOT slot = &Fdo->TxSlotArray[Producer];
        ULONG bytes = Length - offset < piece ? Length - offset : piece;
        RtlCopyMemory(slot->Buffer, Data + offset, bytes);
        slot->Image.Length = (USHORT)bytes;
        slot->Image.Command = 0;
        if (offset + bytes == Length) {
            slot->Image.Command = (UCHAR)(TXD_CMD_EOP | (InsertFcs ? TXD_CMD_IFCS : 0));
        }
        Producer = RingAdvance(Producer, 1, Fdo->TxSlots);
    }
    return Producer;
}

/* Takes whole records from Buffer while they fit; returns the bytes taken. */
static ULONG TxTakeRecords(PFILE_OBJECT_DATA Instance, const UCHAR *Buffer, ULONG Length)
{
    PFDO_DATA port = Instance->Port;
    const ULONG piece = TxPieceSize(port);
    ULONG free = TxFreeSlots(port);
    ULONG producer = ReadULongNoFence(&port->TxProducer); /* written only here */
    ULONG offset = 0;

    while (free > 1 && Length - offset >= sizeof(PACKET_RECORD_HEADER)) {
        /* The caller may change its buffer while we read it: every field is
         * read once and the lengths checked against what is really there. */
        PACKET_RECORD_HEADER header;
        RtlCopyMemory(&header, Buffer + offset, sizeof(header));
        ULONG frame = header.WireLength;
        ULONG padded = (frame + 7u) & ~7u;
        if (Length - offset - sizeof(header) < padded) {
            break; /* the buffer ends inside this record */
        }
        if (frame == 0) {
            /* Nothing to send; taking it keeps the caller from offering it
             * again and again. */
            offset += sizeof(header);
            continue;
        }
        ULONG needed = (frame + piece - 1) / piece;
        if (free - 1 < needed || needed > TxFrameSlotLimit(port)) {
            break; /* one slot always stays free; a frame that can never be
                    * sent is not taken, so that it cannot stop the ring */
        }
        BOOLEAN insertFcs = (header.Flags & PACKET_FLAG_FCS_INCLUDED) == 0;
        producer = TxFrameCopy(port, producer, Buffer + offset + sizeof(header), frame, insertFcs);
        WriteULongRelease(&port->TxProducer, producer);

        InterlockedIncrement64((LONG64 volatile *)&Instance->TxPackets);
        InterlockedAdd64((LONG64 volatile *)&Instance->TxBytes, (LONG64)frame + (insertFcs ? 4 : 0));
        offset += sizeof(header) + padded;
        free -= needed;
    }
    return offset;
}

/* Maps the write's buffer and takes its records; completes the request. */
static VOID TxWriteTake(PFILE_OBJECT_DATA Instance, WDFREQUEST Request, size_t Length)
{
    /* No room: nothing taken, and no buffer to map. */
    if (TxFreeSlots(Instance->Port) <= 1) {
        WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, 0);
        return;
    }
    PMDL mdl;
    NTSTATUS status = WdfRequestRetrieveInputWdmMdl(Request, &mdl);
    if (!NT_SUCCESS(status)) {
        WdfRequestCompleteWithInformation(Request, status, 0);
        return;
    }
    const UCHAR *buffer =
        (const UCHAR *)MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority | MdlMappingNoExecute);
    if (buffer == NULL) {
        WdfRequestCompleteWithInformation(Request, STATUS_INSUFFICIENT_RESOURCES, 0);
        return;
    }
    /* A record is never read past the mapped buffer, whatever length the
     * request claims. */
    ULONG length = Length < MmGetMdlByteCount(mdl) ? (ULONG)Length : MmGetMdlByteCount(mdl);
    WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, TxTakeRecords(Instance, buffer, length));
}

VOID TxWrite(PFILE_OBJECT_DATA Instance, WDFREQUEST Request, size_t Length)
{
    if (!ReadUCharAcquire(&Instance->TransmissionEnabled)) {
        WdfRequestCompleteWithInformation(Request, STATUS_INVALID_DEVICE_REQUEST, 0);
        return;
    }
    /* Too short for one record, or the positions restarting: nothing
     * taken. */
    PFDO_DATA port = Instance->Port;
    if (Length < sizeof(PACKET_RECORD_HEADER) || !TxWriteEnter(port)) {
        WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, 0);
        return;
    }
    TxWriteTake(Instance, Request, Length);
    TxWriteLeave(port);
}

VOID TxPump(PFDO_DATA Fdo)
{
    const ULONG descriptors = Fdo->TxDescriptors;
    const ULONG slots = Fdo->TxSlots;

    /* Reclaim: every done descriptor gives its slot back. */
    ULONG clean = Fdo->TxClean;
    ULONG done = 0;
    while (clean != Fdo->TxTail) {
        PTX_DESCRIPTOR descriptor = &Fdo->TxRing[clean];
        UCHAR status = ReadUCharAcquire(&descriptor->Status);
        if ((status & TXD_STAT_MASK) == 0) {
            break;
        }
        descriptor->Status = (UCHAR)(status & ~TXD_STAT_MASK);
        done++;
        clean = RingAdvance(clean, 1, descriptors);
    }
    ULONG released = RingAdvance(ReadULongNoFence(&Fdo->TxReleased), done, slots);
    WriteULongRelease(&Fdo->TxReleased, released);
    Fdo->TxClean = clean;

    /* Post: slots filled since the last post, as far as descriptors allow
     * (one descriptor always stays empty). */
    ULONG inFlight = RingDistance(clean, Fdo->TxTail, descriptors);
    ULONG waiting = RingDistance(released, ReadULongAcquire(&Fdo->TxProducer), slots) - inFlight;
    ULONG freeDescriptors = RingDistance(Fdo->TxTail, clean, descriptors);
    freeDescriptors = (freeDescriptors == 0 ? descriptors : freeDescriptors) - 1;
    ULONG post = waiting < freeDescriptors ? waiting : freeDescriptors;

    ULONG slot = RingAdvance(released, inFlight, slots);
    ULONG tail = Fdo->TxTail;
    for (ULONG k = 0; k < post; k++) {
        PTX_DESCRIPTOR descriptor = &Fdo->TxRing[tail];
        RtlCopyMemory(descriptor, &Fdo->TxSlotArray[slot].Image, sizeof(TX_DESCRIPTOR));
        descriptor->Status = (UCHAR)(descriptor->Status & ~TXD_STAT_MASK);
        descriptor->Command = (UCHAR)((Fdo->TxSlotArray[slot].Image.Command & (TXD_CMD_EOP | TXD_CMD_IFCS)) |
                                      TXD_CMD_RS);
        tail = RingAdvance(tail, 1, descriptors);
        slot = RingAdvance(slot, 1, slots);
    }
    if (tail != Fdo->TxTail) {
        Fdo->TxTail = tail;
        /* The register write orders the descriptor writes before the
         * controller fetches them. */
        RegWrite(Fdo, E1000_TDT, tail);
    }
}
