#include "pyr/pyrlog.h"

#include <atomic>

namespace {

std::atomic<PyrILogWriter*> g_writer{nullptr};

}   // namespace

PyrNullLogWriter& PyrNullLogWriter::Instance()
{
    static PyrNullLogWriter& writer = *new PyrNullLogWriter;
    return writer;
}

PyrILogWriter* PyrGetLogWriter()
{
    return g_writer.load(std::memory_order_acquire);
}

void PyrSetLogWriter(PyrILogWriter* writer)
{
    g_writer.store(writer, std::memory_order_release);
}
