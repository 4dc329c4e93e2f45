/*
 * phy.cpp: the software semaphore, MDIC and the PHY behind it.
 */
#include "controller.h"

#define SEMAPHORE_ATTEMPTS   17
#define SEMAPHORE_WAIT_US    50
#define MDIC_WRITE_POLLS     640
#define MDIC_WRITE_POLL_US   5
#define MDIC_READ_POLLS      64
#define MDIC_READ_POLL_US    50
#define PHY_RESET_ASSERT_US  100
#define PHY_RESET_SETTLE_US  150
#define CFG_DONE_WAITS       100
#define ADVERTISE_POLLS      301

VOID StallMicroseconds(ULONG Microseconds)
{
    KeStallExecutionProcessor(Microseconds);
}

VOID SleepMilliseconds(ULONG Milliseconds)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -(LONGLONG)Milliseconds * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

NTSTATUS SemaphoreAcquire(PFDO_DATA Fdo)
{
    for (ULONG attempt = 0; attempt < SEMAPHORE_ATTEMPTS; attempt++) {
        RegWrite(Fdo, E1000_SWSM, RegRead(Fdo, E1000_SWSM) | E1000_SWSM_SWESMBI);
        if (RegRead(Fdo, E1000_SWSM) & E1000_SWSM_SWESMBI) {
            return STATUS_SUCCESS;
        }
        StallMicroseconds(SEMAPHORE_WAIT_US);
    }
    /* Give up without leaving either bit claimed by us. */
    RegWrite(Fdo, E1000_SWSM, RegRead(Fdo, E1000_SWSM) & ~(E1000_SWSM_SMBI | E1000_SWSM_SWESMBI));
    return STATUS_UNSUCCESSFUL;
}

VOID SemaphoreRelease(PFDO_DATA Fdo)
{
    RegWrite(Fdo, E1000_SWSM, RegRead(Fdo, E1000_SWSM) & ~E1000_SWSM_SWESMBI);
}

NTSTATUS MdicWrite(PFDO_DATA Fdo, ULONG Register, USHORT Value)
{
    if (Register > 31) {
        return STATUS_UNSUCCESSFUL;
    }
    RegWrite(Fdo, E1000_MDIC,
             ((Register | ((E1000_MDIC_OP_WRITE | E1000_MDIC_PHY_1) >> E1000_MDIC_REG_SHIFT))
              << E1000_MDIC_REG_SHIFT) | Value);
    for (ULONG poll = 0; poll < MDIC_WRITE_POLLS; poll++) {
        ULONG mdic = RegRead(Fdo, E1000_MDIC);
        if (mdic & E1000_MDIC_READY) {
            /* A write the PHY refused did not happen; say so. */
            return (mdic & E1000_MDIC_ERROR) ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
        }
        StallMicroseconds(MDIC_WRITE_POLL_US);
    }
    return STATUS_UNSUCCESSFUL;
}

/* Registers 16 and up live behind the page-select register, which takes
 * the full register number. */
static NTSTATUS PhySelectPage(PFDO_DATA Fdo, ULONG Register)
{
    if (Register < 16) {
        return STATUS_SUCCESS;
    }
    return MdicWrite(Fdo, PHY_PAGE_SELECT, (USHORT)Register);
}

NTSTATUS PhyRead(PFDO_DATA Fdo, ULONG Register, PUSHORT Value)
{
    NTSTATUS status = SemaphoreAcquire(Fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = PhySelectPage(Fdo, Register);
    if (NT_SUCCESS(status)) {
        status = STATUS_UNSUCCESSFUL;
        RegWrite(Fdo, E1000_MDIC,
                 ((Register & 0x1F) | ((E1000_MDIC_OP_READ | E1000_MDIC_PHY_1) >> E1000_MDIC_REG_SHIFT))
                     << E1000_MDIC_REG_SHIFT);
        for (ULONG poll = 0; poll < MDIC_READ_POLLS; poll++) {
            ULONG mdic = RegRead(Fdo, E1000_MDIC);
            if (mdic & E1000_MDIC_READY) {
                if (!(mdic & E1000_MDIC_ERROR)) {
                    *Value = (USHORT)(mdic & 0xFFFF);
                    status = STATUS_SUCCESS;
                }
                break;
            }
            StallMicroseconds(MDIC_READ_POLL_US);
        }
    }
    SemaphoreRelease(Fdo);
    return status;
}

NTSTATUS PhyWrite(PFDO_DATA Fdo, ULONG Register, USHORT Value)
{
    NTSTATUS status = SemaphoreAcquire(Fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = PhySelectPage(Fdo, Register);
    if (NT_SUCCESS(status)) {
        status = MdicWrite(Fdo, Register & 0x1F, Value);
    }
    SemaphoreRelease(Fdo);
    return status;
}

NTSTATUS PhyStatusNow(PFDO_DATA Fdo, PUSHORT Value)
{
    NTSTATUS status = PhyRead(Fdo, PHY_STATUS, Value);
    if (NT_SUCCESS(status)) {
        status = PhyRead(Fdo, PHY_STATUS, Value);
    }
    return status;
}

NTSTATUS PhyModify(PFDO_DATA Fdo, ULONG Register, USHORT Clear, USHORT Set)
{
    USHORT value;
    NTSTATUS status = PhyRead(Fdo, Register, &value);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return PhyWrite(Fdo, Register, (USHORT)((value & ~Clear) | Set));
}

NTSTATUS PhyReset(PFDO_DATA Fdo)
{
    /* Manageability firmware owns the PHY then; resetting it would cut the
     * firmware's link. */
    if (RegRead(Fdo, E1000_MANC) & E1000_MANC_BLK_PHY_RST_ON_IDE) {
        return STATUS_SUCCESS;
    }
    NTSTATUS status = SemaphoreAcquire(Fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG ctrl = RegRead(Fdo, E1000_CTRL);
    RegWrite(Fdo, E1000_CTRL, ctrl | E1000_CTRL_PHY_RST);
    RegFlush(Fdo);
    StallMicroseconds(PHY_RESET_ASSERT_US);
    RegWrite(Fdo, E1000_CTRL, ctrl);
    RegFlush(Fdo);
    StallMicroseconds(PHY_RESET_SETTLE_US);
    SemaphoreRelease(Fdo);

    /* Each LAN function has its own configuration-done bit; the second
     * function waits for its own rather than its sibling's. A port that
     * never reports it is still usable, so the wait only bounds the time. */
    ULONG done = Fdo->IsFirstFunction ? E1000_EEMNGCTL_CFG_DONE0 : E1000_EEMNGCTL_CFG_DONE1;
    for (ULONG wait = 0; wait < CFG_DONE_WAITS; wait++) {
        if (RegRead(Fdo, E1000_EEMNGCTL) & done) {
            break;
        }
        SleepMilliseconds(1);
    }
    return STATUS_SUCCESS;
}

NTSTATUS Advertise(PFDO_DATA Fdo, ULONG Modes)
{
    USHORT adv;
    USHORT gbit = 0;
    NTSTATUS status = PhyRead(Fdo, PHY_AUTONEG_ADV, &adv);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (Modes & FL_MODE_1000_FULL) {
        status = PhyRead(Fdo, PHY_1000T_CTRL, &gbit);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }

    adv = (USHORT)((adv & 0xFE1F) | NWAY_AR_PAUSE | NWAY_AR_ASM_DIR);
    if (Modes & FL_MODE_10_HALF) adv |= NWAY_AR_10T_HD_CAPS;
    if (Modes & FL_MODE_10_FULL) adv |= NWAY_AR_10T_FD_CAPS;
    if (Modes & FL_MODE_100_HALF) adv |= NWAY_AR_100TX_HD_CAPS;
    if (Modes & FL_MODE_100_FULL) adv |= NWAY_AR_100TX_FD_CAPS;
    gbit = (USHORT)(gbit & ~(CR_1000T_HD_CAPS | CR_1000T_FD_CAPS));
    if (Modes & FL_MODE_1000_FULL) gbit |= CR_1000T_FD_CAPS;

    status = PhyWrite(Fdo, PHY_AUTONEG_ADV, adv);
    if (NT_SUCCESS(status)) {
        status = PhyWrite(Fdo, PHY_1000T_CTRL, gbit);
    }
    if (NT_SUCCESS(status)) {
        status = PhyModify(Fdo, PHY_CONTROL, 0, MII_CR_AUTO_NEG_EN | MII_CR_RESTART_AUTO_NEG);
    }
    if (!NT_SUCCESS(status) || Modes == 0) {
        return status;
    }

    /* The status register latches; the second read is the present state. */
    for (ULONG poll = 0; poll < ADVERTISE_POLLS; poll++) {
        USHORT phyStatus;
        status = PhyStatusNow(Fdo, &phyStatus);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (phyStatus & MII_SR_AUTONEG_COMPLETE) {
            break;
        }
        SleepMilliseconds(1);
    }
    return STATUS_SUCCESS;
}

NTSTATUS PhyAdvertiseNone(PFDO_DATA Fdo)
{
    NTSTATUS status = PhyModify(Fdo, PHY_AUTONEG_ADV, (USHORT)~0xFE1Fu, 0);
    if (NT_SUCCESS(status)) {
        status = PhyModify(Fdo, PHY_1000T_CTRL, CR_1000T_FD_CAPS, 0);
    }
    if (NT_SUCCESS(status)) {
        status = PhyModify(Fdo, PHY_CONTROL, 0, MII_CR_RESTART_AUTO_NEG);
    }
    return status;
}

NTSTATUS PartnerAbilities(PFDO_DATA Fdo, PFL_IOCTL_AUTONEGOTIATION Result)
{
    USHORT lpa;
    USHORT gstat;
    NTSTATUS status = PhyRead(Fdo, PHY_LP_ABILITY, &lpa);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    /* Selector 1 is IEEE 802.3; anything else means no partner page. */
    if ((lpa & NWAY_AR_SELECTOR_MASK) != 1) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    ULONG modes = 0;
    if (lpa & NWAY_AR_10T_HD_CAPS) modes |= FL_MODE_10_HALF;
    if (lpa & NWAY_AR_10T_FD_CAPS) modes |= FL_MODE_10_FULL;
    if (lpa & NWAY_AR_100TX_HD_CAPS) modes |= FL_MODE_100_HALF;
    if (lpa & NWAY_AR_100TX_FD_CAPS) modes |= FL_MODE_100_FULL;
    status = PhyRead(Fdo, PHY_1000T_STATUS, &gstat);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (gstat & SR_1000T_LP_FD_CAPS) modes |= FL_MODE_1000_FULL;

    Result->Modes = modes;
    Result->SupportedModes = FL_MODES_ALL;
    Result->Enabled = 1;
    return STATUS_SUCCESS;
}
