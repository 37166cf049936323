#pragma once
// What the viewer benchmarks share: the offscreen application and the canvas they draw on.

#include <QImage>
#include <QtGlobal>

#include <string>

// Makes the application of type App once, offscreen unless a platform is set; true on the call
// that made it.
template <class App>
bool BenchEnsureApplication(const char* name)
{
    // Never destroyed: at exit Qt's own globals may already be gone, and ~QApplication crashed.
    static App* app = nullptr;
    if (app != nullptr) {
        return false;
    }
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    static int argc = 1;
    static std::string stored(name);
    static char* argv[] = {stored.data(), nullptr};
    app = new App(argc, argv);
    return true;
}

// A black square at 96 dpi.
inline QImage BenchCanvas(int size)
{
    QImage image(size, size, QImage::Format_RGB32);
    image.setDotsPerMeterX(3780);
    image.setDotsPerMeterY(3780);
    image.fill(Qt::black);
    return image;
}
