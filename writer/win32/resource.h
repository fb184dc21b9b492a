// resource: the ids of the writer's resources, shared by the resource script
// and the program. The string ids themselves live with the texts in
// writer/core/writer_strings.h (101-114); the resource compiler cannot read
// C++, so they are repeated here as plain numbers and the window check
// compares the compiled string table with the core's texts.
#pragma once

#define IDD_ABOUTBOX 100
#define IDD_WRITER_DIALOG 102
#define IDR_MAINFRAME 128

#define IDC_FILE_SELECT 1000
#define IDC_START 1001
#define IDC_CLOSE 1002
#define IDC_PROGRESS 1003
#define IDC_MESSAGES 1004
#define IDC_ABOUT_TEXT 1010

// The system-menu command of the about box (a multiple of 16, as system
// commands must be).
#define IDM_ABOUTBOX 0x0010

#define IDS_RC_ABOUTBOX 101
#define IDS_RC_COM_INIT_FAILED 102
#define IDS_RC_LIBRARY_INIT_FAILED 103
#define IDS_RC_START_FAILED 104
#define IDS_RC_UPDATE_COMPLETED 105
#define IDS_RC_UPDATE_FAILED 106
#define IDS_RC_FOLDER_INIT_FAILED 107
#define IDS_RC_FILE_LOAD_ERROR 108
#define IDS_RC_DEFAULT_EXTENSION 109
#define IDS_RC_FILE_FILTER 110
#define IDS_RC_FILE_READ_ERROR 111
#define IDS_RC_FILE_WRITE_ERROR 112
#define IDS_RC_CHECKSUM_ERROR 113
#define IDS_RC_NOT_FIRMWARE 114
