/*
 * slots.h: carving fixed-size slots out of DMA common buffers.
 */
#ifndef FL_DRIVER_SLOTS_H
#define FL_DRIVER_SLOTS_H

#include <ntddk.h>

/* Allocates one common buffer of Length bytes. */
typedef NTSTATUS SLOT_CHUNK_ALLOCATE(PVOID Context, SIZE_T Length, PUCHAR *Virtual, PULONGLONG Logical);
typedef SLOT_CHUNK_ALLOCATE *PSLOT_CHUNK_ALLOCATE;

/* Receives slot Index's buffer. */
typedef VOID SLOT_CARVED(PVOID Context, ULONG Index, PUCHAR Virtual, ULONGLONG Logical);
typedef SLOT_CARVED *PSLOT_CARVED;

/* Fills SlotCount slots of SlotSize bytes from chunks of ChunkSize bytes.
 * When memory is short a chunk is retried at half the size, a quarter, ...
 * while it still holds one slot; each new chunk starts again at ChunkSize.
 * Fails with the allocator's last status when no size works. */
NTSTATUS SlotsCarve(ULONG SlotCount, ULONG SlotSize, ULONG ChunkSize, PSLOT_CHUNK_ALLOCATE Allocate,
                    PVOID AllocateContext, PSLOT_CARVED Carved, PVOID CarvedContext);

#endif /* FL_DRIVER_SLOTS_H */
