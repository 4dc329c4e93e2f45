// A registry the user may read but not change (here a read-only mount, which
// holds for root as well): the machine boots with the stored settings, the
// ports are listed with them, and a change is refused with the library's
// registry status.
#include "FlApi.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include <fl_test_machine.h>

namespace {

constexpr char kMachine[] = "autonegotiation_delay_ms = 20\n[[board]]\n";

// Runs `body` in a child process; its exit code.
template <class Body>
int InChild(Body&& body)
{
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) std::exit(body());  // exit handlers shut the machine down
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

TEST(ReadOnlyHive, PortsKeepTheirStoredSettingsAndChangesAreRefused)
{
    const std::filesystem::path folder = FlUseTestMachine("read_only_hive", kMachine);
    // A first program describes port 0 and exits.
    ASSERT_EQ(InChild([] {
        FL_PORT* list = nullptr;
        uint32_t count = 0;
        if (FlQueryPortList(&list, &count) != FL_SUCCESS || count < 2) return 10;
        if (FlPortSetDescription(list[0], "stored") != FL_SUCCESS) return 11;
        FlFreePortList(list);
        return 0;
    }), 0);
    // The next sees the folder read-only.
    const int code = InChild([&] {
        if (unshare(CLONE_NEWNS) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return 77;
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 77;
        if (mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0) return 77;
        if (mount(nullptr, folder.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) return 77;
        FL_PORT* list = nullptr;
        uint32_t count = 0;
        if (FlQueryPortList(&list, &count) != FL_SUCCESS || count < 2) return 20;
        if (std::strcmp(FlPortGetDescription(list[0]), "stored") != 0) return 21;
        if (FlPortSetDescription(list[0], "changed") != FL_ERROR_REGISTRY) return 22;
        if (std::strcmp(FlPortGetDescription(list[0]), "stored") != 0) return 23;
        FlFreePortList(list);
        return 0;
    });
    if (code == 77) GTEST_SKIP() << "no mount namespace can be made here";
    EXPECT_EQ(code, 0);
}

} // namespace
