/*
 * Console control handlers. A console event is a signal here: SIGINT is
 * CTRL_C_EVENT, SIGHUP and SIGTERM are CTRL_CLOSE_EVENT. Handlers run on a
 * thread of the platform's own, never inside the signal, most recently added
 * first, until one returns TRUE. When none does, the signal's default action
 * ends the process, as Windows' default handler would.
 *
 * Unlike Windows, a process that handled CTRL_CLOSE_EVENT is not ended when
 * its handler returns: it finishes on its own, so that what it was writing
 * is complete.
 */
#ifndef FL_UM_CONSOLEAPI_H
#define FL_UM_CONSOLEAPI_H

#include "minwindef.h"

EXTERN_C_START

#define CTRL_C_EVENT        0
#define CTRL_BREAK_EVENT    1
#define CTRL_CLOSE_EVENT    2
#define CTRL_LOGOFF_EVENT   5
#define CTRL_SHUTDOWN_EVENT 6

typedef BOOL(WINAPI *PHANDLER_ROUTINE)(_In_ DWORD CtrlType);

/* HandlerRoutine NULL with Add TRUE ignores CTRL_C_EVENT, with Add FALSE
 * restores it. Removing a handler that was not added fails with
 * ERROR_INVALID_PARAMETER. */
BOOL WINAPI SetConsoleCtrlHandler(_In_opt_ PHANDLER_ROUTINE HandlerRoutine, _In_ BOOL Add);

EXTERN_C_END

#endif
