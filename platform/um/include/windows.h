/*
 * The Win32 surface of this platform. Compiles as C and as C++.
 */
#ifndef FL_UM_WINDOWS_H
#define FL_UM_WINDOWS_H

#include "minwindef.h"
#include "winerror.h"
#include "minwinbase.h"
#include "winbase.h"
#include "handleapi.h"
#include "errhandlingapi.h"
#include "synchapi.h"
#include "processthreadsapi.h"
#include "profileapi.h"
#include "sysinfoapi.h"
#include "wow64apiset.h"
#include "libloaderapi.h"
#include "fileapi.h"
#include "ioapiset.h"
#include "winreg.h"
#include "consoleapi.h"

#endif
