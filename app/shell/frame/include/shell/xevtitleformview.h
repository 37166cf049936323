#pragma once

// The top pane: patient view, the mouse-tool buttons, cine play and pause with the speed
// slider, help, exit and the report button. It owns cine playback and measures its rate.

#include <QBasicTimer>
#include <QWidget>

#include <array>
#include <cstdint>

#include "shell/xevbitmapbutton.h"
#include "shell/xevfont.h"
#include "viewer/xevimageviewctrl.h"

class CMainFrame;
class CXEVCineSliderCtrl;
class CXEVImageFormView;
class CXEVPatientView;

constexpr int32_t kXEVCineTimerId = 100;

class CXEVTitleFormView : public QWidget, public XEVTitlePaneState {
public:
    // The buttons in the order of their tooltips.
    enum Button : int32_t {
        kWindowLevel,
        kZoom,
        kPan,
        kMeasure,
        kText,
        kArrow,
        kPixelValue,
        kPlay,
        kPause,
        kHelp,
        kExit,
        kReport,
        kButtonCount
    };

    CXEVTitleFormView(QWidget* parent, CMainFrame* frame);
    ~CXEVTitleFormView() override;

    void OnInitialUpdate();
    void LoadSkins();
    void LayoutControls();
    void ApplyFonts();
    void UpdateToolButtons(int32_t extra) override;
    void EnableControls(bool enable);
    CXEVImageFormView* GetImageFormView() const;
    void SendToImageForm(uint32_t id);
    void OnPlayPause();
    void OnTimer();
    void OnHScroll();
    // "%s%dfps" of the stopped or the playing state.
    QString FrameRateText() const;

    // The monotonic clock the ticks are measured with; tests replace it, null restores it.
    using TickClock = uint32_t (*)();
    static void SetTickClock(TickClock clock);

    bool IsCinePlaying() const override { return playing_ != 0; }
    bool IsReportEnabled() const override;
    bool IsTextToolPressed() const override;
    bool IsArrowToolPressed() const override;
    bool IsPlayVisible() const override;
    void PressPlay() override { OnPlayPause(); }

    CXEVBitmapButton& ButtonAt(Button button) { return *buttons_[button]; }
    CXEVCineSliderCtrl& SpeedSlider() { return *slider_; }
    CXEVPatientView& PatientView() { return *patientView_; }
    QWidget& CineArea() { return *cineArea_; }
    bool TimerActive() const { return timer_.isActive(); }
    int32_t PlayInterval() const { return playInterval_; }
    double MeasuredRate() const { return measuredRate_; }
    void SetMeasuredRate(double rate) { measuredRate_ = rate; }
    QString SpeedToolTip() const;
    int32_t RepaintCount() const { return repaints_; }
    static constexpr QColor kBackground{15, 128, 15};

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

private:
    void ShowPlayState();
    void StartTimer();
    void Redraw();

    CMainFrame* frame_;
    int32_t playing_ = 0;
    int32_t playInterval_ = 90;
    double measuredRate_ = 0.0;
    uint32_t lastTick_ = 0;
    int32_t repaints_ = 0;
    QBasicTimer timer_;
    CXEVFont speedFont_;
    CXEVFont buttonFont_;
    CXEVPatientView* patientView_ = nullptr;
    std::array<CXEVBitmapButton*, kButtonCount> buttons_{};
    CXEVCineSliderCtrl* slider_ = nullptr;
    QWidget* background_ = nullptr;
    QWidget* cineArea_ = nullptr;
};
