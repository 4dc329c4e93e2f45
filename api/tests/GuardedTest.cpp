// Exceptions never cross the C interface.
#include "Exports.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace FlApi {
namespace {

TEST(Guarded, PassesTheOperationsStatusThrough)
{
    EXPECT_EQ(Guarded([] { return FL_ERROR_BUFFER_FULL; }), FL_ERROR_BUFFER_FULL);
    EXPECT_EQ(Guarded([] { return FL_SUCCESS; }), FL_SUCCESS);
}

TEST(Guarded, TurnsAllocationFailureIntoNoMemory)
{
    EXPECT_EQ(Guarded([]() -> FL_STATUS { throw std::bad_alloc(); }), FL_ERROR_NO_MEMORY);
    EXPECT_EQ(Guarded([]() -> FL_STATUS { throw std::bad_array_new_length(); }),
              FL_ERROR_NO_MEMORY);
}

TEST(Guarded, TurnsAnyOtherExceptionIntoUnknown)
{
    EXPECT_EQ(Guarded([]() -> FL_STATUS { throw std::runtime_error("x"); }), FL_ERROR_UNKNOWN);
    EXPECT_EQ(Guarded([]() -> FL_STATUS { throw 42; }), FL_ERROR_UNKNOWN);
}

} // namespace
} // namespace FlApi
