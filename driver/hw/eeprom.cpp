/*
 * eeprom.cpp: EEPROM words. Reads go through EERD; writes bit-bang the SPI
 * protocol on EECD after the EEPROM access request is granted.
 */
#include "controller.h"

/* A healthy EEPROM finishes an EERD read within microseconds; 10 ms of
 * polling means it is not answering at all. */
#define EERD_POLLS        2000
#define EERD_POLL_US      5
#define EECD_GRANT_READS  10001
#define SPI_HALF_CLOCK_US 1

#define SPI_OPCODE_WRITE   0x02u
#define SPI_OPCODE_WRDI    0x04u
#define SPI_OPCODE_WREN    0x06u

NTSTATUS EepromReadWord(PFDO_DATA Fdo, ULONG Address, PUSHORT Value)
{
    RegWrite(Fdo, E1000_EERD, (Address << E1000_EERD_ADDR_SHIFT) | E1000_EERD_START);
    for (ULONG poll = 0; poll < EERD_POLLS; poll++) {
        ULONG eerd = RegRead(Fdo, E1000_EERD);
        if (eerd == 0xFFFFFFFFu) {
            return STATUS_UNSUCCESSFUL; /* the device is gone from the bus */
        }
        if (eerd & E1000_EERD_DONE) {
            *Value = (USHORT)(eerd >> E1000_EERD_DATA_SHIFT);
            return STATUS_SUCCESS;
        }
        StallMicroseconds(EERD_POLL_US);
    }
    return STATUS_UNSUCCESSFUL;
}

static VOID SpiSet(PFDO_DATA Fdo, ULONG Eecd)
{
    RegWrite(Fdo, E1000_EECD, Eecd);
    RegFlush(Fdo);
    StallMicroseconds(SPI_HALF_CLOCK_US);
}

static VOID SpiClockPulse(PFDO_DATA Fdo, ULONG Eecd)
{
    SpiSet(Fdo, Eecd | E1000_EECD_SK);
    SpiSet(Fdo, Eecd & ~E1000_EECD_SK);
}

static VOID SpiShiftOut(PFDO_DATA Fdo, ULONG Data, ULONG Bits)
{
    for (ULONG bit = Bits; bit-- > 0;) {
        ULONG eecd = E1000_EECD_REQ | (((Data >> bit) & 1) ? E1000_EECD_DI : 0);
        SpiSet(Fdo, eecd);
        SpiClockPulse(Fdo, eecd);
    }
}

/* Requests the EEPROM interface, deselects with one clock, selects. */
static NTSTATUS SpiBegin(PFDO_DATA Fdo)
{
    RegWrite(Fdo, E1000_EECD, E1000_EECD_REQ);
    BOOLEAN granted = FALSE;
    for (ULONG read = 0; read < EECD_GRANT_READS; read++) {
        ULONG eecd = RegRead(Fdo, E1000_EECD);
        if (eecd == 0xFFFFFFFFu) {
            break;
        }
        if (eecd & E1000_EECD_GNT) {
            granted = TRUE;
            break;
        }
    }
    if (!granted) {
        /* Withdraw the request so that firmware is not locked out. */
        RegWrite(Fdo, E1000_EECD, E1000_EECD_CS);
        return STATUS_UNSUCCESSFUL;
    }
    SpiSet(Fdo, E1000_EECD_REQ | E1000_EECD_CS);
    SpiClockPulse(Fdo, E1000_EECD_REQ | E1000_EECD_CS);
    SpiSet(Fdo, E1000_EECD_REQ);
    return STATUS_SUCCESS;
}

/* Deselects with one clock and releases the request. */
static VOID SpiEnd(PFDO_DATA Fdo)
{
    SpiSet(Fdo, E1000_EECD_REQ | E1000_EECD_CS);
    SpiClockPulse(Fdo, E1000_EECD_REQ | E1000_EECD_CS);
    RegWrite(Fdo, E1000_EECD, E1000_EECD_CS);
}

static NTSTATUS SpiOpcode(PFDO_DATA Fdo, ULONG Opcode)
{
    NTSTATUS status = SpiBegin(Fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    SpiShiftOut(Fdo, Opcode, 8);
    SpiEnd(Fdo);
    return STATUS_SUCCESS;
}

NTSTATUS EepromWriteEnable(PFDO_DATA Fdo)
{
    return SpiOpcode(Fdo, SPI_OPCODE_WREN);
}

NTSTATUS EepromWriteDisable(PFDO_DATA Fdo)
{
    return SpiOpcode(Fdo, SPI_OPCODE_WRDI);
}

NTSTATUS EepromWriteWord(PFDO_DATA Fdo, ULONG Address, USHORT Value)
{
    NTSTATUS status = SpiBegin(Fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    SpiShiftOut(Fdo, SPI_OPCODE_WRITE, 8);
    SpiShiftOut(Fdo, (Address * 2) & 0xFFFF, 16); /* byte address */
    SpiShiftOut(Fdo, Value & 0xFF, 8);
    SpiShiftOut(Fdo, (ULONG)Value >> 8, 8);
    SpiEnd(Fdo);
    return STATUS_SUCCESS;
}

/* Words 0..62 plus the checksum word must sum to 0xBABA, or the controller
 * ignores the image at its next reset. A write that lands inside that range
 * therefore rewrites the checksum word too. The first failure is the
 * result: a word that was not written is not reported as written because
 * the closing write-disable went through. */
NTSTATUS EepromWriteWordAndRepair(PFDO_DATA Fdo, ULONG Address, USHORT Value)
{
    NTSTATUS status = EepromWriteEnable(Fdo);
    if (NT_SUCCESS(status)) {
        status = EepromWriteWord(Fdo, Address, Value);
    }
    if (NT_SUCCESS(status) && Address < EEPROM_CHECKSUM_WORD) {
        USHORT sum = 0;
        USHORT word = 0;
        for (ULONG i = 0; i < EEPROM_CHECKSUM_WORD && NT_SUCCESS(status); i++) {
            status = EepromReadWord(Fdo, i, &word);
            sum = (USHORT)(sum + word);
        }
        USHORT stored = 0;
        if (NT_SUCCESS(status)) {
            status = EepromReadWord(Fdo, EEPROM_CHECKSUM_WORD, &stored);
        }
        if (NT_SUCCESS(status) && (USHORT)(sum + stored) != EEPROM_CHECKSUM) {
            status = EepromWriteEnable(Fdo);
            if (NT_SUCCESS(status)) {
                status = EepromWriteWord(Fdo, EEPROM_CHECKSUM_WORD, (USHORT)(EEPROM_CHECKSUM - sum));
            }
            NTSTATUS disable = EepromWriteDisable(Fdo);
            if (NT_SUCCESS(status)) {
                status = disable;
            }
            if (NT_SUCCESS(status)) {
                status = EepromReadWord(Fdo, EEPROM_CHECKSUM_WORD, &stored);
            }
        }
    }
    NTSTATUS disable = EepromWriteDisable(Fdo);
    return NT_SUCCESS(status) ? disable : status;
}
