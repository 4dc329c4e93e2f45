/*
 * controller.cpp: reset, start and link of an 82571 port, its rings'
 * registers, statistics and LEDs.
 */
#include "controller.h"

#define GIO_MASTER_POLLS    800
#define GIO_MASTER_POLL_US  100
#define RESET_SETTLE_MS     10
#define AUTO_READ_WAITS     10
#define LINK_POLLS          10
#define LINK_POLL_US        10
#define PHY_SETTLE_MS       15

NTSTATUS ControllerReset(PFDO_DATA Fdo)
{
    /* Stop bus mastering first so that no DMA is cut in half by the reset;
     * a controller that does not confirm is reset all the same. */
    RegWrite(Fdo, E1000_CTRL, RegRead(Fdo, E1000_CTRL) | E1000_CTRL_GIO_MASTER_DISABLE);
    for (ULONG poll = 0; poll < GIO_MASTER_POLLS; poll++) {
        if (!(RegRead(Fdo, E1000_STATUS) & E1000_STATUS_GIO_MASTER_ENABLE)) {
            break;
        }
        StallMicroseconds(GIO_MASTER_POLL_US);
    }

    RegWrite(Fdo, E1000_IMC, 0xFFFFFFFFu);
    RegWrite(Fdo, E1000_RCTL, 0);
    RegWrite(Fdo, E1000_TCTL, E1000_TCTL_PSP);
    RegFlush(Fdo);
    SleepMilliseconds(RESET_SETTLE_MS);

    RegWrite(Fdo, E1000_CTRL, RegRead(Fdo, E1000_CTRL) | E1000_CTRL_RST);
    BOOLEAN loaded = FALSE;
    for (ULONG wait = 0; wait < AUTO_READ_WAITS; wait++) {
        SleepMilliseconds(1);
        if (RegRead(Fdo, E1000_EECD) & E1000_EECD_AUTO_RD) {
            loaded = TRUE;
            break;
        }
    }
    if (!loaded) {
        return STATUS_UNSUCCESSFUL;
    }

    RegWrite(Fdo, E1000_IMC, 0xFFFFFFFFu);
    (VOID) RegRead(Fdo, E1000_ICR);
    return STATUS_SUCCESS;
}

static VOID ReceiveAddressSet(PFDO_DATA Fdo)
{
    const UCHAR *mac = Fdo->MacAddress;
    /* The address-valid bit stays clear: reception is promiscuous. */
    RegWrite(Fdo, E1000_RAL(0),
             (ULONG)mac[0] | ((ULONG)mac[1] << 8) | ((ULONG)mac[2] << 16) | ((ULONG)mac[3] << 24));
    RegWrite(Fdo, E1000_RAH(0), (ULONG)mac[4] | ((ULONG)mac[5] << 8));
}

NTSTATUS HardwareStart(PFDO_DATA Fdo)
{
    RegWrite(Fdo, E1000_PBA, 32);
    ReceiveAddressSet(Fdo);

    NTSTATUS status = ControllerReset(Fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    /* PHY register 25 bit 0: leave the PHY's low-power link-up mode. */
    status = PhyModify(Fdo, PHY_POWER_MGMT, 0x0001, 0);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    RegWrite(Fdo, E1000_TXDCTL, RegRead(Fdo, E1000_TXDCTL) | E1000_TXDCTL_COUNT_DESC);
    RegWrite(Fdo, E1000_TXDCTL1, RegRead(Fdo, E1000_TXDCTL1) | E1000_TXDCTL_COUNT_DESC);
    RegWrite(Fdo, E1000_TARC0, (RegRead(Fdo, E1000_TARC0) & 0x87FFFFFFu) | 0x07800000u);
    ULONG tarc1 = (RegRead(Fdo, E1000_TARC1) & 0x9FFFFFFFu) | 0x07400000u;
    RegWrite(Fdo, E1000_TARC1, tarc1);
    if (RegRead(Fdo, E1000_TCTL) & E1000_TCTL_MULR) {
        RegWrite(Fdo, E1000_TARC1, tarc1 & ~0x10000000u);
    } else {
        RegWrite(Fdo, E1000_TARC1, tarc1 | 0x10000000u);
    }

    for (ULONG i = 0; i < E1000_VFTA_COUNT; i++) {
        RegWrite(Fdo, E1000_VFTA + 4 * i, 0);
        RegFlush(Fdo);
    }
    ReceiveAddressSet(Fdo);
    for (ULONG i = 1; i < E1000_RAR_COUNT; i++) {
        RegWrite(Fdo, E1000_RAL(i), 0);
        RegFlush(Fdo);
        RegWrite(Fdo, E1000_RAH(i), 0);
        RegFlush(Fdo);
    }
    for (ULONG i = 0; i < E1000_MTA_COUNT; i++) {
        RegWrite(Fdo, E1000_MTA + 4 * i, 0);
    }

    if (!(RegRead(Fdo, E1000_MANC) & E1000_MANC_BLK_PHY_RST_ON_IDE)) {
        status = LinkSetup(Fdo);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        RegWrite(Fdo, E1000_FCT, 0x8808);
        RegWrite(Fdo, E1000_FCAH, 0x0100);
        RegWrite(Fdo, E1000_FCAL, 0x00C28001);
        RegWrite(Fdo, E1000_FCTTV, 0x0680);
        RegWrite(Fdo, E1000_FCRTL, 0);
        RegWrite(Fdo, E1000_FCRTH, 0);
    }
    RegWrite(Fdo, E1000_TXDCTL, (RegRead(Fdo, E1000_TXDCTL) & 0xFFC1FFFFu) | 0x01410000u);
    RegWrite(Fdo, E1000_TXDCTL1, (RegRead(Fdo, E1000_TXDCTL1) & 0xFFC1FFFFu) | 0x01410000u);
    CountersClear(Fdo);

    LinkUpdate(Fdo);
    TxSetup(Fdo, FALSE);
    RxSetup(Fdo);
    RegWrite(Fdo, E1000_RCTL, RegRead(Fdo, E1000_RCTL) | E1000_RCTL_UPE | E1000_RCTL_MPE);
    CountersClear(Fdo);
    return STATUS_SUCCESS;
}

NTSTATUS LinkSetup(PFDO_DATA Fdo)
{
    RegWrite(Fdo, E1000_CTRL,
             (RegRead(Fdo, E1000_CTRL) & ~(E1000_CTRL_FRCSPD | E1000_CTRL_FRCDPLX)) | E1000_CTRL_SLU);

    NTSTATUS status = PhyReset(Fdo);
    if (NT_SUCCESS(status)) {
        SleepMilliseconds(PHY_SETTLE_MS);
        status = PhyModify(Fdo, PHY_POWER_MGMT, 0x0004, 0);
        if (NT_SUCCESS(status)) status = PhyModify(Fdo, PHY_PORT_CONFIG, 0x0080, 0);
        if (NT_SUCCESS(status)) status = PhyModify(Fdo, PHY_POWER_MGMT, 0x0002, 0);
        if (NT_SUCCESS(status)) status = PhyModify(Fdo, PHY_PORT_CONFIG, 0x0080, 0);
        if (NT_SUCCESS(status)) status = PhyModify(Fdo, PHY_1000T_CTRL, 0x1000, 0);
    }

    /* LED 0 link up, LED 1 activity, LED 2/3 speed: set even when the PHY
     * failed, so the board shows its own state. */
    RegWrite(Fdo, E1000_LEDCTL, (RegRead(Fdo, E1000_LEDCTL) & ~0x00000C00u) | 0x07000300u);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    status = Advertise(Fdo, Fdo->PassthruEnabled ? 0 : Fdo->AutonegotiationConfiguration);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    for (ULONG poll = 0; poll < LINK_POLLS; poll++) {
        USHORT phyStatus;
        status = PhyStatusNow(Fdo, &phyStatus);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (phyStatus & MII_SR_LINK_STATUS) {
            break;
        }
        StallMicroseconds(LINK_POLL_US);
    }
    return STATUS_SUCCESS;
}

/* Runs at hardware start and from the interrupt routine; the interrupt
 * lock serialises the two. Readers elsewhere see each field through an
 * acquire read; LinkState is published last on the way up and first on the
 * way down, so a reader that sees the link up sees its speed and duplex. */
VOID LinkUpdate(PFDO_DATA Fdo)
{
    ULONG status = RegRead(Fdo, E1000_STATUS);
    LONG64 state = LinkStateRead(Fdo);
    BOOLEAN up = LinkStateUp(state) != 0;

    if ((status & E1000_STATUS_LU) && !up) {
        ULONG speed = (status & E1000_STATUS_SPEED_1000) ? 1000 : (status & E1000_STATUS_SPEED_100) ? 100 : 10;
        WriteULongRelease(&Fdo->LinkSpeed, speed);
        WriteULongRelease(&Fdo->LinkDuplex,
                          (status & E1000_STATUS_FD) ? FL_LINK_DUPLEX_FULL : FL_LINK_DUPLEX_HALF);
        if (speed != 1000) {
            RegWrite(Fdo, E1000_TARC0, RegRead(Fdo, E1000_TARC0) & ~E1000_TARC0_SPEED_MODE);
        }
        /* State and count in one store: a reader sees both or neither. */
        WriteRelease64(&Fdo->LinkState, LinkStateNext(state, TRUE));
    } else if (!(status & E1000_STATUS_LU) && up) {
        WriteRelease64(&Fdo->LinkState, LinkStateNext(state, FALSE));
        WriteULongRelease(&Fdo->LinkDuplex, FL_LINK_DUPLEX_DOWN);
    }
}

VOID TxSetup(PFDO_DATA Fdo, BOOLEAN Enable)
{
    RegWrite(Fdo, E1000_TCTL, RegRead(Fdo, E1000_TCTL) & ~E1000_TCTL_EN);
    RegWrite(Fdo, E1000_TDLEN, 16 * Fdo->TxDescriptors);
    RegWrite(Fdo, E1000_TDBAH, (ULONG)(Fdo->TxRingLogical >> 32));
    RegWrite(Fdo, E1000_TDBAL, (ULONG)(Fdo->TxRingLogical & 0xFFFFFFFFu));
    RegWrite(Fdo, E1000_TDT, 0);
    RegWrite(Fdo, E1000_TDH, 0);
    RegWrite(Fdo, E1000_TIPG, 0x00602008);
    RegWrite(Fdo, E1000_TIDV, 66);
    RegWrite(Fdo, E1000_TADV, 66);
    RegWrite(Fdo, E1000_TARC0, RegRead(Fdo, E1000_TARC0) | E1000_TARC0_SPEED_MODE);
    ULONG tctl = (RegRead(Fdo, E1000_TCTL) & ~E1000_TCTL_CT_MASK) | 0x010000F8u | E1000_TCTL_MULR;
    if (Enable) {
        tctl |= E1000_TCTL_EN;
    }
    RegWrite(Fdo, E1000_TCTL, tctl);
}

ULONG RxBufferSizeBits(ULONG SlotSize)
{
    switch (SlotSize) {
    case 256: return E1000_RCTL_SZ_256;
    case 512: return E1000_RCTL_SZ_512;
    case 1024: return E1000_RCTL_SZ_1024;
    case 2048: return E1000_RCTL_SZ_2048;
    case 4096: return E1000_RCTL_SZ_4096;
    case 8192: return E1000_RCTL_SZ_8192;
    case 16384: return E1000_RCTL_SZ_16384;
    default: return 0;
    }
}

VOID RxSetup(PFDO_DATA Fdo)
{
    ULONG rctl = RegRead(Fdo, E1000_RCTL);
    RegWrite(Fdo, E1000_RCTL, rctl & ~E1000_RCTL_EN);
    RegWrite(Fdo, E1000_RADV, 66);
    RegWrite(Fdo, E1000_ITR, 488);
    RegWrite(Fdo, E1000_RDLEN, 16 * Fdo->RxDescriptors);
    RegWrite(Fdo, E1000_RDBAH, (ULONG)(Fdo->RxRingLogical >> 32));
    RegWrite(Fdo, E1000_RDBAL, (ULONG)(Fdo->RxRingLogical & 0xFFFFFFFFu));
    RegWrite(Fdo, E1000_RDH, 0);
    RegWrite(Fdo, E1000_RDT, 0);
    /* The receiver stays off until the ring is handed over; the FCS stays
     * on every frame (captures keep it). */
    rctl &= ~(E1000_RCTL_EN | E1000_RCTL_MO_MASK | E1000_RCTL_SZ_256 | E1000_RCTL_BSEX);
    RegWrite(Fdo, E1000_RCTL,
             rctl | E1000_RCTL_BAM | E1000_RCTL_SBP | E1000_RCTL_LPE |
                 RxBufferSizeBits(Fdo->RxSlotSize));
}

VOID CountersClear(PFDO_DATA Fdo)
{
    for (ULONG offset = E1000_STATS_FIRST; offset <= E1000_STATS_LAST; offset += 4) {
        (VOID) RegRead(Fdo, offset);
    }
}

VOID CountersAccumulate(PFDO_DATA Fdo, PULONGLONG Out)
{
    WdfSpinLockAcquire(Fdo->CountersLock);
    PULONGLONG c = Fdo->PortCounters;
    /* Each 64-bit pair is read low half first: reading the high half
     * clears both. */
    ULONGLONG tor = RegRead(Fdo, E1000_TORL);
    tor |= (ULONGLONG)RegRead(Fdo, E1000_TORH) << 32;
    ULONGLONG tot = RegRead(Fdo, E1000_TOTL);
    tot |= (ULONGLONG)RegRead(Fdo, E1000_TOTH) << 32;

    c[FL_PORT_STAT_MISSED] += RegRead(Fdo, E1000_MPC);
    c[FL_PORT_STAT_PACKETS_RECEIVED] += RegRead(Fdo, E1000_TPR);
    c[FL_PORT_STAT_GOOD_RECEIVED] += RegRead(Fdo, E1000_GPRC);
    c[FL_PORT_STAT_NO_BUFFER] += RegRead(Fdo, E1000_RNBC);
    c[FL_PORT_STAT_RECEIVE_ERRORS] += RegRead(Fdo, E1000_RXERRC);
    c[FL_PORT_STAT_CRC_ERRORS] += RegRead(Fdo, E1000_CRCERRS);
    c[FL_PORT_STAT_ALIGNMENT_ERRORS] += RegRead(Fdo, E1000_ALGNERRC);
    c[FL_PORT_STAT_PACKETS_SENT] += RegRead(Fdo, E1000_TPT);
    c[FL_PORT_STAT_MGTPRC] += RegRead(Fdo, E1000_MGTPRC);
    c[FL_PORT_STAT_MGTPTC] += RegRead(Fdo, E1000_MGTPTC);
    c[FL_PORT_STAT_MGTPDC] += RegRead(Fdo, E1000_MGTPDC);
    c[FL_PORT_STAT_ICTXQEC] += RegRead(Fdo, E1000_ICTXQEC);
    c[FL_PORT_STAT_OCTETS_RECEIVED] += tor;
    c[FL_PORT_STAT_OCTETS_SENT] += tot;
    if (Out != NULL) {
        RtlCopyMemory(Out, c, sizeof(Fdo->PortCounters));
    }
    WdfSpinLockRelease(Fdo->CountersLock);
}

/* LEDCTL byte of each LED the board wires, and its normal mode. */
static BOOLEAN LedLayout(ULONG Led, PULONG Shift, PULONG NormalMode)
{
    switch (Led) {
    case 0: *Shift = 0; *NormalMode = E1000_LEDCTL_MODE_LINK_UP; return TRUE;
    case 2: *Shift = 16; *NormalMode = E1000_LEDCTL_MODE_LINK_100; return TRUE;
    case 3: *Shift = 24; *NormalMode = E1000_LEDCTL_MODE_LINK_1000; return TRUE;
    default: return FALSE;
    }
}

NTSTATUS SetLed(PFDO_DATA Fdo, ULONG Led, ULONG Code)
{
    ULONG shift;
    ULONG normal;
    if (!LedLayout(Led, &shift, &normal) || Code > FL_LED_CODE_NORMAL) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG field;
    switch (Code) {
    case FL_LED_CODE_ON: field = E1000_LEDCTL_MODE_LED_ON; break;
    case FL_LED_CODE_OFF: field = E1000_LEDCTL_MODE_LED_OFF; break;
    case FL_LED_CODE_BLINK: field = E1000_LEDCTL_MODE_LED_ON | E1000_LEDCTL_BLINK; break;
    default: field = normal; break;
    }
    ULONG mask = (E1000_LEDCTL_MODE_MASK | E1000_LEDCTL_BLINK) << shift;
    RegWrite(Fdo, E1000_LEDCTL, (RegRead(Fdo, E1000_LEDCTL) & ~mask) | (field << shift));
    return STATUS_SUCCESS;
}

LONG QueryLed(PFDO_DATA Fdo, ULONG Led)
{
    ULONG shift;
    ULONG normal;
    if (!LedLayout(Led, &shift, &normal)) {
        return FL_LED_CODE_UNKNOWN;
    }
    ULONG field = (RegRead(Fdo, E1000_LEDCTL) >> shift) & 0xFF;
    ULONG mode = field & E1000_LEDCTL_MODE_MASK;
    if (mode == normal) {
        return FL_LED_CODE_NORMAL;
    }
    if (mode == E1000_LEDCTL_MODE_LED_ON) {
        return (field & E1000_LEDCTL_BLINK) ? FL_LED_CODE_BLINK : FL_LED_CODE_ON;
    }
    if (mode == E1000_LEDCTL_MODE_LED_OFF) {
        return FL_LED_CODE_OFF;
    }
    return FL_LED_CODE_UNKNOWN;
}
