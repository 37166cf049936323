#pragma once

// What the control tests share: the widget application, pixels of a grabbed widget, mouse
// events, and pumping the queue.

#include <QApplication>
#include <QMouseEvent>
#include <QWidget>

#include "shell/xevcommonsettings.h"
#include "testsupport/grab.h"
#include "testsupport/programfolder.h"
#include "testsupport/pump.h"
#include "testsupport/qtguitestapp.h"

// The controls' waits: nothing they wait on reads a disc, yet a child process starts slowly
// on a busy machine under the sanitizers.
inline constexpr int kControlTimeoutMs = kPumpTimeoutMs;

inline void SendMouse(QWidget& widget, QEvent::Type type, QPoint pos, Qt::MouseButton button, Qt::MouseButtons buttons,
                      Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QMouseEvent event(type, QPointF(pos), QPointF(widget.mapToGlobal(pos)), button, buttons, modifiers);
    QApplication::sendEvent(&widget, &event);
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
