#include "shell/xevstatusformview.h"

#include <QCoreApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QSignalBlocker>

#include "shell/mainframe.h"
#include "shell/xev_uistring.h"
#include "shell/xevcommonsettings.h"
#include "shell/xevpatientbar.h"
#include "shell/xevslider.h"
#include "study/xevstudymodel.h"
#include "viewer/xevimageformview.h"
#include "xevstaticpicture.h"
#include "xevtooltipfont.h"

namespace {

// The arrow click comes back to the pane as a queued slider move.
constexpr QEvent::Type kArrowScrollEvent = QEvent::Type(QEvent::User + 0x0114);

}   // namespace

CXEVStatusFormView::CXEVStatusFormView(QWidget* parent, CMainFrame* frame) : QWidget(parent), frame_(frame)
{
    background_ = new XEVStaticPicture(149, this);
    corner_ = new CXEVPictureCtrl(217, this);
    sliderFrame_ = new CXEVPictureCtrl(147, this);
    stack_ = new CXEVToggleButton(this);
    thumbnail_ = new CXEVToggleButton(this);
    fullScreen_ = new CXEVToggleButton(this);
    slider_ = new CXEVSliderCtrl(this);
    QObject::connect(stack_, &QAbstractButton::clicked, this, [this] { OnStack(); });
    QObject::connect(thumbnail_, &QAbstractButton::clicked, this, [this] { OnThumbnail(); });
    QObject::connect(fullScreen_, &QAbstractButton::clicked, this, [this] { OnFullScreen(); });
    QObject::connect(slider_, &QSlider::valueChanged, this, [this] { OnHScroll(); });
}

CXEVStatusFormView::~CXEVStatusFormView() = default;

void CXEVStatusFormView::OnInitialUpdate()
{
    LoadSkins();
    thumbnail_->setEnabled(false);
    thumbnail_->hide();
    LayoutControls();
    {
        const QSignalBlocker blocker(slider_);
        slider_->setRange(1, 8);
        position_ = 6;
        slider_->setValue(position_);
    }
    stack_->state = 1;
    slider_->setToolTip(GetLayoutText());
    stack_->setToolTip(GetUIString(20103));
    thumbnail_->setToolTip(GetUIString(20104));
    fullScreen_->setToolTip(GetUIString(20105));
    (new XEVToolTipFont(this, layoutFont_))->Watch(slider_);
    auto* buttonTips = new XEVToolTipFont(this, buttonFont_);
    for (CXEVToggleButton* toggle : {stack_, thumbnail_, fullScreen_}) {
        buttonTips->Watch(toggle);
    }
}

void CXEVStatusFormView::LoadSkins()
{
    stack_->LoadBitmaps(150, 153, 151, 152);
    thumbnail_->LoadBitmaps(162, 156, 157, 154);
    fullScreen_->LoadBitmaps(160, 161, 158, 159);
    stack_->SizeToContent();
    thumbnail_->SizeToContent();
    fullScreen_->SizeToContent();
}

void CXEVStatusFormView::LayoutControls()
{
    background_->setGeometry(rect());
    corner_->setGeometry(0, 0, 115, 41);
    // A narrow pane puts the slider frame left of the edge; nothing is clamped.
    const int32_t x = width() - 233;
    sliderFrame_->setGeometry(x, 7, 213, 28);
    slider_->setGeometry(x + 42, 13, 130, 20);
    fullScreen_->setGeometry(x - 74, 6, 54, 31);
    stack_->setGeometry(x - 128, 6, 54, 31);
}

void CXEVStatusFormView::ApplyFonts()
{
    const auto& fonts = GetCommonSettings().Fonts;
    layoutFont_.CreateFromInfo(fonts[15], this);
    buttonFont_.CreateFromInfo(fonts[16], this);
}

void CXEVStatusFormView::ShowLayout(int32_t index)
{
    const int32_t position = std::clamp(8 - index, 1, 8);
    if (position == position_) {
        return;
    }
    position_ = position;
    {
        const QSignalBlocker blocker(slider_);
        slider_->setValue(position_);
    }
    slider_->setToolTip(GetLayoutText());
    update();
}

QString CXEVStatusFormView::GetLayoutText() const
{
    const LayoutInfo layout;
    return layout.GetText(8 - position_);
}

void CXEVStatusFormView::EnableControls(bool enable)
{
    stack_->setEnabled(enable);
    thumbnail_->setEnabled(enable);
    fullScreen_->setEnabled(enable);
    slider_->setEnabled(enable);
    sliderFrame_->setEnabled(enable);
    corner_->setEnabled(enable);
    background_->setEnabled(enable);
}

int32_t CXEVStatusFormView::HitTestArrows(const QPoint& point) const
{
    if (!slider_->isVisible()) {
        return 0;
    }
    const QRect r = slider_->geometry();
    const int32_t right = r.x() + r.width();
    if (point.y() < r.y() + 4 || point.y() > r.y() + 21) {
        return 0;
    }
    if (point.x() >= r.x() - 34 && point.x() <= r.x() - 14) {
        return 1;
    }
    if (point.x() >= right + 10 && point.x() <= right + 30) {
        return 2;
    }
    return 0;
}

void CXEVStatusFormView::OnHScroll()
{
    const int32_t position = slider_->value();
    if (position != position_) {
        position_ = position;
        if (frame_ == nullptr) {
            return;
        }
        XEVPostMessage(frame_->Handle(), WM_XEV_SET_LAYOUT, XEVWParam(position), 0);
    } else if (frame_ == nullptr) {
        return;
    }
    slider_->setToolTip(GetLayoutText());
    sliderFrame_->repaint();
    slider_->repaint();
    frame_->FocusActiveView();
}

bool CXEVStatusFormView::OnLButtonDown(const QPoint& point)
{
    const int32_t hit = HitTestArrows(point);
    // From the slider, which each click moves at once: a click that comes before the last
    // one's step is applied (a busy window) steps on from it rather than again from the same.
    const int32_t current = slider_->value();
    int32_t target = 0;
    if (hit == 1 && slider_->minimum() < current) {
        target = current - 1;
    } else if (hit == 2 && current < slider_->maximum()) {
        target = current + 1;
    }
    if (target != 0) {
        {
            const QSignalBlocker blocker(slider_);
            slider_->setValue(target);
        }
        QCoreApplication::postEvent(this, new QEvent(kArrowScrollEvent));
    }
    return hit != 0;
}

void CXEVStatusFormView::LeaveFullScreen()
{
    if (fullScreen_->state != 1) {
        return;
    }
    if (frame_ != nullptr) {
        frame_->SetFullScreen(false);
    }
    slider_->setEnabled(true);
}

void CXEVStatusFormView::OnStack()
{
    LeaveFullScreen();
    if (stack_->state != 1) {
        SetStates(1, 0, 0);
    }
}

void CXEVStatusFormView::OnThumbnail()
{
    LeaveFullScreen();
    if (thumbnail_->state != 1) {
        SetStates(0, 1, 0);
    }
}

void CXEVStatusFormView::OnFullScreen()
{
    if (fullScreen_->state == 1 || frame_ == nullptr) {
        return;
    }
    CXEVImageFormView* view = frame_->GetImageFormView();
    if (view == nullptr || view->GetSelectedView() == nullptr) {
        return;
    }
    slider_->setEnabled(false);
    frame_->SetFullScreen(true);
    SetStates(0, 0, 1);
}

void CXEVStatusFormView::SetStates(int32_t stack, int32_t thumbnail, int32_t fullScreen)
{
    const std::pair<CXEVToggleButton*, int32_t> states[] = {
        {stack_, stack}, {thumbnail_, thumbnail}, {fullScreen_, fullScreen}};
    for (const auto& [toggle, state] : states) {
        toggle->previousState = toggle->state;
        toggle->state = state;
        toggle->update();
    }
}

bool CXEVStatusFormView::event(QEvent* e)
{
    if (e->type() == kArrowScrollEvent) {
        OnHScroll();
        return true;
    }
    return QWidget::event(e);
}

void CXEVStatusFormView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), kBackground);
}

void CXEVStatusFormView::resizeEvent(QResizeEvent* e)
{
    QWidget::resizeEvent(e);
    LayoutControls();
}

void CXEVStatusFormView::mousePressEvent(QMouseEvent* e)
{
    if (e->button() == Qt::LeftButton && OnLButtonDown(e->position().toPoint())) {
        return;
    }
    QWidget::mousePressEvent(e);
}
