// Processor set-up and the shared range-limit table.

#include <mutex>

#include "jpeg/jpegdecode.h"
#include "processor/kernel_dispatch.h"

namespace {

std::once_flag g_cpu_once;

// Creation and release of the process-wide table race between decoders starting together.
std::mutex g_range_mutex;
int32_t* g_range_table = nullptr;
jpeg_allocator g_range_allocator{};
void* g_range_user = nullptr;

constexpr int32_t kRangeEntries = 2048;
constexpr int32_t kRangeBase = 640;
}   // namespace

jpeg_status jpeg_cpu_init()
{
    std::call_once(g_cpu_once, [] { dispatch_init(); });
    return JPEG_OK;
}

jpeg_status jpeg_range_table_create(const jpeg_allocator* allocator, void* user)
{
    const jpeg_allocator pair =
        allocator != nullptr ? *allocator : jpeg_allocator{&jpeg_default_alloc, &jpeg_default_free};
    std::lock_guard<std::mutex> lock(g_range_mutex);
    if (g_range_table != nullptr) {
        return JPEG_OK;
    }
    auto* table = static_cast<int32_t*>(pair.alloc(user, kRangeEntries * sizeof(int32_t)));
    if (table == nullptr) {
        return JPEG_ERR_MEMORY;
    }
    for (int32_t i = 0; i < kRangeEntries; ++i) {
        table[i] = i < 512 ? 0 : i < 768 ? i - 512 : i < 1280 ? 255 : 0;
    }
    g_range_table = table;
    g_range_allocator = pair;
    g_range_user = user;
    return JPEG_OK;
}

void jpeg_range_table_release(const jpeg_allocator*, void*)
{
    std::lock_guard<std::mutex> lock(g_range_mutex);
    if (g_range_table != nullptr) {
        // Freed through the pair that made it, whichever caller releases it.
        g_range_allocator.free(g_range_user, g_range_table);
        g_range_table = nullptr;
    }
}

jpeg_status jpeg_range_table_attach(jpeg_decoder* decoder)
{
    // A table made here outlives the decoder and its allocator: the codec makes it on the C
    // heap, and the codec's release frees it there.
    const jpeg_status status = jpeg_range_table_create(nullptr, nullptr);
    if (status < 1) {
        return status;
    }
    std::lock_guard<std::mutex> lock(g_range_mutex);
    decoder->range_limit = g_range_table + kRangeBase;
    return JPEG_OK;
}
