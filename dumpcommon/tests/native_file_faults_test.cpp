// The writer when writes go wrong: refused, short, failed, out of space, and
// a completion port that can no longer be waited on.
#include "native_file.h"

#include "writer_fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace dumpcommon_test {
namespace {

class NativeFileFaultTest : public WriterTest {};

constexpr ULONG kSize = 65536;

// The completion says only half was written; the writer writes the rest
// itself, without a packet coming back for it, and nothing is lost.
TEST_P(NativeFileFaultTest, ShortCompletionIsFinishedByTheWriter) {
    NativeFile* file = nullptr;
    ASSERT_EQ(native_file_open(Name("short.bin").c_str(), kSize, 1, FALSE, &file), NATIVE_FILE_SUCCESS);
    hooks::InjectWriteFault({1, hooks::WriteFaultKind::ShortCompletion, kSize / 2});

    uint64_t at = 0;
    Append(file, at, kSize, 1000);  // the first buffer leaves and comes back short
    Append(file, at, kSize + 123, 1000);  // the next need for a buffer finishes it
    auto writes = WritesTo("short.bin");
    ASSERT_GE(writes.size(), 3u);
    EXPECT_EQ(writes[1].offset, kSize / 2);
    EXPECT_EQ(writes[1].length, kSize / 2);
    EXPECT_EQ(file->ValidEnd, ~0ull);

    EXPECT_EQ(native_file_close(file), NATIVE_FILE_SUCCESS);
    EXPECT_EQ(ReadAll(Path("short.bin")), Stream(0, 2 * kSize + 123));
}

// Refused at once: 1, the full buffer stays current, and the stream has
// already moved past it. The close cuts the file before the lost bytes.
TEST_P(NativeFileFaultTest, RefusedWriteAdvancesTheStreamAndIsCutAway) {
    NativeFile* file = nullptr;
    ASSERT_EQ(native_file_open(Name("refused.bin").c_str(), kSize, 4, FALSE, &file), NATIVE_FILE_SUCCESS);
    uint64_t at = 0;
    Append(file, at, kSize, kSize);  // write 1 goes well
    hooks::InjectWriteFault({2, hooks::WriteFaultKind::RefuseAtIssue, 0, STATUS_INSUFFICIENT_RESOURCES});

    const auto bytes = Stream(kSize, kSize);
    EXPECT_EQ(native_file_write(file, bytes.data(), kSize), NATIVE_FILE_FAILURE);
    EXPECT_EQ(file->NextFileOffset, 2ull * kSize);
    ASSERT_NE(file->CurrentBuffer, nullptr);
    EXPECT_EQ(file->CurrentBuffer->Used, kSize);

    EXPECT_EQ(native_file_close(file), NATIVE_FILE_SUCCESS);
    EXPECT_EQ(ReadAll(Path("refused.bin")), Stream(0, kSize));
}

// A failed write is reported when its buffer is needed again; the buffer is
// reused. Here its rewrite fails too, so the file ends before it.
TEST_P(NativeFileFaultTest, FailedCompletionIsReportedAtTheNextNeedForABuffer) {
    NativeFile* file = nullptr;
    ASSERT_EQ(native_file_open(Name("failed.bin").c_str(), kSize, 1, FALSE, &file), NATIVE_FILE_SUCCESS);
    uint64_t at = 0;
    Append(file, at, kSize, kSize);  // write 1: fine
    hooks::InjectWriteFault({2, hooks::WriteFaultKind::FailedCompletion});
    hooks::InjectWriteFault({3, hooks::WriteFaultKind::FailedCompletion});
    Append(file, at, kSize, kSize);  // write 2 leaves; its failure is not known yet

    const auto bytes = Stream(at, 10);
    EXPECT_EQ(native_file_write(file, bytes.data(), 10), NATIVE_FILE_FAILURE);
    ASSERT_NE(file->CurrentBuffer, nullptr);
    EXPECT_EQ(file->CurrentBuffer->Used, 0u);
    const auto writes = WritesTo("failed.bin");
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[2].offset, kSize) << "the rest of the failed buffer is written again";

    EXPECT_EQ(native_file_close(file), NATIVE_FILE_SUCCESS);
    EXPECT_EQ(ReadAll(Path("failed.bin")), Stream(0, kSize));
}

TEST_P(NativeFileFaultTest, FailedCompletionWhoseRewriteSucceedsLosesNothing) {
    NativeFile* file = nullptr;
    ASSERT_EQ(native_file_open(Name("retry.bin").c_str(), kSize, 1, TRUE, &file), NATIVE_FILE_SUCCESS);
    hooks::InjectWriteFault({1, hooks::WriteFaultKind::FailedCompletion});
    uint64_t at = 0;
    Append(file, at, kSize, kSize);
    const auto bytes = Stream(at, 10);
    EXPECT_EQ(native_file_write(file, bytes.data(), 10), NATIVE_FILE_FAILURE);
    EXPECT_EQ(native_file_close(file), NATIVE_FILE_SUCCESS);
    EXPECT_EQ(ReadAll(Path("retry.bin")), Stream(0, kSize));
}

// The disk fills mid-stream: every write from there fails, the close says
// so, and the file holds exactly the bytes that made it, in order.
TEST_P(NativeFileFaultTest, NoSpaceMidStreamLeavesTheGoodPrefix) {
    for (const BOOLEAN cached : {FALSE, TRUE}) {
        const std::string leaf = cached ? "full-cached.bin" : "full-direct.bin";
        NativeFile* file = nullptr;
        ASSERT_EQ(native_file_open(Name(leaf).c_str(), kSize, 4, cached, &file), NATIVE_FILE_SUCCESS);
        const uint64_t limit = 3 * kSize + 5000;
        hooks::SetSpaceLimit(limit);

        uint64_t at = 0;
        ULONG answer = NATIVE_FILE_SUCCESS;
        while (at < 8 * kSize && answer == NATIVE_FILE_SUCCESS) {
            const auto bytes = Stream(at, 1000);
            answer = native_file_write(file, bytes.data(), 1000);
            at += 1000;
        }
        EXPECT_EQ(answer, NATIVE_FILE_FAILURE) << "the failure shows before eight buffers";
        EXPECT_EQ(native_file_close(file), NATIVE_FILE_FAILURE);
        hooks::SetSpaceLimit(~0ull);

        const auto content = ReadAll(Path(leaf));
        // Unbuffered writes stop on a block boundary; cached ones at the byte.
        EXPECT_LE(content.size(), limit);
        EXPECT_GE(content.size(), 3u * kSize);
        EXPECT_EQ(content, Stream(0, content.size()));
    }
}

// The port is gone when the close waits: the writes still in flight are
// waited for on their own events, and no buffer is freed under a write.
TEST_P(NativeFileFaultTest, CloseWaitsForWritesWhenThePortFails) {
    const auto fifo = Path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);

    const ULONG size = 1 << 20;  // far more than the pipe holds: the write stays in flight
    NativeFile* file = nullptr;
    ASSERT_EQ(native_file_open(Name("fifo").c_str(), size, 2, TRUE, &file), NATIVE_FILE_SUCCESS);
    uint64_t at = 0;
    Append(file, at, size, size);
    ASSERT_EQ(file->InFlightCount, 1u);

    CloseHandle(file->CompletionPort);
    file->CompletionPort = nullptr;

    std::atomic<bool> closed{false};
    std::atomic<ULONG> answer{0};
    std::thread closer([&] {
        answer = native_file_close(file);
        closed = true;  // seq_cst: read by the draining loop below
    });

    // Until the close returns, the write may not have ended: at most a
    // pipe's worth of bytes can be waiting unread when it does.
    const int pipeSize = fcntl(reader, F_GETPIPE_SZ);
    ASSERT_GT(pipeSize, 0);
    std::vector<char> received;
    char chunk[65536];
    bool checked = false;
    for (;;) {
        const bool done = closed;
        if (done && !checked) {
            EXPECT_GE(received.size() + pipeSize, size) << "closed with the write still running";
            checked = true;
        }
        pollfd p{reader, POLLIN, 0};
        if (poll(&p, 1, 50) > 0) {
            const ssize_t n = read(reader, chunk, sizeof(chunk));
            if (n > 0) received.insert(received.end(), chunk, chunk + n);
            if (n == 0 && done) break;  // the writer's end is closed: all is here
        }
    }
    closer.join();
    close(reader);
    EXPECT_EQ(answer.load(), NATIVE_FILE_FAILURE);
    EXPECT_EQ(received, Stream(0, size));
}

INSTANTIATE_TEST_SUITE_P(Engines, NativeFileFaultTest,
                         ::testing::Values(hooks::Engine::Uring, hooks::Engine::Thread), EngineName);

}  // namespace
}  // namespace dumpcommon_test
