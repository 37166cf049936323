#include "shell/xevpatientbar.h"
#include "shell/xevslider.h"

#include <QProxyStyle>

#include <gtest/gtest.h>

#include <thread>

#include "shell/xev_uistring.h"
#include "shell/xevcommonsettings.h"
#include "study/xevloadstate.h"
#include "study/xevstudymodel.h"
#include "testsupport/programfolder.h"
#include "testsupport/xevcontroltest.h"

namespace {

// Pixels of the grab that differ from the same widget drawn without a patient.
int Ink(const QImage& drawn, const QImage& blank, const QRect& region)
{
    int count = 0;
    const QRect r = region.intersected(drawn.rect());
    for (int y = r.top(); y <= r.bottom(); ++y) {
        for (int x = r.left(); x <= r.right(); ++x) {
            count += drawn.pixel(x, y) != blank.pixel(x, y) ? 1 : 0;
        }
    }
    return count;
}

QImage BuiltIn(uint16_t id)
{
    return XEVLoadBuiltInImage(id).convertToFormat(QImage::Format_RGB32);
}

class PanelTest : public XEVSettingsTest {};

// Puts the slider's thumb where the test wants it.
class ThumbStyle : public QProxyStyle {
public:
    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl sub,
                         const QWidget* widget) const override
    {
        if (control == CC_Slider && sub == SC_SliderHandle) {
            return QRect(40, 2, 11, 20);
        }
        return QProxyStyle::subControlRect(control, option, sub, widget);
    }
};

TEST(SliderTest, OnlyTheThumbBitmapIsDrawn)
{
    ThumbStyle style;
    CXEVSliderCtrl slider;
    slider.setStyle(&style);
    slider.resize(120, 30);
    const QImage image = Grab(slider);
    const QImage thumb = BuiltIn(148);
    EXPECT_EQ(image.copy(37, 5, 17, 20), thumb);
    QImage rest = image;
    for (int y = 5; y < 25; ++y) {
        for (int x = 37; x < 54; ++x) {
            rest.setPixel(x, y, image.pixel(0, 0));
        }
    }
    EXPECT_EQ(CountOther(rest, rest.rect(), image.pixel(0, 0)), 0);
}

TEST(CineSliderTest, SpeedTable)
{
    CXEVCineSliderCtrl slider;
    const int32_t intervals[] = {1000, 166, 83, 55, 41, 33, 27, 23, 20, 18};
    for (int32_t position = 1; position <= 10; ++position) {
        EXPECT_EQ(slider.GetInterval(position), intervals[position - 1]) << position;
    }
    EXPECT_EQ(slider.GetInterval(0), 90);
    EXPECT_EQ(slider.GetInterval(11), 90);

    slider.setRange(1, 10);
    slider.setValue(7);
    EXPECT_EQ(slider.GetPositionForInterval(90), 3);
    EXPECT_EQ(slider.GetPositionForInterval(1000), 1);
    EXPECT_EQ(slider.GetPositionForInterval(18), 10);
    EXPECT_EQ(slider.GetPositionForInterval(17), 7);
    slider.BuildSpeedTable();
    EXPECT_EQ(slider.GetInterval(2), 166);
}

TEST_F(PanelTest, DatesAndAgesThroughTheSafeFormatter)
{
    EXPECT_EQ(XEVDateText(QStringLiteral("19700101"), 20311), QStringLiteral("1970年01月01日生"));
    EXPECT_EQ(XEVDateText(QStringLiteral("19700101"), 20301), QStringLiteral("1970年01月01日"));
    EXPECT_TRUE(XEVDateText(QStringLiteral("1970010"), 20311).isEmpty());
    EXPECT_TRUE(XEVDateText(QString(), 20301).isEmpty());
    // The older dotted form gives its eight digits; a value padded to even length reads alike.
    EXPECT_EQ(XEVDateText(QStringLiteral("1997.04.24"), 20301), QStringLiteral("1997年04月24日"));
    EXPECT_EQ(XEVDateText(QStringLiteral("19970424 "), 20301), QStringLiteral("1997年04月24日"));
    EXPECT_TRUE(XEVDateText(QStringLiteral("1997.4.24"), 20301).isEmpty());
    EXPECT_TRUE(XEVDateText(QStringLiteral("1997-04-24"), 20301).isEmpty());

    PatientInfo patient;
    patient.SetAge(QStringLiteral("045Y"));
    EXPECT_EQ(XEVAgeText(XEVPatientFields::From(patient)), QStringLiteral("45歳"));
    EXPECT_TRUE(XEVAgeText(XEVPatientFields()).isEmpty());

    // A replaced text with other conversions reads no value that was not given.
    WriteIni("[Strings]\nS20311=%s/%s/%s %s %d\nS20302=%d %s\n");
    EXPECT_EQ(XEVDateText(QStringLiteral("19700101"), 20311), QStringLiteral("1970/01/01 %s %d"));
    EXPECT_EQ(XEVAgeText(XEVPatientFields::From(patient)), QStringLiteral("45 %s"));
}

TEST_F(PanelTest, PatientBarLayout)
{
    XEVPatientFields patient;
    patient.sex = QStringLiteral("O");
    for (const int width : {322, 400}) {
        const int x = width - 322;
        XEVPatientBarCtrl bar;
        bar.resize(width, 27);
        bar.SetPatient(patient);
        const QImage blank = Grab(bar);
        EXPECT_EQ(blank.copy(x + 286, 4, 18, 18), BuiltIn(216)) << width;
        bar.selected = 1;
        EXPECT_EQ(Grab(bar).copy(x + 286, 4, 18, 18), BuiltIn(211)) << width;
        bar.selected = 0;

        // The birth date moves right by the excess.
        XEVPatientFields dated = patient;
        dated.birthDate = QStringLiteral("19700101");
        bar.SetPatient(dated);
        const QImage drawn = Grab(bar);
        EXPECT_GT(Ink(drawn, blank, QRect(x + 144, 0, 142, 27)), 0) << width;
        EXPECT_EQ(Ink(drawn, blank, QRect(0, 0, x + 144, 27)), 0) << width;

        dated.birthDate = QStringLiteral("1970.01.01");
        bar.SetPatient(dated);
        EXPECT_EQ(Grab(bar), drawn) << width;

        for (const QString& shortDate : {QStringLiteral("1970010"), QString()}) {
            dated.birthDate = shortDate;
            bar.SetPatient(dated);
            EXPECT_EQ(Ink(Grab(bar), blank, bar.rect()), 0) << width;
        }
    }

    // The skin is stretched over the whole bar; the last bar has its own.
    XEVPatientBarCtrl wide;
    wide.resize(642, 27);
    EXPECT_EQ(Grab(wide).pixel(641, 13), BuiltIn(210).pixel(320, 13));
    XEVPatientBarCtrl last(XEVPatientBarCtrl::LastEntry{});
    last.resize(321, 27);
    EXPECT_EQ(Grab(last).copy(0, 0, 321, 27).pixel(0, 26), BuiltIn(252).pixel(0, 26));
}

// The name is measured once per text and width, whatever the paints between: a name of
// megabytes is cut before it is measured, and a bar made wider or given another name draws
// that one, the same as a bar that painted it first.
TEST_F(PanelTest, PatientBarMeasuresTheNameOncePerChange)
{
    XEVPatientFields patient;
    patient.nameIdeographic = QStringLiteral("YAMADA ") + QString(4000000, u'x');
    XEVPatientBarCtrl bar;
    bar.resize(322, 27);
    bar.SetPatient(patient);
    const QImage first = Grab(bar);
    EXPECT_EQ(Grab(bar), first);
    EXPECT_EQ(bar.NameLine().Made(), 1);

    patient.nameIdeographic = QStringLiteral("SUZUKI HANAKO");
    bar.SetPatient(patient);
    const QImage renamed = Grab(bar);
    EXPECT_NE(renamed, first);
    EXPECT_EQ(bar.NameLine().Made(), 2);
    XEVPatientBarCtrl fresh;
    fresh.resize(322, 27);
    fresh.SetPatient(patient);
    EXPECT_EQ(Grab(fresh), renamed);

    bar.resize(500, 27);
    fresh.resize(500, 27);
    EXPECT_EQ(Grab(bar), Grab(fresh));
    EXPECT_EQ(bar.NameLine().Made(), 3);
}

TEST_F(PanelTest, PatientBarDoubleClick)
{
    XEVPatientBarCtrl bar;
    bar.controlId = 10003;
    int32_t notified = 0;
    bar.doubleClickNotify = [&](int32_t id) { notified = id; };
    SendMouse(bar, QEvent::MouseButtonDblClick, QPoint(5, 5), Qt::LeftButton, Qt::LeftButton);
    EXPECT_EQ(notified, 10003);

    // A refused switch falls back to the notification; a taken one does not notify.
    int32_t asked = -1;
    bool take = false;
    bar.switchRequest = [&](int32_t index) {
        asked = index;
        return take;
    };
    notified = 0;
    bar.OnLButtonDblClk();
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(notified, 10003);
    take = true;
    notified = 0;
    bar.OnLButtonDblClk();
    EXPECT_EQ(notified, 0);
}

TEST_F(PanelTest, PatientView)
{
    CXEVPatientView view;
    view.resize(442, 93);
    const QImage background = BuiltIn(218);
    EXPECT_EQ(Grab(view), background);

    XEVPatientFields patient;
    patient.patientId = QStringLiteral("ID-12345");
    patient.sex = QStringLiteral("M");
    view.SetPatient(patient);
    EXPECT_EQ(view.Filled(), 1);
    const QImage withId = Grab(view);
    EXPECT_EQ(withId.copy(360, 52, 24, 24), BuiltIn(206));
    EXPECT_GT(Ink(withId, background, QRect(20, 56, 155, 37)), 0);
    // No age text: nothing where the age goes.
    EXPECT_EQ(Ink(withId, background, QRect(300, 56, 60, 37)), 0);

    GetCommonSettings().ModeDispPatientID = 0;
    view.repaint();
    EXPECT_EQ(Ink(Grab(view), background, QRect(0, 0, 360, 93)), 0);

    patient.ageText = QStringLiteral("045Y");
    patient.age = 45;
    view.SetPatient(patient);
    EXPECT_GT(Ink(Grab(view), background, QRect(300, 56, 60, 37)), 0);

    // Birth dates: the dotted form as its digits, an empty one as nothing.
    patient.birthDate = QStringLiteral("19970424");
    view.SetPatient(patient);
    const QImage dated = Grab(view);
    EXPECT_GT(Ink(dated, background, QRect(180, 56, 120, 37)), 0);
    patient.birthDate = QStringLiteral("1997.04.24");
    view.SetPatient(patient);
    EXPECT_EQ(Grab(view), dated);
    patient.birthDate.clear();
    view.SetPatient(patient);
    EXPECT_EQ(Ink(Grab(view), background, QRect(180, 56, 120, 37)), 0);
}

TEST_F(PanelTest, PatientViewTextRunsOverAPlainBackground)
{
    // Under every row the text lines cover the background is its plain field (the colour above
    // the first line), so no line of the artwork runs through a name.
    CXEVPatientView view;
    view.resize(442, 93);
    const QImage background = BuiltIn(218);
    XEVPatientFields patient;
    patient.nameIdeographic = QStringLiteral("山田 太郎 Ägypqj");
    patient.nameAlphabetic = QStringLiteral("Yamada Taro Ägypqj");
    patient.patientId = QStringLiteral("ID-12345gj");
    patient.birthDate = QStringLiteral("19970424");
    patient.ageText = QStringLiteral("029Y");
    patient.age = 29;
    view.SetPatient(patient);
    const QImage drawn = Grab(view);
    const QRgb field = background.pixel(20, 3);
    int inkRows = 0;
    for (int y = 0; y < 93; ++y) {
        if (Ink(drawn, background, QRect(20, y, 340, 1)) == 0) {
            continue;
        }
        ++inkRows;
        for (int x = 20; x < 421; ++x) {
            ASSERT_EQ(background.pixel(x, y), field) << x << "," << y;
        }
    }
    EXPECT_GT(inkRows, 40);
}

TEST(PictureTest, LargerPicturesAreCutEvenly)
{
    const QImage bitmap = BuiltIn(218);
    CXEVPictureCtrl picture(218);
    picture.resize(400, 80);
    EXPECT_EQ(Grab(picture), bitmap.copy(21, 6, 400, 80));
    picture.resize(401, 81);
    EXPECT_EQ(Grab(picture), bitmap.copy(20, 6, 401, 81));
    // A smaller one is centred.
    CXEVPictureCtrl small(148);
    small.resize(27, 30);
    EXPECT_EQ(Grab(small).copy(5, 5, 17, 20), BuiltIn(148));
}

// A stand-in pre-load thread that waits at the gate until it is stopped.
class PaintProtocolTest : public ::testing::Test {
protected:
    void StartPreload()
    {
        XEVLoadState& state = GetLoadState();
        state.preloadThread.stop = 0;
        state.preloadRunning = 1;
        ASSERT_TRUE(state.preloadThread.Start([&state] {
            while (state.preloadThread.stop.load() == 0) {
                state.preloadThread.WaitGate();
                std::this_thread::yield();
            }
            state.preloadRunning = 0;
        }));
    }
    void TearDown() override
    {
        XEVLoadState& state = GetLoadState();
        state.StopPreload();
        state.preloadThread.WaitAll();
        state.preloadThread.stop = 0;
        state.lastPaintEndMs = 0;
    }
};

TEST_F(PaintProtocolTest, PaintingPausesAndStampsOnlyWhileThePreloadRuns)
{
    XEVLoadState& state = GetLoadState();
    CXEVPictureCtrl picture(148);
    CXEVSliderCtrl slider;
    XEVPatientBarCtrl bar;
    CXEVPatientView view;
    QWidget* widgets[] = {&picture, &slider, &bar, &view};

    state.lastPaintEndMs = 5;
    for (QWidget* widget : widgets) {
        widget->grab();
    }
    EXPECT_EQ(state.GetLastPaintEnd(), 5);
    EXPECT_EQ(state.painting.load(), 0);

    StartPreload();
    for (QWidget* widget : widgets) {
        state.lastPaintEndMs = 5;
        const int64_t before = XEVSteadyMilliseconds();
        widget->grab();
        EXPECT_GE(state.GetLastPaintEnd(), before);
        EXPECT_EQ(state.painting.load(), 0);
    }
}

}   // namespace
