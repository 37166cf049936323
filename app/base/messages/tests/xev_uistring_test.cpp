#include "shell/xev_uistring.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "testsupport/programfolder.h"

namespace {

QString Q(const char* text)
{
    return QString::fromUtf8(text);
}

class UIStrings : public XEVProgramFolderTest {};

TEST_F(UIStrings, BuiltInTextsWithoutTheFile)
{
    EXPECT_EQ(GetMessageString(10001), Q("ヘルプファイルが見つかりません。"));
    EXPECT_EQ(GetMessageString(10012),
              Q("画像処理に失敗しました。\n詳細：リスケール処理（符号化あり）に失敗しました。"));
    EXPECT_EQ(GetMessageString(10027), Q("ファイルの読み込みに失敗しました。"));
    EXPECT_EQ(GetUIString(20109), Q("拡大／縮小"));
    EXPECT_EQ(GetUIString(20312), Q("%s年%s月%s日 %s検査"));
    EXPECT_EQ(GetUIString(20320), Q("次回以降表示しない"));
    EXPECT_EQ(GetUIString(20406), Q("レポート"));
    // Ids the table lacks.
    EXPECT_EQ(GetUIString(424242), Q("ID424242"));
    EXPECT_EQ(GetMessageString(10009), Q("ID10009"));
    EXPECT_EQ(GetUIString(0), Q("ID0"));
}

TEST_F(UIStrings, OverridesBySectionAndKey)
{
    WriteIni("[Message]\nM10001=a\\nb\nS20200=wrong section\n"
             "[Strings]\nS20108=level\nS00007=seven\nM10002=wrong section\nS20109=\n");
    const QStringList lines = GetMessageString(10001).split(u'\n');
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], Q("a"));
    EXPECT_EQ(lines[1], Q("b"));
    EXPECT_EQ(GetUIString(20108), Q("level"));
    EXPECT_EQ(GetUIString(20200), Q("階調"));
    EXPECT_EQ(GetMessageString(10002).left(7), Q("DICOMDI"));
    EXPECT_EQ(GetUIString(7), Q("seven"));
    // An empty value keeps the table's text.
    EXPECT_EQ(GetUIString(20109), Q("拡大／縮小"));
    EXPECT_EQ(ReadUIStringOverride(99, Q("now")), Q("now"));
    EXPECT_EQ(ReadMessageOverride(10001, Q("now")), Q("a\nb"));
}

TEST_F(UIStrings, LongValuesAreCutTo1023Characters)
{
    WriteIni("[Strings]\nS20101=" + QByteArray(1100, 'x') + "\n");
    EXPECT_EQ(GetUIString(20101), QString(1023, u'x'));

    // A pair whose low half would be the 1,024th character goes whole.
    const QByteArray pairAtTheCut = QByteArray(1022, 'y') + Q("𠀋").toUtf8() + "zz";
    WriteIni("[Strings]\nS20101=" + pairAtTheCut + "\n");
    EXPECT_EQ(GetUIString(20101), QString(1022, u'y'));
    const QByteArray pairBefore = QByteArray(1021, 'y') + Q("𠀋").toUtf8() + "zz";
    WriteIni("[Strings]\nS20101=" + pairBefore + "\n");
    EXPECT_EQ(GetUIString(20101), QString(1021, u'y') + Q("𠀋"));
}

TEST_F(UIStrings, FormatsReadOnlyTheValuesGiven)
{
    EXPECT_EQ(FormatUIString(GetUIString(20301), {Q("2024"), Q("01"), Q("05")}), Q("2024年01月05日"));
    EXPECT_EQ(FormatUIString(GetUIString(20302), {42}), Q("42歳"));

    WriteIni("[Strings]\nS20302=%s%s%n%d\nS20301=%d/%s/%s %s %x %5s 100%% %\n");
    EXPECT_EQ(FormatUIString(GetUIString(20302), {42}), Q("%s%s%n%d"));
    EXPECT_EQ(FormatUIString(GetUIString(20301), {Q("2024"), Q("01"), Q("05")}), Q("%d/01/05 %s %x %5s 100% %"));
    EXPECT_EQ(FormatUIString(Q("%d歳"), {Q("x")}), Q("%d歳"));
    EXPECT_EQ(FormatUIString(Q("%d"), {int64_t{-9000000000}}), Q("-9000000000"));
    EXPECT_EQ(FormatUIString(Q("%d %s"), {uint32_t{4000000000}, Q("y")}), Q("4000000000 y"));
}

TEST_F(UIStrings, MessagesAreNeverFormats)
{
    WriteIni("[Message]\nM10005=%s%n%d\n");
    EXPECT_EQ(MessageWithPath(GetMessageString(10005), Q("/cd/IMG/0001")), Q("%s%n%d\n[/cd/IMG/0001]"));
}

// Answers are kept only for a file that has not changed for two seconds, and only while it
// stays unchanged.
TEST_F(UIStrings, AChangedFileIsReadAgain)
{
    WriteIni("[Strings]\nS20101=first\n");
    EXPECT_EQ(GetUIString(20101), Q("first"));
    std::this_thread::sleep_for(std::chrono::milliseconds(3100));
    EXPECT_EQ(GetUIString(20101), Q("first"));
    EXPECT_EQ(GetUIString(20101), Q("first"));
    WriteIni("[Strings]\nS20101=other\n");
    EXPECT_EQ(GetUIString(20101), Q("other"));
    ASSERT_TRUE(QFile::remove(folder_.filePath(QStringLiteral("ZYLV.INI"))));
    EXPECT_EQ(GetUIString(20101), Q("同意する"));
}

}   // namespace
