// Enumeration where there is nothing to enumerate: a machine without boards
// lists no ports, and a machine that cannot start gives no interface set.
#include "FlApi.h"

#include <gtest/gtest.h>

#include <fl_test_machine.h>

namespace {

#ifdef FL_UNBOOTABLE_MACHINE
// A board with three ports does not exist: the machine does not start.
constexpr char kMachine[] = "[[board]]\n[[board.port]]\n[[board.port]]\n[[board.port]]\n";
#else
constexpr char kMachine[] = "autonegotiation_delay_ms = 20\n";
#endif

TEST(NoPorts, TheListIsEmptyOrTheFailureSaysWhy)
{
    FlUseTestMachine("ports_none", kMachine);
    FL_PORT* list = reinterpret_cast<FL_PORT*>(&list);
    uint32_t count = 99;
    const FL_STATUS status = FlQueryPortList(&list, &count);
#ifdef FL_UNBOOTABLE_MACHINE
    EXPECT_EQ(status, FL_ERROR_UNKNOWN);
#else
    EXPECT_EQ(status, FL_SUCCESS);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(FlFreePortList(list), FL_SUCCESS);
#endif
}

} // namespace
