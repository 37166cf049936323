// Long SR documents through the real frame: the text is made within the report's budget and
// cut with a notice past it, and it goes into the dialog a slice an event, the window
// answering in between.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTextDocument>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "framelisttestsupport.h"
#include "shell/xev_uistring.h"
#include "shell/xevreportdlg.h"
#include "study/xevvekhelper.h"
#include "testsupport/discmeter.h"

namespace {

const std::string kFrameData = FRAME_TEST_DATA_DIR;

// What the writer puts in item i, as it writes it.
QString Finding(int i, int pad)
{
    return QStringLiteral("Finding %1: ").arg(i, 7, 10, QLatin1Char('0')) + QString(pad, QLatin1Char('y'));
}

}   // namespace

class HostileReportTest : public FrameListTest {
protected:
    void TearDown() override
    {
        XEVSetReportMemoryBudget(0);
        FrameListTest::TearDown();
    }

    std::string Write(int count, int pad, int bigMiB = 0)
    {
        const std::string path = folder_.path().toStdString() + "/SR" + std::to_string(count);
        std::string command = "/usr/bin/python3 " + kFrameData + "/write_large_report.py " + path + " " +
                              std::to_string(count) + " " + std::to_string(pad);
        if (bigMiB != 0) {
            command += " " + std::to_string(bigMiB);
        }
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return path;
    }

    SeriesInfo& ReportSeries(const std::string& path)
    {
        StudyInfo& study = MakeStudy({});
        auto* series = new SeriesInfo;
        auto* image = new ImageInfo;
        image->SetRecordText(QStringLiteral("SR"));
        image->SetFilePath(QString::fromStdString(path));
        series->images.push_back(image);
        study.series.push_back(series);
        return *series;
    }

    // Asks for the report and waits until the dialog holds all of its text; the slices the
    // text took, and how many of them a timer of the window saw one by one.
    struct Shown {
        QString text;
        int32_t slices = 0;
        size_t seen = 0;
        qint64 showMs = 0;
        qint64 wholeMs = 0;
        qint64 stallMs = 0;
    };
    Shown Show(const std::string& path, int timeoutMs = kPumpTimeoutMs)
    {
        Shown shown;
        std::set<int32_t> seen;
        QTimer ticker;
        ticker.setInterval(0);
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            if (frame->ReportDialog() != nullptr && frame->ReportDialog()->TextPending()) {
                seen.insert(frame->ReportDialog()->TextSlices());
            }
        });
        GuiStallMeter meter;
        QElapsedTimer clock;
        clock.start();
        ticker.start();
        frame->RequestReport(&ReportSeries(path), true);
        EXPECT_TRUE(PumpUntil([this] { return !frame->ReportPending(); }, timeoutMs));
        shown.showMs = clock.elapsed();
        EXPECT_NE(frame->ReportDialog(), nullptr);
        if (frame->ReportDialog() == nullptr) {
            return shown;
        }
        EXPECT_TRUE(frame->ReportDialog()->isVisible());
        EXPECT_TRUE(PumpUntil([this] { return !frame->ReportDialog()->TextPending(); }, timeoutMs));
        shown.wholeMs = clock.elapsed();
        shown.stallMs = meter.LongestMs();
        shown.text = frame->ReportDialog()->ReportText()->toPlainText();
        shown.slices = frame->ReportDialog()->TextSlices();
        shown.seen = seen.size();
        return shown;
    }

    QTemporaryDir folder_;
};

TEST_F(HostileReportTest, ALongReportIsCutWithANoticeWithinATenthOfItsNeed)
{
    constexpr int kItems = 20000, kPad = 40;
    const std::string path = Write(kItems, kPad);
    QStringList findings;
    for (int i = 0; i < kItems; ++i) {
        findings.push_back(Finding(i, kPad));
    }
    const QString whole = findings.join(QStringLiteral("\n\n"));

    // Within the budget: the whole text, in many slices, the window's timer between them.
    XEVTakeReportMemoryPeak();
    const Shown full = Show(path);
    const uint64_t need = XEVTakeReportMemoryPeak();
    EXPECT_EQ(full.text, whole);
    // The box's lines share blocks: a resize or a clear walks a few hundred, not 40,000.
    EXPECT_LT(frame->ReportDialog()->ReportText()->document()->blockCount(), whole.size() / 1024);
    EXPECT_GT(full.slices, 4);
    EXPECT_GE(full.seen * 2, size_t(full.slices));
    EXPECT_TRUE(answers.shown.isEmpty());

    // A tenth of that: the findings read whole, in order, then the notice.
    const uint64_t budget = need / 10;
    XEVSetReportMemoryBudget(budget);
    const Shown cut = Show(path);
    const QString notice = GetMessageString(10045);
    ASSERT_TRUE(cut.text.endsWith(QStringLiteral("\n\n") + notice)) << cut.text.right(200).toStdString();
    const QString before = cut.text.chopped(notice.size() + 2);
    EXPECT_FALSE(before.isEmpty());
    EXPECT_TRUE(whole.startsWith(before + QStringLiteral("\n\n")));
    EXPECT_LE(XEVTakeReportMemoryPeak(), budget);
    EXPECT_TRUE(answers.shown.isEmpty());

    // One value longer than the budget can make text of: the findings before it, the notice.
    const Shown big = Show(Write(3, kPad, 2));
    EXPECT_EQ(big.text, findings.mid(0, 3).join(QStringLiteral("\n\n")) + QStringLiteral("\n\n") + notice);
    EXPECT_LE(XEVTakeReportMemoryPeak(), budget);
}

// The bench's cases (bench/hostile_discs.sh): documents as long as discs have been seen to
// hold, with the figures of their showing; the test asserts only what was shown.
TEST_F(HostileReportTest, LongReportsOpenWithTheWindowAnswering)
{
    struct Case {
        const char* name;
        int items;
        int pad;
        int bigMiB;
    };
    for (const Case& c : {Case{"200,000 items", 200000, 0, 0}, Case{"2,000,000 items", 2000000, 0, 0},
                          Case{"one 60 MiB item", 10, 0, 60}}) {
        const std::string path = Write(c.items, c.pad, c.bigMiB);
        ResetPeakResidentBytes();
        const Shown shown = Show(path, kNoCeilingWaitMs);
        EXPECT_TRUE(shown.text.startsWith(Finding(0, c.pad).trimmed())) << c.name;
        const bool cut = shown.text.endsWith(GetMessageString(10045));
        EXPECT_TRUE(answers.shown.isEmpty()) << c.name;
        std::printf("[ figures  ] report of %s%s: %lld ms, whole in %lld ms, %d slices, longest stall %lld ms, "
                    "peak RSS %llu MB\n",
                    c.name, cut ? " (cut)" : "", (long long)shown.showMs, (long long)shown.wholeMs, shown.slices,
                    (long long)shown.stallMs, (unsigned long long)(PeakResidentBytes() >> 20));
        std::remove(path.c_str());
    }
}
