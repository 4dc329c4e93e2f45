/*
 * Device control codes as user mode builds them. The layout is the one the
 * drivers decode (devioctl.h); DeviceIoControl itself is in ioapiset.h.
 */
#ifndef FL_UM_WINIOCTL_H
#define FL_UM_WINIOCTL_H

#include <devioctl.h>

#ifndef FILE_DEVICE_NETWORK
#define FILE_DEVICE_NETWORK 0x00000012u
#endif

#endif
