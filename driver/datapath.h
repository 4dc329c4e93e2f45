/*
 * datapath.h: the receive slot ring with its readers, and the transmit
 * slots with the transmit ring.
 *
 * Who runs what:
 * - the management thread: RxStart, RxHarvest (and RxTailPrune from it),
 *   TxStart, TxPump. It is the only thread that touches the descriptor
 *   rings, RxRefill, RxNextCheck, TxTail and TxClean, and the only writer
 *   of RxWrite, TxReleased and the harvest time.
 * - an instance thread: ReadCheck and ReadComplete for its own handle,
 *   TxFreeSlots.
 * - the port's write queue: TxWrite, the only writer of TxProducer. The
 *   queue is sequential, so two instances' writes never fill slots at the
 *   same time.
 * - the control queue: ReaderAttach when reception is enabled, HarvestTimeRead.
 * The reader table and RxOldest change only under ReaderLock.
 */
#ifndef FL_DRIVER_DATAPATH_H
#define FL_DRIVER_DATAPATH_H

#include "driver.h"

/* One packet record in a read or write buffer: this header, then the
 * packet bytes padded to a multiple of 8. Little-endian, 8-byte aligned
 * within the buffer. */
typedef struct _PACKET_RECORD_HEADER {
    ULONGLONG Timestamp;  /* ns since 1970 of the poll that harvested the frame */
    ULONG Flags;          /* PACKET_FLAG_FCS_INCLUDED */
    USHORT WireLength;    /* frame length with its FCS; for transmit the bytes that follow */
    USHORT CapturedLength;
    ULONG Errors;         /* PACKET_ERROR_* */
    ULONG Reserved;       /* never written */
} PACKET_RECORD_HEADER, *PPACKET_RECORD_HEADER;

#define PACKET_FLAG_FCS_INCLUDED 0x00000001u

#define PACKET_ERROR_CRC      0x1u
#define PACKET_ERROR_SEQUENCE 0x2u
#define PACKET_ERROR_SYMBOL   0x4u
#define PACKET_ERROR_DATA     0x8u

/* Instance ErrorFilter bits. */
#define ERROR_FILTER_GOOD  0x1u
#define ERROR_FILTER_CRC   0x2u
#define ERROR_FILTER_OTHER 0x4u

/* Size of a record carrying Captured bytes. */
FORCEINLINE ULONG PacketRecordSize(ULONG Captured)
{
    return (ULONG)sizeof(PACKET_RECORD_HEADER) + ((Captured + 7u) & ~7u);
}

/* Ring positions: u32 indices that wrap at the ring's size. They run on
 * every slot of every frame, so they wrap with a compare rather than a
 * division. Position (and From, To) lie below Size, and Count is at most
 * Size. */
FORCEINLINE ULONG RingAdvance(ULONG Position, ULONG Count, ULONG Size)
{
    ULONG room = Size - Position;
    return Count < room ? Position + Count : Count - room;
}

/* Entries from From forward to To (0 when equal). */
FORCEINLINE ULONG RingDistance(ULONG From, ULONG To, ULONG Size)
{
    return To >= From ? To - From : To + (Size - From);
}

#ifdef __cplusplus
static_assert(sizeof(PACKET_RECORD_HEADER) == 24, "packet record header is 24 bytes");
#endif

/* ------------------------------------------------------------------ */
/* rx.cpp                                                              */

/* Hands the first RxDescriptors slots to the controller and enables the
 * receiver. The ring starts over at slot 0; readers that stay attached
 * across a restart are moved to it. Scans in progress end first, and scans
 * that begin meanwhile wait for the new ring. */
VOID RxStart(PFDO_DATA Fdo);

/* One poll of the receive ring: moves completed descriptors into slots
 * stamped with Timestamp, refills the ring from free slots and publishes
 * Timestamp as the harvest time. */
VOID RxHarvest(PFDO_DATA Fdo, ULONGLONG Timestamp);

/* Frees slots for passthru by moving prunable readers forward to a frame
 * boundary. Takes ReaderLock. */
VOID RxTailPrune(PFDO_DATA Fdo);

/* The last harvest time, consistent although read without a lock. */
ULONGLONG HarvestTimeRead(PFDO_DATA Fdo);

/* Reader table operations; each takes ReaderLock. ReaderAttach takes the
 * lowest free instance entry (1..15) or fails with STATUS_UNSUCCESSFUL;
 * ReaderAttachPassthru takes entry 0. ReaderDetach is in readers.cpp. */
NTSTATUS ReaderAttach(PFDO_DATA Fdo, PULONG Index);
VOID ReaderAttachPassthru(PFDO_DATA Fdo);
VOID ReaderBeginScan(PFDO_DATA Fdo, ULONG Index, PULONG Position, PULONG Write);
VOID ReaderEndScan(PFDO_DATA Fdo, ULONG Index, ULONG Position, UCHAR Prunable);

/* Called by the instance thread every millisecond while reception is
 * enabled: completes one pending read of File when it is due. */
VOID ReadCheck(WDFFILEOBJECT File, PFILE_OBJECT_DATA Instance);

/* Fills and completes one read request of Length bytes. */
VOID ReadComplete(PFILE_OBJECT_DATA Instance, WDFREQUEST Request, size_t Length);

/* ------------------------------------------------------------------ */
/* tx.cpp                                                              */

/* Resets the transmit positions and enables the transmitter (the ring
 * registers were programmed at D0 entry). Writes in progress end first;
 * writes that come meanwhile take nothing. */
VOID TxStart(PFDO_DATA Fdo);

/* The write request handler: takes whole records while they fit, always
 * leaving one slot free, and completes at once with the bytes taken. */
VOID TxWrite(PFILE_OBJECT_DATA Instance, WDFREQUEST Request, size_t Length);

/* One poll of the transmit ring: reclaims finished slots, posts waiting ones. */
VOID TxPump(PFDO_DATA Fdo);

/* Transmit slots free for writes. */
ULONG TxFreeSlots(PFDO_DATA Fdo);

#endif /* FL_DRIVER_DATAPATH_H */
