/*
 * interrupt.cpp: the link-change interrupt. Packets never interrupt; they
 * are polled.
 */
#include "controller.h"

BOOLEAN IsrService(PFDO_DATA Fdo)
{
    ULONG icr = RegRead(Fdo, E1000_ICR); /* reading clears the causes */
    if (!(icr & E1000_ICR_ASSERTED)) {
        return FALSE; /* a device sharing the line */
    }
    if (icr & E1000_ICR_LSC) {
        LinkUpdate(Fdo);
    }
    return TRUE;
}

VOID InterruptsOn(PFDO_DATA Fdo)
{
    RegWrite(Fdo, E1000_IMS, E1000_IMS_LSC);
}

VOID InterruptsOff(PFDO_DATA Fdo)
{
    RegWrite(Fdo, E1000_IMC, 0xFFFFFFFFu);
}
