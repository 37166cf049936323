#include "shell/xevbitmapbutton.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <climits>
#include <string>

#include "platform/platfile.h"
#include "shell/xev_utility.h"
#include "shell/xevbitmap.h"

QString XEVFindPathNoCase(const QString& path)
{
    const QFileInfo info(path);
    if (info.exists() || path.isEmpty()) {
        return path;
    }
    const QString parent = info.path();
    if (parent == path) {
        return path;
    }
    // Discs written on other systems spell "Res" and the skin names in any case.
    const QString folder = XEVFindPathNoCase(parent);
    const QString name = info.fileName();
    const QStringList entries = QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    for (const QString& entry : entries) {
        if (entry.compare(name, Qt::CaseInsensitive) == 0) {
            return QDir(folder).filePath(entry);
        }
    }
    return path;
}

CXEVOwnerDrawButton::CXEVOwnerDrawButton(QWidget* parent) : QAbstractButton(parent)
{
}

bool CXEVOwnerDrawButton::LoadBitmaps(uint16_t normal, uint16_t selected, uint16_t focus, uint16_t disabled)
{
    const uint16_t ids[] = {normal, selected, focus, disabled};
    for (int look = 0; look < 4; ++look) {
        looks_[look] = ids[look] == 0 ? QPixmap() : QPixmap::fromImage(XEVLoadBuiltInImage(ids[look]));
    }
    return !looks_[kNormal].isNull();
}

void CXEVOwnerDrawButton::SizeToContent()
{
    if (!looks_[kNormal].isNull()) {
        resize(looks_[kNormal].size());
    }
}

QSize CXEVOwnerDrawButton::sizeHint() const
{
    return looks_[kNormal].isNull() ? QSize(0, 0) : looks_[kNormal].size();
}

uint32_t CXEVOwnerDrawButton::ItemState() const
{
    uint32_t state = 0;
    if (isDown()) {
        state |= kXEVStateSelected;
    }
    if (hasFocus()) {
        state |= kXEVStateFocus;
    }
    if (!isEnabled()) {
        state |= kXEVStateDisabled;
    }
    return state;
}

void CXEVOwnerDrawButton::DrawItem(QPainter& painter, uint32_t state)
{
    DrawLook(painter, state);
}

void CXEVOwnerDrawButton::DrawLook(QPainter& painter, uint32_t state) const
{
    const QPixmap* look = &looks_[kNormal];
    if ((state & kXEVStateSelected) != 0 && !looks_[kSelected].isNull()) {
        look = &looks_[kSelected];
    } else if ((state & kXEVStateFocus) != 0 && !looks_[kFocus].isNull()) {
        look = &looks_[kFocus];
    } else if ((state & kXEVStateDisabled) != 0 && !looks_[kDisabled].isNull()) {
        look = &looks_[kDisabled];
    }
    if (!look->isNull()) {
        painter.drawPixmap(0, 0, *look, 0, 0, width(), height());
    }
}

void CXEVOwnerDrawButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    DrawItem(painter, ItemState());
}

CXEVBitmapButton::CXEVBitmapButton(QWidget* parent) : CXEVOwnerDrawButton(parent)
{
    setMouseTracking(true);
    hoverTimer_.setSingleShot(true);
    hoverTimer_.setInterval(1);
    QObject::connect(&hoverTimer_, &QTimer::timeout, this, [this] { OnMouseHover(); });
}

namespace {

// A BMP file as a pixmap; null when it is missing or not a readable BMP.
QPixmap LoadBmpFile(const QString& path)
{
    // Skins lie beside the program, on the disc: never a pipe or a device.
    std::string bytes;
    QImage image;
    if (!PlatReadRegularFile(QFile::encodeName(XEVFindPathNoCase(path)).toStdString(), bytes) ||
        !image.loadFromData(reinterpret_cast<const uchar*>(bytes.data()), int(std::min<size_t>(bytes.size(), INT_MAX)),
                            "BMP")) {
        return QPixmap();
    }
    return QPixmap::fromImage(image);
}

}   // namespace

int32_t CXEVBitmapButton::LoadBitmaps(const QString& offPath, const QString& onPath, const QString& overPath,
                                      const QString& disabledPath)
{
    SetBitmap(kNormal, LoadBmpFile(offPath));
    if (Bitmap(kNormal).isNull()) {
        return 0;
    }
    int32_t result = 1;
    const QString* paths[] = {&onPath, &overPath, &disabledPath};
    const Look looks[] = {kSelected, kFocus, kDisabled};
    for (int i = 0; i < 3; ++i) {
        if (paths[i]->isEmpty()) {
            continue;
        }
        SetBitmap(looks[i], LoadBmpFile(*paths[i]));
        if (Bitmap(looks[i]).isNull()) {
            result = 0;
        }
    }
    return result;
}

QString CXEVBitmapButton::SkinFolder()
{
    QString folder = GetModuleFolder();
    if (!folder.isEmpty() && !folder.endsWith(QLatin1Char('/'))) {
        folder += QLatin1Char('/');
    }
    return folder + QStringLiteral("Res/");
}

QString CXEVBitmapButton::SkinPath(const QString& skin, const QString& suffix)
{
    return SkinFolder() + QStringLiteral("Btn_%1_%2.bmp").arg(skin, suffix);
}

int32_t CXEVBitmapButton::LoadSkin(const QString& skin)
{
    return LoadBitmaps(SkinPath(skin, QStringLiteral("off")), SkinPath(skin, QStringLiteral("on")),
                       SkinPath(skin, QStringLiteral("over")), SkinPath(skin, QStringLiteral("d")));
}

void CXEVBitmapButton::SetLatched(int32_t latched)
{
    latched_ = latched;
    update();
}

void CXEVBitmapButton::SetCaption(const QString& caption)
{
    caption_ = caption;
    update();
}

void CXEVBitmapButton::DrawItem(QPainter& painter, uint32_t state)
{
    if (latched_ != 0) {
        state = kXEVStateSelected;
    } else if (hover_ == 0) {
        state &= ~kXEVStateFocus;
    } else {
        state = kXEVStateFocus;
    }
    DrawLook(painter, state);
    if (!caption_.isEmpty()) {
        painter.setPen(palette().color(QPalette::ButtonText));
        painter.setFont(font());
        painter.drawText(rect(), Qt::AlignCenter | Qt::TextSingleLine, caption_);
    }
}

void CXEVBitmapButton::mouseMoveEvent(QMouseEvent* event)
{
    const bool inside = rect().contains(event->position().toPoint());
    if (!inside && tracking_ != 0) {
        // While the button is held the pointer is grabbed and no leave arrives: leaving is seen here.
        OnMouseLeave();
    } else if (inside && tracking_ == 0) {
        tracking_ = 1;
        hoverTimer_.start();
    }
    CXEVOwnerDrawButton::mouseMoveEvent(event);
}

void CXEVBitmapButton::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        hover_ = 0;
        hoverTimer_.stop();
    }
    CXEVOwnerDrawButton::mousePressEvent(event);
}

void CXEVBitmapButton::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        // A release outside the button leaves it unlit: the pointer has gone.
        hover_ = rect().contains(event->position().toPoint()) ? 1 : 0;
    }
    CXEVOwnerDrawButton::mouseReleaseEvent(event);
    update();
}

void CXEVBitmapButton::leaveEvent(QEvent* event)
{
    OnMouseLeave();
    CXEVOwnerDrawButton::leaveEvent(event);
}

void CXEVBitmapButton::OnMouseHover()
{
    // A press cleared the hover; resting while held does not light the button again.
    if (isDown()) {
        return;
    }
    hover_ = 1;
    update();
}

void CXEVBitmapButton::OnMouseLeave()
{
    hoverTimer_.stop();
    tracking_ = 0;
    hover_ = 0;
    update();
}

void CXEVToggleButton::DrawItem(QPainter& painter, uint32_t itemState)
{
    switch (state) {
    case 0: itemState = kXEVStateDefault; break;
    case 1: itemState = kXEVStateSelected; break;
    case 2: itemState = kXEVStateDisabled; break;
    default: break;
    }
    DrawLook(painter, itemState);
}
