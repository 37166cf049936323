// Every route that reads a file's dataset does it through a manager with the read's budget:
// a crowded file that each route reads whole at the default budget is refused under a tenth of
// what its read took, as out of memory, with no manager past its budget.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "plat_temp_folder.h"
#include "shell/xev_uistring.h"
#include "shell/xevziparchive.h"
#include "study/xevframeheader.h"
#include "study/xevloadstate.h"
#include "study/xevreadmanager.h"
#include "study/xevstudymodel.h"
#include "study/xevvekhelper.h"
#include "testsupport/crowdedfile.h"
#include "testsupport/zipmaker.h"

namespace {

constexpr uint64_t kCrowdedCount = 50000;
const char* const kBasicTextSR = "1.2.840.10008.5.1.4.1.1.88.11";

class ReadBudgetTest : public testing::Test {
protected:
    void TearDown() override { XEVSetLoadMemoryBudget(0); }

    std::string Crowded(const char* name, CrowdedShape shape, const std::string& sopClass = "1.2.840.10008.5.1.4.1.1.7")
    {
        const std::string path = temp_.Path() + "/" + name;
        EXPECT_TRUE(WriteCrowdedFile(path, shape, kCrowdedCount, sopClass));
        return path;
    }

    // What the route's largest read held at the default budget: the file's need. The route
    // must pass there.
    uint64_t Need(const std::function<void()>& route)
    {
        XEVSetLoadMemoryBudget(0);
        XEVReadManager::ResetLargestPeak();
        route();
        return XEVReadManager::LargestPeak().bytes;
    }
    // The route under a tenth of need: no manager of it held more than that budget.
    uint64_t Under(uint64_t need, const std::function<void()>& route)
    {
        const uint64_t budget = need / 10;
        XEVSetLoadMemoryBudget(budget);
        XEVReadManager::ResetLargestPeak();
        route();
        const XEVReadManager::Peak peak = XEVReadManager::LargestPeak();
        EXPECT_LE(peak.bytes, budget);
        EXPECT_EQ(peak.budget, budget);
        XEVSetLoadMemoryBudget(0);
        return budget;
    }

    PlatTempFolder temp_;
};

void ExpectOutOfMemory(const XEVVEKHelper& helper, const std::string& path)
{
    EXPECT_EQ(helper.statusCode, XEVVEKHelper::kStatusLoadBudget);
    EXPECT_TRUE(helper.statusText.startsWith(GetMessageString(10006))) << helper.statusText.toStdString();
    EXPECT_TRUE(helper.statusText.contains(QString::fromStdString(path))) << helper.statusText.toStdString();
}

}   // namespace

// A file opened by itself, in each crowded shape: its listing, and the check that tells it as
// an image (a read past its budget still names an image file, whose listing then says why).
TEST_F(ReadBudgetTest, SingleFileListingAndCheck)
{
    for (const auto& [name, shape] :
         {std::pair{"ELEMENTS", CrowdedShape::EmptyElements}, std::pair{"ITEMS", CrowdedShape::EmptyItems},
          std::pair{"PERFRAME", CrowdedShape::PerFrameItems}}) {
        SCOPED_TRACE(name);
        const std::string path = Crowded(name, shape);
        const QString file = QString::fromStdString(path);
        std::vector<PatientInfo*> patients;
        XEVVEKHelper helper;
        int32_t listed = 0;
        const auto list = [&] { listed = helper.LoadDicomFile(file, patients); };
        const uint64_t need = Need(list);
        ASSERT_EQ(listed, 1);
        ASSERT_EQ(patients.size(), 1u);
        // Some 18 times the file's bytes once parsed: the need is the parse's, not the file's.
        EXPECT_GT(need, kCrowdedCount * 8);
        Under(need, list);
        EXPECT_EQ(listed, 0);
        EXPECT_EQ(patients.size(), 1u);
        ExpectOutOfMemory(helper, path);
        for (PatientInfo* patient : patients) {
            delete patient;
        }

        int32_t told = 0;
        const auto check = [&] { told = XEVVEKHelper::IsDicomFile(file); };
        const uint64_t checkNeed = Need(check);
        EXPECT_EQ(told, 1);
        Under(checkNeed, check);
        EXPECT_EQ(told, 1);
    }
}

// The frame count read for a DICOMDIR's record, and the SR report: refused as the others, the
// report untouched and said to be out of memory.
TEST_F(ReadBudgetTest, FrameHeaderAndReport)
{
    const std::string path = Crowded("PERFRAME", CrowdedShape::PerFrameItems);
    std::optional<XEVFrameHeader> header;
    const auto count = [&] { header = XEVReadFrameHeader(QString::fromStdString(path)); };
    const uint64_t need = Need(count);
    ASSERT_TRUE(header.has_value());
    Under(need, count);
    EXPECT_FALSE(header.has_value());

    // A report past its budget is shown as far as it fits, then says the rest is not; one whose
    // read cannot even begin within it is refused as out of memory.
    const std::string document = Crowded("REPORT", CrowdedShape::EmptyElements, kBasicTextSR);
    ReportInfo report;
    int32_t read = 0;
    XEVVEKHelper reader;
    const auto readReport = [&] { read = reader.ReadReport(QString::fromStdString(document), report); };
    const uint64_t reportNeed = Need(readReport);
    ASSERT_EQ(read, 1);
    EXPECT_EQ(reader.statusCode, 0);
    EXPECT_EQ(report.patientId, QStringLiteral("PID1"));
    EXPECT_FALSE(report.reportText.contains(GetMessageString(10045)));
    for (const uint64_t budget : {reportNeed / 10, uint64_t(2048)}) {
        report = ReportInfo();
        XEVSetReportMemoryBudget(budget);
        XEVReadManager::ResetLargestPeak();
        readReport();
        XEVSetReportMemoryBudget(0);
        EXPECT_LE(XEVReadManager::LargestPeak().bytes, budget);
        if (budget > 2048) {
            EXPECT_EQ(read, 1);
            EXPECT_TRUE(report.reportText.contains(GetMessageString(10045))) << report.reportText.toStdString();
        } else {
            EXPECT_EQ(read, 0);
            EXPECT_TRUE(report.patientId.isEmpty());
            ExpectOutOfMemory(reader, document);
        }
    }
}

// An image's load, from the disc and as a member of an imported archive: the header's read is
// refused as out of memory, and the member's check before its extraction keeps its budget too.
TEST_F(ReadBudgetTest, ImageLoadFromTheDiscAndFromAnArchive)
{
    const std::string path = Crowded("IMAGE", CrowdedShape::EmptyElements);
    const auto load = [](const std::string& file) {
        return [file] {
            XEVVEKHelper helper;
            int32_t frame = 0;
            helper.LoadImage(QString::fromStdString(file), frame);
            return std::make_pair(helper.statusCode, helper.statusText);
        };
    };
    std::pair<int32_t, QString> status;
    const uint64_t need = Need([&] { status = load(path)(); });
    // No pixel data: the image cannot be shown, but its header was read whole.
    EXPECT_NE(status.first, XEVVEKHelper::kStatusLoadBudget);
    Under(need, [&] { status = load(path)(); });
    EXPECT_EQ(status.first, XEVVEKHelper::kStatusLoadBudget);
    EXPECT_TRUE(status.second.startsWith(GetMessageString(10006))) << status.second.toStdString();

    QFile bytes(QString::fromStdString(path));
    ASSERT_TRUE(bytes.open(QIODevice::ReadOnly));
    const std::string zip = temp_.Path() + "/disc.zip";
    ASSERT_TRUE(MakeZip(zip, {{"DICOMDIR", "d"}, {"IMG/IMAGE", bytes.readAll().toStdString()}}));
    const std::string folder = temp_.Path() + "/Kestro";
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(folder + "/IMG")));
    GetLoadState().SetArchive(zip, folder);
    const std::string member = folder + "/IMG/IMAGE";
    std::optional<XEVFrameHeader> header;
    Under(need, [&] { header = XEVReadFrameHeader(QString::fromStdString(member)); });
    EXPECT_FALSE(header.has_value());
    Under(need, [&] { status = load(member)(); });
    EXPECT_EQ(status.first, XEVVEKHelper::kStatusLoadBudget);
    EXPECT_TRUE(status.second.startsWith(GetMessageString(10006))) << status.second.toStdString();
    GetLoadState().SetArchive(std::string(), std::string());
    ZipForgetIndex();
}

// The header loaded as a cell loads it, parsed from the bytes staged before the image's lock:
// past a tenth of its need the load says out of memory too, not that the tags cannot be read,
// and no manager passed the budget.
TEST_F(ReadBudgetTest, StagedImageLoadSaysOutOfMemory)
{
    const std::string path = Crowded("IMAGE", CrowdedShape::EmptyElements);
    std::pair<int32_t, QString> status;
    const auto load = [&] {
        ImageInfo image;
        image.filePath = QString::fromStdString(path);
        int32_t frame = 0;
        image.LoadImage(frame, XEVWindowHandle(), 1);
        std::lock_guard<PlatRecursiveLock> guard(image.GetLock());
        ASSERT_NE(image.GetHelper(), nullptr);
        status = {image.GetHelper()->statusCode, image.GetHelper()->statusText};
    };
    const uint64_t need = Need(load);
    EXPECT_NE(status.first, XEVVEKHelper::kStatusLoadBudget);
    Under(need, load);
    EXPECT_EQ(status.first, XEVVEKHelper::kStatusLoadBudget);
    EXPECT_TRUE(status.second.startsWith(GetMessageString(10006))) << status.second.toStdString();
}

namespace {

// Reaches the manager's base without naming it, as template deduction allows.
template <template <class...> class Manager, class... Parts>
void LiftThroughTheBase(Manager<Parts...>& manager, uint64_t bytes)
{
    manager.bound_for_good(UINT64_MAX);
    manager.set_budget(bytes);
}

// Makes the manager's base fresh, without naming it, and asks it for bytes.
template <template <class...> class Manager, class... Parts>
bool FreshBaseGives(Manager<Parts...>&, uint32_t bytes)
{
    Manager<Parts...> fresh;
    void* block = fresh.allocate(bytes);
    fresh.free(block);
    return block != nullptr;
}

// The same through a class of its own over the deduced base.
template <template <class...> class Manager, class... Parts>
bool DerivedBaseGives(Manager<Parts...>&, uint32_t bytes)
{
    struct Fresh : Manager<Parts...> {};
    Fresh fresh;
    void* block = fresh.allocate(bytes);
    fresh.free(block);
    return block != nullptr;
}

template <class T>
constexpr bool kNamesItsBase = requires
{
    typename T::Base;
};

}   // namespace

// No route takes a reading manager's bound off: nothing derives from it, its base is not named
// outside, and a budget of 0 or past the ceiling, set by its constructor, by itself or through
// its base, refuses everything.
TEST(ReadManagerBound, NoRouteLiftsTheBound)
{
    static_assert(std::is_final_v<XEVReadManager>);
    static_assert(!kNamesItsBase<XEVReadManager>);
    for (const uint64_t lifting : {uint64_t(0), ~uint64_t(0), kXEVReadBudgetCeiling + 1}) {
        XEVReadManager made(lifting);
        EXPECT_EQ(made.budget(), 1u);
        XEVReadManager set(1 << 20);
        set.set_budget(lifting);
        EXPECT_EQ(set.budget(), 1u);
        XEVReadManager based(1 << 20);
        LiftThroughTheBase(based, lifting);
        EXPECT_EQ(based.budget(), 1u);
        void* block = based.allocate(16);
        EXPECT_EQ(block, nullptr);
        based.free(block);
        EXPECT_EQ(based.budget_refusals(), 1u);
    }
    XEVReadManager bounded(1 << 20);
    LiftThroughTheBase(bounded, kXEVReadBudgetCeiling);
    EXPECT_EQ(bounded.budget(), kXEVReadBudgetCeiling);
    // A base made without the manager has no bound: it gives nothing, not even what the
    // manager's budget holds.
    XEVReadManager small(2 << 20);
    for (const uint32_t bytes : {16u, 1u << 20, 512u << 20}) {
        EXPECT_FALSE(FreshBaseGives(small, bytes)) << bytes;
        EXPECT_FALSE(DerivedBaseGives(small, bytes)) << bytes;
    }
    void* block = small.allocate(1 << 20);
    EXPECT_NE(block, nullptr);
    small.free(block);
}

// A disc's account: charges past its budget are refused and counted, what is given back makes
// room again; the account of a disc no longer shown is not handed out, and one begun after
// takes the budget set then.
TEST(DiscAccount, BoundsWhatItsImagesKeep)
{
    XEVLoadState& state = GetLoadState();
    XEVSetDiscKeptBudget(1000);
    const uint64_t disc = state.BeginDisc();
    const std::shared_ptr<XEVDiscAccount> account = state.AccountOf(disc);
    ASSERT_NE(account, nullptr);
    EXPECT_EQ(state.AccountOf(disc), account);
    EXPECT_EQ(account->Budget(), 1000u);
    EXPECT_TRUE(account->Charge(600));
    EXPECT_FALSE(account->Charge(401));
    EXPECT_TRUE(account->Charge(400));
    EXPECT_FALSE(account->Charge(1));
    account->Discharge(600);
    EXPECT_TRUE(account->Charge(600));
    EXPECT_EQ(account->Held(), 1000u);
    EXPECT_EQ(account->Charges(), 3u);
    EXPECT_EQ(account->Refusals(), 2u);
    XEVSetDiscKeptBudget(0);
    const uint64_t next = state.BeginDisc();
    EXPECT_EQ(state.AccountOf(disc), nullptr);
    ASSERT_NE(state.AccountOf(next), nullptr);
    EXPECT_EQ(state.AccountOf(next)->Budget(), kXEVDiscKeptBudget);
    EXPECT_EQ(account->Held(), 1000u);
}
