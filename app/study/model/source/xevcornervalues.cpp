// Corner texts of a frame: the settings' items with their tag values, and the macros the
// file decides; value selection, elements inside sequences, raw private elements.

#include <algorithm>
#include <string>
#include <utility>

#include "platform/platcodepage.h"
#include "shell/xevcommonsettings.h"
#include "study/xevvekhelper.h"
#include "viewer/xevoverlaysettinginfo.h"
#include "viewer/xevoverlayviewinfo.h"
#include "viewer/xmlfileaccess.h"
#include "xevstudytext.h"

namespace {

constexpr uint32_t kVrBlank = 0x2020;

uint32_t Vr(char a, char b)
{
    return uint32_t(uint8_t(a)) | (uint32_t(uint8_t(b)) << 8);
}

bool IsBinaryVr(uint32_t vr)
{
    return vr == Vr('O', 'B') || vr == Vr('O', 'F') || vr == Vr('O', 'W') || vr == Vr('S', 'Q');
}

// A value longer than a corner line shows, cut where no character is split.
void CutCornerValue(QString& value)
{
    if (value.size() > kXEVCornerValueLength) {
        value.truncate(kXEVCornerValueLength);
        if (value.back().isHighSurrogate()) {
            value.chop(1);
        }
    }
}

}   // namespace

QString RawTagText(const VEK_DICOMTagObj& info, uint16_t group, uint16_t element)
{
    const void* pointer = nullptr;
    if (!info.get_value_pointer(group, element, pointer) || pointer == nullptr ||
        IsBinaryVr(info.get_vr(group, element))) {
        return {};
    }
    // The value's own length up to what a text is read to; the rest stays in the file.
    const uint32_t length = info.get_held_length(group, element);
    if (length == 0 || length == 0xFFFFFFFFu) {
        return {};
    }
    std::string bytes(static_cast<const char*>(pointer), std::min(length, kXEVTextValueLength));
    bytes.resize(std::char_traits<char>::length(bytes.c_str()));
    std::u16string wide;
    if (PlatMultiByteToUtf16(932, bytes, wide) != PlatConvertStatus::Ok) {
        return QString::fromLatin1(bytes.data(), qsizetype(bytes.size()));
    }
    return QString::fromStdU16String(wide);
}

QString SelectTagValue(const VEK_DICOMTagObj& info, const XEVOverlaySettingInfoItem& item, const QString& text)
{
    QString value = text;
    if (value.isEmpty() && (item.group & 1) != 0) {
        value = RawTagText(info, item.group, item.element);
    }
    const uint32_t vr = info.get_vr(item.group, item.element);
    if (vr == kVrBlank || IsBinaryVr(vr)) {
        return {};
    }
    const int32_t k = item.index <= 1 ? 1 : item.index;
    if (vr == Vr('F', 'D') || vr == Vr('F', 'L')) {
        value = DicomTextValue(info, item.group, item.element);
    } else if (vr == Vr('D', 'S')) {
        // The two-decimal text holds one value only: the values up to the k-th are read again.
        value = DecimalValuesText(info, item.group, item.element, uint32_t(k));
    }
    if (!value.contains(QLatin1Char('\\'))) {
        return value;
    }
    const QStringList parts = value.split(QLatin1Char('\\'));
    return k <= parts.size() ? parts[k - 1] : QString();
}

QString SequenceTagValue(const VEK_DICOMTagObj& info, const XEVOverlaySettingInfoItem& item)
{
    // Item numbers count from 1: anything below names no item.
    const OverlayItemRecord* node = item.nested;
    if (node == nullptr || item.index < 1) {
        return {};
    }
    VEK_DICOMTagObj current(info);
    if (!info.get_item(item.group, item.element, uint32_t(item.index - 1), current)) {
        return {};
    }
    while (node->nested != nullptr) {
        if (node->index < 1) {
            return {};
        }
        VEK_DICOMTagObj next(current);
        if (!current.get_item(node->group, node->element, uint32_t(node->index - 1), next)) {
            return {};
        }
        current = next;
        node = node->nested.get();
    }
    if (!current.exist(node->group, node->element)) {
        return {};
    }
    const uint32_t vr = current.get_vr(node->group, node->element);
    if (vr == kVrBlank || IsBinaryVr(vr)) {
        return {};
    }
    const QString value = (node->group & 1) != 0 ? RawTagText(current, node->group, node->element)
                                                 : DicomTextValue(current, node->group, node->element);
    return node->prefix + FormatDateTimeText(node->str, value) + node->suffix;
}

void XEVVEKHelper::BuildCornerValues(const VEK_DICOMTagObj& info, FrameImageInfo* record)
{
    const QString modality = DicomTextValue(info, 0x0008, 0x0060).trimmed();
    mammoLabel = ReadMammoViewLabel(info);
    ReadOrientationLetters(info, orientationLetters);
    const XEVOverlaySettingInfo settings = GetCommonSettings().FindOverlaySettingInfo(modality);
    XEVOverlayViewInfo& view = record->viewInfo;
    view.Clear();
    for (int32_t position = 0; position < kXEVOverlayPositionCount; ++position) {
        BuildCornerPosition(settings, position, view);
    }
}

void XEVVEKHelper::BuildCornerPosition(const XEVOverlaySettingInfo& settings, int32_t position,
                                       XEVOverlayViewInfo& view) const
{
    if (position < 0 || position >= kXEVOverlayPositionCount) {
        return;
    }
    XEVOverlayViewInfo::Items& items = view.positions[size_t(position)];
    for (const auto& [line, setting] : settings.GetPositionMap(position)) {
        // A corner shows what fits on a view: past that many items a settings file's lines are
        // not read into every frame.
        if (items.size() >= kXEVCornerItemLimit) {
            break;
        }
        XEVOverlaySettingInfoItem item = setting;
        if (item.kind == XEVOverlaySettingInfoItem::kTag) {
            item.value = item.nested != nullptr
                             ? SequenceTagValue(dicomInfo, item)
                             : SelectTagValue(dicomInfo, item, GetTagText(dicomInfo, item.group, item.element));
            CutCornerValue(item.value);
        } else if (item.kind == XEVOverlaySettingInfoItem::kMacro) {
            const QString& name = item.macroName;
            if (name == kXEVMacroOrientationLeft) {
                view.orientationLeftText = orientationLetters[0];
            } else if (name == kXEVMacroOrientationRight) {
                view.orientationRightText = orientationLetters[1];
            } else if (name == kXEVMacroOrientationTop) {
                view.orientationTopText = orientationLetters[2];
            } else if (name == kXEVMacroOrientationBottom) {
                view.orientationBottomText = orientationLetters[3];
            } else if (name == kXEVMacroMultiframe) {
                view.multiframeText = frameCount > 1 ? QStringLiteral("Multiframe") : QString();
            } else if (name == kXEVMacroJpegLossy) {
                view.jpegLossyText = lossyFlag == QStringLiteral("01") ? QStringLiteral("Lossy Data") : QString();
            } else if (name == kXEVMacroMammoLaterality) {
                view.mammoLateralityText = mammoLabel;
            }
        }
        items.push_back(std::move(item));
    }
}
