#pragma once

// The right-button menus of the image cells, compiled in: each menu's pop-up title and its
// items in order. A command of 0 is a separator. The "@" texts stand until the caller's
// labels replace them.

#include <cstddef>
#include <cstdint>
#include <span>

#include "shell/xevmessageids.h"

struct XEVMenuItemData {
    int32_t command;
    const char16_t* text;
};

struct XEVMenuData {
    uint16_t id;
    const char16_t* popup;
    std::span<const XEVMenuItemData> items;
};

// An icon of a menu command: a built-in 16 x 16 bitmap.
struct XEVMenuIcon {
    uint32_t command;
    uint16_t bitmap;
};

constexpr uint16_t kXEVMenuImage = 138;          // the cell menu, cine stopped
constexpr uint16_t kXEVMenuImagePlaying = 226;   // the cell menu, cine playing
constexpr uint16_t kXEVMenuImageReport = 227;    // with the report item
constexpr uint16_t kXEVMenuImageReportPlaying = 228;
constexpr uint16_t kXEVMenuText = 139;
constexpr uint16_t kXEVMenuArrow = 225;
constexpr uint16_t kXEVMenuMeasure = 32804;

namespace xev_menu_table {

#define XEV_MENU_TOOLS                                                                                                 \
    {ID_XEV_WINDOWLEVEL, u"@階調"}, {ID_XEV_ZOOM, u"@拡大／縮小"}, {ID_XEV_PAN, u"@移動"}, {0, nullptr},               \
        {ID_XEV_MEASURE, u"@計測"}, {ID_XEV_TEXT, u"@テキスト"}, {ID_XEV_ARROW, u"@矢印"},                             \
        {ID_XEV_PIXELVALUE, u"@画素値"},                                                                               \
    {                                                                                                                  \
        ID_XEV_LOCK, u"@操作ロック"                                                                               \
    }
#define XEV_MENU_TAIL(play)                                                                                            \
    {0, nullptr}, {ID_XEV_INVERT, u"@白黒反転"}, {0, nullptr}, {ID_XEV_PLAY, play},                                    \
        {ID_XEV_SERIES_SYNC, u"@シリーズ自動連携"}, {0, nullptr},                                                      \
    {                                                                                                                  \
        ID_XEV_RESET_DISPLAY, u"@初期表示に戻す"                                                                \
    }

inline constexpr XEVMenuItemData kImage[] = {XEV_MENU_TOOLS, XEV_MENU_TAIL(u"@再生")};
inline constexpr XEVMenuItemData kImagePlaying[] = {XEV_MENU_TOOLS, XEV_MENU_TAIL(u"@一時停止")};
inline constexpr XEVMenuItemData kImageReport[] = {
    XEV_MENU_TOOLS, {ID_XEV_SHOW_REPORT, u"@レポート表示"}, XEV_MENU_TAIL(u"@再生")};
inline constexpr XEVMenuItemData kImageReportPlaying[] = {
    XEV_MENU_TOOLS, {ID_XEV_SHOW_REPORT, u"@レポート表示"}, XEV_MENU_TAIL(u"@一時停止")};
inline constexpr XEVMenuItemData kText[] = {{ID_XEV_DELETE_TEXT, u"@削除"}};
inline constexpr XEVMenuItemData kArrow[] = {{ID_XEV_DELETE_ARROW, u"@削除"}};
inline constexpr XEVMenuItemData kMeasure[] = {{ID_XEV_DELETE_MEASURE, u"@削除"}};

#undef XEV_MENU_TOOLS
#undef XEV_MENU_TAIL

inline constexpr XEVMenuData kMenus[] = {
    {kXEVMenuImage, u"RMenu", kImage},
    {kXEVMenuImagePlaying, u"RMenu", kImagePlaying},
    {kXEVMenuImageReport, u"RMenu", kImageReport},
    {kXEVMenuImageReportPlaying, u"RMenu", kImageReportPlaying},
    {kXEVMenuText, u"RMenuText", kText},
    {kXEVMenuArrow, u"RMenuArrow", kArrow},
    {kXEVMenuMeasure, u"RMenuMeasure", kMeasure},
};

}   // namespace xev_menu_table

// The menu of the id; null when there is none.
inline const XEVMenuData* XEVFindMenuData(uint16_t id)
{
    for (const XEVMenuData& menu : xev_menu_table::kMenus) {
        if (menu.id == id) {
            return &menu;
        }
    }
    return nullptr;
}

// The icons of the cell menus.
inline constexpr XEVMenuIcon kXEVImageMenuIcons[] = {
    {ID_XEV_WINDOWLEVEL, 234}, {ID_XEV_ZOOM, 236},  {ID_XEV_PAN, 237},        {ID_XEV_MEASURE, 238},
    {ID_XEV_TEXT, 239},        {ID_XEV_ARROW, 240}, {ID_XEV_PIXELVALUE, 241}, {ID_XEV_INVERT, 274},
};
