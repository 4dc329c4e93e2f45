/*
 * threads.cpp: system threads and the command rings that drive the two
 * driver-wide threads.
 */
#include "driver.h"

#include "hw/controller.h"

#define RING_FULL_WAIT_MS 10

NTSTATUS ThreadStart(PKSTART_ROUTINE Routine, PVOID Context, PTHREAD_STOP Stop, PKTHREAD *Thread)
{
    *Thread = NULL;
    HANDLE handle;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, NULL, NULL, Routine, Context);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, (PVOID *)Thread, NULL);
    if (!NT_SUCCESS(status)) {
        /* The thread runs already, on a context its owner gives up when
         * this start fails: it ends before we return. The handle still
         * names it. */
        *Thread = NULL;
        Stop(Context);
        (VOID) ZwWaitForSingleObject(handle, FALSE, NULL);
    }
    ZwClose(handle);
    return status;
}

VOID ThreadWaitAndRelease(PKTHREAD *Thread)
{
    if (*Thread == NULL) {
        return;
    }
    KeWaitForSingleObject(*Thread, Executive, KernelMode, FALSE, NULL);
    ObDereferenceObject(*Thread);
    *Thread = NULL;
}

static ULONG RingFree(PCOMMAND_RING Ring, ULONG Producer)
{
    ULONG free = (ReadULongAcquire(&Ring->Consumer) - Producer) % FL_COMMAND_RING_SIZE;
    return free == 0 ? FL_COMMAND_RING_SIZE : free;
}

VOID PostCommand(PCOMMAND_RING Ring, WDFWAITLOCK Lock, ULONG Command, PFDO_DATA First, PFDO_DATA Second)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);

    WdfWaitLockAcquire(Lock, NULL);
    /* Only the lock holder moves the producer. One entry always stays
     * empty, so a full ring is one with a single free entry. */
    ULONG producer = Ring->Producer;
    while (RingFree(Ring, producer) <= 1) {
        SleepMilliseconds(RING_FULL_WAIT_MS);
    }
    PCOMMAND entry = &Ring->Entries[producer];
    entry->Command = Command;
    entry->First = First;
    entry->Second = Second;
    entry->Done = &done;
    WriteULongRelease(&Ring->Producer, (producer + 1) % FL_COMMAND_RING_SIZE);
    WdfWaitLockRelease(Lock);

    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
}

BOOLEAN TryPostCommand(PCOMMAND_RING Ring, WDFWAITLOCK Lock, ULONG Command, PFDO_DATA First, PFDO_DATA Second,
                       PKEVENT Done)
{
    LONGLONG now = 0;
    if (WdfWaitLockAcquire(Lock, &now) != STATUS_SUCCESS) {
        return FALSE;
    }
    ULONG producer = Ring->Producer;
    BOOLEAN posted = RingFree(Ring, producer) > 1;
    if (posted) {
        PCOMMAND entry = &Ring->Entries[producer];
        entry->Command = Command;
        entry->First = First;
        entry->Second = Second;
        entry->Done = Done;
        WriteULongRelease(&Ring->Producer, (producer + 1) % FL_COMMAND_RING_SIZE);
    }
    WdfWaitLockRelease(Lock);
    return posted;
}

BOOLEAN TakeCommand(PCOMMAND_RING Ring, PCOMMAND Command)
{
    ULONG consumer = Ring->Consumer; /* only this thread moves it */
    if (consumer == ReadULongAcquire(&Ring->Producer)) {
        return FALSE;
    }
    *Command = Ring->Entries[consumer];
    WriteULongRelease(&Ring->Consumer, (consumer + 1) % FL_COMMAND_RING_SIZE);
    return TRUE;
}

BOOLEAN CommandPending(PCOMMAND_RING Ring)
{
    return Ring->Consumer != ReadULongAcquire(&Ring->Producer); /* consumer: only this thread moves it */
}
