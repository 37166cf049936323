#include "shell/xevrmenu.h"

#include <QAction>
#include <QApplication>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QPointer>
#include <QProxyStyle>
#include <QStyleFactory>
#include <QStyleOptionMenuItem>

#include <algorithm>
#include <array>

#include "shell/xevbitmap.h"
#include "shell/xevbitmapbutton.h"
#include "shell/xevfont.h"

namespace {

constexpr int32_t kIconColumn = 20;
constexpr int32_t kTextLeft = 22;
constexpr int32_t kMinItemHeight = 20;
constexpr int32_t kAcceleratorPad = 6;
constexpr int32_t kMenuFont = 6;
constexpr int32_t kNoCommand = -1;   // pop-up items

const QColor kSeparator(128, 128, 128);
const QColor kSelectionEdge(0, 50, 128);
const QColor kSelectionFill(120, 160, 200);
const QColor kGreyText(140, 140, 140);
const QColor kTickInk(64, 64, 64);
const QColor kTickBox(241, 240, 239);
const QRgb kIconKey = qRgb(64, 128, 128);

constexpr int kTextFlags =
    Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine | Qt::TextExpandTabs | Qt::TextShowMnemonic;

// An item of the menu: its command and whether it is drawn here; its record while loaded.
class XEVRMenuAction : public QAction {
public:
    XEVRMenuAction(const QString& text, int32_t command, QObject* parent) : QAction(text, parent), command(command) {}

    int32_t command;
    bool ownerDraw = false;
    std::unique_ptr<XEVRMenuItem> record;
};

XEVRMenuAction* ItemAction(QObject* object)
{
    return dynamic_cast<XEVRMenuAction*>(object);
}

// Hands menu items that are drawn by their menu to it; everything else to the base style.
class XEVRMenuStyle : public QProxyStyle {
public:
    explicit XEVRMenuStyle(QStyle* base) : QProxyStyle(base) {}

    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override
    {
        if (element == CE_MenuItem) {
            const OwnerDrawn found(option, widget);
            if (found.menu != nullptr) {
                const QStyleOptionMenuItem* item = found.item;
                XEVRMenuAction* action = found.action;
                CXEVRMenu* menu = found.menu;
                XEVDrawItem draw;
                draw.itemId = action->isSeparator() ? 0 : action->command;
                draw.itemState = StateOf(*item);
                draw.painter = painter;
                draw.itemRect = item->rect;
                painter->save();
                menu->DrawItem(draw);
                painter->restore();
                return;
            }
        }
        QProxyStyle::drawControl(element, option, painter, widget);
    }

    QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                           const QWidget* widget) const override
    {
        if (type == CT_MenuItem) {
            const OwnerDrawn found(option, widget);
            if (found.menu != nullptr) {
                XEVMeasureItem measure;
                measure.itemId = found.action->command;
                measure.itemData = found.action->record.get();
                found.menu->MeasureItem(measure);
                return QSize(measure.itemWidth, measure.itemHeight);
            }
        }
        return QProxyStyle::sizeFromContents(type, option, size, widget);
    }

private:
    // The menu and item of an option when the menu draws the item itself; all null otherwise.
    struct OwnerDrawn {
        OwnerDrawn(const QStyleOption* option, const QWidget* widget)
        {
            auto* owner = dynamic_cast<CXEVRMenu*>(const_cast<QWidget*>(widget));
            const auto* menuItem = qstyleoption_cast<const QStyleOptionMenuItem*>(option);
            XEVRMenuAction* itemAction = menuItem != nullptr ? ItemAction(menuItem->styleObject) : nullptr;
            if (owner != nullptr && itemAction != nullptr && itemAction->ownerDraw) {
                menu = owner;
                item = menuItem;
                action = itemAction;
            }
        }
        CXEVRMenu* menu = nullptr;
        const QStyleOptionMenuItem* item = nullptr;
        XEVRMenuAction* action = nullptr;
    };

    static uint32_t StateOf(const QStyleOptionMenuItem& item)
    {
        uint32_t state = 0;
        if (item.state & State_Selected) {
            state |= kXEVStateSelected;
        }
        if (!(item.state & State_Enabled)) {
            state |= kXEVStateGrayed | kXEVStateDisabled;
        }
        if (item.checkType != QStyleOptionMenuItem::NotCheckable && item.checked) {
            state |= kXEVStateChecked;
        }
        return state;
    }
};

// One style for every menu, made over a fresh copy of the application's style, which the
// proxy owns; it lives as long as the application.
QStyle* MenuStyle()
{
    static QPointer<XEVRMenuStyle>& style = *new QPointer<XEVRMenuStyle>;
    if (style.isNull()) {
        QStyle* base = QStyleFactory::create(QApplication::style()->name());
        if (base == nullptr) {
            base = QStyleFactory::create(QStringLiteral("Fusion"));
        }
        style = new XEVRMenuStyle(base);
        style->setParent(qApp);
    }
    return style;
}

// A menu icon: the three shades of grey take the palette's 3-D colours and the key colour
// turns transparent. Null when the bitmap is missing or not 16 x 16.
QPixmap LoadMenuIcon(uint16_t bitmap, const QPalette& palette)
{
    QImage image = XEVLoadBuiltInImage(bitmap);
    if (image.isNull() || image.width() != 16 || image.height() != 16) {
        return QPixmap();
    }
    image = image.convertToFormat(QImage::Format_ARGB32);
    const QRgb shadow = palette.color(QPalette::Dark).rgb();
    const QRgb face = palette.color(QPalette::Button).rgb();
    const QRgb light = palette.color(QPalette::Midlight).rgb();
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = line[x] | 0xFF000000u;
            if (pixel == kIconKey) {
                line[x] = 0;
            } else if (pixel == qRgb(128, 128, 128)) {
                line[x] = shadow;
            } else if (pixel == qRgb(192, 192, 192)) {
                line[x] = face;
            } else if (pixel == qRgb(223, 223, 223)) {
                line[x] = light;
            }
        }
    }
    return QPixmap::fromImage(image);
}

// Two one-pixel rings, each lit on one side: top and left in the first colour, bottom
// and right in the second; the middle in the face colour.
void DrawEdge(QPainter& painter, const QRect& rect, const std::array<QColor, 4>& colours, const QColor& face)
{
    QRect ring = rect;
    for (int i = 0; i < 2; ++i) {
        painter.setPen(colours[i * 2]);
        painter.drawLine(ring.left(), ring.top(), ring.right() - 1, ring.top());
        painter.drawLine(ring.left(), ring.top(), ring.left(), ring.bottom() - 1);
        painter.setPen(colours[i * 2 + 1]);
        painter.drawLine(ring.left(), ring.bottom(), ring.right(), ring.bottom());
        painter.drawLine(ring.right(), ring.top(), ring.right(), ring.bottom());
        ring.adjust(1, 1, -1, -1);
    }
    painter.fillRect(ring, face);
}

// The 16 x 16 tick box; greyed, every pixel takes the nearest of the face, shadow and light
// colours, as a bitmap with only those three would show it.
QImage TickBox(bool greyed, const QPalette& palette)
{
    QImage image(16, 16, QImage::Format_RGB32);
    image.fill(kTickBox);
    {
        QPainter painter(&image);
        painter.setPen(kTickInk);
        painter.drawRect(0, 0, 15, 15);
        const QPoint tick[] = {{5, 6}, {7, 8}, {10, 5}, {10, 7}, {7, 10}, {5, 8}};
        painter.setBrush(kTickInk);
        painter.drawPolygon(tick, 6);
    }
    if (greyed) {
        const QColor shades[] = {palette.color(QPalette::Button), palette.color(QPalette::Dark),
                                 palette.color(QPalette::Midlight)};
        for (int y = 0; y < 16; ++y) {
            auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
            for (int x = 0; x < 16; ++x) {
                int best = 0;
                int bestDistance = INT32_MAX;
                for (int s = 0; s < 3; ++s) {
                    const int dr = qRed(line[x]) - shades[s].red();
                    const int dg = qGreen(line[x]) - shades[s].green();
                    const int db = qBlue(line[x]) - shades[s].blue();
                    const int distance = dr * dr + dg * dg + db * db;
                    if (distance < bestDistance) {
                        bestDistance = distance;
                        best = s;
                    }
                }
                line[x] = shades[best].rgb();
            }
        }
    }
    return image;
}

}   // namespace

CXEVRMenu::CXEVRMenu(QWidget* parent) : QMenu(parent)
{
    setStyle(MenuStyle());
}

CXEVRMenu::~CXEVRMenu()
{
    FreeItemData(nullptr);
}

int32_t CXEVRMenu::LoadOwnerDraw(uint16_t menuId, const XEVMenuLabels& labels, const XEVMenuIcon* icons,
                                 int32_t iconCount)
{
    const XEVMenuData* data = XEVFindMenuData(menuId);
    if (data == nullptr) {
        return 0;
    }
    FreeItemData(nullptr);

    auto* popupAction = new XEVRMenuAction(QString::fromUtf16(data->popup), kNoCommand, this);
    popupAction->record = std::make_unique<XEVRMenuItem>();
    popupAction->record->subMenu = std::make_unique<CXEVRMenu>();
    CXEVRMenu* popup = popupAction->record->subMenu.get();
    popupAction->setMenu(popup);
    addAction(popupAction);
    for (const XEVMenuItemData& item : data->items) {
        auto* action =
            new XEVRMenuAction(item.text != nullptr ? QString::fromUtf16(item.text) : QString(), item.command, popup);
        action->setSeparator(item.command == 0);
        popup->addAction(action);
    }
    loaded_ = true;

    for (const auto& [command, label] : labels) {
        if (QAction* action = FindCommand(command)) {
            action->setText(label);
        }
    }
    Prepare(icons, icons != nullptr ? iconCount : 0, true);
    return 1;
}

void CXEVRMenu::Prepare(const XEVMenuIcon* icons, int32_t iconCount, bool root)
{
    for (QAction* object : actions()) {
        XEVRMenuAction* action = ItemAction(object);
        if (action == nullptr) {
            continue;
        }
        // Root items keep their look; they are titles, never shown as items.
        action->ownerDraw = !root;
        if (action->isSeparator()) {
            continue;
        }
        if (!action->record) {
            action->record = std::make_unique<XEVRMenuItem>();
        }
        XEVRMenuItem& record = *action->record;
        const QString text = action->text();
        const qsizetype tab = text.indexOf(QLatin1Char('\t'));
        record.owner = this;
        record.label = tab < 0 ? text : text.left(tab);
        record.accelerator = tab < 0 ? QString() : text.mid(tab + 1);
        // The accelerator has its own column here; Qt must not add its own.
        action->setText(record.label);
        if (CXEVRMenu* sub = record.subMenu.get()) {
            sub->Prepare(icons, iconCount, false);
            for (int32_t i = 0; i < iconCount; ++i) {
                XEVRMenuAction* target = ItemAction(sub->FindCommand(static_cast<int32_t>(icons[i].command)));
                if (target == nullptr || !target->record) {
                    continue;
                }
                QPixmap icon = LoadMenuIcon(icons[i].bitmap, sub->palette());
                if (icon.isNull()) {
                    break;
                }
                target->record->icon = icon;
            }
        }
    }
}

CXEVRMenu* CXEVRMenu::GetSubMenu(int32_t position) const
{
    const QList<QAction*> items = actions();
    if (position < 0 || position >= items.size()) {
        return nullptr;
    }
    XEVRMenuAction* action = ItemAction(items[position]);
    return action != nullptr && action->record ? action->record->subMenu.get() : nullptr;
}

int32_t CXEVRMenu::FreeItemData(CXEVRMenu* level)
{
    const bool whole = level == nullptr;
    if (whole) {
        if (!loaded_) {
            return 0;
        }
        level = this;
    }
    for (QAction* object : level->actions()) {
        XEVRMenuAction* action = ItemAction(object);
        if (action == nullptr || !action->record) {
            continue;
        }
        if (CXEVRMenu* sub = action->record->subMenu.get()) {
            FreeItemData(sub);
            action->setMenu(nullptr);
        }
        action->record.reset();
    }
    if (whole) {
        clear();
        loaded_ = false;
    }
    return 1;
}

QAction* CXEVRMenu::FindCommand(int32_t command) const
{
    for (QAction* object : actions()) {
        XEVRMenuAction* action = ItemAction(object);
        if (action == nullptr) {
            continue;
        }
        if (action->command == command && command != kNoCommand) {
            return action;
        }
        if (action->record && action->record->subMenu) {
            if (QAction* found = action->record->subMenu->FindCommand(command)) {
                return found;
            }
        }
    }
    return nullptr;
}

const XEVRMenuItem* CXEVRMenu::FindItem(int32_t command) const
{
    XEVRMenuAction* action = ItemAction(FindCommand(command));
    return action != nullptr ? action->record.get() : nullptr;
}

bool CXEVRMenu::CheckMenuItem(int32_t command, bool checked)
{
    QAction* action = FindCommand(command);
    if (action == nullptr) {
        return false;
    }
    action->setCheckable(true);
    action->setChecked(checked);
    return true;
}

bool CXEVRMenu::EnableMenuItem(int32_t command, bool enabled)
{
    QAction* action = FindCommand(command);
    if (action == nullptr) {
        return false;
    }
    action->setEnabled(enabled);
    return true;
}

bool CXEVRMenu::IsOwnerDrawn(const QAction* action) const
{
    const XEVRMenuAction* item = dynamic_cast<const XEVRMenuAction*>(action);
    return item != nullptr && item->ownerDraw;
}

void CXEVRMenu::initStyleOption(QStyleOptionMenuItem* option, const QAction* action) const
{
    QMenu::initStyleOption(option, action);
    option->styleObject = const_cast<QAction*>(action);
}

const QFont& CXEVRMenu::MenuFont()
{
    // Settings are read once at start-up, so one font per menu level serves every item.
    if (!font_) {
        CXEVFont font;
        font.CreateFromInfo(GetCommonSettings().Fonts[kMenuFont], this);
        font_ = font.Font();
    }
    return *font_;
}

void CXEVRMenu::MeasureItem(XEVMeasureItem& item)
{
    if (item.ctlType != kXEVOwnerDrawMenu) {
        return;
    }
    if (item.itemData == nullptr) {
        item.itemWidth = 1;
        item.itemHeight = 1;
        return;
    }
    const XEVRMenuItem& record = *item.itemData;
    CXEVRMenu* owner = record.owner != nullptr ? record.owner : this;
    const QFontMetrics metrics(owner->MenuFont());
    const QRect label = metrics.boundingRect(QRect(), kTextFlags, record.label);
    int32_t acceleratorWidth = 0;
    if (!record.accelerator.isEmpty()) {
        acceleratorWidth = metrics.boundingRect(QRect(), kTextFlags, record.accelerator).width();
    }
    acceleratorWidth += kAcceleratorPad;
    owner->widestLabel_ = std::max(owner->widestLabel_, label.width());
    owner->widestAccelerator_ = std::max(owner->widestAccelerator_, acceleratorWidth);
    item.itemWidth = owner->widestLabel_ + owner->widestAccelerator_ + kTextLeft;
    item.itemHeight = std::max(label.height(), kMinItemHeight);
}

void CXEVRMenu::DrawItem(const XEVDrawItem& item)
{
    if (item.ctlType != kXEVOwnerDrawMenu || item.painter == nullptr) {
        return;
    }
    XEVRMenuAction* action = ItemAction(FindCommand(item.itemId));
    if (action == nullptr) {
        return;
    }
    QPainter& painter = *item.painter;
    const QRect& r = item.itemRect;
    const QPalette& colours = palette();
    const QColor face = colours.color(QPalette::Button);
    painter.fillRect(QRect(r.left(), r.top(), kIconColumn, r.height()), face);
    painter.fillRect(QRect(r.left() + kIconColumn, r.top(), r.width() - kIconColumn, r.height()),
                     colours.color(QPalette::Window));

    const XEVRMenuItem* record = action->record.get();
    if (record == nullptr) {
        painter.setPen(kSeparator);
        painter.drawLine(r.left() + 2, r.top(), r.right() - 2, r.top());
        return;
    }

    const bool selected = (item.itemState & kXEVStateSelected) != 0;
    const bool greyed = (item.itemState & kXEVStateGrayed) != 0;
    const bool checked = (item.itemState & kXEVStateChecked) != 0;
    if (selected && !greyed) {
        painter.fillRect(r, kSelectionFill);
        painter.setPen(kSelectionEdge);
        painter.drawRect(r.adjusted(0, 0, -1, -1));
    }

    const CXEVRMenu* owner = record->owner != nullptr ? record->owner : this;
    painter.setFont(record->owner != nullptr ? record->owner->MenuFont() : MenuFont());
    painter.setPen(greyed ? kGreyText : selected ? QColor(Qt::white) : QColor(Qt::black));
    const int32_t labelLeft = r.left() + kTextLeft;
    painter.drawText(QRect(labelLeft, r.top(), owner->widestLabel_, r.height()), kTextFlags, record->label);
    if (!record->accelerator.isEmpty()) {
        painter.drawText(QRect(labelLeft + owner->widestLabel_, r.top(), owner->widestAccelerator_, r.height()),
                         kTextFlags, record->accelerator);
    }

    if (checked) {
        painter.drawImage(r.left() + 2, r.top() + 2, TickBox(greyed, colours));
    }
    if (!record->icon.isNull()) {
        const QRect frame(r.left(), r.top(), kIconColumn, kIconColumn);
        const QColor hilight = colours.color(QPalette::Light);
        const QColor light = colours.color(QPalette::Midlight);
        const QColor shadow = colours.color(QPalette::Dark);
        const QColor dark = colours.color(QPalette::Shadow);
        if (checked) {
            // Etched: a sunken outer ring round a raised inner one.
            DrawEdge(painter, frame, {shadow, hilight, hilight, shadow}, face);
        } else if (selected && !greyed) {
            // Bump: a raised outer ring round a sunken inner one.
            DrawEdge(painter, frame, {light, dark, dark, light}, face);
        }
        painter.drawPixmap(r.left() + 2, r.top() + 2, record->icon);
    }
}
