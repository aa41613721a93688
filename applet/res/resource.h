// Resource ids of the applet, shared by Ostrel.rc and the sources. Plain
// #defines only: the resource compiler reads this file too.
#pragma once

// Icon of the Control Panel item and of every page.
#define IDI_TOWER 2

// Strings.
#define IDS_NAME 1
#define IDS_INFO 2
#define IDS_NO_TOWERS 100
#define IDS_NO_DEVICE_INFO 101
#define IDS_HUB_BUS_POWERED 102
#define IDS_HUB_SELF_POWERED 103
#define IDS_TITLE_GENERAL 200
#define IDS_TITLE_ADVANCED 201
#define IDS_TITLE_DIAGNOSTICS 202
#define IDS_NO_HELP 300
#define IDS_DELETE_FAILED 301
#define IDS_CONFIRM_UNINSTALL 400
#define IDS_UNINSTALLED_RESTART 401
#define IDS_UNINSTALLED 402

// Page templates.
#define IDD_GENERAL 108
#define IDD_ADVANCED 110
#define IDD_DIAGNOSTICS 111

// Controls. The Help button keeps the platform's IDHELP (9) on every page.
#define IDC_HELPBUTTON 9
#define IDC_RANGE_SHORT 1000
#define IDC_RANGE_MEDIUM 1001
#define IDC_RANGE_LONG 1002
#define IDC_MODE_IR 1003
#define IDC_MODE_VLL 1004
#define IDC_LONG_RANGE 1005
#define IDC_BUFFER_SIZE 1007
#define IDC_RESET 1008
#define IDC_UNINSTALL 1009
#define IDC_TIMEOUT_WRITE 1012
#define IDC_TIMEOUT_FIRST 1013
#define IDC_TIMEOUT_INTERCHAR 1014
#define IDC_TOWER_NUMBER 1010
#define IDC_NEXT 1011
#define IDC_PREVIOUS 1012
#define IDC_DEVICE_NAME 1013
#define IDC_ATTACHED_TO 1014
#define IDC_HUB_POWER 1015
#define IDC_DEVICE_STATUS 1016
