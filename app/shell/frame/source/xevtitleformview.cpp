#include "shell/xevtitleformview.h"

#include <QCoreApplication>
#include <QPainter>
#include <QSignalBlocker>
#include <QTimerEvent>

#include "shell/mainframe.h"
#include "shell/xev_uistring.h"
#include "shell/xevcommonsettings.h"
#include "shell/xevpatientbar.h"
#include "shell/xevslider.h"
#include "study/xevloadstate.h"
#include "viewer/xevimageformview.h"
#include "xevstaticpicture.h"
#include "xevtooltipfont.h"

namespace {

struct ButtonLooks {
    const char* skin;
    uint32_t tip;
    uint16_t fallback[4];
};

// In the order of CXEVTitleFormView::Button.
constexpr ButtonLooks kButtons[CXEVTitleFormView::kButtonCount] = {
    {"kaichou", 20108, {165, 166, 163, 195}},      {"zoom", 20109, {169, 170, 167, 168}},
    {"idou", 20110, {173, 174, 171, 172}},         {"keisoku", 20111, {177, 178, 175, 176}},
    {"text", 20112, {181, 182, 179, 180}},         {"yajirushi", 20113, {185, 186, 183, 184}},
    {"gasochi", 20114, {189, 190, 187, 188}},      {"saisei", 20115, {193, 194, 191, 192}},
    {"ichijiteishi", 20116, {221, 219, 222, 220}}, {"help", 20117, {142, 143, 144, 197}},
    {"syuuryou", 20118, {139, 140, 141, 196}},     {"report", 20119, {263, 264, 265, 266}},
};

constexpr int32_t kButtonSize = 54;
constexpr int32_t kButtonTop = 30;
// Client width less 20 from which measure, text, arrow and pixel value show.
constexpr int32_t kShowFrom[4] = {1064, 1118, 1172, 1226};

uint32_t SteadyTicks()
{
    return uint32_t(XEVSteadyMilliseconds());
}

CXEVTitleFormView::TickClock tickClock = &SteadyTicks;

}   // namespace

void CXEVTitleFormView::SetTickClock(TickClock clock)
{
    tickClock = clock != nullptr ? clock : &SteadyTicks;
}

CXEVTitleFormView::CXEVTitleFormView(QWidget* parent, CMainFrame* frame) : QWidget(parent), frame_(frame)
{
    background_ = new XEVStaticPicture(198, this);
    cineArea_ = new XEVStaticPicture(205, this);
    patientView_ = new CXEVPatientView(this);
    for (int32_t i = 0; i < kButtonCount; ++i) {
        buttons_[i] = new CXEVBitmapButton(this);
    }
    slider_ = new CXEVCineSliderCtrl(this);
    for (int32_t i = kWindowLevel; i <= kPixelValue; ++i) {
        QObject::connect(buttons_[i], &QAbstractButton::clicked, this,
                         [this, i] { SendToImageForm(WM_XEV_TOOL_WINDOWLEVEL + uint32_t(i)); });
    }
    QObject::connect(buttons_[kPlay], &QAbstractButton::clicked, this, [this] { OnPlayPause(); });
    QObject::connect(buttons_[kPause], &QAbstractButton::clicked, this, [this] { OnPlayPause(); });
    QObject::connect(buttons_[kHelp], &QAbstractButton::clicked, this, [this] {
        if (frame_ != nullptr) {
            XEVSendMessage(frame_->Handle(), WM_XEV_SHOW_HELP);
        }
    });
    QObject::connect(buttons_[kExit], &QAbstractButton::clicked, this, [this] {
        if (frame_ != nullptr) {
            QMetaObject::invokeMethod(frame_, &QWidget::close, Qt::QueuedConnection);
        }
    });
    QObject::connect(buttons_[kReport], &QAbstractButton::clicked, this, [this] {
        if (frame_ != nullptr) {
            XEVSendMessage(frame_->Handle(), WM_XEV_SHOW_REPORT);
        }
    });
    QObject::connect(slider_, &QSlider::valueChanged, this, [this] { OnHScroll(); });
    XEVSetTitlePane(this);
}

CXEVTitleFormView::~CXEVTitleFormView()
{
    timer_.stop();
    if (XEVGetTitlePane() == this) {
        XEVSetTitlePane(nullptr);
    }
}

void CXEVTitleFormView::OnInitialUpdate()
{
    LoadSkins();
    LayoutControls();
    {
        const QSignalBlocker blocker(slider_);
        slider_->setRange(1, 10);
        slider_->setValue(slider_->GetPositionForInterval(playInterval_));
    }
    slider_->setToolTip(FrameRateText());
    (new XEVToolTipFont(this, speedFont_))->Watch(slider_);
    auto* buttonTips = new XEVToolTipFont(this, buttonFont_);
    for (int32_t i = 0; i < kButtonCount; ++i) {
        buttons_[i]->setToolTip(GetUIString(kButtons[i].tip));
        buttonTips->Watch(buttons_[i]);
    }
}

void CXEVTitleFormView::LoadSkins()
{
    for (int32_t i = 0; i < kButtonCount; ++i) {
        const ButtonLooks& looks = kButtons[i];
        if (buttons_[i]->LoadSkin(QString::fromLatin1(looks.skin)) == 0) {
            buttons_[i]->CXEVOwnerDrawButton::LoadBitmaps(looks.fallback[0], looks.fallback[1], looks.fallback[2],
                                                          looks.fallback[3]);
        }
    }
}

void CXEVTitleFormView::LayoutControls()
{
    if (background_ == nullptr) {
        return;
    }
    const int32_t width = this->width();
    const int32_t height = std::max(this->height(), kXEVTitleRowHeight);
    background_->setGeometry(0, 0, width, height);
    patientView_->setGeometry(0, 0, std::min(width, 442), height - 1);

    const bool report = GetCommonSettings().ModeSupportSR != 0;
    int32_t x = 445;
    int32_t gap = 5;
    if (report) {
        buttons_[kReport]->setGeometry(445, kButtonTop, kButtonSize, kButtonSize);
        buttons_[kReport]->show();
        x = 511;
        gap = 2;
    } else {
        buttons_[kReport]->hide();
    }
    const int32_t step = kButtonSize + gap;
    buttons_[kWindowLevel]->setGeometry(x, kButtonTop, kButtonSize, kButtonSize);
    x += step;
    buttons_[kZoom]->setGeometry(x, kButtonTop, kButtonSize, kButtonSize);
    x += step;
    buttons_[kPan]->setGeometry(x, kButtonTop, kButtonSize, kButtonSize);
    for (int32_t i = 0; i < 4; ++i) {
        CXEVBitmapButton* button = buttons_[kMeasure + i];
        if (width - 20 >= kShowFrom[i]) {
            x += step;
            button->setGeometry(x, kButtonTop, kButtonSize, kButtonSize);
            button->show();
        } else {
            button->hide();
        }
    }
    cineArea_->setGeometry(x + 74, kButtonTop, 192, 54);
    buttons_[kPlay]->setGeometry(x + 78, 34, 46, 46);
    buttons_[kPause]->setGeometry(x + 78, 34, 46, 46);
    ShowPlayState();
    const int32_t sliderX = x + 78 + 46 + gap;
    slider_->setGeometry(sliderX, 50, 136, 24);
    const int32_t helpX = sliderX + (report ? 152 : 195);
    buttons_[kHelp]->setGeometry(helpX, kButtonTop, kButtonSize, kButtonSize);
    buttons_[kExit]->setGeometry(helpX + step, kButtonTop, kButtonSize, kButtonSize);
}

void CXEVTitleFormView::ApplyFonts()
{
    LayoutControls();
    const auto& fonts = GetCommonSettings().Fonts;
    speedFont_.CreateFromInfo(fonts[8], this);
    buttonFont_.CreateFromInfo(fonts[9], this);
}

void CXEVTitleFormView::UpdateToolButtons(int32_t extra)
{
    const int32_t tool = GetLoadState().mouseTool.load();
    buttons_[kWindowLevel]->SetLatched(tool == kXEVToolWindowLevel ? 1 : 0);
    buttons_[kZoom]->SetLatched(tool == kXEVToolZoom ? 1 : 0);
    buttons_[kPan]->SetLatched(tool == kXEVToolPan ? 1 : 0);
    buttons_[kMeasure]->SetLatched(tool == kXEVToolMeasure ? 1 : 0);
    buttons_[kText]->SetLatched(tool == kXEVToolText || extra == kXEVToolText ? 1 : 0);
    buttons_[kArrow]->SetLatched(tool == kXEVToolArrow || extra == kXEVToolArrow ? 1 : 0);
    buttons_[kPixelValue]->SetLatched(tool == kXEVToolPixelValue ? 1 : 0);
    for (int32_t i = kWindowLevel; i <= kPixelValue; ++i) {
        buttons_[i]->update();
    }
    patientView_->update();
}

void CXEVTitleFormView::EnableControls(bool enable)
{
    for (int32_t i = kWindowLevel; i <= kPause; ++i) {
        buttons_[i]->setEnabled(enable);
    }
    buttons_[kReport]->setEnabled(enable);
    slider_->setEnabled(enable);
    background_->setEnabled(enable);
    cineArea_->setEnabled(enable);
}

CXEVImageFormView* CXEVTitleFormView::GetImageFormView() const
{
    return frame_ != nullptr ? frame_->GetImageFormView() : nullptr;
}

void CXEVTitleFormView::SendToImageForm(uint32_t id)
{
    // A send on this thread is a direct call of the handler.
    if (CXEVImageFormView* view = GetImageFormView()) {
        view->OnMessage(id, 0, 0);
    }
}

QString CXEVTitleFormView::FrameRateText() const
{
    if (playing_ == 0) {
        const int32_t interval = std::max(slider_->GetInterval(slider_->value()), 1);
        return QStringLiteral("%1%2fps").arg(GetUIString(20106)).arg(1000 / interval);
    }
    int32_t shown = 0;
    if (measuredRate_ != 0.0) {
        shown = measuredRate_ < 1.0 ? 1 : int32_t(std::min(measuredRate_, 2.0e9));
    }
    return QStringLiteral("%1%2fps").arg(GetUIString(20107)).arg(shown);
}

QString CXEVTitleFormView::SpeedToolTip() const
{
    return slider_->toolTip();
}

void CXEVTitleFormView::StartTimer()
{
    timer_.start(playInterval_, Qt::PreciseTimer, this);
}

void CXEVTitleFormView::OnPlayPause()
{
    CXEVImageFormView* view = GetImageFormView();
    if (playing_ == 0) {
        XEVImageViewCtrl* cell = view != nullptr ? view->GetSelectedView() : nullptr;
        if (cell == nullptr || cell->GetCineLength() < 2) {
            return;
        }
        StartTimer();
        playing_ = 1;
        lastTick_ = tickClock();
        // The set rate until the first tick measures one.
        measuredRate_ = 1000.0 / std::max(playInterval_, 1);
    } else {
        timer_.stop();
        playing_ = 0;
        slider_->setToolTip(FrameRateText());
        GetLoadState().skipWait.store(1);
    }
    ShowPlayState();
    if (view != nullptr) {
        view->SetCinePlaying(playing_);
    }
    Redraw();
}

void CXEVTitleFormView::OnTimer()
{
    CXEVImageFormView* view = GetImageFormView();
    XEVImageViewCtrl* cell = view != nullptr ? view->GetSelectedView() : nullptr;
    if (cell == nullptr || cell->GetCineLength() < 2) {
        return;
    }
    cell->CineStep();
    const uint32_t now = tickClock();
    const uint32_t elapsed = now - lastTick_;
    lastTick_ = now;
    // Two ticks within one millisecond keep the rate they cannot measure.
    if (elapsed != 0) {
        measuredRate_ = 1000.0 / double(elapsed);
    }
    slider_->setToolTip(FrameRateText());
}

void CXEVTitleFormView::OnHScroll()
{
    slider_->setToolTip(FrameRateText());
    cineArea_->repaint();
    slider_->repaint();
    buttons_[kPlay]->repaint();
    buttons_[kPause]->repaint();
    const int32_t interval = slider_->GetInterval(slider_->value());
    if (interval != playInterval_) {
        playInterval_ = interval;
        if (playing_ != 0) {
            timer_.stop();
            StartTimer();
        }
    }
    if (frame_ != nullptr) {
        frame_->FocusActiveView();
    }
}

bool CXEVTitleFormView::IsReportEnabled() const
{
    return !buttons_[kReport]->isHidden() && buttons_[kReport]->isEnabled();
}

bool CXEVTitleFormView::IsTextToolPressed() const
{
    return buttons_[kText]->Latched() != 0;
}

bool CXEVTitleFormView::IsArrowToolPressed() const
{
    return buttons_[kArrow]->Latched() != 0;
}

bool CXEVTitleFormView::IsPlayVisible() const
{
    return !buttons_[kPlay]->isHidden();
}

void CXEVTitleFormView::ShowPlayState()
{
    buttons_[kPause]->setVisible(playing_ != 0);
    buttons_[kPlay]->setVisible(playing_ == 0);
}

void CXEVTitleFormView::Redraw()
{
    ++repaints_;
    repaint();
}

void CXEVTitleFormView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), kBackground);
}

void CXEVTitleFormView::resizeEvent(QResizeEvent* e)
{
    QWidget::resizeEvent(e);
    LayoutControls();
}

void CXEVTitleFormView::timerEvent(QTimerEvent* e)
{
    if (e->timerId() == timer_.timerId()) {
        OnTimer();
        return;
    }
    QWidget::timerEvent(e);
}
