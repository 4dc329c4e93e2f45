// Shared by the export files: the guard that keeps exceptions inside the
// library.
#pragma once

#include <new>

#include "FlApi.h"

namespace FlApi {

// Runs an operation for an export. Nothing thrown ever crosses the C
// interface: an allocation failure is FL_ERROR_NO_MEMORY, anything else
// FL_ERROR_UNKNOWN.
template <class Operation>
FL_STATUS Guarded(Operation&& operation) noexcept
{
    try {
        return operation();
    } catch (const std::bad_alloc&) {
        return FL_ERROR_NO_MEMORY;
    } catch (...) {
        return FL_ERROR_UNKNOWN;
    }
}

} // namespace FlApi
