/*
 * slots.cpp: carving fixed-size slots out of DMA common buffers.
 */
#include "slots.h"

NTSTATUS SlotsCarve(ULONG SlotCount, ULONG SlotSize, ULONG ChunkSize, PSLOT_CHUNK_ALLOCATE Allocate,
                    PVOID AllocateContext, PSLOT_CARVED Carved, PVOID CarvedContext)
{
    if (SlotSize == 0 || ChunkSize < SlotSize) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG index = 0;
    while (index < SlotCount) {
        SIZE_T size = ChunkSize;
        PUCHAR virt = NULL;
        ULONGLONG logical = 0;
        NTSTATUS status;
        for (;;) {
            status = Allocate(AllocateContext, size, &virt, &logical);
            if (NT_SUCCESS(status)) {
                break;
            }
            size /= 2;
            if (size < SlotSize) {
                return status;
            }
        }
        for (SIZE_T offset = 0; offset + SlotSize <= size && index < SlotCount; offset += SlotSize) {
            Carved(CarvedContext, index++, virt + offset, logical + offset);
        }
    }
    return STATUS_SUCCESS;
}
