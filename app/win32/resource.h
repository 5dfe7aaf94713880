#pragma once

// Resource, control and command numbers, shared by updater.rc, the code and
// the test driver that works the window as a technician does.
#define IDI_UPDATER 1

// The main window's controls; 1 and 2 are left alone, the dialog manager
// sends them for Enter and Esc.
#define IDC_MEMO_STATUS 100
#define IDC_PROGRESS_BAR1 101
#define IDC_PROGRESS_BAR2 102
#define IDC_READ_ID 103
#define IDC_START 104
#define IDC_QUIT 105

// Menu commands: Com 1 .. Com 9 are IDM_COM1 .. IDM_COM1 + 8; a port above
// them, COMn with n from 10 to 255, is IDM_PORT_BASE + n.
#define IDM_COM1 1001
#define IDM_PORT_BASE 2000
#define IDM_AUTO 1101
#define IDM_MANUAL 1102
#define IDM_FAST 1201
#define IDM_SLOW 1202
#define IDM_ABOUT 1301

// The component selection dialog's check boxes.
#define IDC_CB_KEYB 201
#define IDC_CB_PROM1 202
#define IDC_CB_PROM2 203

// The About box's version label.
#define IDC_ABOUT_VERSION 303
