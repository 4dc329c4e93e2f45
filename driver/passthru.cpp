/*
 * passthru.cpp: forwarding between the two ports of one controller, and
 * bringing a pair's links up at a common speed.
 */
#include "passthru.h"

#include "hw/controller.h"

#define NEGOTIATE_POLLS    300
#define NEGOTIATE_POLL_MS  10

BOOLEAN PassthruPartners(PFDO_DATA A, PFDO_DATA B)
{
    if (A == B || !A->PassthruEnabled || !B->PassthruEnabled) {
        return FALSE;
    }
    for (ULONG i = 0; i < 5; i++) {
        if (A->MacAddress[i] != B->MacAddress[i]) {
            return FALSE;
        }
    }
    return A->MacAddress[5] == (UCHAR)(B->MacAddress[5] ^ 0x01u);
}

/* Port transmits Peer's slots from Peer's reader entry 0 on. Starting
 * anywhere else would send slots Peer no longer holds (or never filled). */
static VOID PassthruTxStart(PFDO_DATA Port, PFDO_DATA Peer)
{
    ULONG position;
    ULONG write;
    ReaderBeginScan(Peer, 0, &position, &write);
    Port->TxTail = 0;
    Port->TxClean = 0;
    Port->TxDescSlotMap[0] = position;
    TxSetup(Port, TRUE);
}

VOID PassthruPairStart(PFDO_DATA A, PFDO_DATA B)
{
    ReaderAttachPassthru(A);
    ReaderAttachPassthru(B);
    PassthruTxStart(A, B);
    PassthruTxStart(B, A);
}

VOID PassthruPairStop(PFDO_DATA A, PFDO_DATA B)
{
    /* The transmitters stop before the slots they read are given up. */
    RegWrite(A, E1000_TCTL, RegRead(A, E1000_TCTL) & ~E1000_TCTL_EN);
    RegWrite(B, E1000_TCTL, RegRead(B, E1000_TCTL) & ~E1000_TCTL_EN);
    ReaderDetach(A, 0);
    ReaderDetach(B, 0);
}

VOID PassthruForward(PFDO_DATA Port, PFDO_DATA Peer)
{
    const ULONG descriptors = Port->TxDescriptors;
    const ULONG slots = Peer->RxSlots;
    PULONG map = Port->TxDescSlotMap;

    /* Done descriptors, in order; the controller writes their status last
     * (release), loaded here with acquire. */
    ULONG clean = Port->TxClean;
    while (clean != Port->TxTail) {
        PTX_DESCRIPTOR descriptor = &Port->TxRing[clean];
        UCHAR status = ReadUCharAcquire(&descriptor->Status);
        if ((status & TXD_STAT_MASK) == 0) {
            break;
        }
        descriptor->Status = (UCHAR)(status & ~TXD_STAT_MASK);
        clean = RingAdvance(clean, 1, descriptors);
    }

    /* Peer keeps every slot from the one the oldest unfinished descriptor
     * carries (all of them sent when none is left). */
    ReaderEndScan(Peer, 0, map[clean], 0);
    Port->TxClean = clean;

    /* A frame sent while this port's link is down would be lost without a
     * trace. Peer keeps its frames until the link is up (or, its slots
     * full, counts what it could not take in as missed). The link state is
     * written by the interrupt routine; acquire pairs with its release. */
    if (!LinkStateUp(LinkStateRead(Port))) {
        return;
    }

    ULONG position;
    ULONG write;
    ReaderBeginScan(Peer, 0, &position, &write);

    /* One descriptor always stays empty: k stops short of clean. Frames go
     * out as received, FCS and error bits included, so nothing is
     * inserted. */
    const ULONG last = clean == 0 ? descriptors - 1 : clean - 1;
    ULONG k = Port->TxTail;
    ULONG s = map[k];
    while (k != last && s != write) {
        PRX_SLOT slot = &Peer->RxSlotArray[s];
        PTX_DESCRIPTOR descriptor = &Port->TxRing[k];
        descriptor->BufferAddress = slot->Image.BufferAddress;
        descriptor->Length = slot->Image.Length;
        descriptor->ChecksumOffset = 0;
        descriptor->Command = (UCHAR)((slot->Image.Status & RXD_STAT_EOP) ? (TXD_CMD_EOP | TXD_CMD_RS) : TXD_CMD_RS);
        descriptor->Status = 0;
        descriptor->ChecksumStart = 0;
        descriptor->Special = 0;
        map[k] = s;
        k = RingAdvance(k, 1, descriptors);
        s = RingAdvance(s, 1, slots);
    }
    map[k] = s;
    if (k != Port->TxTail) {
        Port->TxTail = k;
        /* The register write orders the descriptor writes before the
         * controller fetches them. */
        RegWrite(Port, E1000_TDT, k);
    }
}

/* ------------------------------------------------------------------ */
/* Negotiation                                                         */

static USHORT AdvertisementBit(ULONG Mode)
{
    switch (Mode) {
    case FL_MODE_10_FULL: return NWAY_AR_10T_FD_CAPS;
    case FL_MODE_10_HALF: return NWAY_AR_10T_HD_CAPS;
    case FL_MODE_100_FULL: return NWAY_AR_100TX_FD_CAPS;
    case FL_MODE_100_HALF: return NWAY_AR_100TX_HD_CAPS;
    default: return 0;
    }
}

NTSTATUS PairNegotiate(PFDO_DATA A, PFDO_DATA B, ULONG Mode, PCOMMAND_RING Commands)
{
    PFDO_DATA ports[2] = {A, B};
    const USHORT advertise = AdvertisementBit(Mode);
    const USHORT gigabit = Mode == FL_MODE_1000_FULL ? CR_1000T_FD_CAPS : 0;
    NTSTATUS status = STATUS_SUCCESS;

    for (ULONG i = 0; i < 2 && NT_SUCCESS(status); i++) {
        status = PhyModify(ports[i], PHY_AUTONEG_ADV, (USHORT)~0xFE1Fu, advertise);
    }
    for (ULONG i = 0; i < 2 && NT_SUCCESS(status); i++) {
        status = PhyModify(ports[i], PHY_1000T_CTRL, CR_1000T_FD_CAPS, gigabit);
    }
    for (ULONG i = 0; i < 2 && NT_SUCCESS(status); i++) {
        status = PhyModify(ports[i], PHY_CONTROL, 0, MII_CR_RESTART_AUTO_NEG);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }

    for (ULONG poll = 0; poll < NEGOTIATE_POLLS; poll++) {
        USHORT value;
        status = PhyStatusNow(A, &value);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (value & MII_SR_LINK_STATUS) {
            status = PhyStatusNow(B, &value);
            if (!NT_SUCCESS(status)) {
                return status;
            }
            if (value & MII_SR_LINK_STATUS) {
                return STATUS_SUCCESS;
            }
        }
        /* Negotiation over without both links: the mode is not common to
         * one of the wires. */
        if (value & MII_SR_AUTONEG_COMPLETE) {
            return STATUS_UNSUCCESSFUL;
        }
        /* A pair without partners on its wires would hold a poster here
         * for 3 s per mode. */
        if (Commands != NULL && CommandPending(Commands)) {
            return STATUS_CANCELLED;
        }
        SleepMilliseconds(NEGOTIATE_POLL_MS);
    }
    return STATUS_UNSUCCESSFUL;
}

ULONG PairNegotiateFirst(PFDO_DATA A, PFDO_DATA B, ULONG Modes, PCOMMAND_RING Commands)
{
    static const ULONG order[] = {FL_MODE_1000_FULL, FL_MODE_100_FULL, FL_MODE_100_HALF, FL_MODE_10_FULL,
                                  FL_MODE_10_HALF};
    for (ULONG i = 0; i < ARRAYSIZE(order); i++) {
        if ((Modes & order[i]) == 0) {
            continue;
        }
        NTSTATUS status = PairNegotiate(A, B, order[i], Commands);
        if (NT_SUCCESS(status)) {
            return order[i];
        }
        if (status == STATUS_CANCELLED) {
            break;
        }
    }
    return 0;
}
