// Ids of the main dialog's resource; the same numbers as in app/window_logic.h.
#define IDD_MAIN 129
#define IDC_INTERFACE 1001
#define IDC_DOWNLOAD 1002
#define IDC_FILE_PATH 1004
#define IDC_FIND_DEVICES 1005
#define IDC_CLEAR_LOG 1006
#define IDC_LOG 1007
#define IDC_BROWSE 1008
#define IDC_DEVICE_LIST 1009
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
