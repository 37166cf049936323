#pragma once

// The process-wide settings holder, read once at start-up.

#include <QString>

#include <array>
#include <cstdint>
#include <map>

#include "shell/xevfont.h"
#include "viewer/xevoverlaysettinginfo.h"
#include "viewer/xmlfileaccess.h"

constexpr int32_t kXEVFontCount = 17;
constexpr int32_t kXEVFontCornerText = 7;
constexpr int32_t kXEVFontMeasure = 10;
constexpr int32_t kXEVFontText = 11;
constexpr int32_t kXEVFontArrow = 12;
constexpr int32_t kXEVFontPixelValue = 13;
constexpr int32_t kXEVFontReferenceLine = 14;

// The face of fonts 1 to 16 when ZYLV.INI names none.
inline const QString kXEVDefaultStringsFace = QStringLiteral("MS UI Gothic");

// Every descriptor at {"FixedSys", 9, 400}, the annotation fonts 10 to 14 at the strings face.
inline std::array<XEVFontInfo, kXEVFontCount> XEVDefaultFonts()
{
    std::array<XEVFontInfo, kXEVFontCount> fonts;
    for (int32_t i = kXEVFontMeasure; i <= kXEVFontReferenceLine; ++i) {
        fonts[i] = XEVFontInfo{kXEVDefaultStringsFace, i == kXEVFontReferenceLine ? 8 : 10, 400};
    }
    return fonts;
}

class XEVCommonSettings {
public:
    XEVCommonSettings() = default;
    XEVCommonSettings(const XEVCommonSettings&) = delete;
    XEVCommonSettings& operator=(const XEVCommonSettings&) = delete;

    // Fills OverlayFileExists, OverlayReader and OverlaySettings: from "OVERLAY.XML" in the
    // program folder (found without regard to case) when it exists, else from the built-in
    // table. Returns 1.
    int32_t LoadOverlaySettings();
    // Font 7: the file's face and size when the file exists (an empty face becomes the
    // strings face, a size below 1 becomes 11, in the reader too), else the strings face at
    // 11 points; weight 400.
    void SetCornerTextFont(const QString& stringsFace = kXEVDefaultStringsFace);

    // A copy of the layout stored for the modality (exact case), else of "OTHER", else an
    // empty layout.
    XEVOverlaySettingInfo FindOverlaySettingInfo(const QString& modality) const;
    // Stores a copy; a modality that already has a layout keeps it.
    void InsertOverlaySettingInfo(const QString& modality, const XEVOverlaySettingInfo& info);

    std::array<XEVFontInfo, kXEVFontCount> Fonts = XEVDefaultFonts();
    XmlFileAccess OverlayReader;
    int32_t OverlayFileExists = 0;
    std::map<QString, XEVOverlaySettingInfo> OverlaySettings;
};

// The one settings holder, made on first use.
XEVCommonSettings& GetCommonSettings();

inline XEVOverlaySettingInfo FindOverlaySettingInfo(const XEVCommonSettings& settings, const QString& modality)
{
    return settings.FindOverlaySettingInfo(modality);
}
