// Test-only library, loaded with ctypes: makes the interpreter's raw
// allocator fail once, for one request size, so that the line reader's
// allocation failure can be driven from a test.
#include "compat.hpp"

#include <atomic>
#include <cstddef>

namespace
{

PyMemAllocatorEx original = {};
std::atomic<size_t> failing_size{0};
std::atomic<bool> armed{false};
bool installed = false;

void *fault_malloc(void *, size_t size)
{
    bool expected = true;
    if (size == failing_size.load() && armed.compare_exchange_strong(expected, false))
        return nullptr;
    return original.malloc(original.ctx, size);
}

void *fault_calloc(void *, size_t count, size_t size)
{
    return original.calloc(original.ctx, count, size);
}

void *fault_realloc(void *, void *p, size_t size)
{
    return original.realloc(original.ctx, p, size);
}

void fault_free(void *, void *p)
{
    original.free(original.ctx, p);
}

} // namespace

// The next PyMem_RawMalloc of exactly `size` bytes fails. Call with the lock.
EXT_EXPORT void fail_next_raw_malloc(size_t size)
{
    if (!installed) {
        PyMem_GetAllocator(PYMEM_DOMAIN_RAW, &original);
        PyMemAllocatorEx wrapper = {nullptr, fault_malloc, fault_calloc, fault_realloc, fault_free};
        PyMem_SetAllocator(PYMEM_DOMAIN_RAW, &wrapper);
        installed = true;
    }
    failing_size.store(size);
    armed.store(true);
}

// Whether the failure is still waiting for its request.
EXT_EXPORT int raw_malloc_failure_pending()
{
    return armed.load() ? 1 : 0;
}
