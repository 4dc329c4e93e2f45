// Identifiers of FlPanel's resources: the main dialog's template and its
// controls, and the application icon.
#pragma once

#define IDD_FLPANEL_DIALOG              102
#define IDR_MAINFRAME                   128

#ifndef IDOK
#define IDOK                            1
#endif
#ifndef IDCANCEL
#define IDCANCEL                        2
#endif

#define IDC_TREE_BOARDS                 1001
#define IDC_CHECK_PASSTHRU              1002
#define IDC_COMBO_PASSTHRU_SPEED        1003
#define IDC_CHECK_10_HALF               1004
#define IDC_CHECK_10_FULL               1005
#define IDC_CHECK_100_HALF              1006
#define IDC_CHECK_100_FULL              1007
#define IDC_BUTTON_IDENTIFY             1009
#define IDC_BUTTON_ADVANCED             1010
#define IDC_BUTTON_APPLY                1011
#define IDC_GROUP_BOARD                 1016
#define IDC_GROUP_PORT                  1017
#define IDC_STATIC_MAC_VALUE            1018
#define IDC_GROUP_SPEEDS                1019
#define IDC_CHECK_1000_FULL             1020
#define IDC_STATIC_PASSTHRU_SPEED       1021
#define IDC_STATIC_MAC                  1022
#define IDC_STATIC_LINK_STATUS          1023
#define IDC_STATIC_LINK_SPEED           1024
#define IDC_COMBO_TIMESTAMPING          1025
#define IDC_STATIC_LINK_STATUS_VALUE    1026
#define IDC_STATIC_LINK_SPEED_VALUE     1027
#define IDC_STATIC_BOARD_ID             1028
#define IDC_STATIC_IDENTIFY_NOTE        1029
#define IDC_STATIC_BOARD_ID_VALUE       1030
