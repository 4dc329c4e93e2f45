/*
 * driver.cpp: driver entry and unload.
 */
#include "driver.h"

#include "config.h"

#define FL_VERSION_MAJOR    1
#define FL_VERSION_MINOR    4
#define FL_VERSION_BUILD    1843
#define FL_VERSION_REVISION 846

#define TIMER_RESOLUTION_1MS 10000 /* 100 ns units */

static VOID StopThread(PDRIVER_CONTEXT Context, PCOMMAND_RING Ring, WDFWAITLOCK Lock, PKTHREAD *Thread)
{
    if (*Thread == NULL) {
        return;
    }
    PostCommand(Ring, Lock, FL_MGM_STOP, NULL, NULL);
    ThreadWaitAndRelease(Thread);
    UNREFERENCED_PARAMETER(Context);
}

/* Stops whichever thread runs and withdraws the timer resolution request;
 * safe to call again. */
VOID DriverStopThreads(PDRIVER_CONTEXT Context)
{
    StopThread(Context, &Context->MgmRing, Context->MgmRingLock, &Context->MgmThread);
    StopThread(Context, &Context->NegRing, Context->NegRingLock, &Context->NegThread);
    if (Context->TimerResolutionSet) {
        ExSetTimerResolution(0, FALSE);
        Context->TimerResolutionSet = FALSE;
    }
}

/* For ThreadStart: a driver-wide thread that started but could not be
 * referenced is told to stop through its command ring. */
static VOID NegotiationStop(PVOID StartContext)
{
    PDRIVER_CONTEXT context = (PDRIVER_CONTEXT)StartContext;
    PostCommand(&context->NegRing, context->NegRingLock, FL_NEG_STOP, NULL, NULL);
}

static VOID ManagementStop(PVOID StartContext)
{
    PDRIVER_CONTEXT context = (PDRIVER_CONTEXT)StartContext;
    PostCommand(&context->MgmRing, context->MgmRingLock, FL_MGM_STOP, NULL, NULL);
}

VOID DriverUnload(WDFOBJECT Driver)
{
    DriverStopThreads(DriverGetContext(Driver));
}

extern "C" __attribute__((visibility("default"))) NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject,
                                                                        PUNICODE_STRING RegistryPath)
{
    DbgPrint("Driver v %u.%u.%u.%.u compiled at %s %s\n", FL_VERSION_MAJOR, FL_VERSION_MINOR, FL_VERSION_BUILD,
             FL_VERSION_REVISION, __DATE__, __TIME__);

    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, PortAdd);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DRIVER_CONTEXT);
    attributes.EvtCleanupCallback = DriverUnload;

    WDFDRIVER driver;
    NTSTATUS status = WdfDriverCreate(DriverObject, RegistryPath, &attributes, &config, &driver);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PDRIVER_CONTEXT context = DriverGetContext(driver);

    ConfigReadDriverValues(context, ConfigQueryParametersKey, driver);

    status = WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &context->NegRingLock);
    if (NT_SUCCESS(status)) {
        status = ThreadStart(NegotiationThread, context, NegotiationStop, &context->NegThread);
    }
    if (NT_SUCCESS(status)) {
        status = WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &context->MgmRingLock);
    }
    if (NT_SUCCESS(status)) {
        status = ThreadStart(ManagementThread, context, ManagementStop, &context->MgmThread);
    }
    if (!NT_SUCCESS(status)) {
        DriverStopThreads(context);
        return status;
    }

    ExSetTimerResolution(TIMER_RESOLUTION_1MS, TRUE);
    context->TimerResolutionSet = TRUE;
    return STATUS_SUCCESS;
}
