/*
 * config.h: the driver's registry values, their defaults and the values
 * each accepts. A value that is missing, unreadable or not accepted leaves
 * the default in place, silently; nothing is ever written back.
 */
#ifndef FL_DRIVER_CONFIG_H
#define FL_DRIVER_CONFIG_H

#include "driver.h"

#define FL_DEFAULT_TIMESTAMPING_MODE      2
#define FL_DEFAULT_MGM_THREAD_PRIORITY    16
#define FL_DEFAULT_SLOTS                  0x20000
#define FL_MIN_SLOTS                      4096
#define FL_DEFAULT_SLOT_SIZE              256
#define FL_MAX_TX_SLOT_SIZE               0xFFFF /* a transmit descriptor's length field */
#define FL_DEFAULT_DESCRIPTORS            4096
#define FL_DEFAULT_DMA_CHUNK_SIZE         0x40000
#define FL_DEFAULT_AUTONEGOTIATION        FL_MODES_ALL
#define FL_DEFAULT_PRUNING_THRESHOLD      30

/* Reads one REG_DWORD; any failure status means "not there". */
typedef NTSTATUS CONFIG_QUERY_ULONG(PVOID Context, PCUNICODE_STRING Name, PULONG Value);
typedef CONFIG_QUERY_ULONG *PCONFIG_QUERY_ULONG;

/* TimestampingMode and MgmThreadPriority, in that order. */
VOID ConfigReadDriverValues(PDRIVER_CONTEXT Context, PCONFIG_QUERY_ULONG Query, PVOID QueryContext);

/* The ten per-port values in their fixed order (DmaChunkSize is checked
 * against the slot sizes settled before it), and PruneThresholdSlots. */
VOID ConfigReadPortValues(PFDO_DATA Fdo, PCONFIG_QUERY_ULONG Query, PVOID QueryContext);

/* threshold percent x RxSlots / 100, truncated. */
ULONG PruneThresholdSlots(ULONG ThresholdPercent, ULONG RxSlots);

/* The registry behind the two: the service's Parameters key (Context: the
 * WDFDRIVER) and the port's hardware key (Context: the WDFDEVICE). Each
 * value opens the key, queries it and closes the key again. */
CONFIG_QUERY_ULONG ConfigQueryParametersKey;
CONFIG_QUERY_ULONG ConfigQueryDeviceKey;

#endif /* FL_DRIVER_CONFIG_H */
