#include "shell/xevcommonsettings.h"

#include <gtest/gtest.h>

#include "testsupport/qtguitestapp.h"

#include <memory>
#include <utility>
#include <vector>

#include "testsupport/programfolder.h"

namespace {

QString Q(const char* text)
{
    return QString::fromUtf8(text);
}

class SettingsLoad : public XEVProgramFolderTest {
protected:
    // A fresh holder loaded from the given file.
    void Load(const QByteArray& ini)
    {
        WriteIni(ini);
        settings_ = std::make_unique<XEVCommonSettings>();
        ASSERT_EQ(settings_->Load(), 1);
    }

    std::unique_ptr<XEVCommonSettings> settings_ = std::make_unique<XEVCommonSettings>();
};

using Labels = std::vector<std::pair<int32_t, const char*>>;

void ExpectLabels(const XEVMenuLabels& table, const Labels& expected)
{
    ASSERT_EQ(table.size(), expected.size());
    for (const auto& [command, text] : expected) {
        ASSERT_EQ(table.count(command), 1u) << command;
        EXPECT_EQ(table.at(command), Q(text)) << command;
    }
}

const Labels kStopped = {
    {32773, "階調"},           {32774, "拡大／縮小"},
    {32775, "移動"},           {32787, "計測"},
    {32788, "テキスト"},       {32789, "矢印"},
    {32790, "画素値"},         {32803, "操作ロック"},
    {32791, "再生"},           {32815, "シリーズ自動連携"},
    {32799, "初期表示に戻す"}, {32816, "レポート表示"},
    {32824, "白黒反転"},
};

TEST_F(SettingsLoad, DefaultsWithoutTheFile)
{
    ASSERT_EQ(settings_->Load(), 1);
    const XEVCommonSettings& s = *settings_;
    EXPECT_EQ(s.Fonts[0].face, Q("MS Gothic"));
    EXPECT_EQ(s.Fonts[0].points, 9);
    EXPECT_EQ(s.Fonts[0].weight, 400);
    const std::pair<int32_t, int32_t> sizes[17] = {{9, 400},  {16, 700}, {12, 400}, {11, 700}, {11, 400}, {10, 400},
                                                   {10, 400}, {11, 400}, {10, 400}, {10, 400}, {10, 400}, {10, 400},
                                                   {10, 400}, {10, 400}, {8, 400},  {10, 400}, {10, 400}};
    for (int32_t i = 1; i < kXEVFontCount; ++i) {
        EXPECT_EQ(s.Fonts[i].face, Q("MS UI Gothic")) << i;
        EXPECT_EQ(s.Fonts[i].points, sizes[i].first) << i;
        EXPECT_EQ(s.Fonts[i].weight, sizes[i].second) << i;
    }
    EXPECT_EQ(s.CacheSizeRatio, 50);
    EXPECT_EQ(s.ModeDispPatientID, 1);
    EXPECT_EQ(s.ModeMultiFrameRead, 0);
    EXPECT_EQ(s.ModeOrvix, 0);
    EXPECT_EQ(s.ModeUnsupportSRDelList, 0);
    EXPECT_EQ(s.ModeSupportSR, 0);
    EXPECT_EQ(s.InfoFaceName, Q("MS UI Gothic"));
    EXPECT_EQ(s.InfoPointSize, 9);
    EXPECT_EQ(s.ReportFaceName, Q("MS UI Gothic"));
    EXPECT_EQ(s.ReportPointSize, 9);
    EXPECT_EQ(s.SeriesAutoLink, 1);
    EXPECT_EQ(s.OperationLock, 0);
    EXPECT_EQ(s.MenuShowing, 0);
    EXPECT_EQ(s.InitialLayoutIndex, 0);
    // The offscreen test screen has 96 logical pixels per inch.
    EXPECT_EQ(s.ScreenDpi, 96);
    EXPECT_EQ(s.OverlayFileExists, 0);
    EXPECT_EQ(s.OverlaySettings.size(), 5u);

    ExpectLabels(s.MenuLabelsStopped, kStopped);
    Labels playing = kStopped;
    for (auto& entry : playing) {
        if (entry.first == 32791) {
            entry.second = "一時停止";
        }
    }
    ExpectLabels(s.MenuLabelsPlaying, playing);
    ExpectLabels(s.MenuLabelsDelete1, {{32807, "削除"}});
    ExpectLabels(s.MenuLabelsDelete2, {{32811, "削除"}});
    ExpectLabels(s.MenuLabelsDelete3, {{32812, "削除"}});
}

TEST_F(SettingsLoad, CacheRatioOutsideZeroToHundredIsFifty)
{
    for (const auto& [value, expected] : std::vector<std::pair<const char*, int32_t>>{
             {"101", 50}, {"0", 0}, {"100", 100}, {"-1", 50}, {"4294967396", 50}, {"-4294967296", 50}, {"x", 0}}) {
        Load(QByteArray("[cashe]\r\nCacheSizeRatio=") + value + "\r\n");
        EXPECT_EQ(settings_->CacheSizeRatio, expected) << value;
    }
}

TEST_F(SettingsLoad, OnlyExactlyOneSwitchesAnOptionOn)
{
    Load("[Options]\nModeOrvix=2\nModeMultiFrameRead=1\nModeSupportSR=01\nModeDispPatientID=0\n"
         "ModeUnsupportSRDelList=-1\n");
    EXPECT_EQ(settings_->ModeOrvix, 0);
    EXPECT_EQ(settings_->ModeMultiFrameRead, 1);
    EXPECT_EQ(settings_->ModeSupportSR, 1);
    EXPECT_EQ(settings_->ModeDispPatientID, 0);
    EXPECT_EQ(settings_->ModeUnsupportSRDelList, 0);
}

TEST_F(SettingsLoad, FontsFromTheFile)
{
    Load("[Font]\nStringsFaceName=\nAgreeFaceName=Agree Face\nAgreePointSize=12\n"
         "InfoFaceName=Info\nInfoPointSize=7\nReportFaceName=Report\nReportPointSize=14\n");
    EXPECT_EQ(settings_->Fonts[1].face, Q("MS UI Gothic"));
    EXPECT_EQ(settings_->Fonts[kXEVFontCornerText].face, Q("MS UI Gothic"));
    EXPECT_EQ(settings_->Fonts[0].face, Q("Agree Face"));
    EXPECT_EQ(settings_->Fonts[0].points, 12);
    EXPECT_EQ(settings_->InfoFaceName, Q("Info"));
    EXPECT_EQ(settings_->InfoPointSize, 7);
    EXPECT_EQ(settings_->ReportFaceName, Q("Report"));
    EXPECT_EQ(settings_->ReportPointSize, 14);

    // Code page 932: "ＭＳ 明朝".
    Load("[Font]\r\nStringsFaceName=\x82\x6C\x82\x72\x20\x96\xBE\x92\xA9\r\n");
    for (int32_t i = 1; i < kXEVFontCount; ++i) {
        EXPECT_EQ(settings_->Fonts[i].face, Q("ＭＳ 明朝")) << i;
    }
}

TEST_F(SettingsLoad, CornerFontTakesTheStringsFaceWhenTheOverlayFileNamesNone)
{
    WriteFile("OVERLAY.XML", "<OVERLAYSETTING><FONT SIZE='13'/></OVERLAYSETTING>");
    Load("[Font]\nStringsFaceName=Strings\n");
    EXPECT_EQ(settings_->OverlayFileExists, 1);
    EXPECT_EQ(settings_->Fonts[kXEVFontCornerText].face, Q("Strings"));
    EXPECT_EQ(settings_->Fonts[kXEVFontCornerText].points, 13);
    EXPECT_EQ(settings_->OverlayReader.fontFaceName, Q("Strings"));
}

TEST_F(SettingsLoad, LowerCaseFileIsFound)
{
    WriteFile("zylv.ini", "[Cashe]\nCacheSizeRatio=7\n");
    ASSERT_EQ(settings_->Load(), 1);
    EXPECT_EQ(settings_->CacheSizeRatio, 7);
}

TEST_F(SettingsLoad, MenuLabelsTakeOnlyTheStringsSection)
{
    Load("[Message]\nS20200=from message\n[Strings]\nS20209=pause\n");
    EXPECT_EQ(settings_->MenuLabelsStopped.at(32773), Q("階調"));
    EXPECT_EQ(settings_->MenuLabelsPlaying.at(32791), Q("pause"));
    EXPECT_EQ(settings_->MenuLabelsStopped.at(32791), Q("再生"));

    Load("[Strings]\nS20200=WL\n");
    EXPECT_EQ(settings_->MenuLabelsStopped.at(32773), Q("WL"));
    EXPECT_EQ(settings_->MenuLabelsPlaying.at(32773), Q("WL"));
}

TEST_F(SettingsLoad, ResetDefaultsAndReload)
{
    Load("[Options]\nModeOrvix=1\nModeSupportSR=1\n");
    settings_->OperationLock = 1;
    settings_->MenuShowing = 1;
    settings_->SeriesAutoLink = 0;
    settings_->ScreenDpi = 120;
    settings_->ResetDefaults();
    EXPECT_EQ(settings_->OperationLock, 0);
    EXPECT_EQ(settings_->MenuShowing, 0);
    EXPECT_EQ(settings_->SeriesAutoLink, 1);
    EXPECT_EQ(settings_->ScreenDpi, 96);
    EXPECT_EQ(settings_->ModeOrvix, 0);
    EXPECT_EQ(settings_->ModeSupportSR, 0);
    EXPECT_TRUE(settings_->MenuLabelsStopped.empty() && settings_->MenuLabelsDelete3.empty());
    EXPECT_TRUE(settings_->OverlaySettings.empty());
    EXPECT_EQ(settings_->Fonts[5].face, Q("FixedSys"));
    EXPECT_EQ(settings_->Fonts[5].points, 9);

    // Loading twice gives the same tables, not doubled ones.
    settings_->Load();
    settings_->Load();
    EXPECT_EQ(settings_->MenuLabelsStopped.size(), kStopped.size());
    EXPECT_EQ(settings_->OverlaySettings.size(), 5u);
    EXPECT_EQ(settings_->FindOverlaySettingInfo(Q("OTHER")).GetPositionMap(7).size(), 5u);
    EXPECT_EQ(settings_->ModeOrvix, 1);
}

}   // namespace
