/*
 * system_reason.cpp - the line that tells the user why a system call failed.
 * Apart from the capture loop, so that the file formats' code can print it
 * without the capture library.
 */
#include "dump_tool.h"

void print_system_reason(DWORD Error)
{
    if (Error == ERROR_SUCCESS) {
        return;
    }
    char text[512];
    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                       nullptr, Error, 0, text, sizeof(text), nullptr) != 0) {
        printf("%s\n", text);
    } else {
        printf("System error %lu.\n", static_cast<unsigned long>(Error));
    }
}
