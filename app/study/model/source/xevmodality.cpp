// Modality-specific values of an image file: enhanced CT/MR functional groups, modality LUT,
// rescale, spacing, position, orientation letters, mammography label and tag texts.

#include <algorithm>
#include <array>
#include <cmath>
#include <iterator>
#include <optional>

#include "shell/xev_utility.h"
#include "study/xevreadmanager.h"
#include "study/xevvekhelper.h"
#include "xevdicomvalues.h"
#include "xevstudytext.h"

namespace {

const char16_t kCRClass[] = u"1.2.840.10008.5.1.4.1.1.1";
const char16_t kEnhancedCT[] = u"1.2.840.10008.5.1.4.1.1.2.1";
const char16_t kEnhancedMR[] = u"1.2.840.10008.5.1.4.1.1.4.1";
const char16_t kNuclear[] = u"1.2.840.10008.5.1.4.1.1.20";
constexpr uint32_t kVrDS = 0x5344;
constexpr uint32_t kVrFD = 0x4446;
constexpr uint32_t kVrFL = 0x4C46;

QString Text(const VEK_DICOMTagObj& info, uint16_t group, uint16_t element)
{
    return DicomTextValue(info, group, element).trimmed();
}

// A decimal as the corner texts show it: two decimals, none for a whole number.
QString DecimalText(double value)
{
    QString text = QString::asprintf("%.2f", value);
    if (text.endsWith(QStringLiteral(".00"))) {
        text.chop(3);
    }
    return text;
}

// Rescale intercept and slope, each read whole from its first value; one that is no finite
// number leaves what the caller had (the defaults 0 and 1, or the shared groups' values), the
// other still applies. In double: the pixel-value readout shows stored x slope + intercept.
void RescalePair(const VEK_DICOMTagObj& info, double& intercept, double& slope)
{
    double value = 0;
    if (info.get_double(0x0028, 0x1052, value) && std::isfinite(value)) {
        intercept = value;
    }
    if (info.get_double(0x0028, 0x1053, value) && std::isfinite(value)) {
        slope = value;
    }
}

// The first count values of a list of decimals, read as the corner texts read them: one value
// that is no number, or a list shorter than count, makes the whole list no value (empty), as if
// the element were absent. A missing value is never taken as 0.
std::vector<double> Doubles(const VEK_DICOMTagObj& info, uint16_t group, uint16_t element, qsizetype count)
{
    XEVReadManager local(XEVLoadMemoryBudget());
    VEK_Vector<double> read(&local);
    if (count <= 0 || !info.get_double_values(group, element, read, VEK_DICOM_VR_OWN, uint32_t(count)) ||
        qsizetype(read.size()) < count) {
        return {};
    }
    return std::vector<double>(read.begin(), read.end());
}

// How many values the slice geometry and the calibration read of a decimal list: a corner
// shows a value of such a list only when the whole list is there, as they use it.
qsizetype WholeListCount(uint16_t group, uint16_t element)
{
    static const struct {
        uint16_t group;
        uint16_t element;
        qsizetype count;
    } kLists[] = {
        {0x0020, 0x0032, 3}, {0x0020, 0x0037, 6}, {0x0028, 0x0030, 2}, {0x0018, 0x1164, 2}, {0x3002, 0x0011, 2}};
    for (const auto& list : kLists) {
        if (list.group == group && list.element == element) {
            return list.count;
        }
    }
    return 0;
}

// Edge letters of one direction: the largest component's pair, with the second largest
// appended when the direction is oblique.
void EdgeLetters(const double* v, QString& first, QString& second)
{
    static const char* const kPositive[3][2] = {{"R", "L"}, {"A", "P"}, {"F", "H"}};
    std::array<int, 3> order = {0, 1, 2};
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return std::fabs(v[a]) > std::fabs(v[b]); });
    const auto letters = [&](int axis, int end) {
        const int pick = v[axis] >= 0 ? end : 1 - end;
        return QString::fromLatin1(kPositive[axis][pick]);
    };
    first = letters(order[0], 0);
    second = letters(order[0], 1);
    const double limit = std::cos(std::asin(0.5) * 6 * 30 / 180);
    if (std::fabs(v[order[0]]) < limit && v[order[1]] != 0) {
        first += letters(order[1], 0);
        second += letters(order[1], 1);
    }
}

}   // namespace

// The first pair of window values with a usable centre and width: each wholly a finite
// number, the width above 0. A pair with a value that is no number is passed over.
bool XEVFirstWindow(const VEK_DICOMTagObj& info, double& centre, double& width)
{
    const QStringList centres = DicomTextValues(info, 0x0028, 0x1050, kXEVWindowValueCount);
    const QStringList widths = DicomTextValues(info, 0x0028, 0x1051, kXEVWindowValueCount);
    for (qsizetype i = 0; i < std::min(centres.size(), widths.size()); ++i) {
        const double c = StrToFloatEnglish(centres[i]);
        const double w = StrToFloatEnglish(widths[i]);
        if (std::isfinite(c) && std::isfinite(w) && w > 0) {
            centre = c;
            width = w;
            return true;
        }
    }
    return false;
}

int32_t XEVVEKHelper::ReadFunctionalGroups(const QString& sopClass, const VEK_DICOMTagObj& info, int32_t frame,
                                           GroupValues& values)
{
    if (sopClass != QString::fromUtf16(kEnhancedCT) && sopClass != QString::fromUtf16(kEnhancedMR)) {
        return 0;
    }
    VEK_DICOMTagObj item(info);
    const bool found =
        frame < 0 ? info.get_item(0x5200, 0x9229, 0, item) : info.get_item(0x5200, 0x9230, uint32_t(frame), item);
    if (!found) {
        return 1;
    }
    VEK_DICOMTagObj transform(item);
    if (item.get_item(0x0028, 0x9145, 0, transform)) {
        if (transform.exist(0x0028, 0x1052) && transform.exist(0x0028, 0x1053)) {
            RescalePair(transform, values.intercept, values.slope);
        }
        if (transform.exist(0x0028, 0x1054)) {
            values.rescaleType = Text(transform, 0x0028, 0x1054);
        }
    }
    VEK_DICOMTagObj voi(item);
    if (!item.get_item(0x0028, 0x9132, 0, voi)) {
        return 1;
    }
    if (voi.exist(0x0028, 0x1050) && voi.exist(0x0028, 0x1051)) {
        double centre = 0, width = 0;
        if (XEVFirstWindow(voi, centre, width)) {
            values.windowPresent = 1;
            values.centre = centre;
            values.width = width;
        }
    }
    if (ReadLutItem(nullptr, voi, 0x3010, values.descriptor, values.data)) {
        values.voiLutPresent = 1;
    }
    return 1;
}

void XEVVEKHelper::ReadModalityLut()
{
    modalityLutPresent = ReadLutItem(&manager, dicomInfo, 0x3000, modalityLutDescriptor, modalityLutData) ? 1 : 0;
    const QString modality = Text(dicomInfo, 0x0008, 0x0060);
    if (modality == QStringLiteral("XA") || modality == QStringLiteral("RF")) {
        // Log- or display-scaled data keep their stored values.
        const QString relationship = Text(dicomInfo, 0x0028, 0x1040);
        if (relationship == QStringLiteral("LOG") || relationship == QStringLiteral("DISP")) {
            modalityLutPresent = 0;
        }
    }
    if (modalityLutPresent == 0) {
        modalityLutDescriptor.clear();
        modalityLutData.clear();
    }
}

bool XEVVEKHelper::IsMakerCrImage(const VEK_DICOMTagObj& info)
{
    const QString maker = Text(info, 0x0008, 0x0070).toUpper();
    return Text(info, 0x0008, 0x0016) == QString::fromUtf16(kCRClass) && maker.contains(QStringLiteral("ZOLK")) &&
           maker.contains(QStringLiteral("VRAX"));
}

void XEVVEKHelper::ReadRescale()
{
    bool marker = false;
    if (dicomInfo.exist(0x0028, 0x1052) && dicomInfo.exist(0x0028, 0x1053)) {
        if (IsMakerCrImage(dicomInfo)) {
            // This maker's CR rescale describes a curve the stored values already follow.
            marker = Text(dicomInfo, 0x0028, 0x1052) == QStringLiteral("-240") &&
                     Text(dicomInfo, 0x0028, 0x1053) == QStringLiteral("2.81525");
        } else {
            RescalePair(dicomInfo, rescaleIntercept, rescaleSlope);
        }
    }
    if (dicomInfo.exist(0x0028, 0x1054)) {
        rescaleType = Text(dicomInfo, 0x0028, 0x1054);
    }
    if (marker) {
        rescaleType = QStringLiteral("US");
    }
}

void XEVVEKHelper::ReadPixelSpacing(const VEK_DICOMTagObj& info, double& horizontal, double& vertical,
                                    int32_t& magnificationCorrected)
{
    horizontal = vertical = 0;
    magnificationCorrected = 0;
    const auto pair = [&](uint16_t group, uint16_t element) {
        // A list with a value that is no number, or with one value, is passed over as if absent.
        const std::vector<double> v = Doubles(info, group, element, 2);
        if (v.empty()) {
            return false;
        }
        vertical = v[0];
        horizontal = v[1];
        return true;
    };
    const QString maker = Text(info, 0x0008, 0x0070).toUpper();
    if (maker.contains(QStringLiteral("ZOLK")) && maker.contains(QStringLiteral("VRAX"))) {
        pair(0x0028, 0x0030);
        return;
    }
    if (pair(0x3002, 0x0011)) {
        return;
    }
    if (pair(0x0018, 0x1164)) {
        const std::vector<double> factor = Doubles(info, 0x0018, 0x1114, 1);
        if (!factor.empty() && factor[0] != 0 && factor[0] != 1) {
            horizontal /= factor[0];
            vertical /= factor[0];
            magnificationCorrected = 1;
        }
        return;
    }
    pair(0x0028, 0x0030);
}

void XEVVEKHelper::ReadCalibration(const VEK_DICOMTagObj& info, FrameImageInfo* record) const
{
    record->sopClassUid = Text(info, 0x0008, 0x0016);
    record->modality = Text(info, 0x0008, 0x0060);
    double horizontal = 0, vertical = 0;
    int32_t corrected = 0;
    ReadPixelSpacing(info, horizontal, vertical, corrected);
    record->spacing1 = horizontal;
    record->spacing2 = vertical;
    record->calibrationFlag = corrected;
    double aspectVertical = vertical;
    double aspectHorizontal = horizontal;
    if (horizontal == 0 || vertical == 0) {
        // A ratio without both its values is none: square pixels.
        const std::vector<double> ratio = Doubles(info, 0x0028, 0x0034, 2);
        aspectVertical = ratio.empty() ? 1.0 : ratio[0];
        aspectHorizontal = ratio.empty() ? 1.0 : ratio[1];
    }
    // A zero, negative or non-finite ratio would flip or collapse the rows on screen.
    const double scale = aspectHorizontal != 0 ? aspectVertical / aspectHorizontal : 1.0;
    record->verticalScale = std::isfinite(scale) && scale > 0 ? scale : 1.0;
    record->aspectBase = 1.0;
    uint32_t rows = 0, columns = 0;
    record->imageHeight = info.get_ulong(0x0028, 0x0010, rows) ? int32_t(rows) : 0;
    record->imageWidth = info.get_ulong(0x0028, 0x0011, columns) ? int32_t(columns) : 0;
    if (info.exist(0x0028, 0x1054)) {
        record->calibrationText = rescaleType;
    }
    record->SetCalibration();
    record->SetCalibration2();
}

void XEVVEKHelper::ReadFramePosition(int32_t frame, FrameImageInfo* record) const
{
    VEK_Manager* m = const_cast<XEVReadManager*>(&manager);
    record->frameOfReferenceUid = Text(dicomInfo, 0x0020, 0x0052);
    // A slice lies somewhere only with its whole position and orientation: a short list padded
    // with 0 would draw reference lines and link series from a place the file never gave.
    const auto take = [&](const VEK_DICOMTagObj& from) {
        const std::vector<double> p = Doubles(from, 0x0020, 0x0032, 3);
        const std::vector<double> o = Doubles(from, 0x0020, 0x0037, 6);
        record->placed = !p.empty() && !o.empty();
        for (size_t i = 0; i < 3; ++i) {
            record->position[i] = p.empty() ? 0 : p[i];
        }
        for (size_t i = 0; i < 6; ++i) {
            record->orientation[i] = o.empty() ? 0 : o[i];
        }
    };
    take(dicomInfo);
    if (sopClassUid == QString::fromUtf16(kNuclear) && dicomInfo.exist(0x0054, 0x0022)) {
        const uint32_t items = dicomInfo.get_item_count(0x0054, 0x0022);
        VEK_Vector<unsigned int> vector(m);
        uint32_t index = 0;
        // Only the detectors up to this frame's are read.
        if (frame >= 0 && dicomInfo.get_ulong_values(0x0054, 0x0020, vector, VEK_DICOM_VR_OWN, uint32_t(frame) + 1) &&
            vector.size() > uint32_t(frame)) {
            const uint32_t named = vector[uint32_t(frame)];
            // Detector 0 or one past the items names no item: the first.
            index = named >= 1 && named <= items ? named - 1 : 0;
        }
        VEK_DICOMTagObj item(dicomInfo);
        if (dicomInfo.get_item(0x0054, 0x0022, index, item)) {
            take(item);
        }
    }
    int32_t number = 0;
    record->instanceNumber.reset();
    if (dicomInfo.get_long(0x0020, 0x0013, number)) {
        record->instanceNumber = number;
    }
}

void XEVVEKHelper::ReadOrientationLetters(const VEK_DICOMTagObj& info, QString letters[4])
{
    for (int i = 0; i < 4; ++i) {
        letters[i].clear();
    }
    const std::vector<double> o = Doubles(info, 0x0020, 0x0037, 6);
    if (o.empty()) {
        return;
    }
    // A zero direction names no edge.
    if (o[0] != 0 || o[1] != 0 || o[2] != 0) {
        EdgeLetters(&o[0], letters[0], letters[1]);
    }
    if (o[3] != 0 || o[4] != 0 || o[5] != 0) {
        EdgeLetters(&o[3], letters[2], letters[3]);
    }
}

QString XEVVEKHelper::ReadMammoViewLabel(const VEK_DICOMTagObj& info)
{
    static const struct {
        const char* code;
        const char* label;
    } kViews[] = {{"R-10226", "MLO"},  {"R-10242", "CC"},   {"R-10224", "ML"},   {"R-10228", "LM"},
                  {"R-10230", "LMO"},  {"R-10244", "FB"},   {"R-102D0", "SIO"},  {"R-102CF", "XCC"},
                  {"Y-X1770", "XCCL"}, {"R-1024A", "XCCL"}, {"Y-X1771", "XCCM"}, {"R-1024B", "XCCM"}};
    QString label = Text(info, 0x0020, 0x0062);
    VEK_DICOMTagObj item(info);
    if (!info.get_item(0x0054, 0x0220, 0, item)) {
        return label;
    }
    const QString code = Text(item, 0x0008, 0x0100);
    for (const auto& view : kViews) {
        if (code == QLatin1String(view.code)) {
            return label + QLatin1String(view.label);
        }
    }
    return label + code;
}

QString XEVVEKHelper::GetTagText(const VEK_DICOMTagObj& info, uint16_t group, uint16_t element)
{
    if (group == 0x0018 && element == 0x1310) {
        const QStringList v = DicomTextValues(info, group, element, 4);
        // A value that is no integer makes the whole matrix no value, as any list of numbers.
        std::array<std::optional<int32_t>, 4> n;
        for (qsizetype i = 0; i < v.size(); ++i) {
            int32_t read = 0;
            if (!StrToIntEnglish(v[i], read)) {
                return {};
            }
            n[size_t(i)] = read;
        }
        // Rows and columns each take their second value where the first is below 1; one the
        // list does not hold leaves the pair without it, shown as none rather than 0.
        const auto pick = [&](size_t first, size_t second) { return n[first] >= 1 ? n[first] : n[second]; };
        const std::optional<int32_t> rows = n[0].has_value() ? pick(0, 2) : std::nullopt;
        const std::optional<int32_t> cols = n[1].has_value() ? pick(1, 3) : std::nullopt;
        if (!rows.has_value() || !cols.has_value() || (*rows < 1 && *cols < 1)) {
            return {};
        }
        return QString::number(*rows) + QLatin1Char('\\') + QString::number(*cols);
    }
    if (group == 0x0008 && element == 0x103E) {
        return DicomTextValue(info, group, element);
    }
    const uint32_t vr = info.get_vr(group, element);
    if (vr == kVrDS || vr == kVrFD || vr == kVrFL) {
        double value = 0;
        if (!info.get_double(group, element, value)) {
            return {};
        }
        return DecimalText(value);
    }
    return DicomTextValue(info, group, element);
}

QString DecimalValuesText(const VEK_DICOMTagObj& info, uint16_t group, uint16_t element, uint32_t count)
{
    if (count == 0) {
        return {};
    }
    const std::vector<double> values =
        Doubles(info, group, element, std::max(qsizetype(count), WholeListCount(group, element)));
    QStringList texts;
    for (const double value : values) {
        texts.push_back(DecimalText(value));
    }
    return texts.join(QLatin1Char('\\'));
}

QString XEVVEKHelper::GetFrameText() const
{
    const FrameImageInfo* frame = GetCurrentFrame();
    return frame == nullptr ? QString() : frame->frameOfReferenceUid;
}

bool XEVVEKHelper::GetSlicePlace(XEVSlicePlace& place) const
{
    const FrameImageInfo* frame = GetCurrentFrame();
    if (frame == nullptr || !frame->placed) {
        return false;
    }
    std::copy(std::begin(frame->position), std::end(frame->position), place.position);
    std::copy(std::begin(frame->orientation), std::end(frame->orientation), place.orientation);
    return true;
}

bool XEVVEKHelper::IsSameOrientation(const XEVVEKHelper& other) const
{
    XEVSlicePlace place;
    return other.GetSlicePlace(place) && IsSameOrientation(place);
}

int32_t XEVVEKHelper::GetSliceDistance(const XEVVEKHelper& other, double& distance) const
{
    XEVSlicePlace place;
    return other.GetSlicePlace(place) ? GetSliceDistance(place, distance) : 0;
}

bool XEVVEKHelper::IsSameOrientation(const XEVSlicePlace& other) const
{
    const FrameImageInfo* a = GetCurrentFrame();
    if (a == nullptr || !a->placed) {
        return false;
    }
    for (int i = 0; i < 6; ++i) {
        if (std::fabs(a->orientation[i] - other.orientation[i]) > double(0.01f)) {
            return false;
        }
    }
    return true;
}

int32_t XEVVEKHelper::GetSliceDistance(const XEVSlicePlace& other, double& distance) const
{
    const FrameImageInfo* a = GetCurrentFrame();
    if (a == nullptr || !a->placed) {
        return 0;
    }
    const double* o = other.orientation;
    const double n[3] = {o[1] * o[5] - o[2] * o[4], o[2] * o[3] - o[0] * o[5], o[0] * o[4] - o[1] * o[3]};
    const double length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    if (length == 0) {
        return 0;
    }
    const auto dot = [&](const double* p) { return n[0] * p[0] + n[1] * p[1] + n[2] * p[2]; };
    distance = std::fabs(dot(a->position) - dot(other.position)) / length;
    return 1;
}
