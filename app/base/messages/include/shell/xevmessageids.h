#pragma once

// Every private message id and every menu command id of the application, each under one
// name. Their values are fixed: senders and receivers live in different targets, so a value
// given twice would reach the wrong handler without a word. The lists at the end are checked
// at compile time; a new id goes into its list too.

#include <cstddef>
#include <cstdint>

// Messages, by value, with who sends them to whom.
// Terms-of-use dialog to frame; wParam 1 accepted (by OK or automatically), 0 declined.
constexpr uint32_t WM_XEV_AGREEMENT_CLOSED = 0x1401;
constexpr uint32_t WM_XEV_START_VIEWING = 0x1402;      // study list and frame to frame
constexpr uint32_t WM_XEV_THREADUI_DESTROY = 0x1403;   // frame to its descendants at shut-down
// Grid to the loader window. wParam 0: lParam is one ImageInfo*; wParam 1: lParam points to
// a std::vector<ImageInfo*> of the sender's (accepted only when sent, since a post outlives
// the sender's vector).
constexpr uint32_t WM_XEV_LOADER_QUEUE = 0x1411;
constexpr uint32_t WM_XEV_LOADER_START = 0x1412;
constexpr uint32_t WM_XEV_LOADER_STOP = 0x1413;
constexpr uint32_t WM_XEV_LOAD_NOW = 0x1415;          // cell to itself
constexpr uint32_t WM_XEV_PRELOAD_CONTROL = 0x1416;   // form view and grid to frame
constexpr uint32_t WM_XEV_LOAD_FAILURES = 0x1417;     // image loads to frame: failures to tell
constexpr uint32_t WM_XEV_PATIENTS_LOADED = 0x1418;   // loader threads to the study list
constexpr uint32_t WM_XEV_IMAGE_LOADED = 0x1419;      // an image's load to its notify window
constexpr uint32_t WM_XEV_VIEW_LOAD_DONE = 0x141A;    // cell to form view
constexpr uint32_t WM_XEV_VIEW_LOAD_FAILED = 0x141B;
constexpr uint32_t WM_XEV_MEMORY_RECHECK = 0x141C;
constexpr uint32_t WM_XEV_SCAN_DONE = 0x141D;   // scan thread to the study list
// Grid to the loader window, posted only: lParam is an XEVIdleNotice made with new (the window
// takes it over); the notice goes back once the worker has run every job it was given.
constexpr uint32_t WM_XEV_LOADER_WHEN_IDLE = 0x141E;
constexpr uint32_t WM_XEV_FIRST_IMAGES_READ = 0x141F;   // loader window to grid: wParam its token
constexpr uint32_t WM_XEV_SET_LAYOUT = 0x1420;          // status pane to frame
constexpr uint32_t WM_XEV_STEP_LAYOUT = 0x1421;         // cell (Ctrl+wheel) to frame
constexpr uint32_t WM_XEV_LAYOUT_CHANGED = 0x1422;      // form view to frame
constexpr uint32_t WM_XEV_CELL_RBUTTON = 0x1430;        // cell to form view
constexpr uint32_t WM_XEV_SELECT_PATIENT = 0x1431;      // study list and its trees to the study list
constexpr uint32_t WM_XEV_STUDY_DBLCLK = 0x1432;
constexpr uint32_t WM_XEV_SERIES_ITEM_DBLCLK = 0x1433;
constexpr uint32_t WM_XEV_CELL_DBLCLK = 0x1434;   // cell to form view
constexpr uint32_t WM_XEV_CELL_ACTIVATE = 0x1435;
constexpr uint32_t WM_XEV_CELL_SELECT = 0x1436;
constexpr uint32_t WM_XEV_LINKED_STEP = 0x1437;   // linked cell's wheel, Up, Down: page by a step
// A linked cell moved itself (Left, Right, a middle-button drag): the grid pages the other
// cells into line with it.
constexpr uint32_t WM_XEV_LINKED_MOVED = 0x1438;
constexpr uint32_t WM_XEV_LINKED_PAGE = 0x1439;       // linked cell's Page Up, Page Down
constexpr uint32_t WM_XEV_LINKED_HOME_END = 0x143A;   // linked cell's Home, End
constexpr uint32_t WM_XEV_FIRST_IMAGE = 0x1440;       // cell or grid to form view
constexpr uint32_t WM_XEV_DISPLAY_STATE = 0x1441;     // cell to form view after a tool or a reset
constexpr uint32_t WM_XEV_IMAGE_CHANGED = 0x1442;
constexpr uint32_t WM_XEV_CINE_STOPPED = 0x1443;       // form view to itself
constexpr uint32_t WM_XEV_LINKED_WINDOW = 0x1444;      // linked cell's window/level
constexpr uint32_t WM_XEV_SPLITTER_DBLCLK = 0x1445;    // inner splitter to frame
constexpr uint32_t WM_XEV_INVERT = 0x1446;             // cell to form view
constexpr uint32_t WM_XEV_TOOL_WINDOWLEVEL = 0x1501;   // title pane and cells to form view
constexpr uint32_t WM_XEV_TOOL_ZOOM = 0x1502;
constexpr uint32_t WM_XEV_TOOL_PAN = 0x1503;
constexpr uint32_t WM_XEV_TOOL_MEASURE = 0x1504;
constexpr uint32_t WM_XEV_TOOL_TEXT = 0x1505;
constexpr uint32_t WM_XEV_TOOL_ARROW = 0x1506;
constexpr uint32_t WM_XEV_TOOL_PIXELVALUE = 0x1507;
constexpr uint32_t WM_XEV_SHOW_HELP = 0x1508;     // title pane to frame
constexpr uint32_t WM_XEV_SHOW_REPORT = 0x1509;   // title pane and cells to frame
constexpr uint32_t WM_XEV_REPORT_TEXT = 0x150A;   // to the report dialog
constexpr uint32_t WM_XEV_OPEN_ANSWER = 0x150B;   // File Open's worker to the frame
constexpr uint32_t WM_XEV_DROPFILES = 0x2401;     // drop static to the study list

// The ids reserved as Qt event types: the range and the drop message.
constexpr uint32_t kXEVFirstMessageId = WM_XEV_AGREEMENT_CLOSED;
constexpr uint32_t kXEVLastMessageId = WM_XEV_OPEN_ANSWER;

// Menu commands: the cell's right-button menus, the frame's File Open, About and Help.
constexpr int32_t ID_XEV_WINDOWLEVEL = 32773;
constexpr int32_t ID_XEV_ZOOM = 32774;
constexpr int32_t ID_XEV_PAN = 32775;
constexpr int32_t ID_XEV_MEASURE = 32787;
constexpr int32_t ID_XEV_TEXT = 32788;
constexpr int32_t ID_XEV_ARROW = 32789;
constexpr int32_t ID_XEV_PIXELVALUE = 32790;
constexpr int32_t ID_XEV_PLAY = 32791;
constexpr int32_t ID_XEV_RESET_DISPLAY = 32799;
constexpr int32_t ID_XEV_LOCK = 32803;
constexpr int32_t ID_XEV_DELETE_MEASURE = 32807;
constexpr int32_t ID_XEV_DELETE_TEXT = 32811;
constexpr int32_t ID_XEV_DELETE_ARROW = 32812;
constexpr int32_t ID_XEV_SERIES_SYNC = 32815;
constexpr int32_t ID_XEV_SHOW_REPORT = 32816;
constexpr int32_t ID_XEV_FILE_OPEN = 32817;
constexpr int32_t ID_XEV_INVERT = 32824;
constexpr int32_t kXEVAboutCommand = 57664;
constexpr int32_t kXEVHelpCommand = 57670;

inline constexpr uint32_t kXEVMessageIds[] = {
    WM_XEV_AGREEMENT_CLOSED,   WM_XEV_START_VIEWING,     WM_XEV_THREADUI_DESTROY, WM_XEV_LOADER_QUEUE,
    WM_XEV_LOADER_START,       WM_XEV_LOADER_STOP,       WM_XEV_LOAD_NOW,         WM_XEV_PRELOAD_CONTROL,
    WM_XEV_PATIENTS_LOADED,    WM_XEV_IMAGE_LOADED,      WM_XEV_VIEW_LOAD_DONE,   WM_XEV_VIEW_LOAD_FAILED,
    WM_XEV_MEMORY_RECHECK,     WM_XEV_SCAN_DONE,         WM_XEV_SET_LAYOUT,       WM_XEV_STEP_LAYOUT,
    WM_XEV_LAYOUT_CHANGED,     WM_XEV_CELL_RBUTTON,      WM_XEV_SELECT_PATIENT,   WM_XEV_STUDY_DBLCLK,
    WM_XEV_SERIES_ITEM_DBLCLK, WM_XEV_CELL_DBLCLK,       WM_XEV_CELL_ACTIVATE,    WM_XEV_CELL_SELECT,
    WM_XEV_LINKED_STEP,        WM_XEV_LINKED_MOVED,      WM_XEV_LINKED_PAGE,      WM_XEV_LINKED_HOME_END,
    WM_XEV_FIRST_IMAGE,        WM_XEV_DISPLAY_STATE,     WM_XEV_IMAGE_CHANGED,    WM_XEV_CINE_STOPPED,
    WM_XEV_LINKED_WINDOW,      WM_XEV_SPLITTER_DBLCLK,   WM_XEV_INVERT,           WM_XEV_TOOL_WINDOWLEVEL,
    WM_XEV_TOOL_ZOOM,          WM_XEV_TOOL_PAN,          WM_XEV_TOOL_MEASURE,     WM_XEV_TOOL_TEXT,
    WM_XEV_TOOL_ARROW,         WM_XEV_TOOL_PIXELVALUE,   WM_XEV_SHOW_HELP,        WM_XEV_SHOW_REPORT,
    WM_XEV_REPORT_TEXT,        WM_XEV_DROPFILES,         WM_XEV_LOAD_FAILURES,    WM_XEV_OPEN_ANSWER,
    WM_XEV_LOADER_WHEN_IDLE,   WM_XEV_FIRST_IMAGES_READ,
};

inline constexpr int32_t kXEVCommandIds[] = {
    ID_XEV_WINDOWLEVEL,    ID_XEV_ZOOM,        ID_XEV_PAN,          ID_XEV_MEASURE,       ID_XEV_TEXT,
    ID_XEV_ARROW,          ID_XEV_PIXELVALUE,  ID_XEV_PLAY,         ID_XEV_RESET_DISPLAY, ID_XEV_LOCK,
    ID_XEV_DELETE_MEASURE, ID_XEV_DELETE_TEXT, ID_XEV_DELETE_ARROW, ID_XEV_SERIES_SYNC,   ID_XEV_SHOW_REPORT,
    ID_XEV_FILE_OPEN,      ID_XEV_INVERT,      kXEVAboutCommand,    kXEVHelpCommand,
};

namespace xev_ids {

template <typename T, size_t N>
constexpr bool AllDistinct(const T (&ids)[N])
{
    for (size_t i = 0; i < N; ++i) {
        for (size_t j = i + 1; j < N; ++j) {
            if (ids[i] == ids[j]) {
                return false;
            }
        }
    }
    return true;
}

// Only these ids are reserved from Qt, so no other event can arrive under one of them.
constexpr bool AllReserved()
{
    for (uint32_t id : kXEVMessageIds) {
        if ((id < kXEVFirstMessageId || id > kXEVLastMessageId) && id != WM_XEV_DROPFILES) {
            return false;
        }
    }
    return true;
}

}   // namespace xev_ids

static_assert(xev_ids::AllDistinct(kXEVMessageIds), "two message names share a value");
static_assert(xev_ids::AllDistinct(kXEVCommandIds), "two command names share a value");
static_assert(xev_ids::AllReserved(), "a message id lies outside the reserved ids");
