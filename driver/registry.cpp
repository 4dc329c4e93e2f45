/*
 * registry.cpp: the registry keys behind the driver's values.
 */
#include "config.h"

/* The keys are opened for reading only: a value cannot be queried through
 * a handle that lacks KEY_QUERY_VALUE, which the standard rights alone do
 * not carry. */
NTSTATUS ConfigQueryParametersKey(PVOID Context, PCUNICODE_STRING Name, PULONG Value)
{
    WDFKEY key;
    NTSTATUS status = WdfDriverOpenParametersRegistryKey((WDFDRIVER)Context, KEY_READ,
                                                         WDF_NO_OBJECT_ATTRIBUTES, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = WdfRegistryQueryULong(key, Name, Value);
    WdfRegistryClose(key);
    return status;
}

NTSTATUS ConfigQueryDeviceKey(PVOID Context, PCUNICODE_STRING Name, PULONG Value)
{
    WDFKEY key;
    NTSTATUS status = WdfDeviceOpenRegistryKey((WDFDEVICE)Context, PLUGPLAY_REGKEY_DEVICE, KEY_READ,
                                               WDF_NO_OBJECT_ATTRIBUTES, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = WdfRegistryQueryULong(key, Name, Value);
    WdfRegistryClose(key);
    return status;
}
