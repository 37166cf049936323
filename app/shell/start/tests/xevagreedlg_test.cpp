#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QPointer>
#include <QTemporaryDir>

#include <vector>

#include "shell/xevagreedlg.h"
#include "testsupport/pump.h"
#include "testsupport/xdgfolders.h"
#include "testsupport/xevcontroltest.h"

namespace {

// The owner's side: the closed messages it received.
struct Owner {
    XEVMessageReceiver receiver;
    std::vector<XEVWParam> answers;
    Owner()
    {
        receiver.SetHandler(WM_XEV_AGREEMENT_CLOSED, [this](XEVWParam w, XEVLParam) {
            answers.push_back(w);
            return XEVResult(0);
        });
    }
};

// Also runs the deletes a dialog leaves queued, which no running loop would take here.
bool PumpWithDeletes(const std::function<bool()>& condition, int ms = kPumpTimeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

void Pump(int ms)
{
    PumpWithDeletes([] { return false; }, ms);
}

class AgreeDlgTest : public XEVProgramFolderTest {
protected:
    void SetUp() override
    {
        XEVProgramFolderTest::SetUp();
        GetCommonSettings().ModeOrvix = 0;
        GetCommonSettings().ScreenDpi = 96;
    }
    void TearDown() override
    {
        GetCommonSettings().ModeOrvix = 0;
        GetCommonSettings().ScreenDpi = 96;
        XEVProgramFolderTest::TearDown();
    }
    CXEVAgreeDlg* Make(int32_t mode, QStringList arguments = {QStringLiteral("/opt/kestro/kestro")})
    {
        return new CXEVAgreeDlg(nullptr, owner_.receiver.Handle(), mode, arguments);
    }
    QString Marker() const { return data_.path() + QStringLiteral("/Korvanta MEDICAL/RV-K Viewer/Agree"); }

    Owner owner_;
    TempEnvFolder data_{"XDG_DATA_HOME"};
};

}   // namespace

TEST_F(AgreeDlgTest, PresentCentresOnTheOwnerFortyLowerAndShows)
{
    QPointer<CXEVAgreeDlg> dlg = Make(0);
    dlg->Present(QRect(100, 50, 1280, 1024));
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_EQ(dlg->geometry(), QRect(340, 322, 800, 560));
    // Narrower than the dialog: the offsets go negative, truncated toward zero.
    dlg->Present(QRect(0, 0, 701, 461));
    EXPECT_EQ(dlg->geometry(), QRect(-49, -49 + 40, 800, 560));
    EXPECT_EQ(dlg->TextBox()->geometry(), QRect(20, 185, 760, 321));
    EXPECT_EQ(dlg->OkButton()->geometry(), QRect(580, 520, 94, 22));
    EXPECT_EQ(dlg->CancelButton()->geometry(), QRect(684, 520, 94, 22));
    EXPECT_TRUE(dlg->TextBox()->isReadOnly());
    dlg->OnCancel();
    ASSERT_TRUE(PumpWithDeletes([&] { return dlg.isNull() && owner_.answers.size() == 1; }));
    EXPECT_EQ(owner_.answers[0], 0);
}

TEST_F(AgreeDlgTest, AgreeArgumentAcceptsUnseenInBothModes)
{
    for (const int32_t mode : {0, 1}) {
        owner_.answers.clear();
        QPointer<CXEVAgreeDlg> dlg = Make(mode, {QStringLiteral("kestro"), QStringLiteral("/Agree")});
        const XEVWindowHandle handle = dlg->Handle();
        bool everShown = false;
        dlg->Present(QRect(0, 0, 1280, 1024));
        ASSERT_TRUE(PumpWithDeletes([&] {
            everShown = everShown || (dlg && dlg->isVisible());
            return dlg.isNull() && !owner_.answers.empty();
        }));
        EXPECT_FALSE(everShown);
        EXPECT_FALSE(handle.IsAlive());
        ASSERT_EQ(owner_.answers.size(), 1u) << mode;
        EXPECT_EQ(owner_.answers[0], 1);
    }
}

TEST_F(AgreeDlgTest, AgreeOnlyAsAWholeArgumentOrInTheProgramName)
{
    QPointer<CXEVAgreeDlg> inPath = Make(0, {QStringLiteral("kestro"), QStringLiteral("/media/Agree/DICOMDIR")});
    inPath->Present(QRect(0, 0, 1280, 1024));
    Pump(50);
    EXPECT_TRUE(inPath && inPath->isVisible());
    EXPECT_TRUE(owner_.answers.empty());
    delete inPath;

    QPointer<CXEVAgreeDlg> named = Make(0, {QStringLiteral("/opt/kestro/kestro_Agree.exe")});
    named->Present(QRect(0, 0, 1280, 1024));
    ASSERT_TRUE(PumpWithDeletes([&] { return named.isNull() && !owner_.answers.empty(); }));
    ASSERT_EQ(owner_.answers.size(), 1u);
    EXPECT_EQ(owner_.answers[0], 1);
}

TEST_F(AgreeDlgTest, OneAnswerEvenWhenOkAndTheTimerMeet)
{
    QPointer<CXEVAgreeDlg> dlg = Make(0, {QStringLiteral("kestro"), QStringLiteral("/Agree")});
    dlg->Present(QRect(0, 0, 1280, 1024));
    dlg->OnOK();
    dlg->OnTimer(kXEVAgreeTimerId);
    dlg->OnCancel();
    ASSERT_TRUE(PumpWithDeletes([&] { return dlg.isNull() && !owner_.answers.empty(); }));
    Pump(30);
    ASSERT_EQ(owner_.answers.size(), 1u);
    EXPECT_EQ(owner_.answers[0], 1);
}

TEST_F(AgreeDlgTest, HelpModeHasOnlyOkAndEscapeKeepsItOpen)
{
    GetCommonSettings().ModeOrvix = 1;
    QPointer<CXEVAgreeDlg> dlg = Make(1);
    dlg->Present(QRect(0, 0, 1280, 1024));
    EXPECT_FALSE(dlg->CancelButton()->isVisible());
    EXPECT_FALSE(dlg->CheckBox()->isVisible());
    EXPECT_FALSE(dlg->CheckLabel()->isVisible());
    EXPECT_EQ(dlg->OkButton()->geometry(), QRect(684, 520, 94, 22));
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(dlg, &escape);
    dlg->OnTimer(301);   // another timer's id does nothing
    Pump(30);
    ASSERT_FALSE(dlg.isNull());
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_TRUE(owner_.answers.empty());
    dlg->OkButton()->click();
    ASSERT_TRUE(PumpWithDeletes([&] { return dlg.isNull() && owner_.answers.size() == 1; }));
    EXPECT_EQ(owner_.answers[0], 1);
}

TEST_F(AgreeDlgTest, TickedThroughTheLabelOkLeavesAnEmptyMarker)
{
    GetCommonSettings().ModeOrvix = 1;
    QPointer<CXEVAgreeDlg> dlg = Make(0);
    dlg->Present(QRect(0, 0, 1280, 1024));
    ASSERT_TRUE(dlg->CheckLabel()->isVisible());
    EXPECT_EQ(dlg->CheckBox()->geometry(), QRect(20, 516, 20, 20));
    EXPECT_EQ(dlg->CheckLabel()->pos(), QPoint(40, 519));
    // White text on the dialog's grey.
    const QImage label = Grab(*dlg->CheckLabel());
    EXPECT_EQ(label.pixel(0, 0) & 0xFFFFFF, 0x5C5D5Du);
    bool white = false;
    for (int y = 0; y < label.height(); ++y)
        for (int x = 0; x < label.width(); ++x)
            white = white || (label.pixel(x, y) & 0xFFFFFF) == 0xFFFFFFu;
    EXPECT_TRUE(white);
    SendMouse(*dlg->CheckLabel(), QEvent::MouseButtonPress, QPoint(2, 2), Qt::LeftButton, Qt::LeftButton);
    SendMouse(*dlg->CheckLabel(), QEvent::MouseButtonRelease, QPoint(2, 2), Qt::LeftButton, Qt::NoButton);
    EXPECT_TRUE(dlg->CheckBox()->isChecked());
    dlg->OnOK();
    ASSERT_TRUE(PumpWithDeletes([&] { return dlg.isNull() && !owner_.answers.empty(); }));
    const QFileInfo marker(Marker());
    EXPECT_TRUE(marker.isFile());
    EXPECT_EQ(marker.size(), 0);
    ASSERT_EQ(owner_.answers.size(), 1u);
    EXPECT_EQ(owner_.answers[0], 1);
}

TEST_F(AgreeDlgTest, NoMarkerWithoutOrvixOrWithoutAnAcceptanceFolder)
{
    // Without the mode: box and label hidden, nothing written even if ticked.
    QPointer<CXEVAgreeDlg> plain = Make(0);
    plain->Present(QRect(0, 0, 1280, 1024));
    EXPECT_FALSE(plain->CheckBox()->isVisible());
    EXPECT_FALSE(plain->CheckLabel()->isVisible());
    plain->CheckBox()->setChecked(true);
    plain->OnOK();
    ASSERT_TRUE(PumpWithDeletes([&] { return plain.isNull() && owner_.answers.size() == 1; }));
    EXPECT_FALSE(QFileInfo::exists(Marker()));

    // With the mode but no folder to be had: neither there nor in the working folder.
    GetCommonSettings().ModeOrvix = 1;
    QTemporaryDir work;
    const QString oldWork = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(work.path()));
    QFile blocker(data_.path() + QStringLiteral("/Korvanta MEDICAL"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QPointer<CXEVAgreeDlg> dlg = Make(0);
    dlg->Present(QRect(0, 0, 1280, 1024));
    dlg->CheckBox()->setChecked(true);
    dlg->OnOK();
    ASSERT_TRUE(PumpWithDeletes([&] { return dlg.isNull() && owner_.answers.size() == 2; }));
    QDir::setCurrent(oldWork);
    EXPECT_TRUE(QDir(work.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty());
    EXPECT_EQ(owner_.answers.size(), 2u);
}

TEST_F(AgreeDlgTest, ReadTextFileLinesEncodingsAndFailures)
{
    QString text = QStringLiteral("kept");
    EXPECT_EQ(CXEVAgreeDlg::ReadTextFile(folder_.path() + QStringLiteral("/none.txt"), text), kXEVReadTextMissing);
    EXPECT_EQ(text, QStringLiteral("kept"));
    EXPECT_EQ(CXEVAgreeDlg::ReadTextFile(folder_.path(), text), kXEVReadTextUnreadable);   // a folder
    EXPECT_EQ(text, QStringLiteral("kept"));

    WriteFile("utf8.txt", QStringLiteral("利用規約\r\n\nfin").toUtf8());
    ASSERT_EQ(CXEVAgreeDlg::ReadTextFile(folder_.path() + QStringLiteral("/utf8.txt"), text), 0);
    EXPECT_EQ(text, QStringLiteral("利用規約\r\n\r\nfin\r\n"));
    // Shift_JIS bytes of "利用規約に同意", as Python's cp932 codec writes them.
    WriteFile("sjis.txt", QByteArray::fromHex("979897708b4b96f182c993af88d30d0a"));
    ASSERT_EQ(CXEVAgreeDlg::ReadTextFile(folder_.path() + QStringLiteral("/sjis.txt"), text), 0);
    EXPECT_EQ(text, QStringLiteral("利用規約に同意\r\n"));
    WriteFile("empty.txt", QByteArray());
    ASSERT_EQ(CXEVAgreeDlg::ReadTextFile(folder_.path() + QStringLiteral("/empty.txt"), text), 0);
    EXPECT_TRUE(text.isEmpty());
}

TEST_F(AgreeDlgTest, TermsFileOfTheScreenReplacesTheBuiltInText)
{
    WriteFile("AGR96.TXT", QByteArray::fromHex("979897708b4b96f182c993af88d30d0a"));
    {
        CXEVAgreeDlg dlg(nullptr, owner_.receiver.Handle(), 0, {});
        EXPECT_EQ(dlg.TextBox()->toPlainText(), QStringLiteral("利用規約に同意\n"));
    }
    // At 120 dpi the 96 file is not looked at.
    GetCommonSettings().ScreenDpi = 120;
    {
        CXEVAgreeDlg dlg(nullptr, owner_.receiver.Handle(), 0, {});
        EXPECT_EQ(dlg.TextBox()->toPlainText(),
                  CXEVAgreeDlg::BuiltInText(120).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
        EXPECT_NE(CXEVAgreeDlg::BuiltInText(120), CXEVAgreeDlg::BuiltInText(96));
    }
    WriteFile("AGR120.TXT", QByteArray());
    CXEVAgreeDlg dlg(nullptr, owner_.receiver.Handle(), 0, {});
    EXPECT_TRUE(dlg.TextBox()->toPlainText().isEmpty());
}

TEST_F(AgreeDlgTest, ButtonsFallBackToTheBuiltInLooks)
{
    CXEVAgreeDlg dlg(nullptr, owner_.receiver.Handle(), 0, {});
    for (CXEVBitmapButton* button : {dlg.OkButton(), dlg.CancelButton()}) {
        for (auto look : {CXEVOwnerDrawButton::kNormal, CXEVOwnerDrawButton::kSelected, CXEVOwnerDrawButton::kFocus,
                          CXEVOwnerDrawButton::kDisabled}) {
            EXPECT_EQ(button->Bitmap(look).size(), QSize(94, 22));
        }
    }
    EXPECT_EQ(dlg.Background()->pixmap().size(), QSize(800, 560));
}

TEST_F(AgreeDlgTest, FacesSayTheTooltipsWordsAndTheTopNamesTheProduct)
{
    // The terms ask for 同意する / 同意しない: each built-in face carries its tooltip's words,
    // as wide as Qt sets them in the same face and size (13 pixels), centred.
    CXEVAgreeDlg dlg(nullptr, owner_.receiver.Handle(), 0, {});
    QFont font(QStringLiteral("Noto Sans CJK JP"));
    font.setPixelSize(13);
    const QFontMetrics metrics(font);
    for (CXEVBitmapButton* button : {dlg.OkButton(), dlg.CancelButton()}) {
        const QString words = button->toolTip();
        ASSERT_FALSE(words.isEmpty());
        const QImage face = button->grab().toImage().convertToFormat(QImage::Format_RGB32);
        ASSERT_EQ(face.size(), QSize(94, 22));
        const QRgb paper = face.pixel(2, 2);
        int left = face.width();
        int right = -1;
        for (int y = 2; y < 20; ++y) {
            for (int x = 2; x < 92; ++x) {
                if (face.pixel(x, y) != paper) {
                    left = std::min(left, x);
                    right = std::max(right, x);
                }
            }
        }
        ASSERT_GE(right, left) << words.toStdString();
        const int expected = metrics.tightBoundingRect(words).width();
        EXPECT_NEAR(right - left + 1, expected, 3) << words.toStdString();
        EXPECT_NEAR(left + right, 93, 3) << words.toStdString();
    }
    EXPECT_EQ(dlg.OkButton()->toolTip(), QStringLiteral("同意する"));
    EXPECT_EQ(dlg.CancelButton()->toolTip(), QStringLiteral("同意しない"));

    // The band above the text box is no longer empty: the product name in white.
    const QImage back = dlg.Background()->pixmap().toImage().convertToFormat(QImage::Format_RGB32);
    int white = 0;
    for (int y = 0; y < 170; ++y) {
        for (int x = 0; x < 800; ++x) {
            white += qRed(back.pixel(x, y)) > 240 && qGreen(back.pixel(x, y)) > 240 ? 1 : 0;
        }
    }
    EXPECT_GT(white, 500);
}
