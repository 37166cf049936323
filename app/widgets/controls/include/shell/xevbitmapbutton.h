#pragma once

// Buttons drawn from bitmaps: the four-look base, the skinned push button that lights up
// under the pointer, and the toggle whose look its owner sets.

#include <QAbstractButton>
#include <QPixmap>
#include <QString>
#include <QTimer>

#include <array>
#include <cstdint>

// Item state bits of owner-drawn buttons and menu items.
constexpr uint32_t kXEVStateSelected = 0x0001;
constexpr uint32_t kXEVStateGrayed = 0x0002;
constexpr uint32_t kXEVStateDisabled = 0x0004;
constexpr uint32_t kXEVStateChecked = 0x0008;
constexpr uint32_t kXEVStateFocus = 0x0010;
constexpr uint32_t kXEVStateDefault = 0x0020;

// The file of a path whose folder and name may differ in case from what is on disc; the
// path itself when nothing matches.
QString XEVFindPathNoCase(const QString& path);

// A push button with four bitmaps: normal, selected (pressed), focus, disabled.
class CXEVOwnerDrawButton : public QAbstractButton {
public:
    enum Look { kNormal = 0, kSelected = 1, kFocus = 2, kDisabled = 3 };

    explicit CXEVOwnerDrawButton(QWidget* parent = nullptr);

    // Built-in bitmaps; an id of 0 leaves that look empty. False when the normal one is missing.
    bool LoadBitmaps(uint16_t normal, uint16_t selected = 0, uint16_t focus = 0, uint16_t disabled = 0);
    void SetBitmap(Look look, const QPixmap& pixmap) { looks_[look] = pixmap; }
    const QPixmap& Bitmap(Look look) const { return looks_[look]; }

    // The size of the normal bitmap.
    void SizeToContent();
    QSize sizeHint() const override;

    // What the platform would hand the drawing: selected while held down, focus, disabled.
    uint32_t ItemState() const;

protected:
    // Adjusts the state (the classes below) and draws.
    virtual void DrawItem(QPainter& painter, uint32_t state);
    // Selected, else focus, else disabled, each only when its bitmap exists; else normal.
    // Copied unscaled to the top-left corner.
    void DrawLook(QPainter& painter, uint32_t state) const;
    void paintEvent(QPaintEvent* event) override;

private:
    std::array<QPixmap, 4> looks_;
};

class CXEVBitmapButton : public CXEVOwnerDrawButton {
public:
    explicit CXEVBitmapButton(QWidget* parent = nullptr);

    // The four looks from BMP files: off (normal), on (pressed or latched), over (hovered)
    // and d (disabled); an empty path is not given. A missing off file gives 0 at once;
    // a missing other one gives 0 but the rest still load. 1 when all given files loaded.
    int32_t LoadBitmaps(const QString& offPath, const QString& onPath, const QString& overPath,
                        const QString& disabledPath);
    // "Res/Btn_<skin>_off.bmp" and its three siblings beside the program.
    int32_t LoadSkin(const QString& skin);
    // The program folder's "Res/", ending in '/'.
    static QString SkinFolder();
    static QString SkinPath(const QString& skin, const QString& suffix);

    // While latched the button is drawn pressed, whatever the mouse does.
    void SetLatched(int32_t latched);
    int32_t Latched() const { return latched_; }
    // Drawn centred over the bitmap when not empty.
    void SetCaption(const QString& caption);
    const QString& Caption() const { return caption_; }

    int32_t Hovering() const { return hover_; }
    int32_t Tracking() const { return tracking_; }

protected:
    void DrawItem(QPainter& painter, uint32_t state) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    void OnMouseHover();
    void OnMouseLeave();

    int32_t hover_ = 0;
    int32_t tracking_ = 0;
    int32_t latched_ = 0;
    QString caption_;
    // The pointer counts as resting after 1 ms.
    QTimer hoverTimer_;
};

// A bitmap button whose look follows its owner's state, not the mouse or the focus.
class CXEVToggleButton : public CXEVOwnerDrawButton {
public:
    explicit CXEVToggleButton(QWidget* parent = nullptr) : CXEVOwnerDrawButton(parent) {}

    // 0 normal look, 1 pressed look, 2 disabled look; the owner sets both and repaints.
    int32_t state = 0;
    int32_t previousState = 0;

protected:
    void DrawItem(QPainter& painter, uint32_t itemState) override;
};
