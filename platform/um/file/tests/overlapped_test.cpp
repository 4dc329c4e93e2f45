// Overlapped writes, completion ports and injected faults, on both engines.
#include <windows.h>

#include <nt/object.h>
#include <um/file_testing.h>

#include "test_files.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using namespace um::file::test;
namespace hooks = um::file::testing;
using hooks::Engine;

constexpr DWORD kGenerous = 30000;  // ms: only a hung write runs into it

class OverlappedTest : public ::testing::TestWithParam<Engine> {
protected:
    void SetUp() override {
        hooks::Reset();
        if (GetParam() == Engine::Uring && !hooks::UringAvailable()) {
            GTEST_SKIP() << "io_uring cannot be set up in this process";
        }
        hooks::ForceEngine(GetParam());
        dir_ = FreshDirectory();
        handles_ = nt::OpenHandleCount();
    }
    void TearDown() override {
        hooks::Reset();
        if (!IsSkipped()) {
            EXPECT_EQ(nt::OpenHandleCount(), handles_) << "a handle was left open";
        }
    }

    HANDLE OpenOverlapped(const std::filesystem::path& path, DWORD flags = 0) {
        HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_FLAG_OVERLAPPED | flags, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(hooks::EngineOf(h), GetParam());
        return h;
    }

    static OVERLAPPED At(uint64_t offset, HANDLE event) {
        OVERLAPPED o{};
        o.Offset = static_cast<DWORD>(offset);
        o.OffsetHigh = static_cast<DWORD>(offset >> 32);
        o.hEvent = event;
        return o;
    }

    std::filesystem::path dir_;
    size_t handles_ = 0;
};

TEST_P(OverlappedTest, WritePendsThenCompletesThroughEventAndPort) {
    const auto path = dir_ / "o.bin";
    HANDLE file = OpenOverlapped(path);
    HANDLE port = CreateIoCompletionPort(file, nullptr, 0x51, 1);
    ASSERT_NE(port, nullptr);
    // Signalled beforehand, so that the reset at issue is seen.
    HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);

    const std::string second(4096, 'b');
    const std::string first(4096, 'a');
    OVERLAPPED o2 = At(4096, event);
    EXPECT_FALSE(WriteFile(file, second.data(), 4096, nullptr, &o2));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    OVERLAPPED o1 = At(0, nullptr);
    EXPECT_FALSE(WriteFile(file, first.data(), 4096, nullptr, &o1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));

    // Both come back through the port, each with its key, count and OVERLAPPED.
    std::vector<LPOVERLAPPED> back;
    for (int i = 0; i < 2; ++i) {
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        LPOVERLAPPED overlapped = nullptr;
        ASSERT_TRUE(GetQueuedCompletionStatus(port, &bytes, &key, &overlapped, kGenerous));
        EXPECT_EQ(bytes, 4096u);
        EXPECT_EQ(key, 0x51u);
        back.push_back(overlapped);
    }
    EXPECT_TRUE((back[0] == &o1 && back[1] == &o2) || (back[0] == &o2 && back[1] == &o1));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    DWORD bytes = 0;
    EXPECT_TRUE(GetOverlappedResult(file, &o2, &bytes, FALSE));
    EXPECT_EQ(bytes, 4096u);
    EXPECT_TRUE(HasOverlappedIoCompleted(&o1));

    // Nothing more is queued.
    ULONG_PTR key = 0;
    LPOVERLAPPED overlapped = &o1;
    EXPECT_FALSE(GetQueuedCompletionStatus(port, &bytes, &key, &overlapped, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(overlapped, nullptr);

    CloseHandle(event);
    CloseHandle(file);
    CloseHandle(port);
    const std::string both = first + second;
    EXPECT_EQ(ReadAll(path), std::vector<char>(both.begin(), both.end()));
}

TEST_P(OverlappedTest, LowBitOfTheEventKeepsTheCompletionOffThePort) {
    const auto path = dir_ / "lowbit.bin";
    HANDLE file = OpenOverlapped(path);
    HANDLE port = CreateIoCompletionPort(file, nullptr, 0, 1);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED o = At(0, reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event) | 1));
    const char data[] = "no packet for this one";
    if (!WriteFile(file, data, sizeof(data), nullptr, &o)) {
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    DWORD bytes = 0;
    ASSERT_TRUE(GetOverlappedResult(file, &o, &bytes, TRUE));
    EXPECT_EQ(bytes, sizeof(data));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);

    ULONG_PTR key = 0;
    LPOVERLAPPED back = nullptr;
    EXPECT_FALSE(GetQueuedCompletionStatus(port, &bytes, &key, &back, 200));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(WAIT_TIMEOUT));

    // The same OVERLAPPED with the bit cleared posts again.
    o.hEvent = event;
    WriteFile(file, data, sizeof(data), nullptr, &o);
    ASSERT_TRUE(GetQueuedCompletionStatus(port, &bytes, &key, &back, kGenerous));
    EXPECT_EQ(back, &o);

    CloseHandle(event);
    CloseHandle(file);
    CloseHandle(port);
}

// Without an event GetOverlappedResult waits on the file itself, which each
// of its requests signals when it ends.
TEST_P(OverlappedTest, WithoutAnEventTheFileIsWaitedOn) {
    const auto path = dir_ / "noevent.bin";
    HANDLE file = OpenOverlapped(path);
    const std::string data(100000, 'n');
    OVERLAPPED o = At(12345, nullptr);
    if (!WriteFile(file, data.data(), static_cast<DWORD>(data.size()), nullptr, &o)) {
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    DWORD bytes = 0;
    ASSERT_TRUE(GetOverlappedResult(file, &o, &bytes, TRUE));
    EXPECT_EQ(bytes, data.size());
    CloseHandle(file);
    EXPECT_EQ(std::filesystem::file_size(path), 12345u + data.size());
}

// A pipe that nobody reads holds the write: WriteFile has returned long
// before the bytes have gone anywhere.
TEST_P(OverlappedTest, WritesRunInTheBackground) {
    const auto fifo = dir_ / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    HANDLE file = CreateFileA(fifo.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);

    const size_t size = 1 << 20;  // far more than a pipe holds
    std::vector<char> data(size);
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 7);
    OVERLAPPED o = At(0, event);
    EXPECT_FALSE(WriteFile(file, data.data(), static_cast<DWORD>(size), nullptr, &o));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));

    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(file, &o, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    // Drain the pipe until the write has ended and all it wrote is read.
    // (The engine ends the request on its own thread: its state is looked at
    // through GetOverlappedResult only.)
    std::vector<char> received;
    char chunk[65536];
    for (;;) {
        pollfd p{reader, POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            const ssize_t n = read(reader, chunk, sizeof(chunk));
            if (n > 0) received.insert(received.end(), chunk, chunk + n);
        }
        const BOOL ended = GetOverlappedResult(file, &o, &bytes, FALSE);
        if (!ended) {
            ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
        }
        if (ended && received.size() >= bytes) break;
    }
    ASSERT_TRUE(GetOverlappedResult(file, &o, &bytes, TRUE));
    EXPECT_GT(bytes, 0u);
    ASSERT_EQ(received.size(), bytes);
    EXPECT_TRUE(std::equal(received.begin(), received.end(), data.begin()));

    CloseHandle(event);
    CloseHandle(file);
    close(reader);
}

TEST_P(OverlappedTest, InjectedFaultsEndTheWayTheSystemWould) {
    const auto path = dir_ / "faults.bin";
    HANDLE file = OpenOverlapped(path);
    HANDLE port = CreateIoCompletionPort(file, nullptr, 0, 1);
    const std::string data(8192, 'f');
    hooks::Reset();  // count the writes from here
    hooks::ForceEngine(GetParam());
    hooks::InjectWriteFault({1, hooks::WriteFaultKind::RefuseAtIssue, 0, STATUS_DISK_FULL});
    hooks::InjectWriteFault({2, hooks::WriteFaultKind::ShortCompletion, 1000});
    hooks::InjectWriteFault({3, hooks::WriteFaultKind::FailedCompletion, 0, STATUS_IO_DEVICE_ERROR});

    // Refused at once: no packet will come.
    OVERLAPPED o = At(0, nullptr);
    EXPECT_FALSE(WriteFile(file, data.data(), 8192, nullptr, &o));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));

    // Short: success with fewer bytes, and only those bytes on disk.
    EXPECT_FALSE(WriteFile(file, data.data(), 8192, nullptr, &o));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    LPOVERLAPPED back = nullptr;
    ASSERT_TRUE(GetQueuedCompletionStatus(port, &bytes, &key, &back, kGenerous));
    EXPECT_EQ(back, &o);
    EXPECT_EQ(bytes, 1000u);
    EXPECT_EQ(std::filesystem::file_size(path), 1000u);

    // Failed: the packet carries the failure.
    o = At(1000, nullptr);
    EXPECT_FALSE(WriteFile(file, data.data(), 7192, nullptr, &o));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_FALSE(GetQueuedCompletionStatus(port, &bytes, &key, &back, kGenerous));
    EXPECT_EQ(back, &o);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_DEVICE));
    EXPECT_FALSE(GetOverlappedResult(file, &o, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_DEVICE));

    const auto writes = hooks::Writes();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[2].offset, 1000u);
    EXPECT_EQ(writes[2].length, 7192u);
    EXPECT_TRUE(writes[2].overlapped);

    CloseHandle(file);
    CloseHandle(port);
}

TEST_P(OverlappedTest, RunningOutOfSpaceStopsShortThenFails) {
    const auto path = dir_ / "full.bin";
    HANDLE file = OpenOverlapped(path);
    HANDLE port = CreateIoCompletionPort(file, nullptr, 0, 1);
    hooks::SetSpaceLimit(10000);
    const std::string data(8192, 's');

    OVERLAPPED o1 = At(0, nullptr);
    OVERLAPPED o2 = At(8192, nullptr);
    OVERLAPPED o3 = At(16384, nullptr);
    WriteFile(file, data.data(), 8192, nullptr, &o1);
    WriteFile(file, data.data(), 8192, nullptr, &o2);
    WriteFile(file, data.data(), 8192, nullptr, &o3);
    for (int i = 0; i < 3; ++i) {
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        LPOVERLAPPED back = nullptr;
        const BOOL ok = GetQueuedCompletionStatus(port, &bytes, &key, &back, kGenerous);
        ASSERT_NE(back, nullptr);
        if (back == &o1) {
            EXPECT_TRUE(ok);
            EXPECT_EQ(bytes, 8192u);
        } else if (back == &o2) {
            EXPECT_TRUE(ok);
            EXPECT_EQ(bytes, 10000u - 8192u);
        } else {
            EXPECT_FALSE(ok);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
        }
    }
    CloseHandle(file);
    CloseHandle(port);
    EXPECT_EQ(std::filesystem::file_size(path), 10000u);
}

TEST_P(OverlappedTest, ClosingTheFileLetsItsWritesFinish) {
    const auto path = dir_ / "closed.bin";
    HANDLE file = OpenOverlapped(path);
    HANDLE port = CreateIoCompletionPort(file, nullptr, 7, 1);
    const std::string data(65536, 'c');
    OVERLAPPED o = At(0, nullptr);
    WriteFile(file, data.data(), 65536, nullptr, &o);
    ASSERT_TRUE(CloseHandle(file));

    DWORD bytes = 0;
    ULONG_PTR key = 0;
    LPOVERLAPPED back = nullptr;
    ASSERT_TRUE(GetQueuedCompletionStatus(port, &bytes, &key, &back, kGenerous));
    EXPECT_EQ(bytes, 65536u);
    EXPECT_EQ(key, 7u);
    CloseHandle(port);
    EXPECT_EQ(std::filesystem::file_size(path), 65536u);
}

TEST_P(OverlappedTest, PortRules) {
    const auto path = dir_ / "port.bin";
    HANDLE file = OpenOverlapped(path);
    HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    ASSERT_NE(port, nullptr);
    // Binding to an existing port answers that port; a second binding fails.
    EXPECT_EQ(CreateIoCompletionPort(file, port, 3, 1), port);
    EXPECT_EQ(CreateIoCompletionPort(file, nullptr, 4, 1), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    // Packets posted by hand come back in order.
    OVERLAPPED marker{};
    ASSERT_TRUE(PostQueuedCompletionStatus(port, 11, 12, &marker));
    ASSERT_TRUE(PostQueuedCompletionStatus(port, 21, 22, nullptr));
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    LPOVERLAPPED back = nullptr;
    ASSERT_TRUE(GetQueuedCompletionStatus(port, &bytes, &key, &back, 0));
    EXPECT_EQ(bytes, 11u);
    EXPECT_EQ(key, 12u);
    EXPECT_EQ(back, &marker);
    ASSERT_TRUE(GetQueuedCompletionStatus(port, &bytes, &key, &back, 0));
    EXPECT_EQ(key, 22u);
    EXPECT_EQ(back, nullptr);

    // An overlapped file needs an OVERLAPPED.
    EXPECT_FALSE(WriteFile(file, "x", 1, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    EXPECT_FALSE(GetQueuedCompletionStatus(file, &bytes, &key, &back, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(file);
    CloseHandle(port);
}

INSTANTIATE_TEST_SUITE_P(Engines, OverlappedTest, ::testing::Values(Engine::Uring, Engine::Thread),
                         [](const ::testing::TestParamInfo<Engine>& info) {
                             return info.param == Engine::Uring ? "IoUring" : "WorkerThread";
                         });

}  // namespace

namespace {

// FL_FILE_IO=thread gives a whole process the worker thread. The choice is
// made once per process, so a fresh process makes it.
TEST(EngineChoice, EnvironmentGivesAProcessTheWorkerThread) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto path = FreshDirectory() / "env.bin";
    EXPECT_EXIT(
        {
            setenv("FL_FILE_IO", "thread", 1);
            HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_FLAG_OVERLAPPED, nullptr);
            const bool worker = hooks::EngineOf(h) == Engine::Thread;
            CloseHandle(h);
            std::_Exit(worker ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
