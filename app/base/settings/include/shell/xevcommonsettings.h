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
constexpr int32_t kXEVFontAgreement = 0;
constexpr int32_t kXEVFontCornerText = 7;
constexpr int32_t kXEVFontMeasure = 10;
constexpr int32_t kXEVFontText = 11;
constexpr int32_t kXEVFontArrow = 12;
constexpr int32_t kXEVFontPixelValue = 13;
constexpr int32_t kXEVFontReferenceLine = 14;

// Labels of a right-button menu: command id -> text.
using XEVMenuLabels = std::map<int32_t, QString>;

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

    // Reads ZYLV.INI, the screen and the corner-text settings. Returns 1; a missing file,
    // section or key gives the defaults.
    int32_t Load();
    // The run-time flags, the screen, the fonts, the label tables, the corner-text layouts
    // and three options back to their defaults.
    void ResetDefaults();
    // Font 0, the agreement text's font.
    void ReadAgreeFaceName();
    void ReadAgreePointSize();
    // The face of fonts 1 to 16; "MS UI Gothic" when the file names none.
    QString ReadStringsFaceName() const;
    void ReadOptions();
    // The five label tables, their texts through GetUIString.
    void BuildMenuLabels();
    // Logical pixels per inch of the primary screen; 96 without a screen.
    void ReadScreenDpi();

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

    int32_t OperationLock = 0;
    int32_t MenuShowing = 0;
    int32_t ScreenDpi = 96;
    int32_t InitialLayoutIndex = 0;
    std::array<XEVFontInfo, kXEVFontCount> Fonts = XEVDefaultFonts();
    int32_t SeriesAutoLink = 1;
    XEVMenuLabels MenuLabelsStopped;
    XEVMenuLabels MenuLabelsPlaying;
    XEVMenuLabels MenuLabelsDelete1;   // measurement
    XEVMenuLabels MenuLabelsDelete2;   // text annotation
    XEVMenuLabels MenuLabelsDelete3;   // arrow
    int32_t ModeMultiFrameRead = 0;
    int32_t ModeUnsupportSRDelList = 0;
    int32_t ModeSupportSR = 0;
    int32_t ModeDispPatientID = 1;
    QString InfoFaceName;
    int32_t InfoPointSize = 9;
    QString ReportFaceName;
    int32_t ReportPointSize = 9;
    int32_t ModeOrvix = 0;
    XmlFileAccess OverlayReader;
    int32_t OverlayFileExists = 0;
    int32_t CacheSizeRatio = 50;   // percent of available memory the pre-load may fill
    std::map<QString, XEVOverlaySettingInfo> OverlaySettings;
};

// The one settings holder, made on first use.
XEVCommonSettings& GetCommonSettings();

inline XEVOverlaySettingInfo FindOverlaySettingInfo(const XEVCommonSettings& settings, const QString& modality)
{
    return settings.FindOverlaySettingInfo(modality);
}
