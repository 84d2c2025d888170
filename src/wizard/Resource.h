// Ids of the wizard's resources: page dialogs, their controls, pictures and strings.
#pragma once

// Page dialogs, in page order.
inline constexpr int IDD_WELCOME = 104;
inline constexpr int IDD_FILE = 105;
inline constexpr int IDD_LINK = 106;
inline constexpr int IDD_TRANSFER = 107;
inline constexpr int IDD_DONE = 108;

// Pictures (bitmap resources).
inline constexpr int IDB_WELCOME = 152;
inline constexpr int IDB_FILE = 153;
inline constexpr int IDB_LINK = 154;
inline constexpr int IDB_TRANSFER = 155;
inline constexpr int IDB_FAILURE = 156;
inline constexpr int IDB_SUCCESS = 158;

// Controls.
inline constexpr int IDC_FILENAME = 1007;
inline constexpr int IDC_BROWSE = 1009;
inline constexpr int IDC_RADIO_RS232 = 1012;
inline constexpr int IDC_RADIO_USB = 1013;
inline constexpr int IDC_RADIO_BINFILE = 1014;
inline constexpr int IDC_SEGMENT_PROGRESS = 1015;
inline constexpr int IDC_ELAPSED = 1016;
inline constexpr int IDC_RESULT = 1018;
inline constexpr int IDC_SUCCESS_PICTURE = 1021;
inline constexpr int IDC_COMPORT = 1022;
inline constexpr int IDC_BAUDRATE = 1023;
inline constexpr int IDC_LINK_GROUP = 1024;
inline constexpr int IDC_FAILURE_PICTURE = 1026;
inline constexpr int IDC_STATUS = 1027;
inline constexpr int IDC_TOTAL_PROGRESS = 1028;
inline constexpr int IDC_FEEDBACK = 1030;

// Strings.
inline constexpr int IDS_CAPTION = 103;
inline constexpr int IDS_SUCCESS = 104;
inline constexpr int IDS_FILE_NOT_FOUND = 105;
inline constexpr int IDS_INVALID_INPUT = 106;
inline constexpr int IDS_INF_CORRUPT = 107;
inline constexpr int IDS_USB_FAILED = 108;
inline constexpr int IDS_SERIAL_FAILED = 109;
inline constexpr int IDS_PROJECTOR_CANCELED = 110;
inline constexpr int IDS_REGISTRY_KEY = 111;
inline constexpr int IDS_FLASH_FILENAME = 113;
inline constexpr int IDS_COMPORT = 114;
inline constexpr int IDS_BAUDRATE = 115;
inline constexpr int IDS_LINK = 116;
