#pragma once

// The corner texts of one frame: the items of the eight positions and the values of the
// macros that the view computes, composed into one block per position and drawn white with
// a black shadow.

#include <QRect>
#include <QString>

#include <array>
#include <cstdint>
#include <vector>

#include "viewer/xevoverlaysettinginfo.h"

class QPainter;

class XEVOverlayViewInfo {
public:
    using Items = std::vector<XEVOverlaySettingInfoItem>;

    // Drag tools that hide every item but their own values.
    static constexpr int32_t kDragWindowLevel = 1;
    static constexpr int32_t kDragZoom = 2;
    static constexpr int32_t kDragPan = 4;
    // Distance of the blocks from the edges of the view.
    static constexpr int32_t kMargin = 6;
    // The characters of one position that are laid out; a view shows far fewer.
    static constexpr qsizetype kCornerTextLength = 8192;

    XEVOverlayViewInfo() = default;
    XEVOverlayViewInfo(const XEVOverlayViewInfo&) = default;
    XEVOverlayViewInfo& operator=(const XEVOverlayViewInfo&) = default;
    virtual ~XEVOverlayViewInfo() = default;

    // Empties the eight positions and the twelve value texts.
    void Clear();
    // The items of positions 0..7; one shared empty vector for any other position.
    const Items& GetLines(int32_t position) const;

    // The text of one position: each item's formatted text, joined with nothing between;
    // during a window/level, zoom or pan drag only that drag's values show, but every item
    // still ends its line.
    QString FormatPosition(const Items& items, int32_t dragTool) const;
    // Draws every position that has items, placed kMargin pixels inside the client rectangle,
    // in the corner-text font of the common settings.
    void Draw(QPainter& painter, const QRect& client, int32_t dragTool) const;

    // Drop a trailing ".00" from the zoom, window centre or window width text.
    void TrimZoom();
    void TrimWindowCenter();
    void TrimWindowWidth();

    // A number as the value texts show it: two decimals, however long.
    static QString FormatNumber(double value);

    // The value of a macro item by its display name; empty for an unknown name.
    const QString& MacroValue(const QString& macroName) const;

    std::array<Items, kXEVOverlayPositionCount> positions;
    QString pageText;
    QString zoomText;
    QString windowCenterText;
    QString windowWidthText;
    QString dfovText;
    QString orientationTopText;
    QString orientationBottomText;
    QString orientationLeftText;
    QString orientationRightText;
    QString multiframeText;
    QString jpegLossyText;
    QString mammoLateralityText;
};
