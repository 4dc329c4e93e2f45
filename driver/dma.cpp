/*
 * dma.cpp: a port's DMA memory (descriptor rings, slot buffers, slot
 * arrays) and its reader table. Everything of the DMA side hangs on the
 * DMA enabler: deleting it frees the common buffers as its children and
 * the pool arrays in its cleanup.
 */
#include "driver.h"

#include "slots.h"

typedef struct _DMA_CONTEXT {
    PFDO_DATA Fdo;
} DMA_CONTEXT, *PDMA_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DMA_CONTEXT, DmaGetContext)

static VOID PoolFree(PVOID *Pointer)
{
    if (*Pointer != NULL) {
        ExFreePoolWithTag(*Pointer, FL_POOL_TAG);
        *Pointer = NULL;
    }
}

static VOID DmaEnablerCleanup(WDFOBJECT Enabler)
{
    PFDO_DATA fdo = DmaGetContext(Enabler)->Fdo;
    PoolFree((PVOID *)&fdo->RxSlotArray);
    PoolFree((PVOID *)&fdo->TxSlotArray);
    PoolFree((PVOID *)&fdo->TxDescSlotMap);
    /* The common buffers go with the enabler. */
    fdo->RxRing = NULL;
    fdo->RxRingLogical = 0;
    fdo->TxRing = NULL;
    fdo->TxRingLogical = 0;
}

static PVOID PoolAllocateZeroed(SIZE_T Bytes)
{
    PVOID p = ExAllocatePoolWithTag(NonPagedPoolCacheAligned, Bytes, FL_POOL_TAG);
    if (p != NULL) {
        RtlZeroMemory(p, Bytes);
    }
    return p;
}

static NTSTATUS CommonBufferAllocate(PVOID Context, SIZE_T Length, PUCHAR *Virtual, PULONGLONG Logical)
{
    WDFCOMMONBUFFER buffer;
    NTSTATUS status = WdfCommonBufferCreate((WDFDMAENABLER)Context, Length, WDF_NO_OBJECT_ATTRIBUTES, &buffer);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *Virtual = (PUCHAR)WdfCommonBufferGetAlignedVirtualAddress(buffer);
    *Logical = (ULONGLONG)WdfCommonBufferGetAlignedLogicalAddress(buffer).QuadPart;
    return STATUS_SUCCESS;
}

static VOID RxSlotCarved(PVOID Context, ULONG Index, PUCHAR Virtual, ULONGLONG Logical)
{
    PRX_SLOT slot = &((PFDO_DATA)Context)->RxSlotArray[Index];
    slot->Image.BufferAddress = Logical;
    slot->Image.Status = 0;
    slot->Buffer = Virtual;
}

static VOID TxSlotCarved(PVOID Context, ULONG Index, PUCHAR Virtual, ULONGLONG Logical)
{
    PTX_SLOT slot = &((PFDO_DATA)Context)->TxSlotArray[Index];
    slot->Image.BufferAddress = Logical;
    slot->Buffer = Virtual;
}

static NTSTATUS RingAllocate(WDFDMAENABLER Enabler, ULONG Descriptors, PVOID *Ring, PULONGLONG Logical)
{
    PUCHAR virt;
    NTSTATUS status = CommonBufferAllocate(Enabler, (SIZE_T)16 * Descriptors, &virt, Logical);
    if (NT_SUCCESS(status)) {
        *Ring = virt;
    }
    return status;
}

static NTSTATUS DmaAllocateAll(PFDO_DATA Fdo, WDFDMAENABLER Enabler)
{
    Fdo->RxSlotArray = (PRX_SLOT)PoolAllocateZeroed((SIZE_T)Fdo->RxSlots * sizeof(RX_SLOT));
    Fdo->TxSlotArray = (PTX_SLOT)PoolAllocateZeroed((SIZE_T)Fdo->TxSlots * sizeof(TX_SLOT));
    if (Fdo->RxSlotArray == NULL || Fdo->TxSlotArray == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = RingAllocate(Enabler, Fdo->RxDescriptors, (PVOID *)&Fdo->RxRing, &Fdo->RxRingLogical);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = RingAllocate(Enabler, Fdo->TxDescriptors, (PVOID *)&Fdo->TxRing, &Fdo->TxRingLogical);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = SlotsCarve(Fdo->RxSlots, Fdo->RxSlotSize, Fdo->DmaChunkSize, CommonBufferAllocate, Enabler,
                        RxSlotCarved, Fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = SlotsCarve(Fdo->TxSlots, Fdo->TxSlotSize, Fdo->DmaChunkSize, CommonBufferAllocate, Enabler,
                        TxSlotCarved, Fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Fdo->TxDescSlotMap = (PULONG)PoolAllocateZeroed((SIZE_T)Fdo->TxDescriptors * sizeof(ULONG));
    return Fdo->TxDescSlotMap != NULL ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS RxAllocate(PFDO_DATA Fdo)
{
    size_t maximum = (size_t)16 * Fdo->RxDescriptors;
    if ((size_t)16 * Fdo->TxDescriptors > maximum) maximum = (size_t)16 * Fdo->TxDescriptors;
    if (Fdo->DmaChunkSize > maximum) maximum = Fdo->DmaChunkSize;

    WDF_DMA_ENABLER_CONFIG config;
    WDF_DMA_ENABLER_CONFIG_INIT(&config, WdfDmaProfileScatterGather64Duplex, maximum);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DMA_CONTEXT);
    attributes.EvtCleanupCallback = DmaEnablerCleanup;

    WDFDMAENABLER enabler;
    NTSTATUS status = WdfDmaEnablerCreate(Fdo->Device, &config, &attributes, &enabler);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    DmaGetContext(enabler)->Fdo = Fdo;
    Fdo->DmaEnabler = enabler;

    status = DmaAllocateAll(Fdo, enabler);
    if (!NT_SUCCESS(status)) {
        WdfObjectDelete(enabler);
        Fdo->DmaEnabler = NULL;
    }
    return status;
}

NTSTATUS ReaderTableCreate(PFDO_DATA Fdo)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Fdo->Device;
    NTSTATUS status = WdfSpinLockCreate(&attributes, &Fdo->ReaderLock);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Fdo->ReaderTable = (PREADER_ENTRY)PoolAllocateZeroed(FL_READER_COUNT * sizeof(READER_ENTRY));
    if (Fdo->ReaderTable == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (ULONG i = 0; i < FL_READER_COUNT; i++) {
        Fdo->ReaderTable[i].Position = 0;
        Fdo->ReaderTable[i].Prunable = 1;
        Fdo->ReaderTable[i].Active = 0;
    }
    Fdo->ReaderCount = FL_READER_COUNT;
    Fdo->ActiveReaders = 0;
    return STATUS_SUCCESS;
}

VOID ReaderTableFree(PFDO_DATA Fdo)
{
    PoolFree((PVOID *)&Fdo->ReaderTable);
    Fdo->ReaderCount = 0;
}
