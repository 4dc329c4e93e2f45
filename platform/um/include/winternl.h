#ifndef FL_UM_WINTERNL_H
#define FL_UM_WINTERNL_H

#include "minwinbase.h"

EXTERN_C_START

/* The Win32 error Windows reports for a status (one table for every call). */
ULONG WINAPI RtlNtStatusToDosError(NTSTATUS Status);

EXTERN_C_END

#endif
