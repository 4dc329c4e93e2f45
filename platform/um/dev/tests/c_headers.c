/* The device headers as a C program of the system sees them. */
#include <windows.h>
#include <setupapi.h>
#include <winioctl.h>

#include <stddef.h>

C_ASSERT(sizeof(SP_DEVINFO_DATA) == 32);
C_ASSERT(sizeof(SP_DEVICE_INTERFACE_DATA) == 32);
C_ASSERT(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8);
C_ASSERT(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) == 4);
C_ASSERT(sizeof(SP_PROPCHANGE_PARAMS) == 20);
C_ASSERT(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS) == 0x222004);

int umdev_c_headers_check(void) {
    SP_DEVINSTALL_PARAMS params;
    params.cbSize = sizeof params;
    return params.cbSize == sizeof(SP_DEVINSTALL_PARAMS_A) && DIGCF_PRESENT + DIGCF_DEVICEINTERFACE == 0x12 &&
           (DI_NEEDRESTART | DI_NEEDREBOOT) == 0x180;
}
