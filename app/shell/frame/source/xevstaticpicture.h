#pragma once

// A pane's background picture: its bitmap at its own size from the top left, the rest left to
// the pane. Disabling the pane's controls disables it with them, yet it paints the same, as
// a disabled static's bitmap does; a greyed copy would leave the pane half painted.

#include <QPainter>
#include <QPixmap>
#include <QWidget>

class XEVStaticPicture : public QWidget {
public:
    XEVStaticPicture(uint16_t resourceId, QWidget* parent)
        : QWidget(parent), pixmap_(QStringLiteral(":/xev/bitmap/%1").arg(resourceId))
    {
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.drawPixmap(0, 0, pixmap_);
    }

private:
    QPixmap pixmap_;
};
