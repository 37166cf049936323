#pragma once

// The bottom pane: the grid-layout slider between its two arrows and the display-mode
// toggles. The slider posts its position to the main frame, which applies the layout.

#include <QWidget>

#include <cstdint>

#include "shell/xevbitmapbutton.h"
#include "shell/xevfont.h"

class CMainFrame;
class CXEVPictureCtrl;
class CXEVSliderCtrl;

class CXEVStatusFormView : public QWidget {
public:
    CXEVStatusFormView(QWidget* parent, CMainFrame* frame);
    ~CXEVStatusFormView() override;

    void OnInitialUpdate();
    void LoadSkins();
    void LayoutControls();
    void ApplyFonts();
    void ShowLayout(int32_t index);
    QString GetLayoutText() const;
    void EnableControls(bool enable);
    // 1 the left arrow, 2 the right arrow, 0 elsewhere.
    int32_t HitTestArrows(const QPoint& point) const;
    void OnHScroll();
    // False when the click was not on an arrow.
    bool OnLButtonDown(const QPoint& point);
    void OnStack();
    void OnThumbnail();
    void OnFullScreen();

    int32_t Position() const { return position_; }
    CXEVSliderCtrl& Slider() { return *slider_; }
    CXEVToggleButton& Stack() { return *stack_; }
    CXEVToggleButton& Thumbnail() { return *thumbnail_; }
    CXEVToggleButton& FullScreen() { return *fullScreen_; }
    CXEVPictureCtrl& SliderFrame() { return *sliderFrame_; }
    CXEVPictureCtrl& Corner() { return *corner_; }
    static constexpr QColor kBackground{0, 255, 255};

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    void SetStates(int32_t stack, int32_t thumbnail, int32_t fullScreen);
    // Leaves full screen when it is on.
    void LeaveFullScreen();

    CMainFrame* frame_;
    int32_t position_ = 0;
    CXEVFont layoutFont_;
    CXEVFont buttonFont_;
    QWidget* background_ = nullptr;
    CXEVToggleButton* stack_ = nullptr;
    CXEVToggleButton* thumbnail_ = nullptr;
    CXEVToggleButton* fullScreen_ = nullptr;
    CXEVSliderCtrl* slider_ = nullptr;
    CXEVPictureCtrl* sliderFrame_ = nullptr;
    CXEVPictureCtrl* corner_ = nullptr;
};
