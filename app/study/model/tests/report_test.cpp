#include <gtest/gtest.h>

#include <QFile>

#include "shell/xev_uistring.h"
#include "study/xevvekhelper.h"

namespace {

const QString kData = QStringLiteral(STUDY_TEST_DATA_DIR);

ReportInfo Read(const char* name)
{
    ReportInfo report;
    XEVVEKHelper helper;
    helper.ReadReport(kData + QStringLiteral("/sr/") + QString::fromLatin1(name), report);
    return report;
}

}   // namespace

TEST(ReportTest, ContentTreeAsText)
{
    const QString unsupported = GetMessageString(10025);
    EXPECT_EQ(unsupported, QStringLiteral("未サポート"));
    EXPECT_EQ(Read("text.dcm").reportText, QStringLiteral("A\r\n\r\nB"));
    EXPECT_EQ(Read("code.dcm").reportText, QStringLiteral("Normal"));
    EXPECT_EQ(Read("pname.dcm").reportText, QStringLiteral("Doe John"));
    EXPECT_EQ(Read("num.dcm").reportText, unsupported);
    EXPECT_EQ(Read("container.dcm").reportText, QStringLiteral("A\r\n\r\n") + unsupported);
}

TEST(ReportTest, HeaderFieldsAndMissingFile)
{
    const ReportInfo report = Read("text.dcm");
    EXPECT_EQ(report.patientName, QStringLiteral("Doe^John"));
    EXPECT_EQ(report.patientId, QStringLiteral("P9"));
    EXPECT_EQ(report.birthDate, QStringLiteral("19700101"));
    EXPECT_EQ(report.accessionNumber, QStringLiteral("ACC1"));
    EXPECT_EQ(report.studyDate, QStringLiteral("20260102"));
    EXPECT_EQ(report.studyTime, QStringLiteral("101500"));
    EXPECT_EQ(report.procedureDescription, QStringLiteral("CHEST"));

    ReportInfo untouched;
    untouched.reportText = QStringLiteral("kept");
    XEVVEKHelper helper;
    helper.ReadReport(kData + QStringLiteral("/sr/missing.dcm"), untouched);
    helper.ReadReport(kData + QStringLiteral("/expected.txt"), untouched);
    EXPECT_EQ(untouched.reportText, QStringLiteral("kept"));
    EXPECT_TRUE(untouched.patientName.isEmpty());
    EXPECT_EQ(helper.statusCode, 0);
}

TEST(ReportTest, JisPatientNameWithoutCharacterSet)
{
    // Python's iso2022_jp decoding of the same bytes, from make_discs.sh.
    QFile file(kData + QStringLiteral("/expected.txt"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QString expected;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.startsWith("SRJIS\t"))
            expected = QString::fromUtf8(line.mid(6)).trimmed();
    }
    ASSERT_FALSE(expected.isEmpty());
    const ReportInfo report = Read("jis.dcm");
    EXPECT_EQ(report.patientName, expected);
    EXPECT_EQ(report.reportText, QStringLiteral("A"));
}

TEST(ReportTest, ConvertJisNameDecodesEscapesAndKeepsShortTexts)
{
    EXPECT_EQ(ConvertJisName(QStringLiteral("AB")), QStringLiteral("AB"));
    EXPECT_EQ(ConvertJisName(QStringLiteral("Doe^John")), QStringLiteral("Doe^John"));
    // One byte per character, as a name read without a character set arrives.
    const QString jis = QString::fromLatin1("\x1b$B;3ED\x1b(B");
    EXPECT_EQ(ConvertJisName(jis), QStringLiteral("山田"));
    // Every LF may grow to CR LF: the buffer must hold them all.
    QString lines;
    for (int i = 0; i < 50; ++i)
        lines += QStringLiteral("\n");
    QString crlf;
    for (int i = 0; i < 50; ++i)
        crlf += QStringLiteral("\r\n");
    EXPECT_EQ(ConvertJisName(lines), crlf);
}
