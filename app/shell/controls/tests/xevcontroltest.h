#pragma once

// What the control tests share: the widget application, pixels of a grabbed widget, mouse
// events, and pumping the queue.

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QMouseEvent>
#include <QWidget>

#include <functional>

#include "qtguitestapp.h"
#include "shell/xevcommonsettings.h"
#include "xev_programfolder.h"

inline QImage Grab(QWidget& widget)
{
    return widget.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

inline QRgb PixelAt(QWidget& widget, int x, int y)
{
    return Grab(widget).pixel(x, y) | 0xFF000000u;
}

inline void SendMouse(QWidget& widget, QEvent::Type type, QPoint pos, Qt::MouseButton button,
                      Qt::MouseButtons buttons, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QMouseEvent event(type, QPointF(pos), QPointF(widget.mapToGlobal(pos)), button, buttons, modifiers);
    QApplication::sendEvent(&widget, &event);
}

// Runs the queue until the condition holds or five seconds pass.
inline bool PumpUntil(const std::function<bool()>& condition)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > 5000) {
            return false;
        }
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// Counts the pixels of a region that differ from a colour.
inline int CountOther(const QImage& image, const QRect& region, QRgb colour)
{
    int count = 0;
    const QRect r = region.intersected(image.rect());
    for (int y = r.top(); y <= r.bottom(); ++y) {
        for (int x = r.left(); x <= r.right(); ++x) {
            count += (image.pixel(x, y) | 0xFF000000u) != (colour | 0xFF000000u) ? 1 : 0;
        }
    }
    return count;
}

// A temporary program folder with the settings loaded from it, loaded again afterwards.
class XEVSettingsTest : public XEVProgramFolderTest {
protected:
    void SetUp() override
    {
        XEVProgramFolderTest::SetUp();
        GetCommonSettings().Load();
    }
    void TearDown() override
    {
        XEVProgramFolderTest::TearDown();
        GetCommonSettings().Load();
    }
};
