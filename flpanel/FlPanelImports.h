// The functions the panel calls outside itself: the library's exports and
// the registry's. The dialog reaches them through this table so that a test
// can stand one of them in for a failure the machine cannot produce (a
// reboot asked by a restart, a registry that refuses a write).
#pragma once

#include <windows.h>

#include "FlApi.h"

struct FLPANEL_IMPORTS {
    decltype(&FlQueryPortList) QueryPortList;
    decltype(&FlFreePortList) FreePortList;
    decltype(&FlPortGetType) PortGetType;
    decltype(&FlPortQueryBoard) PortQueryBoard;
    decltype(&FlBoardIsEqual) BoardIsEqual;
    decltype(&FlBoardQueryPortList) BoardQueryPortList;
    decltype(&FlBoardGetDescription) BoardGetDescription;
    decltype(&FlPortGetDescription) PortGetDescription;
    decltype(&FlPortSetDescription) PortSetDescription;
    decltype(&FlPortQueryMacAddress) PortQueryMacAddress;
    decltype(&FlPortQueryLinkStatus) PortQueryLinkStatus;
    decltype(&FlPortQueryAutonegotiationParameters) PortQueryAutonegotiationParameters;
    decltype(&FlPortSetAutonegotiationParameters) PortSetAutonegotiationParameters;
    decltype(&FlBoardQueryFeature) BoardQueryFeature;
    decltype(&FlBoardSetFeature) BoardSetFeature;
    decltype(&FlPortSetFeature) PortSetFeature;
    decltype(&FlStatusGetString) StatusGetString;

    decltype(&RegOpenKeyExA) OpenKey;
    decltype(&RegCreateKeyExA) CreateKey;
    decltype(&RegQueryValueExA) QueryValue;
    decltype(&RegSetValueExA) SetValue;
    decltype(&RegCloseKey) CloseKey;
};

// The real ones.
const FLPANEL_IMPORTS& FlPanelSystemImports();
