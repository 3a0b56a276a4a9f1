// Command ids of the menu, the toolbar and the accelerators. Each id is one
// QAction of the main frame; the ids stay those of the resource script so
// that a command keeps its number wherever it is routed or logged.
#pragma once

namespace corvane::ui {

inline constexpr int ID_FILE_NEW = 57600;
inline constexpr int ID_FILE_OPEN = 57601;
inline constexpr int ID_FILE_SAVE = 57603;
inline constexpr int ID_FILE_PRINT = 57607;
inline constexpr int ID_FILE_MRU_FILE1 = 57616; // ... up to FILE1 + 3
inline constexpr int ID_EDIT_COPY = 57634;
inline constexpr int ID_EDIT_CUT = 57635;
inline constexpr int ID_EDIT_PASTE = 57637;
inline constexpr int ID_EDIT_UNDO = 57643;
inline constexpr int ID_WINDOW_SPLIT = 57653;
inline constexpr int ID_APP_ABOUT = 57664;
inline constexpr int ID_APP_EXIT = 57665;
inline constexpr int ID_NEXT_PANE = 57680;
inline constexpr int ID_PREV_PANE = 57681;
inline constexpr int ID_VIEW_TOOLBAR = 59392;
inline constexpr int ID_VIEW_STATUS_BAR = 59393;
inline constexpr int ID_VIEW_SMALLICON = 59408;
inline constexpr int ID_VIEW_LARGEICON = 59409;
inline constexpr int ID_VIEW_LIST = 59410;
inline constexpr int ID_VIEW_DETAILS = 59411;
inline constexpr int ID_VIEW_LINEUP = 59412;
inline constexpr int ID_VIEW_BYNAME = 59413;
inline constexpr int ID_INIT_LUN_INFO = 32772;
inline constexpr int ID_VIEW_MEMBER_MAP = 32790; // the member map of the last analysis

inline constexpr int kMaxRecentFiles = 4;

// Resource and control ids the windows keep.
inline constexpr int IDR_MAINFRAME = 128;
inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDC_EXPORT_PROGRESS = 1076;
inline constexpr int IDC_MFCLINK1 = 1007;

} // namespace corvane::ui
