// The peer of the start-up benchmark: a bare Qt Widgets program that shows one PNG and ends
// once it has painted it.
#include <QApplication>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QTimer>

#include <cstdio>

class ShownOnce : public QLabel {
protected:
    void paintEvent(QPaintEvent* event) override
    {
        QLabel::paintEvent(event);
        QTimer::singleShot(0, qApp, &QApplication::quit);
    }
};

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s IMAGE.png\n", argv[0]);
        return 2;
    }
    QPixmap image(QString::fromLocal8Bit(argv[1]));
    if (image.isNull()) {
        return 1;
    }
    ShownOnce label;
    label.setPixmap(image);
    label.resize(1280, 1024);
    label.show();
    // Offscreen windows are never exposed on their own; a grab paints like an expose does.
    QTimer::singleShot(0, &label, [&label] { label.grab(); });
    return app.exec();
}
