#pragma once

// What the cell tests share: fixtures, a parent that records the cell's messages, images
// loaded on the test thread, synthesized input, and reading pixels from a grab.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEvent>
#include <QImage>
#include <QMouseEvent>
#include <QWheelEvent>
#include <QWidget>

#include <algorithm>
#include <cmath>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "shell/xevmessage.h"
#include "study/xevstudymodel.h"
#include "study/xevvekhelper.h"
#include "testsupport/fixtures.h"
#include "testsupport/grab.h"
#include "testsupport/pump.h"
#include "testsupport/qtguitestapp.h"
#include "testsupport/recordingbox.h"
#include "viewer/xevimageviewctrl.h"

struct CellMessage {
    uint32_t id;
    XEVWParam wParam;
    XEVLParam lParam;
};

// Stands for the form view: keeps every private message a cell posts to it.
class MessageLog : public QWidget {
public:
    bool event(QEvent* e) override
    {
        const int type = int(e->type());
        if (type >= int(kXEVFirstMessageId) && type <= int(kXEVLastMessageId)) {
            auto* message = static_cast<XEVMessageEvent*>(e);
            messages.push_back({message->Id(), message->WParam(), message->LParam()});
            return true;
        }
        return QWidget::event(e);
    }
    int Count(uint32_t id) const
    {
        int n = 0;
        for (const CellMessage& m : messages) {
            n += m.id == id ? 1 : 0;
        }
        return n;
    }
    std::vector<CellMessage> messages;
};

inline void DecodeImage(ImageInfo* image)
{
    int32_t frame = 0;
    while (image->LoadImage(frame, XEVWindowHandle(), 1) != 0 && frame != -1) {
    }
}

// Images of fixture files, every frame decoded here (forced, so no memory test runs).
class ImageSet {
public:
    ImageSet(const std::vector<const char*>& names, bool load)
    {
        for (const char* name : names) {
            auto image = std::make_unique<ImageInfo>();
            image->SetFilePath(CellFixture(name));
            if (load) {
                DecodeImage(image.get());
            }
            images.push_back(std::move(image));
        }
    }
    ImageSet(const char* name, int count, bool load) : ImageSet(std::vector<const char*>(count, name), load) {}

    std::vector<ImageInfo*> Pointers() const
    {
        std::vector<ImageInfo*> out;
        for (const auto& image : images) {
            out.push_back(image.get());
        }
        return out;
    }
    ImageInfo* operator[](size_t i) const { return images[i].get(); }

    std::vector<std::unique_ptr<ImageInfo>> images;
};

inline bool AlwaysEnoughMemory()
{
    return true;
}

inline bool NeverEnoughMemory()
{
    return false;
}

// Stands for the title pane: answers the states set here and keeps the tool buttons shown.
class TitlePane : public XEVTitlePaneState {
public:
    bool IsCinePlaying() const override { return playing; }
    bool IsReportEnabled() const override { return reportEnabled; }
    bool IsTextToolPressed() const override { return false; }
    bool IsArrowToolPressed() const override { return false; }
    void UpdateToolButtons(int32_t tool) override { buttons.push_back(tool); }
    bool playing = false;
    bool reportEnabled = true;
    std::vector<int32_t> buttons;
};

// The closed form of an 8-bit window: clamp(round((v - (c - w / 2)) x 256 / w), 0, 255).
inline int Windowed(double v, double centre, double width)
{
    return int(std::clamp(std::round((v - (centre - width / 2)) * 256.0 / width), 0.0, 255.0));
}

inline void Mouse(QWidget& w, QEvent::Type type, QPoint p, Qt::MouseButton button, Qt::MouseButtons buttons)
{
    QMouseEvent e(type, QPointF(p), QPointF(w.mapToGlobal(p)), button, buttons, Qt::NoModifier);
    QCoreApplication::sendEvent(&w, &e);
}

// A drag through the points, pressed at the first and released at the last.
inline void Drag(QWidget& w, std::initializer_list<QPoint> points, Qt::MouseButton button = Qt::LeftButton)
{
    const QPoint* p = points.begin();
    Mouse(w, QEvent::MouseButtonPress, *p, button, button);
    for (++p; p != points.end(); ++p) {
        Mouse(w, QEvent::MouseMove, *p, Qt::NoButton, button);
    }
    Mouse(w, QEvent::MouseButtonRelease, *(points.end() - 1), button, Qt::NoButton);
}

inline void Wheel(QWidget& w, int delta, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QWheelEvent e(QPointF(10, 10), QPointF(w.mapToGlobal(QPoint(10, 10))), QPoint(), QPoint(0, delta), Qt::NoButton,
                  modifiers, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(&w, &e);
}
