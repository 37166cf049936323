#pragma once

// Sliders that paint only their thumb bitmap, so that the track drawn behind them shows,
// and the cine speed slider with its table of timer intervals.

#include <QSlider>

#include <cstdint>
#include <map>

#include "shell/xevbitmap.h"

class CXEVSliderCtrl : public QSlider {
public:
    explicit CXEVSliderCtrl(QWidget* parent = nullptr);

    // Where the style puts the thumb.
    QRect ThumbRect() const;

protected:
    // The 17 x 20 thumb centred on the style's thumb and on the height; nothing else.
    void paintEvent(QPaintEvent* event) override;

private:
    CXEVBitmap thumb_{148};
};

class CXEVCineSliderCtrl : public CXEVSliderCtrl {
public:
    explicit CXEVCineSliderCtrl(QWidget* parent = nullptr);

    // Position 1 waits 1000 ms, position k of 2 to 10 waits 1000 / ((k - 1) x 6), at least 1.
    void BuildSpeedTable();
    // The interval of a position; 90 for a position outside the table.
    int32_t GetInterval(int32_t position) const;
    // The lowest position whose interval is at most the given one; the current position
    // when none is that fast.
    int32_t GetPositionForInterval(int32_t interval) const;

private:
    std::map<int32_t, int32_t> speeds_;
};
