/*
 * The device installation functions (SetupAPI) that find devices by their
 * interface class, reach their registry keys and properties, and restart them
 * through the class installer. Compiles as C and as C++.
 *
 * Only device interface sets exist here: SetupDiGetClassDevsA needs
 * DIGCF_DEVICEINTERFACE. A set is a snapshot of the interfaces when it was
 * made; the first set of a process boots the machine.
 */
#ifndef FL_UM_SETUPAPI_H
#define FL_UM_SETUPAPI_H

#include "minwinbase.h"
#include "winerror.h"
#include "winreg.h"

typedef PVOID HDEVINFO;
typedef UINT DI_FUNCTION;

/* SetupDiGetClassDevs flags. */
#define DIGCF_DEFAULT         0x00000001u
#define DIGCF_PRESENT         0x00000002u
#define DIGCF_ALLCLASSES      0x00000004u
#define DIGCF_PROFILE         0x00000008u
#define DIGCF_DEVICEINTERFACE 0x00000010u

/* SP_DEVICE_INTERFACE_DATA.Flags. */
#define SPINT_ACTIVE  0x00000001u
#define SPINT_DEFAULT 0x00000002u
#define SPINT_REMOVED 0x00000004u

/* Property changes (SP_PROPCHANGE_PARAMS). */
#define DICS_ENABLE     0x00000001u
#define DICS_DISABLE    0x00000002u
#define DICS_PROPCHANGE 0x00000003u
#define DICS_START      0x00000004u
#define DICS_STOP       0x00000005u

#define DICS_FLAG_GLOBAL         0x00000001u
#define DICS_FLAG_CONFIGSPECIFIC 0x00000002u
#define DICS_FLAG_CONFIGGENERAL  0x00000004u

/* SetupDiOpenDevRegKey key types. */
#define DIREG_DEV  0x00000001u
#define DIREG_DRV  0x00000002u
#define DIREG_BOTH 0x00000004u

/* Class installer functions. */
#define DIF_PROPERTYCHANGE 0x00000012u

/* SP_DEVINSTALL_PARAMS.Flags set by the class installer. */
#define DI_NEEDRESTART 0x00000080u
#define DI_NEEDREBOOT  0x00000100u

/* Device registry properties. */
#define SPDRP_DEVICEDESC        0x00000000u
#define SPDRP_HARDWAREID        0x00000001u
#define SPDRP_COMPATIBLEIDS     0x00000002u
#define SPDRP_SERVICE           0x00000004u
#define SPDRP_CLASS             0x00000007u
#define SPDRP_CLASSGUID         0x00000008u
#define SPDRP_DRIVER            0x00000009u
#define SPDRP_CONFIGFLAGS       0x0000000Au
#define SPDRP_MFG               0x0000000Bu
#define SPDRP_FRIENDLYNAME      0x0000000Cu
#define SPDRP_MAXIMUM_PROPERTY  0x00000025u

/* SetupAPI's own errors. */
#define APPLICATION_ERROR_MASK 0x20000000u
#define ERROR_SEVERITY_ERROR   0xC0000000u
#define ERROR_KEY_DOES_NOT_EXIST        (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x204u)
#define ERROR_INVALID_REG_PROPERTY      (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x209u)
#define ERROR_NO_SUCH_DEVINST           (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x20Bu)
#define ERROR_DI_DO_DEFAULT             (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x20Eu)
#define ERROR_INVALID_HWPROFILE         (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x210u)
#define ERROR_NO_CLASSINSTALL_PARAMS    (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x215u)
#define ERROR_NO_SUCH_DEVICE_INTERFACE  (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x225u)

/* A device of a set. DevInst names the device within the process. */
typedef struct _SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;

typedef struct _SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
} SP_DEVICE_INTERFACE_DATA, *PSP_DEVICE_INTERFACE_DATA;

/* cbSize is sizeof the structure (the fixed header), whatever the length of
 * the buffer the caller allocated for the path. */
typedef struct _SP_DEVICE_INTERFACE_DETAIL_DATA_A {
    DWORD cbSize;
    CHAR DevicePath[1];
} SP_DEVICE_INTERFACE_DETAIL_DATA_A, *PSP_DEVICE_INTERFACE_DETAIL_DATA_A;

typedef struct _SP_CLASSINSTALL_HEADER {
    DWORD cbSize;
    DI_FUNCTION InstallFunction;
} SP_CLASSINSTALL_HEADER, *PSP_CLASSINSTALL_HEADER;

typedef struct _SP_PROPCHANGE_PARAMS {
    SP_CLASSINSTALL_HEADER ClassInstallHeader;
    DWORD StateChange;
    DWORD Scope;
    DWORD HwProfile;
} SP_PROPCHANGE_PARAMS, *PSP_PROPCHANGE_PARAMS;

typedef struct _SP_DEVINSTALL_PARAMS_A {
    DWORD cbSize;
    DWORD Flags;
    DWORD FlagsEx;
    HWND hwndParent;
    PVOID InstallMsgHandler;
    PVOID InstallMsgHandlerContext;
    PVOID FileQueue;
    ULONG_PTR ClassInstallReserved;
    DWORD Reserved;
    CHAR DriverPath[MAX_PATH];
} SP_DEVINSTALL_PARAMS_A, *PSP_DEVINSTALL_PARAMS_A;

typedef struct _SP_DEVINSTALL_PARAMS_W {
    DWORD cbSize;
    DWORD Flags;
    DWORD FlagsEx;
    HWND hwndParent;
    PVOID InstallMsgHandler;
    PVOID InstallMsgHandlerContext;
    PVOID FileQueue;
    ULONG_PTR ClassInstallReserved;
    DWORD Reserved;
    WCHAR DriverPath[MAX_PATH];
} SP_DEVINSTALL_PARAMS_W, *PSP_DEVINSTALL_PARAMS_W;

#ifdef UNICODE
typedef SP_DEVINSTALL_PARAMS_W SP_DEVINSTALL_PARAMS;
typedef PSP_DEVINSTALL_PARAMS_W PSP_DEVINSTALL_PARAMS;
#define SetupDiGetDeviceInstallParams SetupDiGetDeviceInstallParamsW
#else
typedef SP_DEVINSTALL_PARAMS_A SP_DEVINSTALL_PARAMS;
typedef PSP_DEVINSTALL_PARAMS_A PSP_DEVINSTALL_PARAMS;
#define SetupDiGetDeviceInstallParams SetupDiGetDeviceInstallParamsA
#endif
typedef SP_DEVICE_INTERFACE_DETAIL_DATA_A SP_DEVICE_INTERFACE_DETAIL_DATA;
typedef PSP_DEVICE_INTERFACE_DETAIL_DATA_A PSP_DEVICE_INTERFACE_DETAIL_DATA;

EXTERN_C_START

/* Flags must include DIGCF_DEVICEINTERFACE; with DIGCF_PRESENT only the
 * interfaces of started devices are listed. Enumerator, when given, is a
 * device instance ID that the set is limited to. INVALID_HANDLE_VALUE on
 * failure (also when the machine cannot boot). */
HDEVINFO WINAPI SetupDiGetClassDevsA(_In_opt_ const GUID *ClassGuid, _In_opt_ PCSTR Enumerator,
                                     _In_opt_ HWND hwndParent, _In_ DWORD Flags);
BOOL WINAPI SetupDiDestroyDeviceInfoList(_In_ HDEVINFO DeviceInfoSet);

/* FALSE with ERROR_NO_MORE_ITEMS past the last interface. */
BOOL WINAPI SetupDiEnumDeviceInterfaces(_In_ HDEVINFO DeviceInfoSet, _In_opt_ PSP_DEVINFO_DATA DeviceInfoData,
                                        _In_ const GUID *InterfaceClassGuid, _In_ DWORD MemberIndex,
                                        _Out_ PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);

/* Without a buffer (or with one too small): FALSE, ERROR_INSUFFICIENT_BUFFER
 * and the size needed in *RequiredSize. The path has the Windows form
 * "\\?\pci#ven_...#{class guid}". */
BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(_In_ HDEVINFO DeviceInfoSet,
                                             _In_ PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                             _Out_opt_ PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                             _In_ DWORD DeviceInterfaceDetailDataSize,
                                             _Out_opt_ PDWORD RequiredSize,
                                             _Out_opt_ PSP_DEVINFO_DATA DeviceInfoData);

/* DIREG_DEV opens the device's hardware key ("Device Parameters"), where its
 * driver reads its settings. INVALID_HANDLE_VALUE on failure. */
HKEY WINAPI SetupDiOpenDevRegKey(_In_ HDEVINFO DeviceInfoSet, _In_ PSP_DEVINFO_DATA DeviceInfoData,
                                 _In_ DWORD Scope, _In_ DWORD HwProfile, _In_ DWORD KeyType,
                                 _In_ REGSAM samDesired);

/* A missing property: FALSE with ERROR_INVALID_DATA. */
BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(_In_ HDEVINFO DeviceInfoSet, _In_ PSP_DEVINFO_DATA DeviceInfoData,
                                              _In_ DWORD Property, _Out_opt_ PDWORD PropertyRegDataType,
                                              _Out_opt_ PBYTE PropertyBuffer, _In_ DWORD PropertyBufferSize,
                                              _Out_opt_ PDWORD RequiredSize);

BOOL WINAPI SetupDiSetClassInstallParamsW(_In_ HDEVINFO DeviceInfoSet, _In_opt_ PSP_DEVINFO_DATA DeviceInfoData,
                                          _In_opt_ PSP_CLASSINSTALL_HEADER ClassInstallParams,
                                          _In_ DWORD ClassInstallParamsSize);

/* DIF_PROPERTYCHANGE runs the property change set before: a disable stops
 * the device through the PnP manager (every handle open on it ends), an
 * enable starts it again once it is disabled in no scope. */
BOOL WINAPI SetupDiCallClassInstaller(_In_ DI_FUNCTION InstallFunction, _In_ HDEVINFO DeviceInfoSet,
                                      _In_opt_ PSP_DEVINFO_DATA DeviceInfoData);

BOOL WINAPI SetupDiGetDeviceInstallParamsA(_In_ HDEVINFO DeviceInfoSet, _In_opt_ PSP_DEVINFO_DATA DeviceInfoData,
                                           _Out_ PSP_DEVINSTALL_PARAMS_A DeviceInstallParams);
BOOL WINAPI SetupDiGetDeviceInstallParamsW(_In_ HDEVINFO DeviceInfoSet, _In_opt_ PSP_DEVINFO_DATA DeviceInfoData,
                                           _Out_ PSP_DEVINSTALL_PARAMS_W DeviceInstallParams);

EXTERN_C_END

#endif
