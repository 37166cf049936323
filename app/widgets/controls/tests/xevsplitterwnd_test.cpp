#include "shell/xevsplitterwnd.h"

#include <QDropEvent>
#include <QLabel>
#include <QMimeData>
#include <QUrl>

#include <gtest/gtest.h>

#include <vector>

#include "testsupport/xevcontroltest.h"

namespace {

struct Received {
    uint32_t id;
    XEVWParam wParam;
    XEVLParam lParam;
};

class Recorder : public XEVMessageReceiver {
public:
    std::vector<Received> messages;
    XEVResult answer = 0;

protected:
    XEVResult OnMessage(uint32_t id, XEVWParam wParam, XEVLParam lParam) override
    {
        messages.push_back({id, wParam, lParam});
        return answer;
    }
};

// Two columns: the study list and the images, 600 pixels in all.
class SplitterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        splitter_.addWidget(new QLabel);
        splitter_.addWidget(new QLabel);
        splitter_.resize(600, 300);
        splitter_.show();
        splitter_.setSizes({200, 400 - splitter_.handleWidth()});
        QApplication::processEvents();
        before_ = splitter_.sizes();
    }

    void DoubleClickHandle(CXEVSplitterWnd& splitter, int index)
    {
        QSplitterHandle* handle = splitter.handle(index);
        SendMouse(*handle, QEvent::MouseButtonDblClick, QPoint(1, 5), Qt::LeftButton, Qt::LeftButton);
    }

    CXEVSplitterWnd splitter_{Qt::Horizontal};
    QList<int> before_;
};

TEST_F(SplitterTest, HideAndShowTheFirstColumn)
{
    ASSERT_EQ(before_.value(0), 200);
    splitter_.ShowColumn();
    EXPECT_EQ(splitter_.sizes(), before_);
    EXPECT_EQ(splitter_.HiddenColumn(), -1);

    splitter_.HideColumn();
    QApplication::processEvents();
    EXPECT_EQ(splitter_.HiddenColumn(), 0);
    EXPECT_FALSE(splitter_.widget(0)->isVisible());
    EXPECT_EQ(splitter_.sizes().value(1), 600);   // the images take the whole width

    splitter_.ShowColumn();
    QApplication::processEvents();
    EXPECT_EQ(splitter_.HiddenColumn(), -1);
    EXPECT_TRUE(splitter_.widget(0)->isVisible());
    EXPECT_EQ(splitter_.sizes(), before_);
}

TEST_F(SplitterTest, DoubleClickBetweenTheColumnsNotifies)
{
    Recorder recorder;
    DoubleClickHandle(splitter_, 1);   // no notify window yet
    EXPECT_TRUE(recorder.messages.empty());

    splitter_.SetNotifyWindow(recorder.Handle());
    DoubleClickHandle(splitter_, 1);
    ASSERT_EQ(recorder.messages.size(), 1u);
    EXPECT_EQ(recorder.messages[0].id, WM_XEV_SPLITTER_DBLCLK);
    EXPECT_EQ(recorder.messages[0].wParam, kXEVMouseLeft);
    const QPoint point = splitter_.handle(1)->mapTo(&splitter_, QPoint(1, 5));
    EXPECT_EQ(recorder.messages[0].lParam, point.x() | (point.y() << 16));

    // The rows of the outer splitter notify nothing.
    CXEVSplitterWnd rows(Qt::Vertical);
    rows.addWidget(new QLabel);
    rows.addWidget(new QLabel);
    rows.resize(300, 300);
    rows.show();
    QApplication::processEvents();
    EXPECT_EQ(rows.handleWidth(), 1);
    rows.SetNotifyWindow(recorder.Handle());
    DoubleClickHandle(rows, 1);
    EXPECT_EQ(recorder.messages.size(), 1u);
}

// Drops the files on the static, as the platform would.
bool Drop(CXEVStatic& target, const QStringList& paths)
{
    QMimeData data;
    QList<QUrl> urls;
    for (const QString& path : paths) {
        urls.append(QUrl::fromLocalFile(path));
    }
    data.setUrls(urls);
    QDropEvent event(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    event.setAccepted(false);
    // Straight to the widget: outside a real drag the application drops drop events.
    static_cast<QObject&>(target).event(&event);
    return event.isAccepted();
}

TEST(DropStaticTest, SendsTheDroppedPathsToItsParent)
{
    XEVMessageReceiver parent;
    QStringList received;
    CXEVStatic target(nullptr, parent.Handle());
    target.setAcceptDrops(true);
    parent.SetHandler(WM_XEV_DROPFILES, [&](XEVWParam wParam, XEVLParam lParam) -> XEVResult {
        EXPECT_EQ(wParam, reinterpret_cast<XEVWParam>(&target));
        auto* drop = reinterpret_cast<XEVDropFiles*>(lParam);
        received = drop->paths;
        drop->finished = true;
        return 7;
    });
    EXPECT_TRUE(Drop(target, {QStringLiteral("/disc/DICOMDIR"), QStringLiteral("/disc/other")}));
    EXPECT_EQ(received, QStringList({QStringLiteral("/disc/DICOMDIR"), QStringLiteral("/disc/other")}));

    // Nobody handles it: the drop is left unfinished and refused.
    CXEVStatic orphan;
    orphan.setAcceptDrops(true);
    XEVDropFiles drop;
    drop.paths = {QStringLiteral("/disc/DICOMDIR")};
    EXPECT_EQ(orphan.OnDropFiles(drop), 0);
    EXPECT_FALSE(drop.finished);
    EXPECT_FALSE(Drop(orphan, {QStringLiteral("/disc/DICOMDIR")}));
}

}   // namespace
