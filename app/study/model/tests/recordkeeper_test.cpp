#include <gtest/gtest.h>

#include <QCoreApplication>

#include <thread>
#include <vector>

#include "study/xevrecordkeeper.h"
#include "study/xevstudymodel.h"
#include "testsupport/qtguitestapp.h"

namespace {

std::vector<PatientInfo*> Records()
{
    return {new PatientInfo, new PatientInfo};
}

}   // namespace

// Records let go are kept exactly while a hold taken before they went remains: a hold taken
// after does not keep them, and with none they go at once.
TEST(RecordKeeperTest, RecordsGoWithTheLastHoldTakenBeforeThem)
{
    const size_t base = XEVRecordSetsAwaitingFree();
    std::vector<PatientInfo*> records = Records();
    XEVRetireRecords(records);
    EXPECT_TRUE(records.empty());
    EXPECT_EQ(XEVRecordSetsAwaitingFree(), base);

    auto older = XEVHoldRecords();
    records = Records();
    XEVRetireRecords(records);   // first: held by older
    auto newer = XEVHoldRecords();
    records = Records();
    XEVRetireRecords(records);   // second: held by both
    EXPECT_EQ(XEVRecordSetsAwaitingFree(), base + 2);
    newer.reset();
    EXPECT_EQ(XEVRecordSetsAwaitingFree(), base + 2);
    older.reset();
    EXPECT_EQ(XEVRecordSetsAwaitingFree(), base);

    // A reader started after the records went does not keep them.
    older = XEVHoldRecords();
    records = Records();
    XEVRetireRecords(records);
    newer = XEVHoldRecords();
    older.reset();
    EXPECT_EQ(XEVRecordSetsAwaitingFree(), base);
    newer.reset();
}

// The last hold dropped on a reader's thread leaves the freeing to the GUI thread's loop: a
// frame's annotations own edit boxes.
TEST(RecordKeeperTest, ALastHoldDroppedOffTheGuiThreadFreesThemOnIt)
{
    const size_t base = XEVRecordSetsAwaitingFree();
    auto hold = XEVHoldRecords();
    std::vector<PatientInfo*> records = Records();
    XEVRetireRecords(records);
    std::thread([hold = std::move(hold)]() mutable { hold.reset(); }).join();
    EXPECT_EQ(XEVRecordSetsAwaitingFree(), base + 1);
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(XEVRecordSetsAwaitingFree(), base);
}
