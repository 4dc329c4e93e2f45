/* The console headers compile as C, the way a C program includes them. */
#include <windows.h>
#include <conio.h>

static BOOL WINAPI CHandler(DWORD CtrlType) { return CtrlType == CTRL_C_EVENT; }

int console_headers_compile_as_c(void)
{
    PHANDLER_ROUTINE handler = CHandler;
    return handler(CTRL_CLOSE_EVENT) == FALSE && _kbhit() >= 0;
}
