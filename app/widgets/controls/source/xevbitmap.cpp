#include "shell/xevbitmap.h"

#include <QHash>
#include <QPainter>
#include <QString>

#include <mutex>

// The resource of the static library must be registered by name, outside any namespace.
static void InitBuiltInBitmaps()
{
    Q_INIT_RESOURCE(xevbitmaps);
}

QImage XEVLoadBuiltInImage(uint16_t resourceId)
{
    static std::once_flag registered;
    std::call_once(registered, InitBuiltInBitmaps);
    // Bitmaps are drawn again and again (every menu loads its icons); decode each once.
    static std::mutex lock;
    static QHash<uint16_t, QImage>& decoded = *new QHash<uint16_t, QImage>;
    std::lock_guard<std::mutex> hold(lock);
    const auto found = decoded.constFind(resourceId);
    if (found != decoded.constEnd()) {
        return *found;
    }
    QImage image(QStringLiteral(":/xev/bitmap/%1").arg(resourceId), "BMP");
    if (!image.isNull()) {
        image = image.convertToFormat(QImage::Format_RGB32);
    }
    decoded.insert(resourceId, image);
    return image;
}

CXEVBitmap::CXEVBitmap(uint16_t resourceId)
{
    const QImage image = XEVLoadBuiltInImage(resourceId);
    if (!image.isNull()) {
        pixmap_ = QPixmap::fromImage(image);
    }
}

void CXEVBitmap::Draw(QPainter& painter, int32_t x, int32_t y) const
{
    if (!pixmap_.isNull()) {
        painter.drawPixmap(x, y, pixmap_);
    }
}

void CXEVBitmap::StretchDraw(QPainter& painter, int32_t x, int32_t y, int32_t width, int32_t height) const
{
    if (!pixmap_.isNull() && width > 0 && height > 0) {
        painter.drawPixmap(QRect(x, y, width, height), pixmap_);
    }
}
