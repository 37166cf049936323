#include "study/xevrecordkeeper.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
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

// Sets whose last hold went on another thread, until the GUI thread takes them. Handed over
// under the mutex, and the notice carries nothing: Qt's event queue is invisible to
// ThreadSanitizer.
std::mutex pendingMutex;
std::vector<std::shared_ptr<RecordSet>>* const pending = new std::vector<std::shared_ptr<RecordSet>>;

void FreePending()
{
    std::vector<std::shared_ptr<RecordSet>> taken;
    std::lock_guard<std::mutex> guard(pendingMutex);
    taken.swap(*pending);
}

// Lives on the GUI thread; any event it gets frees what is pending.
class FreeNotices : public QObject {
protected:
    bool event(QEvent*) override
    {
        FreePending();
        return true;
    }
};
FreeNotices* notices = nullptr;

void FreeOnGuiThread(std::shared_ptr<RecordSet> set)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || QThread::currentThread() == app->thread()) {
        return;   // freed with the last reference, here
    }
    // A frame's annotations own edit boxes, which only the GUI thread may delete. Without a
    // notice, or with one dropped at the application's end, the next retire frees them.
    std::lock_guard<std::mutex> guard(pendingMutex);
    pending->push_back(std::move(set));
    if (notices != nullptr) {
        QCoreApplication::postEvent(notices, new QEvent(QEvent::User));
    }
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
    {
        // Called on the GUI thread: where the notices live.
        std::lock_guard<std::mutex> guard(pendingMutex);
        if (notices == nullptr && QCoreApplication::instance() != nullptr &&
            QThread::currentThread() == QCoreApplication::instance()->thread()) {
            notices = new FreeNotices;
        }
    }
    FreePending();
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
