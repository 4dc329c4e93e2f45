/*
 * config.cpp: the registry values of the driver and of each port.
 */
#include "config.h"

static BOOLEAN QueryValue(PCONFIG_QUERY_ULONG Query, PVOID QueryContext, PCWSTR Name, PULONG Value)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Name);
    return NT_SUCCESS(Query(QueryContext, &name, Value));
}

VOID ConfigReadDriverValues(PDRIVER_CONTEXT Context, PCONFIG_QUERY_ULONG Query, PVOID QueryContext)
{
    ULONG value;
    Context->TimestampingMode = FL_DEFAULT_TIMESTAMPING_MODE;
    if (QueryValue(Query, QueryContext, u"TimestampingMode", &value) && value <= 2) {
        Context->TimestampingMode = value;
    }
    Context->MgmThreadPriority = FL_DEFAULT_MGM_THREAD_PRIORITY;
    if (QueryValue(Query, QueryContext, u"MgmThreadPriority", &value) && value >= 1 && value <= 31) {
        Context->MgmThreadPriority = value;
    }
}

static BOOLEAN RxSlotSizeAccepted(ULONG Size)
{
    switch (Size) {
    case 256: case 512: case 1024: case 2048: case 4096: case 8192: case 16384:
        return TRUE;
    default:
        return FALSE;
    }
}

static BOOLEAN DescriptorCountAccepted(ULONG Count)
{
    return Count >= 1 && Count <= 4096 && Count % 8 == 0;
}

ULONG PruneThresholdSlots(ULONG ThresholdPercent, ULONG RxSlots)
{
    /* Widened so that a large ring cannot wrap the product; below 2^32 / 95
     * slots the result is the same as in 32 bits. */
    return (ULONG)(((ULONGLONG)ThresholdPercent * RxSlots) / 100);
}

VOID ConfigReadPortValues(PFDO_DATA Fdo, PCONFIG_QUERY_ULONG Query, PVOID QueryContext)
{
    ULONG value;

    Fdo->PassthruEnabled = 0;
    if (QueryValue(Query, QueryContext, u"PassthruEnabled", &value) && value == 1) {
        Fdo->PassthruEnabled = 1;
    }

    Fdo->TxSlots = FL_DEFAULT_SLOTS;
    if (QueryValue(Query, QueryContext, u"TxSlots", &value) && value >= FL_MIN_SLOTS) {
        Fdo->TxSlots = value;
    }

    Fdo->RxSlots = FL_DEFAULT_SLOTS;
    if (QueryValue(Query, QueryContext, u"RxSlots", &value) && value >= FL_MIN_SLOTS) {
        Fdo->RxSlots = value;
    }

    /* A transmit slot of 0 bytes holds nothing (the slot count per frame
     * divides by it), and one above 65535 bytes cannot be described by a
     * transmit descriptor's 16-bit length. Such values fall back to the
     * default like every other unusable value. Since DmaChunkSize is only
     * taken when it holds a whole slot, the slot also always fits a chunk. */
    Fdo->TxSlotSize = FL_DEFAULT_SLOT_SIZE;
    if (QueryValue(Query, QueryContext, u"TxSlotSize", &value) && value >= 1 && value <= FL_MAX_TX_SLOT_SIZE) {
        Fdo->TxSlotSize = value;
    }

    Fdo->RxSlotSize = FL_DEFAULT_SLOT_SIZE;
    if (QueryValue(Query, QueryContext, u"RxSlotSize", &value) && RxSlotSizeAccepted(value)) {
        Fdo->RxSlotSize = value;
    }

    Fdo->TxDescriptors = FL_DEFAULT_DESCRIPTORS;
    if (QueryValue(Query, QueryContext, u"TxDescriptors", &value) && DescriptorCountAccepted(value)) {
        Fdo->TxDescriptors = value;
    }

    Fdo->RxDescriptors = FL_DEFAULT_DESCRIPTORS;
    if (QueryValue(Query, QueryContext, u"RxDescriptors", &value) && DescriptorCountAccepted(value)) {
        Fdo->RxDescriptors = value;
    }

    Fdo->DmaChunkSize = FL_DEFAULT_DMA_CHUNK_SIZE;
    if (QueryValue(Query, QueryContext, u"DmaChunkSize", &value) && value >= Fdo->RxSlotSize &&
        value >= Fdo->TxSlotSize) {
        Fdo->DmaChunkSize = value;
    }

    Fdo->AutonegotiationConfiguration = FL_DEFAULT_AUTONEGOTIATION;
    if (QueryValue(Query, QueryContext, u"AutonegotiationConfiguration", &value) && value >= 1 &&
        value <= FL_MODES_ALL) {
        Fdo->AutonegotiationConfiguration = value;
    }

    ULONG threshold = FL_DEFAULT_PRUNING_THRESHOLD;
    if (QueryValue(Query, QueryContext, u"RxTailPruningThreshold", &value) && value >= 5 && value <= 95) {
        threshold = value;
    }
    Fdo->PruneThresholdSlots = PruneThresholdSlots(threshold, Fdo->RxSlots);
}
