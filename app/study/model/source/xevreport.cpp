// SR documents as text.
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

}   // namespace

QString BuildReportText(const VEK_DICOMInfo& info, const VEK_DICOMTagObj* item)
{
    const VEK_DICOMTagObj& level = item != nullptr ? *item : static_cast<const VEK_DICOMTagObj&>(info);
    QString result;
    VEK_DICOMTagObj content(level);
    for (uint32_t i = 0;; ++i) {
        if (!level.get_item(0x0040, 0xA730, i, content)) {
            break;
        }
        QString value;
        QString childText;
        if (content.current_element() == nullptr) {
            return result;
        }
        const QString valueType = VekToQString(content.get_string_value(0x0040, 0xA040)).trimmed();
        for (const SRValueTypeRow& row : SRValueTypeTable) {
            if (valueType != QString::fromUtf16(row.name)) {
                continue;
            }
            if (valueType == u"CONTAINER") {
                childText = BuildReportText(info, &content);
            } else if (valueType == u"CODE") {
                VEK_DICOMTagObj code(content);
                if (content.get_item(0x0040, 0xA168, 0, code)) {
                    value = VekToQString(code.get_string_value(0x0008, 0x0104));
                }
            } else {
                value = VekToQString(content.get_string_value(uint16_t(row.group), uint16_t(row.element)));
                if (valueType == u"PNAME") {
                    value.replace(u'^', u' ');
                }
            }
            break;
        }
        if (!value.isEmpty()) {
            result += value + kParagraph;
        }
        if (!childText.isEmpty()) {
            result += childText + kParagraph;
        }
    }
    if (result.endsWith(kParagraph)) {
        result.chop(kParagraph.size());
    }
    if (result.isEmpty()) {
        result = GetMessageString(10025);
    }
    return result;
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
    XEVReadManager callManager(XEVLoadMemoryBudget());
    const std::string nativePath = XEVNativePath(path);
    VEK_FileInputStorage* storage = VEK_FileInputStorage::create(&callManager, nativePath.c_str());
    if (storage == nullptr) {
        return 0;
    }
    VEK_DICOMInfo info(&callManager);
    if (!info.load(storage)) {
        vek_destroy(storage);
        if (callManager.RefusedSince(0)) {
            statusText = GetMessageString(10006) + QStringLiteral("\n      [") + path + QStringLiteral("]\n");
            statusCode = kStatusLoadBudget;
        }
        return 0;
    }
    report.patientName = VekToQString(info.get_string_value(0x0010, 0x0010));
    report.patientId = VekToQString(info.get_string_value(0x0010, 0x0020));
    report.birthDate = VekToQString(info.get_string_value(0x0010, 0x0030));
    report.accessionNumber = VekToQString(info.get_string_value(0x0008, 0x0050));
    report.studyDate = VekToQString(info.get_string_value(0x0008, 0x0020));
    report.studyTime = VekToQString(info.get_string_value(0x0008, 0x0030));
    report.procedureDescription = VekToQString(info.get_string_value(0x0032, 0x1060));
    report.reportText = BuildReportText(info, nullptr);
    if (!info.exist(0x0008, 0x0005)) {
        // The raw bytes, not the decoded text: the escape sequences must survive.
        report.patientName = GetJisText(info, 0x0010, 0x0010);
    }
    vek_destroy(storage);
    return 1;
}
