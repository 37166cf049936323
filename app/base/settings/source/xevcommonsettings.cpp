#include "shell/xevcommonsettings.h"

#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>

#include <cmath>
#include <cstdio>

#include <initializer_list>

#include "platform/platfileid.h"
#include "platform/platfolder.h"
#include "shell/xev_uistring.h"
#include "shell/xev_utility.h"
#include "shell/xevmessageids.h"

namespace {

const QString kOther = QStringLiteral("OTHER");
const int32_t kFilePositions[] = {0, 2, 5, 7};

struct BuiltInItem {
    int32_t position;
    const QString* macro;   // null: a DICOM element
    uint16_t group;
    uint16_t element;
    const char* prefix;
    const char* suffix;
    const char* format;
    int32_t lineBreak;
};

XEVOverlaySettingInfoItem MakeItem(const BuiltInItem& b)
{
    XEVOverlaySettingInfoItem item;
    if (b.macro != nullptr) {
        item.kind = XEVOverlaySettingInfoItem::kMacro;
        item.macroName = *b.macro;
    } else {
        item.group = b.group;
        item.element = b.element;
        item.format = QString::fromLatin1(b.format);
    }
    item.prefix = QString::fromLatin1(b.prefix);
    item.suffix = QString::fromLatin1(b.suffix);
    item.appendSeparator = b.lineBreak;
    return item;
}

using BuiltInItems = std::initializer_list<BuiltInItem>;

void AddItems(XEVOverlaySettingInfo& settings, std::initializer_list<BuiltInItems> parts, int32_t position)
{
    for (const BuiltInItems& items : parts) {
        for (const BuiltInItem& b : items) {
            if (b.position == position) {
                settings.AddItem(position, MakeItem(b));
            }
        }
    }
}

#define MACRO(pos, name, prefix, brk)                                                                                  \
    {                                                                                                                  \
        pos, &name, 0, 0, prefix, "", "", brk                                                                          \
    }
#define TAG(pos, g, e, prefix, suffix, format, brk)                                                                    \
    {                                                                                                                  \
        pos, nullptr, g, e, prefix, suffix, format, brk                                                                \
    }

// The built-in layouts, put together from the runs of items that modalities share, in the
// order of adding.
const BuiltInItems kMultiframe = {MACRO(2, kXEVMacroMultiframe, "", 1)};
const BuiltInItems kPage = {MACRO(2, kXEVMacroPage, "", 0)};
const BuiltInItems kCtAcquisition = {
    TAG(2, 0x0018, 0x1100, "RD:", "", "", 1),     TAG(2, 0x0018, 0x1120, "Tilt:", "", "", 1),
    TAG(2, 0x0018, 0x1151, "mA:", "", "", 1),     TAG(2, 0x0018, 0x0060, "KVP:", "", "", 1),
    TAG(2, 0x0020, 0x0012, "Acq no:", "", "", 1),
};
const BuiltInItems kMrAcquisition = {
    TAG(2, 0x0018, 0x9043, "", "", "", 1),     TAG(2, 0x0018, 0x0086, "EC:", "", "", 1),
    TAG(2, 0x0018, 0x0020, "", "", "", 1),     TAG(2, 0x0018, 0x1314, "FA:", "", "", 1),
    TAG(2, 0x0018, 0x0080, "TR:", "", "", 1),  TAG(2, 0x0018, 0x0081, "TE:", "", "", 1),
    TAG(2, 0x0018, 0x1310, "ACQ:", "", "", 1),
};
const BuiltInItems kSeries = {
    TAG(5, 0x0008, 0x103E, "", "", "", 1),     TAG(5, 0x0008, 0x0022, "", "", "DT", 0),
    TAG(5, 0x0008, 0x0032, " ", "", "TM", 1),  TAG(5, 0x0018, 0x0010, "", "", "", 1),
    TAG(5, 0x0020, 0x1041, "LOC:", "", "", 1),
};
const BuiltInItems kThickness = {TAG(5, 0x0018, 0x0050, "THK:", "", "", 1)};
const BuiltInItems kSpacing = {TAG(5, 0x0018, 0x0088, "SP:", "", "", 1)};
const BuiltInItems kPatientPosition = {TAG(5, 0x0018, 0x5100, "", "", "", 0)};
const BuiltInItems kJpegLossy = {MACRO(7, kXEVMacroJpegLossy, "", 1)};
const BuiltInItems kSensitivity = {TAG(7, 0x0018, 0x6000, "S:", "", "", 1)};
const BuiltInItems kZoomAndWindow = {
    MACRO(7, kXEVMacroZoom, "Z:", 1),
    MACRO(7, kXEVMacroWindowCenter, "C:", 1),
    MACRO(7, kXEVMacroWindowWidth, "W:", 1),
};
const BuiltInItems kInstance = {TAG(7, 0x0020, 0x0013, "IM:", "", "", 0)};
const BuiltInItems kInstanceAndSeries = {
    TAG(7, 0x0020, 0x0013, "IM:", " ", "", 0),
    TAG(7, 0x0020, 0x0011, "SE:", "", "", 0),
};
const BuiltInItems kMammoLaterality = {MACRO(0, kXEVMacroMammoLaterality, "", 1)};
// Orientation labels of CT and MR, added whether or not the file exists.
const BuiltInItems kOrientation = {
    MACRO(1, kXEVMacroOrientationLeft, "", 0),
    MACRO(3, kXEVMacroOrientationTop, "", 0),
    MACRO(4, kXEVMacroOrientationBottom, "", 0),
    MACRO(6, kXEVMacroOrientationRight, "", 0),
};

const std::initializer_list<BuiltInItems> kOtherItems = {kMultiframe, kPage,          kSeries,  kPatientPosition,
                                                         kJpegLossy,  kZoomAndWindow, kInstance};
const std::initializer_list<BuiltInItems> kCrItems = {kMultiframe, kPage,        kSeries,        kPatientPosition,
                                                      kJpegLossy,  kSensitivity, kZoomAndWindow, kInstance};
const std::initializer_list<BuiltInItems> kCtItems = {kMultiframe, kCtAcquisition, kPage,
                                                      kSeries,     kThickness,     kPatientPosition,
                                                      kJpegLossy,  kZoomAndWindow, kInstanceAndSeries};
const std::initializer_list<BuiltInItems> kMrItems = {
    kMultiframe, kMrAcquisition,   kPage,      kSeries,        kThickness,
    kSpacing,    kPatientPosition, kJpegLossy, kZoomAndWindow, kInstanceAndSeries};

#undef MACRO
#undef TAG

const QString kFontSection = QStringLiteral("Font");

struct FontRow {
    int32_t index;
    int32_t points;
    int32_t weight;
};

// Fonts 1 to 16 but the corner texts', all in the strings face.
constexpr FontRow kStringsFonts[] = {
    {1, 16, 700},  {2, 12, 400},  {3, 11, 700}, {4, 11, 400},  {5, 10, 400},
    {6, 10, 400},  {8, 10, 400},  {9, 10, 400}, {10, 10, 400}, {11, 10, 400},
    {12, 10, 400}, {13, 10, 400}, {14, 8, 400}, {15, 10, 400}, {16, 10, 400},
};

struct LabelRow {
    int32_t command;
    uint32_t textId;
};

constexpr LabelRow kImageMenuLabels[] = {
    {ID_XEV_WINDOWLEVEL, 20200}, {ID_XEV_ZOOM, 20201},          {ID_XEV_PAN, 20202},
    {ID_XEV_MEASURE, 20203},     {ID_XEV_TEXT, 20204},          {ID_XEV_ARROW, 20205},
    {ID_XEV_PIXELVALUE, 20206},  {ID_XEV_LOCK, 20207},          {ID_XEV_PLAY, 20208},
    {ID_XEV_SERIES_SYNC, 20210}, {ID_XEV_RESET_DISPLAY, 20211}, {ID_XEV_SHOW_REPORT, 20215},
    {ID_XEV_INVERT, 20216},
};
// While cine plays the play entry reads "pause".
constexpr uint32_t kPauseTextId = 20209;

// Only exactly 1 switches an option on.
int32_t ReadOption(const char* key, int32_t defaultValue)
{
    return ReadIniInt(QStringLiteral("Options"), QString::fromLatin1(key), defaultValue) == 1 ? 1 : 0;
}

}   // namespace

int32_t XEVCommonSettings::Load()
{
    ResetDefaults();
    ReadScreenDpi();
    LoadOverlaySettings();

    ReadAgreeFaceName();
    ReadAgreePointSize();
    Fonts[kXEVFontAgreement].weight = 400;
    const QString stringsFace = ReadStringsFaceName();
    for (const FontRow& row : kStringsFonts) {
        Fonts[row.index] = XEVFontInfo{stringsFace, row.points, row.weight};
    }
    SetCornerTextFont(stringsFace);

    SeriesAutoLink = 1;
    BuildMenuLabels();
    ReadOptions();

    InfoFaceName = ReadIniString(QStringLiteral("InfoFaceName"), kXEVDefaultStringsFace, kFontSection);
    InfoPointSize = ReadIniInt(kFontSection, QStringLiteral("InfoPointSize"), 9);
    ReportFaceName = ReadIniString(QStringLiteral("ReportFaceName"), kXEVDefaultStringsFace, kFontSection);
    ReportPointSize = ReadIniInt(kFontSection, QStringLiteral("ReportPointSize"), 9);

    const int32_t ratio = ReadIniInt(QStringLiteral("Cashe"), QStringLiteral("CacheSizeRatio"), 50);
    CacheSizeRatio = ratio < 0 || ratio > 100 ? 50 : ratio;
    return 1;
}

void XEVCommonSettings::ResetDefaults()
{
    OperationLock = 0;
    MenuShowing = 0;
    InitialLayoutIndex = 0;
    ScreenDpi = 96;
    Fonts = XEVDefaultFonts();
    SeriesAutoLink = 1;
    OverlaySettings.clear();
    MenuLabelsStopped.clear();
    MenuLabelsPlaying.clear();
    MenuLabelsDelete1.clear();
    MenuLabelsDelete2.clear();
    MenuLabelsDelete3.clear();
    ModeMultiFrameRead = 0;
    ModeSupportSR = 0;
    ModeOrvix = 0;
}

void XEVCommonSettings::ReadScreenDpi()
{
    ScreenDpi = 96;
    const QScreen* screen = qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr
                                ? QGuiApplication::primaryScreen()
                                : nullptr;
    if (screen == nullptr) {
        return;
    }
    const auto x = static_cast<int32_t>(std::lround(screen->logicalDotsPerInchX()));
    const auto y = static_cast<int32_t>(std::lround(screen->logicalDotsPerInchY()));
    if ((x != 96 || y != 96) && x > 0) {
        ScreenDpi = x;
    }
}

void XEVCommonSettings::ReadAgreeFaceName()
{
    Fonts[kXEVFontAgreement].face =
        ReadIniString(QStringLiteral("AgreeFaceName"), QStringLiteral("MS Gothic"), kFontSection);
}

void XEVCommonSettings::ReadAgreePointSize()
{
    Fonts[kXEVFontAgreement].points = ReadIniInt(kFontSection, QStringLiteral("AgreePointSize"), 9);
}

QString XEVCommonSettings::ReadStringsFaceName() const
{
    return ReadIniString(QStringLiteral("StringsFaceName"), kXEVDefaultStringsFace, kFontSection);
}

void XEVCommonSettings::ReadOptions()
{
    ModeMultiFrameRead = ReadOption("ModeMultiFrameRead", 0);
    ModeOrvix = ReadOption("ModeOrvix", 0);
    ModeUnsupportSRDelList = ReadOption("ModeUnsupportSRDelList", 0);
    ModeSupportSR = ReadOption("ModeSupportSR", 0);
    ModeDispPatientID = ReadOption("ModeDispPatientID", 1);
}

void XEVCommonSettings::BuildMenuLabels()
{
    MenuLabelsStopped.clear();
    MenuLabelsPlaying.clear();
    for (const LabelRow& row : kImageMenuLabels) {
        MenuLabelsStopped.emplace(row.command, GetUIString(row.textId));
    }
    for (const LabelRow& row : kImageMenuLabels) {
        MenuLabelsPlaying.emplace(row.command, GetUIString(row.command == ID_XEV_PLAY ? kPauseTextId : row.textId));
    }
    MenuLabelsDelete1.clear();
    MenuLabelsDelete1.emplace(ID_XEV_DELETE_MEASURE, GetUIString(20212));
    MenuLabelsDelete2.clear();
    MenuLabelsDelete2.emplace(ID_XEV_DELETE_TEXT, GetUIString(20213));
    MenuLabelsDelete3.clear();
    MenuLabelsDelete3.emplace(ID_XEV_DELETE_ARROW, GetUIString(20214));
}

int32_t XEVCommonSettings::LoadOverlaySettings()
{
    if (OverlayReader.HasDocumentLayer()) {
        // A disc may carry the program's files in any letter case.
        const std::string path = PlatJoinFileId(PlatGetModuleFolder(), "OVERLAY.XML");
        OverlayFileExists = !path.empty() && QFileInfo(QString::fromStdString(path)).isFile() ? 1 : 0;
        if (OverlayFileExists == 1 && OverlayReader.LoadFile(path) == PlatReadResult::TooLarge) {
            // No corner-text file is that large: the built-in texts serve.
            OverlayFileExists = 0;
            std::fprintf(stderr,
                         "kestro: %s is larger than %llu MiB, or holds more than %u elements and attributes, "
                         "%u levels, %u attributes on one element or declarations of its own: the built-in "
                         "corner texts are used\n",
                         path.c_str(), static_cast<unsigned long long>(kPlatOwnFileLimit >> 20),
                         XmlFileAccess::kItemLimit, XmlFileAccess::kDepthLimit, XmlFileAccess::kAttributeLimit);
        }
    }
    const bool fromFile = OverlayFileExists == 1;

    auto build = [this, fromFile](XEVOverlaySettingInfo& settings, const QString& modality, const auto& items) {
        for (const int32_t position : kFilePositions) {
            if (fromFile) {
                OverlayReader.ConvertToSettings(settings, modality, position);
            } else {
                AddItems(settings, items, position);
            }
        }
    };
    auto addOrientation = [](XEVOverlaySettingInfo& settings) {
        for (const int32_t position : {1, 3, 4, 6}) {
            AddItems(settings, {kOrientation}, position);
        }
    };

    XEVOverlaySettingInfo other;
    build(other, kOther, kOtherItems);
    InsertOverlaySettingInfo(kOther, other);

    // MG is OTHER plus its own upper-left items. Without an upper-left corner of its own
    // the file's lookup would fall back to OTHER's and show those lines twice.
    const QString mg = QStringLiteral("MG");
    if (!fromFile) {
        AddItems(other, {kMammoLaterality}, 0);
    } else if (OverlayReader.HasLocation(mg, 0)) {
        OverlayReader.ConvertToSettings(other, mg, 0);
    }
    InsertOverlaySettingInfo(mg, other);

    XEVOverlaySettingInfo cr;
    build(cr, QStringLiteral("CR"), kCrItems);
    InsertOverlaySettingInfo(QStringLiteral("CR"), cr);

    XEVOverlaySettingInfo ct;
    build(ct, QStringLiteral("CT"), kCtItems);
    addOrientation(ct);
    InsertOverlaySettingInfo(QStringLiteral("CT"), ct);

    XEVOverlaySettingInfo mr;
    build(mr, QStringLiteral("MR"), kMrItems);
    addOrientation(mr);
    InsertOverlaySettingInfo(QStringLiteral("MR"), mr);

    if (fromFile) {
        for (const OverlayModalityRecord& modality : OverlayReader.modalities) {
            if (modality.name == kOther || modality.name == QLatin1String("CR") ||
                modality.name == QLatin1String("CT") || modality.name == QLatin1String("MR")) {
                continue;
            }
            XEVOverlaySettingInfo settings;
            for (const int32_t position : kFilePositions) {
                OverlayReader.ConvertToSettings(settings, modality.name, position);
            }
            InsertOverlaySettingInfo(modality.name, settings);
        }
    }
    return 1;
}

void XEVCommonSettings::SetCornerTextFont(const QString& stringsFace)
{
    XEVFontInfo& font = Fonts[kXEVFontCornerText];
    if (OverlayFileExists == 1) {
        if (OverlayReader.fontFaceName.isEmpty()) {
            OverlayReader.fontFaceName = stringsFace;
        }
        if (OverlayReader.fontPointSize < 1) {
            OverlayReader.fontPointSize = 11;
        }
        font.face = OverlayReader.fontFaceName;
        font.points = OverlayReader.fontPointSize;
    } else {
        font.face = stringsFace;
        font.points = 11;
    }
    font.weight = 400;
}

XEVOverlaySettingInfo XEVCommonSettings::FindOverlaySettingInfo(const QString& modality) const
{
    auto found = OverlaySettings.find(modality);
    if (found == OverlaySettings.end()) {
        found = OverlaySettings.find(kOther);
    }
    return found == OverlaySettings.end() ? XEVOverlaySettingInfo() : found->second;
}

void XEVCommonSettings::InsertOverlaySettingInfo(const QString& modality, const XEVOverlaySettingInfo& info)
{
    OverlaySettings.emplace(modality, info);
}

XEVCommonSettings& GetCommonSettings()
{
    static XEVCommonSettings& settings = *new XEVCommonSettings;
    return settings;
}
