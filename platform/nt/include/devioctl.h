/*
 * Device control code layout, shared by the driver and by user mode.
 */
#ifndef FL_PLATFORM_DEVIOCTL_H
#define FL_PLATFORM_DEVIOCTL_H

#include "ntdef.h"

typedef ULONG DEVICE_TYPE;

#define FILE_DEVICE_UNKNOWN 0x00000022u

#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((ULONG)(DeviceType) << 16) | ((ULONG)(Access) << 14) | ((ULONG)(Function) << 2) | (ULONG)(Method))

#define DEVICE_TYPE_FROM_CTL_CODE(ctrlCode) (((ULONG)(ctrlCode) & 0xFFFF0000u) >> 16)
#define METHOD_FROM_CTL_CODE(ctrlCode) ((ULONG)((ctrlCode) & 3u))
#define FUNCTION_FROM_CTL_CODE(ctrlCode) (((ULONG)(ctrlCode) >> 2) & 0xFFFu)
#define ACCESS_FROM_CTL_CODE(ctrlCode) (((ULONG)(ctrlCode) >> 14) & 3u)

#define METHOD_BUFFERED   0u
#define METHOD_IN_DIRECT  1u
#define METHOD_OUT_DIRECT 2u
#define METHOD_NEITHER    3u
#define METHOD_DIRECT_TO_HARDWARE METHOD_IN_DIRECT
#define METHOD_DIRECT_FROM_HARDWARE METHOD_OUT_DIRECT

#define FILE_ANY_ACCESS     0u
#define FILE_SPECIAL_ACCESS FILE_ANY_ACCESS
#define FILE_READ_ACCESS    0x0001u
#define FILE_WRITE_ACCESS   0x0002u

#endif
