// Resource ids of update.exe, shared by update.rc and the code.
#pragma once

#define IDI_UPDATE 101
#define IDD_PROGRESS 102

#define IDC_CANCEL_BUTTON 1000
#define IDC_LABEL 1001
#define IDC_FILE_BAR 1002
#define IDC_OVERALL_BAR 1003

// One place for the version numbers of the version resource.
#define UPDATE_VERSION_BINARY 1, 0, 0, 0
#define UPDATE_FILE_VERSION_TEXT "1, 0, 0, 0"
#define UPDATE_PRODUCT_VERSION_TEXT "1.0.0.0"
