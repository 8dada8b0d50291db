// Resource ids of qelsetup's window.
#pragma once

#define IDI_SETUP 1
#define IDD_SETUP 100
#define IDC_PRODUCT 1001
#define IDC_STAGE 1002
#define IDC_PROGRESS 1003
#define IDC_RESULT 1004
#define IDC_CAUSE 1005
#define IDC_NEXT 1006
#define IDC_DETAILS_TOGGLE 1007
#define IDC_RESTART_NOW 1008
#define IDC_LATER 1009
#define IDC_DETAILS 1010
// The Close button is IDOK: Enter presses it once the run has ended.
