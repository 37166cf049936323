#include <memory>
#include <new>
#include <vector>

#include "platform/platlock.h"
#include "pyr/pyrcharset.h"
#include "pyr/pyrdicomdataset.h"
#include "pyr/pyrdicomdictionary.h"
#include "pyr/pyrlog.h"
#include "pyr/pyrstring.h"
#include "pyrlibrary_internal.h"

namespace {

// Members are made in this order and destroyed in the reverse one.
struct PyrLibraryState {
    PyrLibraryState() { PyrDicomDictionary::BuildIndex(dictionaryIndex); }
    ~PyrLibraryState() { furtherCharsets.clear(); }

    PyrString emptyString;
    PyrDicomDatasetOptions defaultOptions;
    PyrDicomDictionaryIndex dictionaryIndex;
    std::vector<PyrDicomLib::CharsetInfomationData> furtherCharsets;
    std::unique_ptr<PlatRecursiveLock> globalLock{new (std::nothrow) PlatRecursiveLock(4000)};
};

PyrLibraryState& State()
{
    static PyrLibraryState& state = *new PyrLibraryState;
    return state;
}

// Made before main, so that no later call can run out of memory building it.
[[maybe_unused]] const PyrLibraryState& g_madeAtStartUp = State();

}   // namespace

const PyrString& PyrEmptyString()
{
    return State().emptyString;
}

const PyrDicomDatasetOptions& PyrDefaultDatasetOptions()
{
    return State().defaultOptions;
}

const PyrDicomDictionaryIndex& PyrLibraryDictionaryIndex()
{
    return State().dictionaryIndex;
}

std::vector<PyrDicomLib::CharsetInfomationData>& PyrDicomLib::FurtherCharsetInformation()
{
    return State().furtherCharsets;
}

PlatRecursiveLock* PyrGetGlobalLock()
{
    return State().globalLock.get();
}
