// SR documents as text.
#include <algorithm>
#include <atomic>
#include <iterator>
#include <string>

#include "platform/platcodepage.h"
#include "shell/xev_uistring.h"
#include "shell/xev_utility.h"
#include "study/xevstagedread.h"
#include "study/xevvekhelper.h"
#include "vek_fileinputstorage.h"
#include "xevstudytext.h"

const SRValueTypeRow SRValueTypeTable[kSRValueTypeCount] = {
    {u"TEXT", 0x0040, 0xA160}, {u"CODE", 0x0040, 0xA168},  {u"DATETIME", 0x0040, 0xA120},  {u"DATE", 0x0040, 0xA121},
    {u"TIME", 0x0040, 0xA122}, {u"PNAME", 0x0040, 0xA123}, {u"CONTAINER", 0x0040, 0xA730},
};

namespace {

const QString kParagraph = QStringLiteral("\r\n\r\n");
constexpr uint32_t kUnsupported = 10025;
constexpr uint32_t kReportCut = 10045;
// What the text box takes for one line of the text beside its characters.
constexpr uint64_t kViewLineBytes = 16;
// A value's text costs two bytes a byte at most, made through three copies on its way here.
constexpr uint64_t kValueCopies = 4;

std::atomic<uint64_t> reportMemoryBudget{kXEVReportMemoryBudget};
std::atomic<uint64_t> reportMemoryPeak{0};

// What the text may still take of the read's budget; none: no bound.
struct ReportTextMeter {
    virtual ~ReportTextMeter() = default;
    virtual bool Charge(uint64_t bytes) = 0;
    virtual void Discharge(uint64_t bytes) = 0;
    virtual uint64_t Room() const = 0;
};

template <class Manager>
struct ManagerTextMeter final : ReportTextMeter {
    explicit ManagerTextMeter(Manager& m) : manager(m) {}
    bool Charge(uint64_t bytes) override { return manager.charge(bytes); }
    void Discharge(uint64_t bytes) override { manager.discharge(bytes); }
    uint64_t Room() const override
    {
        const uint64_t budget = manager.budget();
        return budget == 0 ? UINT64_MAX : budget - std::min(budget, manager.in_use());
    }
    Manager& manager;
};

// The report's text, grown in place (each piece copied once, the whole doubling as it grows)
// and charged to the meter as it grows; past the meter's room it stops, cut.
class ReportText {
public:
    explicit ReportText(ReportTextMeter* meter) : meter_(meter) {}
    ~ReportText()
    {
        if (meter_ != nullptr) {
            meter_->Discharge(charged_);
        }
    }
    ReportText(const ReportText&) = delete;
    ReportText& operator=(const ReportText&) = delete;

    qsizetype Size() const { return text_.size(); }
    bool Cut() const { return cut_; }
    bool EndsWith(const QString& tail, qsizetype from) const
    {
        return text_.size() - from >= tail.size() && text_.endsWith(tail);
    }
    void Chop(qsizetype n) { text_.chop(n); }

    bool Append(const QString& piece)
    {
        if (cut_) {
            return false;
        }
        if (meter_ != nullptr) {
            const uint64_t lines = uint64_t(piece.count(u'\n'));
            if (!Reserve(text_.size() + piece.size()) || !Charge(lines * kViewLineBytes)) {
                return Stop();
            }
        }
        text_.append(piece);
        return true;
    }
    // Whether a value of this many bytes could be made into text within the room left.
    bool Affords(uint64_t valueBytes)
    {
        if (meter_ != nullptr && valueBytes > meter_->Room() / (2 * kValueCopies)) {
            return Stop();
        }
        return !cut_;
    }
    bool Stop()
    {
        cut_ = true;
        return false;
    }
    // The document itself was read only in part: the text says so at its end.
    void MarkPartial() { partial_ = true; }
    // The text and, when it was cut, the line that says so.
    QString Take()
    {
        if (cut_ || partial_) {
            if (!text_.isEmpty() && !text_.endsWith(kParagraph)) {
                text_.append(kParagraph);
            }
            text_.append(GetMessageString(kReportCut));
        }
        return std::move(text_);
    }

private:
    bool Charge(uint64_t bytes)
    {
        if (bytes != 0 && !meter_->Charge(bytes)) {
            return false;
        }
        charged_ += bytes;
        return true;
    }
    // Room for size characters; the old block and the new one are both held while copied.
    // What was charged is kept apart from the string's capacity, which may come out larger.
    bool Reserve(qsizetype size)
    {
        if (size <= reserved_) {
            return true;
        }
        for (const qsizetype wanted : {std::max<qsizetype>({2 * reserved_, size, 4096}), size}) {
            if (Charge(uint64_t(wanted) * 2)) {
                text_.reserve(wanted);
                meter_->Discharge(uint64_t(reserved_) * 2);
                charged_ -= uint64_t(reserved_) * 2;
                reserved_ = wanted;
                return true;
            }
        }
        return false;
    }

    ReportTextMeter* meter_;
    QString text_;
    qsizetype reserved_ = 0;
    uint64_t charged_ = 0;
    bool cut_ = false;
    bool partial_ = false;
};

// The value's text, when it fits the text's room; empty otherwise (and the text is cut).
QString ValueText(const VEK_DICOMTagObj& item, uint16_t group, uint16_t element, ReportText& out)
{
    if (!out.Affords(item.get_length(group, element))) {
        return QString();
    }
    return VekToQString(item.get_string_value(group, element));
}

// Appends the text of the content items below level, in place; false once the text is cut.
bool AppendLevel(const VEK_DICOMTagObj& level, ReportText& out)
{
    const qsizetype start = out.Size();
    VEK_DICOMTagObj content(level);
    for (uint32_t i = 0;; ++i) {
        if (!level.get_item(0x0040, 0xA730, i, content)) {
            break;
        }
        if (content.current_element() == nullptr) {
            return true;   // the text so far as it stands, without the clean-up below
        }
        const QString valueType = DicomTextValue(content, 0x0040, 0xA040).trimmed();
        const SRValueTypeRow* row =
            std::find_if(std::begin(SRValueTypeTable), std::end(SRValueTypeTable),
                         [&](const SRValueTypeRow& r) { return valueType == QString::fromUtf16(r.name); });
        if (row == std::end(SRValueTypeTable)) {
            continue;
        }
        QString value;
        if (valueType == u"CONTAINER") {
            const qsizetype child = out.Size();
            if (!AppendLevel(content, out) || (out.Size() != child && !out.Append(kParagraph))) {
                return false;
            }
            continue;
        }
        if (valueType == u"CODE") {
            VEK_DICOMTagObj code(content);
            if (content.get_item(0x0040, 0xA168, 0, code)) {
                value = ValueText(code, 0x0008, 0x0104, out);
            }
        } else {
            value = ValueText(content, uint16_t(row->group), uint16_t(row->element), out);
            if (valueType == u"PNAME") {
                value.replace(u'^', u' ');
            }
        }
        if (out.Cut() || (!value.isEmpty() && !(out.Append(value) && out.Append(kParagraph)))) {
            return false;
        }
    }
    if (out.EndsWith(kParagraph, start)) {
        out.Chop(kParagraph.size());
    }
    return out.Size() != start || out.Append(GetMessageString(kUnsupported));
}

// A DICOMDIR reads as a dataset too, but is no document.
bool IsDirectoryData(const VEK_DICOMTagObj& info)
{
    return info.exist(0x0004, 0x1220) || DicomTextValue(info, 0x0002, 0x0002) == QStringLiteral("1.2.840.10008.1.3.10");
}

QString BuildReportTextWithin(const VEK_DICOMInfo& info, const VEK_DICOMTagObj* item, ReportTextMeter* meter,
                              bool partial)
{
    ReportText out(meter);
    if (partial) {
        out.MarkPartial();
    }
    AppendLevel(item != nullptr ? *item : static_cast<const VEK_DICOMTagObj&>(info), out);
    return out.Take();
}

}   // namespace

void XEVSetReportMemoryBudget(uint64_t bytes)
{
    reportMemoryBudget.store(bytes != 0 ? bytes : kXEVReportMemoryBudget);
}

uint64_t XEVTakeReportMemoryPeak()
{
    return reportMemoryPeak.exchange(0);
}

QString BuildReportText(const VEK_DICOMInfo& info, const VEK_DICOMTagObj* item)
{
    return BuildReportTextWithin(info, item, nullptr, false);
}

QString ConvertJisName(const QString& text)
{
    // The name came in one byte per character (no character set): back to those bytes.
    std::string bytes;
    bytes.reserve(static_cast<size_t>(text.size()));
    for (QChar c : text) {
        bytes.push_back(static_cast<char>(c.unicode() & 0xFF));
    }
    if (bytes.size() < 3) {
        return text;
    }
    return DecodeJisBytes(bytes, text);
}

int32_t XEVVEKHelper::ReadReport(const QString& path, ReportInfo& report)
{
    // The report the user asked for, in the medium's turn ahead of reads in the background.
    XEVMediumTurn turn(XEVReadPriority::OnScreen, nullptr);
    const uint64_t budget = reportMemoryBudget.load();
    XEVReadManager callManager(budget);
    int32_t read = 0;
    const std::string nativePath = XEVNativePath(path);
    const auto outOfMemory = [&] {
        statusText = GetMessageString(10006) + QStringLiteral("\n      [") + path + QStringLiteral("]\n");
        statusCode = kStatusLoadBudget;
    };
    VEK_FileInputStorage* storage = VEK_FileInputStorage::create(&callManager, nativePath.c_str());
    if (storage == nullptr) {
        if (callManager.RefusedSince(0)) {
            outOfMemory();
        }
        return 0;
    }
    {
        VEK_DICOMInfo info(&callManager);
        // The elements past their share end the read as a file cut short would: the document is
        // shown as far as it was read, the rest of the budget left to its text.
        info.set_element_limit(budget / 4 * 3);
        if (info.load(storage) && !IsDirectoryData(info)) {
            ManagerTextMeter meter(callManager);
            // A header value too long to make into text within the budget reads as absent.
            auto header = [&](uint16_t group, uint16_t element) {
                const bool fits = info.get_length(group, element) <= meter.Room() / (2 * kValueCopies);
                return fits ? VekToQString(info.get_string_value(group, element)) : QString();
            };
            report.patientName = header(0x0010, 0x0010);
            report.patientId = header(0x0010, 0x0020);
            report.birthDate = header(0x0010, 0x0030);
            report.accessionNumber = header(0x0008, 0x0050);
            report.studyDate = header(0x0008, 0x0020);
            report.studyTime = header(0x0008, 0x0030);
            report.procedureDescription = header(0x0032, 0x1060);
            report.reportText = BuildReportTextWithin(info, nullptr, &meter, info.elements_capped());
            if (!info.exist(0x0008, 0x0005) && !report.patientName.isEmpty()) {
                // The raw bytes, not the decoded text: the escape sequences must survive.
                report.patientName = GetJisText(info, 0x0010, 0x0010);
            }
            read = 1;
        } else if (callManager.RefusedSince(0)) {
            outOfMemory();
        }
    }
    vek_destroy(storage);
    uint64_t peak = reportMemoryPeak.load();
    while (callManager.peak() > peak && !reportMemoryPeak.compare_exchange_weak(peak, callManager.peak())) {
    }
    return read;
}
