// Test-only library, loaded with ctypes: makes one allocation of the
// interpreter's object allocator fail, the n-th from now, so that running
// out of memory inside an enumeration can be driven from a test.
#include "compat.hpp"

#include <cstddef>

namespace
{

PyMemAllocatorEx original = {};
bool installed = false;
// Allocations still to succeed before the failing one; -1 when disarmed.
// Only touched with the interpreter lock held, as the allocator itself is.
long countdown = -1;

bool fail_now()
{
    if (countdown < 0)
        return false;
    return countdown-- == 0;
}

void *fault_malloc(void *, size_t size)
{
    return fail_now() ? nullptr : original.malloc(original.ctx, size);
}

void *fault_calloc(void *, size_t count, size_t size)
{
    return fail_now() ? nullptr : original.calloc(original.ctx, count, size);
}

void *fault_realloc(void *, void *p, size_t size)
{
    return fail_now() ? nullptr : original.realloc(original.ctx, p, size);
}

void fault_free(void *, void *p)
{
    original.free(original.ctx, p);
}

} // namespace

// After `n` more object allocations succeed, the next one fails (once).
EXT_EXPORT void fail_object_alloc_after(long n)
{
    if (!installed) {
        PyMem_GetAllocator(PYMEM_DOMAIN_OBJ, &original);
        PyMemAllocatorEx wrapper = {nullptr, fault_malloc, fault_calloc, fault_realloc, fault_free};
        PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &wrapper);
        installed = true;
    }
    countdown = n;
}

// Whether the failure is still waiting for its allocation (and disarms it).
EXT_EXPORT int object_alloc_failure_pending()
{
    bool pending = countdown >= 0;
    countdown = -1;
    return pending ? 1 : 0;
}
