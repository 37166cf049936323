#pragma once

// The right-button menus of the image cells, compiled in: each menu's pop-up title and its
// items in order. A command of 0 is a separator. The "@" texts stand until the caller's
// labels replace them.

#include <cstddef>
#include <cstdint>
#include <span>

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

constexpr uint16_t kXEVMenuImage = 138;                // the cell menu, cine stopped
constexpr uint16_t kXEVMenuImagePlaying = 226;         // the cell menu, cine playing
constexpr uint16_t kXEVMenuImageReport = 227;          // with the report item
constexpr uint16_t kXEVMenuImageReportPlaying = 228;
constexpr uint16_t kXEVMenuText = 139;
constexpr uint16_t kXEVMenuArrow = 225;
constexpr uint16_t kXEVMenuMeasure = 32804;

namespace xev_menu_table {

#define XEV_MENU_TOOLS                                                                              \
    {32773, u"@階調"}, {32774, u"@拡大／縮小"}, {32775, u"@移動"}, {0, nullptr}, {32787, u"@計測"},  \
        {32788, u"@テキスト"}, {32789, u"@矢印"}, {32790, u"@画素値"}, {32803, u"@操作ロック"}
#define XEV_MENU_TAIL(play)                                                                         \
    {0, nullptr}, {32824, u"@白黒反転"}, {0, nullptr}, {32791, play}, {32815, u"@シリーズ自動連携"}, \
        {0, nullptr}, {32799, u"@初期表示に戻す"}

inline constexpr XEVMenuItemData kImage[] = {XEV_MENU_TOOLS, XEV_MENU_TAIL(u"@再生")};
inline constexpr XEVMenuItemData kImagePlaying[] = {XEV_MENU_TOOLS, XEV_MENU_TAIL(u"@一時停止")};
inline constexpr XEVMenuItemData kImageReport[] = {XEV_MENU_TOOLS, {32816, u"@レポート表示"}, XEV_MENU_TAIL(u"@再生")};
inline constexpr XEVMenuItemData kImageReportPlaying[] = {XEV_MENU_TOOLS, {32816, u"@レポート表示"},
                                                          XEV_MENU_TAIL(u"@一時停止")};
inline constexpr XEVMenuItemData kText[] = {{32811, u"@削除"}};
inline constexpr XEVMenuItemData kArrow[] = {{32812, u"@削除"}};
inline constexpr XEVMenuItemData kMeasure[] = {{32807, u"@削除"}};

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
    {32773, 234}, {32774, 236}, {32775, 237}, {32787, 238}, {32788, 239}, {32789, 240}, {32790, 241}, {32824, 274},
};
