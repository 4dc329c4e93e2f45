/*
 * <ntddk.h>: the kernel-mode surface a driver of this system compiles
 * against. Everything lives in <wdm.h>; this header exists because drivers
 * traditionally include <ntddk.h>.
 */
#ifndef FL_KM_NTDDK_H
#define FL_KM_NTDDK_H

#include "wdm.h"

#endif
