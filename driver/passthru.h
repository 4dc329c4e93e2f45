/*
 * passthru.h: the two ports of one dual-port controller forwarding
 * everything they receive to each other, and bringing their links up at a
 * common speed.
 *
 * Forwarding copies nothing: port A's transmit descriptors carry the bus
 * addresses of port B's receive slots, and A's TxDescSlotMap remembers
 * which slot of B each descriptor carries. B keeps those slots through its
 * reader entry 0, which tail pruning never moves.
 *
 * Everything here except PairNegotiate runs on the management thread,
 * which alone touches the descriptor rings; PairNegotiate runs on the
 * negotiation thread and reaches the PHYs only (under the controller's
 * software semaphore).
 */
#ifndef FL_DRIVER_PASSTHRU_H
#define FL_DRIVER_PASSTHRU_H

#include "datapath.h"

/* Whether the two ports form a passthru pair: both have PassthruEnabled and
 * their MAC addresses differ only in bit 0 of the last byte. */
BOOLEAN PassthruPartners(PFDO_DATA A, PFDO_DATA B);

/* Pairs two ports whose receive rings run: attaches reader entry 0 on
 * both, then starts each one's transmitter on the other's slots from where
 * the other's entry 0 stands. */
VOID PassthruPairStart(PFDO_DATA A, PFDO_DATA B);

/* Dissolves a pair: transmitters off, reader entries 0 released. */
VOID PassthruPairStop(PFDO_DATA A, PFDO_DATA B);

/* One poll of Port's transmit ring in passthru: gives back Peer's slots
 * whose descriptors are done and, while Port's link is up, posts the
 * frames Peer received since. */
VOID PassthruForward(PFDO_DATA Port, PFDO_DATA Peer);

/* Speed mask bits (AutonegotiationConfiguration). */
#define FL_MODE_10_FULL   0x01u
#define FL_MODE_10_HALF   0x02u
#define FL_MODE_100_FULL  0x04u
#define FL_MODE_100_HALF  0x08u
#define FL_MODE_1000_FULL 0x10u

/* Makes both PHYs advertise Mode (one speed mask bit) alone and waits for
 * both links: STATUS_SUCCESS once both are up; STATUS_UNSUCCESSFUL when
 * autonegotiation completes without them or neither happens in 3 s; a PHY
 * access failure as it is; STATUS_CANCELLED as soon as a command waits in
 * Commands (NULL: none), so that whoever posted it is not held for
 * seconds. */
NTSTATUS PairNegotiate(PFDO_DATA A, PFDO_DATA B, ULONG Mode, PCOMMAND_RING Commands);

/* Tries the modes of Modes from the fastest, full duplex before half, and
 * returns the one that brought both links up; 0 when none did or a command
 * came in between. */
ULONG PairNegotiateFirst(PFDO_DATA A, PFDO_DATA B, ULONG Modes, PCOMMAND_RING Commands);

#endif /* FL_DRIVER_PASSTHRU_H */
