#include "study/xevrecordkeeper.h"

#include <QCoreApplication>
#include <QThread>

#include <atomic>
#include <mutex>
#include <utility>

#include "study/xevstudymodel.h"

namespace {

std::atomic<size_t> awaitingFree{0};

struct RecordSet {
    std::vector<PatientInfo*> records;
    ~RecordSet()
    {
        for (PatientInfo* patient : records) {
            delete patient;
        }
        awaitingFree.fetch_sub(1);
    }
};

void FreeOnGuiThread(std::shared_ptr<RecordSet> set)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || QThread::currentThread() == app->thread()) {
        return;   // freed with the last reference, here
    }
    // The event's end frees the set on the GUI thread, run or dropped with the application.
    QMetaObject::invokeMethod(
        app, [set = std::move(set)] { (void)set; }, Qt::QueuedConnection);
}

// The records let go while it was the newest: freed once nothing holds it or an older one,
// each of which holds the next.
struct Generation {
    std::shared_ptr<RecordSet> retired;
    std::shared_ptr<Generation> next;
    ~Generation()
    {
        if (retired) {
            FreeOnGuiThread(std::move(retired));
        }
    }
};

struct Keeper {
    std::mutex mutex;
    std::shared_ptr<Generation> newest = std::make_shared<Generation>();
};

// Never destroyed: a reader may let go of its hold while the process ends.
Keeper& TheKeeper()
{
    static Keeper* const keeper = new Keeper;
    return *keeper;
}

}   // namespace

std::shared_ptr<const void> XEVHoldRecords()
{
    Keeper& keeper = TheKeeper();
    std::lock_guard<std::mutex> guard(keeper.mutex);
    return keeper.newest;
}

void XEVRetireRecords(std::vector<PatientInfo*>& records)
{
    if (records.empty()) {
        return;
    }
    auto set = std::make_shared<RecordSet>();
    awaitingFree.fetch_add(1);
    set->records.swap(records);
    std::shared_ptr<Generation> retiring;
    {
        Keeper& keeper = TheKeeper();
        std::lock_guard<std::mutex> guard(keeper.mutex);
        retiring = std::exchange(keeper.newest, std::make_shared<Generation>());
        retiring->retired = std::move(set);
        retiring->next = keeper.newest;
    }
    // Frees them here unless a reader holds them.
}

size_t XEVRecordSetsAwaitingFree()
{
    return awaitingFree.load();
}
