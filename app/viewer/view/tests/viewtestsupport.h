#pragma once

// What the cell tests share: fixtures, a parent that records the cell's messages, images
// loaded on the test thread, and reading pixels from a grab.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEvent>
#include <QImage>
#include <QWidget>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qtguitestapp.h"
#include "shell/xevmessage.h"
#include "study/xevstudymodel.h"
#include "study/xevvekhelper.h"
#include "viewer/xevimageviewctrl.h"

inline QString CellFixture(const char* name)
{
    return QStringLiteral(VIEWCTRL_TEST_DATA_DIR "/") + QString::fromUtf8(name);
}

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

// Runs the event loop until the condition holds or 10 s pass.
inline bool PumpUntil(const std::function<bool()>& done)
{
    QDeadlineTimer deadline(10000);
    while (!done()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

inline void Pump()
{
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::processEvents();
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
                int32_t frame = 0;
                while (image->LoadImage(frame, XEVWindowHandle(), 1) != 0 && frame != -1) {
                }
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

inline QImage Grab(QWidget& widget)
{
    return widget.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

inline int Gray(const QImage& image, int x, int y)
{
    return qRed(image.pixel(x, y));
}

inline bool IsColour(const QImage& image, int x, int y, int r, int g, int b)
{
    const QRgb p = image.pixel(x, y);
    return qRed(p) == r && qGreen(p) == g && qBlue(p) == b;
}
