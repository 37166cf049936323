#pragma once

// Corner-text layout of one modality: for each of eight positions around the image, the
// items of its lines in display order.

#include <QString>

#include <cstdint>
#include <map>

struct OverlayItemRecord;

// Positions: 0 upper left, 1 left middle, 2 lower left, 3 top centre, 4 bottom centre,
// 5 upper right, 6 right middle, 7 lower right.
constexpr int32_t kXEVOverlayPositionCount = 8;

// One piece of corner text: a DICOM element's value, a value the view computes (a macro),
// or a fixed text.
class XEVOverlaySettingInfoItem {
public:
    enum Kind : int32_t { kTag = 0, kMacro = 1, kText = 2 };

    XEVOverlaySettingInfoItem() = default;
    XEVOverlaySettingInfoItem(const XEVOverlaySettingInfoItem&) = default;
    XEVOverlaySettingInfoItem& operator=(const XEVOverlaySettingInfoItem&) = default;
    virtual ~XEVOverlaySettingInfoItem() = default;

    // Every field back to its default; builders reuse one item.
    void Reset() { *this = XEVOverlaySettingInfoItem(); }

    int32_t kind = kTag;
    QString macroName;   // macro items: one of the display names below
    QString prefix;
    QString value;   // tag items: the element's value, filled per frame
    QString text;    // text items: the fixed text
    QString suffix;
    QString separator = QStringLiteral("\r\n");
    int32_t appendSeparator = 1;   // nonzero: the item ends a line
    uint16_t group = 0;            // tag items; 0xFFFF in group and element: finds no element
    uint16_t element = 0;
    QString format;      // tag items: "DT" date, "TM" time, "" as stored
    int32_t index = 0;   // tag items: which backslash-separated value, counted from 1 (0 = first)
    // Tag items: the TAG written inside this one in OVERLAY.XML, through which a value
    // inside a sequence is reached. Owned by the file reader, which outlives the settings.
    const OverlayItemRecord* nested = nullptr;
};

// Macro display names.
inline const QString kXEVMacroPage = QStringLiteral("Page of TotalPages");
inline const QString kXEVMacroZoom = QStringLiteral("Zoom Rate");
inline const QString kXEVMacroWindowCenter = QStringLiteral("Window Center");
inline const QString kXEVMacroWindowWidth = QStringLiteral("Window Width");
inline const QString kXEVMacroDFOV = QStringLiteral("DFOV");
inline const QString kXEVMacroOrientationTop = QStringLiteral("Patient Orientation Top");
inline const QString kXEVMacroOrientationBottom = QStringLiteral("Patient Orientation Bottom");
inline const QString kXEVMacroOrientationLeft = QStringLiteral("Patient Orientation Left");
inline const QString kXEVMacroOrientationRight = QStringLiteral("Patient Orientation Right");
inline const QString kXEVMacroMultiframe = QStringLiteral("Multiframe");
inline const QString kXEVMacroJpegLossy = QStringLiteral("JPEG Lossy Data");
inline const QString kXEVMacroMammoLaterality = QStringLiteral("Mammo Image Laterality");

class XEVOverlaySettingInfo {
public:
    // Line number (from 1, in the order of adding) to item.
    using PositionMap = std::map<int32_t, XEVOverlaySettingInfoItem>;

    XEVOverlaySettingInfo() = default;
    XEVOverlaySettingInfo(const XEVOverlaySettingInfo&) = default;
    XEVOverlaySettingInfo& operator=(const XEVOverlaySettingInfo&) = default;
    virtual ~XEVOverlaySettingInfo() = default;

    // Stores a copy under the next line number of the position; a position outside 0..7 is
    // dropped.
    void AddItem(int32_t position, const XEVOverlaySettingInfoItem& item);
    // The item, or one shared default item when the position has no such line.
    const XEVOverlaySettingInfoItem& GetItem(int32_t line, int32_t position) const;
    // The map of positions 0..7; one shared empty map for any other position.
    const PositionMap& GetPositionMap(int32_t position) const;

private:
    PositionMap positions_[kXEVOverlayPositionCount];
};

// "DT": yyyy/mm/dd from a date's eight digits; "TM": hh:mm:ss from a time's six digits
// (XEVDateDigits, XEVTimeDigits); anything else, or a value without them, unchanged.
QString FormatDateTimeText(const QString& format, const QString& value);

// The text of one item: prefix + value + suffix when shown (tag items only with a value),
// then the separator when the item ends a line, shown or not.
QString FormatOverlayItemText(bool show, const XEVOverlaySettingInfoItem& item, const QString& macroValue);
