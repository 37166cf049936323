#pragma once

// The owner-drawn right-button menu: built from a compiled-in menu with the caller's labels
// and icons, every item below the root measured and painted here (icon column, selection
// box, drawn tick box, icon frames, thin separators) in settings font 6.

#include <QFont>
#include <QMenu>
#include <QPixmap>
#include <QRect>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>

#include "shell/xevcommonsettings.h"
#include "shell/xevmenutable.h"

class CXEVRMenu;
class QPainter;

// The record of one non-separator item.
struct XEVRMenuItem {
    CXEVRMenu* owner = nullptr;           // the level that holds the item
    std::unique_ptr<CXEVRMenu> subMenu;   // the item's pop-up, or null
    QString label;                        // the text before the first tab
    QString accelerator;                  // the text after it, or empty
    QPixmap icon;                         // 16 x 16 with its transparent colour cleared, or null
};

constexpr uint32_t kXEVOwnerDrawMenu = 1;   // the control type of menu items

struct XEVMeasureItem {
    uint32_t ctlType = kXEVOwnerDrawMenu;
    int32_t itemId = 0;
    XEVRMenuItem* itemData = nullptr;   // null for a separator
    int32_t itemWidth = 0;
    int32_t itemHeight = 0;
};

struct XEVDrawItem {
    uint32_t ctlType = kXEVOwnerDrawMenu;
    int32_t itemId = 0;       // the command; 0 for a separator
    uint32_t itemState = 0;   // kXEVState* bits
    QPainter* painter = nullptr;
    QRect itemRect;
};

class CXEVRMenu : public QMenu {
public:
    explicit CXEVRMenu(QWidget* parent = nullptr);
    ~CXEVRMenu() override;
    CXEVRMenu(const CXEVRMenu&) = delete;
    CXEVRMenu& operator=(const CXEVRMenu&) = delete;

    // Builds the menu of the id, gives the items of the label map their texts, makes the
    // records, switches every item below the root to owner drawing and attaches the icons
    // of the table (the first that fails to load ends a pop-up's icons). 1 on success, 0
    // when there is no such menu.
    int32_t LoadOwnerDraw(uint16_t menuId, const XEVMenuLabels& labels, const XEVMenuIcon* icons = nullptr,
                          int32_t iconCount = 0);
    // The pop-up at a root position; null when there is none.
    CXEVRMenu* GetSubMenu(int32_t position) const;

    // Frees the records of a level. With null: the whole menu, which is then emptied; 0 when
    // nothing is loaded, so a second call is harmless.
    int32_t FreeItemData(CXEVRMenu* level);

    // Width and height of an item; items of other control types are left alone.
    void MeasureItem(XEVMeasureItem& item);
    // Paints one item; nothing when its command is not in this menu.
    void DrawItem(const XEVDrawItem& item);

    // The item of a command at any level, or null.
    QAction* FindCommand(int32_t command) const;
    const XEVRMenuItem* FindItem(int32_t command) const;
    // Checked items show their tick or etched icon frame; disabled ones are greyed. False when
    // the command is not in the menu.
    bool CheckMenuItem(int32_t command, bool checked);
    bool EnableMenuItem(int32_t command, bool enabled);
    // Whether the item is measured and painted here.
    bool IsOwnerDrawn(const QAction* action) const;

    // The widest label and accelerator column (its width + 6) measured so far on this level.
    int32_t WidestLabel() const { return widestLabel_; }
    int32_t WidestAccelerator() const { return widestAccelerator_; }

protected:
    // Hands the item to the style with the option, so that the style finds its record.
    void initStyleOption(QStyleOptionMenuItem* option, const QAction* action) const override;

private:
    void Prepare(const XEVMenuIcon* icons, int32_t iconCount, bool root);
    const QFont& MenuFont();

    bool loaded_ = false;
    int32_t widestLabel_ = 0;
    int32_t widestAccelerator_ = 0;
    std::optional<QFont> font_;
};
