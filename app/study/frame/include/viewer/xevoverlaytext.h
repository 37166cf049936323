#pragma once

// Free texts and arrows with labels, typed into an in-place edit box.

#include <QPlainTextEdit>
#include <QPoint>
#include <QPointer>
#include <QString>

#include <cstdint>
#include <functional>

#include "shell/xevfont.h"
#include "viewer/xevoverlaycommon.h"

class QWidget;

// The in-place edit box: white on black, at most 255 characters, TABs removed at once.
class XEVOverlayEdit : public QPlainTextEdit {
public:
    static constexpr int32_t kMaxLength = 255;
    static constexpr int32_t kTextControlId = 101;
    static constexpr int32_t kArrowControlId = 102;

    XEVOverlayEdit(QWidget* parent, int32_t controlId);

    int32_t ControlId() const { return controlId_; }
    // Run after every change, once the text is within its limits (the view re-fits the box).
    std::function<void()> onChanged;

private:
    void Sanitize();

    int32_t controlId_;
    QString accepted_;
    bool busy_ = false;
};

// The parts that the text and the arrow label share: the edit box, its font and its fit.
class XEVOverlayEditable {
public:
    XEVOverlayEditable() = default;
    ~XEVOverlayEditable();
    XEVOverlayEditable(const XEVOverlayEditable&) = delete;
    XEVOverlayEditable& operator=(const XEVOverlayEditable&) = delete;

    bool IsEditing() const { return !edit.isNull(); }
    // The box's text, then the box destroyed; the held text when none is open.
    QString CloseEdit(const QString& held);

    QPointer<XEVOverlayEdit> edit;   // guarded: the view deletes its children first
    CXEVFont font;
    XEVRect editRect;
    int32_t minimumWidth = 0;
    int32_t lineHeight = 0;
    int32_t margin = 0;
    QString previousText;

protected:
    // Font from the descriptor, "M" measured, edit rectangle at the point.
    void StartBox(int32_t fontIndex, QPoint at, const QWidget* device);
    void Open(QWidget* parent, int32_t controlId, const QString& text);
    // Re-fits the box to its text inside the image's screen rectangle; answers the new x.
    int32_t Fit(const XEVRect& imageRect, int32_t x, int32_t y);
};

class CXEVOverlayText : public CXEVOverlayCommon, public XEVOverlayEditable {
public:
    ~CXEVOverlayText() override = default;

    void Draw(const XEVOverlayView& view);
    void BeginNew(QPoint pt, QWidget* parent);
    void OpenEdit(QWidget* parent);
    void FitEdit(const XEVOverlayView& view);
    int32_t Drag(QPoint pt, const XEVOverlayView& view);
    void Commit(const XEVOverlayView& view);
    bool BoxContains(QPoint pt) const;

    QPoint boxPosition{-1, -1};
    QPoint imagePosition{-1, -1};
    QString text;
    int32_t boxWidth = 0;
    int32_t boxHeight = 0;
    QPoint dragAnchor{-1, -1};
    int32_t dragging = 0;
    int32_t selected = 0;
};

class CXEVOverlayArrow : public CXEVOverlayCommon, public XEVOverlayEditable {
public:
    static constexpr int32_t kModeWhole = 0;
    static constexpr int32_t kModeStart = 1;
    static constexpr int32_t kModeEnd = 2;

    ~CXEVOverlayArrow() override = default;

    void Draw(const XEVOverlayView& view);
    static void DrawHead(QPainter& painter, QPoint start, QPoint end);
    // The two wing tips of a head at start pointing back toward end.
    static void WingTips(QPoint start, QPoint end, QPoint& w1, QPoint& w2);
    static void DrawHandles(QPainter& painter, QPoint start, QPoint end, const XEVRect& label, bool hasLabel);
    static QPoint PlaceLabel(QPoint end, QPoint start, int32_t width, int32_t height, const XEVRect& imageRect);
    void DragEnd(QPoint pt, const XEVOverlayView& view);
    void BeginLabel(QWidget* parent);
    void OpenEdit(QWidget* parent);
    void FitEdit(const XEVOverlayView& view);
    int32_t HitTest(QPoint pt) const;
    int32_t SelectAt(QPoint pt);
    int32_t Drag(QPoint pt, const XEVOverlayView& view);
    void Commit(const XEVOverlayView& view);
    void MeasureLabel(const QPaintDevice* device, int32_t& width, int32_t& height);
    bool LabelContains(QPoint pt) const;

    QPoint start{-1, -1};
    QPoint end{-1, -1};
    QPoint imageStart{-1, -1};
    QPoint imageEnd{-1, -1};
    int32_t complete = 0;
    QPoint labelPosition{-1, -1};
    QPoint imageLabelPosition{-1, -1};
    QString label;
    int32_t labelWidth = 0;
    int32_t labelHeight = 0;
    QPoint dragAnchor{-1, -1};
    int32_t dragMode = kModeWhole;
    int32_t selected = 0;
};
