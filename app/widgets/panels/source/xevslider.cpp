#include "shell/xevslider.h"

#include <QPainter>
#include <QStyleOptionSlider>

#include <algorithm>

#include "xevpaintprotocol.h"

namespace {

constexpr int32_t kThumbWidth = 17;
constexpr int32_t kThumbHeight = 20;
constexpr int32_t kUnknownInterval = 90;

}   // namespace

CXEVSliderCtrl::CXEVSliderCtrl(QWidget* parent) : QSlider(Qt::Horizontal, parent)
{
}

QRect CXEVSliderCtrl::ThumbRect() const
{
    QStyleOptionSlider option;
    initStyleOption(&option);
    return style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, this);
}

void CXEVSliderCtrl::paintEvent(QPaintEvent*)
{
    XEVPaintProtocol protocol;
    QPainter painter(this);
    const QRect thumb = ThumbRect();
    const int32_t left = thumb.left();
    const int32_t right = thumb.left() + thumb.width();
    thumb_.Draw(painter, left - (left - right + kThumbWidth) / 2, (height() - kThumbHeight) / 2);
}

CXEVCineSliderCtrl::CXEVCineSliderCtrl(QWidget* parent) : CXEVSliderCtrl(parent)
{
    BuildSpeedTable();
}

void CXEVCineSliderCtrl::BuildSpeedTable()
{
    speeds_.clear();
    speeds_.emplace(1, 1000);
    for (int32_t position = 2; position <= 10; ++position) {
        speeds_.emplace(position, std::max(1, static_cast<int32_t>(1000 / ((position - 1) * 6.0))));
    }
}

int32_t CXEVCineSliderCtrl::GetInterval(int32_t position) const
{
    const auto found = speeds_.find(position);
    return found == speeds_.end() ? kUnknownInterval : found->second;
}

int32_t CXEVCineSliderCtrl::GetPositionForInterval(int32_t interval) const
{
    for (const auto& [position, speed] : speeds_) {
        if (speed <= interval) {
            return position;
        }
    }
    return value();
}
