#pragma once
// Waiting in a benchmark for the job worker to have run what it was given: the loader window's
// idle notice, the application's events handled meanwhile.

#include <QCoreApplication>
#include <QEventLoop>

#include "shell/xevmessage.h"
#include "shell/xevmessageids.h"
#include "study/xevjobhost.h"

inline void BenchWaitForJobWorker(const XEVWindowHandle& loaderWindow)
{
    bool told = false;
    XEVMessageReceiver receiver;
    receiver.SetHandler(WM_XEV_FIRST_IMAGES_READ, [&told](XEVWParam, XEVLParam) {
        told = true;
        return XEVResult(0);
    });
    if (!XEVNotifyWhenIdle(loaderWindow, {receiver.Handle(), WM_XEV_FIRST_IMAGES_READ, 0})) {
        return;
    }
    while (!told) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}
