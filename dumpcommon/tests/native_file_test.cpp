// The native file writer on real files: buffering, splitting, the last
// buffer, trimming, and the checks at open.
#include "native_file.h"
#include "native_file_zeth.h"

#include "writer_fixture.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>

namespace dumpcommon_test {
namespace {

class NativeFileTest : public WriterTest {};

// Unbuffered, the defaults: three buffers leave while appending, the fourth
// leaves whole at close, and the file is cut back through a second open.
TEST_P(NativeFileTest, MillionBytesUnbuffered) {
    NativeFile* file = nullptr;
    ASSERT_EQ(native_file_open(Name("m.bin").c_str(), kDefaultBufferSize, kDefaultBufferCount, FALSE,
                               &file),
              NATIVE_FILE_SUCCESS);
    ASSERT_NE(file->SectorSize, 0u);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(file->Buffers[0]->Data) % file->SectorSize, 0u);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(file->Buffers[0]->Data) % 4096, 0u);

    uint64_t at = 0;
    Append(file, at, 1000000, 1514);
    auto writes = WritesTo("m.bin");
    ASSERT_EQ(writes.size(), 3u);
    for (size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(writes[k].offset, k * kDefaultBufferSize);
        EXPECT_EQ(writes[k].length, kDefaultBufferSize);
        EXPECT_TRUE(writes[k].overlapped);
    }

    // The last buffer goes out padded to whole sectors, no further: a disk
    // with room for the data has room for that write.
    const ULONG sector = file->SectorSize;
    EXPECT_EQ(native_file_close(file), NATIVE_FILE_SUCCESS);
    writes = WritesTo("m.bin");
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(writes[3].offset, 786432u);
    EXPECT_EQ(writes[3].length, (1000000u - 786432u + sector - 1) / sector * sector);

    const auto opens = OpensOf("m.bin");
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[0].disposition, static_cast<DWORD>(CREATE_ALWAYS));
    EXPECT_EQ(opens[0].flags, FILE_FLAG_OVERLAPPED | FILE_FLAG_NO_BUFFERING);
    EXPECT_EQ(opens[1].disposition, static_cast<DWORD>(OPEN_ALWAYS));
    EXPECT_EQ(opens[1].flags, 0u);

    EXPECT_EQ(ReadAll(Path("m.bin")), Stream(0, 1000000));
}

TEST_P(NativeFileTest, MillionBytesCached) {
    NativeFile* file = nullptr;
    ASSERT_EQ(native_file_open(Name("c.bin").c_str(), kDefaultBufferSize, kDefaultBufferCount, TRUE,
                               &file),
              NATIVE_FILE_SUCCESS);
    EXPECT_EQ(file->SectorSize, 0u);
    uint64_t at = 0;
    Append(file, at, 1000000, 60);
    EXPECT_EQ(native_file_close(file), NATIVE_FILE_SUCCESS);

    const auto writes = WritesTo("c.bin");
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(writes[3].offset, 786432u);
    EXPECT_EQ(writes[3].length, 213568u);
    const auto opens = OpensOf("c.bin");
    ASSERT_EQ(opens.size(), 1u) << "a cached file is never reopened";
    EXPECT_EQ(opens[0].flags, FILE_FLAG_OVERLAPPED);
    EXPECT_EQ(ReadAll(Path("c.bin")), Stream(0, 1000000));
}

TEST_P(NativeFileTest, ExactFitLeavesAtOnceAndSplitsFillTheNextBuffer) {
    const ULONG size = 65536;
    NativeFile* file = nullptr;
    ASSERT_EQ(native_file_open(Name("s.bin").c_str(), size, 4, FALSE, &file), NATIVE_FILE_SUCCESS);

    // Exactly the room left: the buffer goes now, the next run starts fresh.
    auto bytes = Stream(0, size - 100);
    ASSERT_EQ(native_file_write(file, bytes.data(), size - 100), NATIVE_FILE_SUCCESS);
    EXPECT_TRUE(WritesTo("s.bin").empty());
    bytes = Stream(size - 100, 100);
    ASSERT_EQ(native_file_write(file, bytes.data(), 100), NATIVE_FILE_SUCCESS);
    EXPECT_EQ(WritesTo("s.bin").size(), 1u);
    EXPECT_EQ(file->CurrentBuffer, nullptr);
    EXPECT_EQ(file->NextFileOffset, size);

    // A run that does not fit: its head completes the buffer, its tail
    // starts the next one.
    bytes = Stream(size, size - 10);
    ASSERT_EQ(native_file_write(file, bytes.data(), size - 10), NATIVE_FILE_SUCCESS);
    bytes = Stream(2 * size - 10, 30);
    ASSERT_EQ(native_file_write(file, bytes.data(), 30), NATIVE_FILE_SUCCESS);
    const auto writes = WritesTo("s.bin");
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[1].offset, size);
    EXPECT_EQ(writes[1].length, size);
    ASSERT_NE(file->CurrentBuffer, nullptr);
    EXPECT_EQ(file->CurrentBuffer->Used, 20u);

    // A run longer than a buffer is refused and changes nothing.
    const auto big = Stream(0, size + 1);
    EXPECT_EQ(native_file_write(file, big.data(), size + 1), NATIVE_FILE_FAILURE);
    EXPECT_EQ(file->CurrentBuffer->Used, 20u);

    ASSERT_EQ(native_file_close(file), NATIVE_FILE_SUCCESS);
    EXPECT_EQ(ReadAll(Path("s.bin")), Stream(0, 2 * size + 20));
}

TEST_P(NativeFileTest, NothingAppendedLeavesAnEmptyFile) {
    for (const BOOLEAN cached : {FALSE, TRUE}) {
        hooks::Reset();
        hooks::ForceEngine(GetParam());
        NativeFile* file = nullptr;
        ASSERT_EQ(native_file_open(Name("e.bin").c_str(), kDefaultBufferSize, 2, cached, &file),
                  NATIVE_FILE_SUCCESS);
        // The file exists from the open on.
        EXPECT_TRUE(std::filesystem::exists(Path("e.bin")));
        EXPECT_EQ(native_file_close(file), NATIVE_FILE_SUCCESS);
        EXPECT_TRUE(WritesTo("e.bin").empty());
        EXPECT_EQ(std::filesystem::file_size(Path("e.bin")), 0u);
    }
}

// With two buffers the third full one has to wait for the first write and
// takes its buffer.
TEST_P(NativeFileTest, AFullPoolWaitsAndReusesAReturnedBuffer) {
    const ULONG size = 65536;
    NativeFile* file = nullptr;
    ASSERT_EQ(native_file_open(Name("w.bin").c_str(), size, 2, FALSE, &file), NATIVE_FILE_SUCCESS);
    uint64_t at = 0;
    Append(file, at, 2 * size, size);
    EXPECT_EQ(file->FreeList, nullptr);
    EXPECT_EQ(file->InFlightCount, 2u);

    Append(file, at, 1, 1);
    ASSERT_NE(file->CurrentBuffer, nullptr);
    EXPECT_LT(file->CurrentBuffer->Index, 2u);
    EXPECT_EQ(file->InFlightCount, 1u);
    EXPECT_EQ(file->CurrentBuffer->Used, 1u);

    Append(file, at, 3 * size - 1, 4000);
    EXPECT_EQ(native_file_close(file), NATIVE_FILE_SUCCESS);
    EXPECT_EQ(ReadAll(Path("w.bin")), Stream(0, 5 * size));
}

TEST_P(NativeFileTest, UnusableBufferLayoutsAreRefusedAtOpen) {
    NativeFile* file = reinterpret_cast<NativeFile*>(0x1);
    EXPECT_EQ(native_file_open(Name("z.bin").c_str(), kDefaultBufferSize, 0, FALSE, &file),
              NATIVE_FILE_ERROR_BUFFER_LAYOUT);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(native_file_open(Name("z.bin").c_str(), 0, 16, TRUE, &file),
              NATIVE_FILE_ERROR_BUFFER_LAYOUT);

    // Unbuffered, the size must be whole sectors; the file is not created.
    EXPECT_EQ(native_file_open(Name("z.bin").c_str(), 1000, 16, FALSE, &file),
              NATIVE_FILE_ERROR_BUFFER_LAYOUT);
    EXPECT_FALSE(std::filesystem::exists(Path("z.bin")));

    // Cached, any size will do.
    ASSERT_EQ(native_file_open(Name("z.bin").c_str(), 1000, 3, TRUE, &file), NATIVE_FILE_SUCCESS);
    uint64_t at = 0;
    Append(file, at, 4321, 77);
    EXPECT_EQ(native_file_close(file), NATIVE_FILE_SUCCESS);
    EXPECT_EQ(ReadAll(Path("z.bin")), Stream(0, 4321));
}

TEST_P(NativeFileTest, FailuresOfTheOpen) {
    NativeFile* file = nullptr;
    // No full name for an empty name.
    EXPECT_EQ(native_file_open("", kDefaultBufferSize, 16, FALSE, &file), NATIVE_FILE_ERROR_FULL_PATH);
    // A directory that does not exist: the creation fails.
    EXPECT_EQ(native_file_open(Name("no/such/dir/x.bin").c_str(), kDefaultBufferSize, 16, FALSE, &file),
              NATIVE_FILE_FAILURE);
    // A drive that does not exist: its geometry cannot be read.
    EXPECT_EQ(native_file_open("C:\\x.bin", kDefaultBufferSize, 16, FALSE, &file), NATIVE_FILE_FAILURE);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(native_file_close(static_cast<NativeFile*>(nullptr)), NATIVE_FILE_FAILURE);
}

TEST_P(NativeFileTest, LinuxNamesAreDrivePathsToo) {
    NativeFile* file = nullptr;
    ASSERT_EQ(native_file_open(Path("l.bin").c_str(), kDefaultBufferSize, 4, FALSE, &file),
              NATIVE_FILE_SUCCESS);
    EXPECT_EQ(std::string(file->Path).substr(0, 3), "Z:\\");
    EXPECT_NE(file->SectorSize, 0u);
    uint64_t at = 0;
    Append(file, at, 1000, 1000);
    EXPECT_EQ(native_file_close(file), NATIVE_FILE_SUCCESS);
    EXPECT_EQ(ReadAll(Path("l.bin")), Stream(0, 1000));
}

// FlDump_ng's open: the writer behind the pcap-ng writer's handlers.
TEST_P(NativeFileTest, PcapNgHandlers) {
    ZethFileHandlers handlers{};
    ASSERT_EQ(native_file_open(Name("ng.bin").c_str(), kDefaultBufferSize, 4, &handlers),
              NATIVE_FILE_SUCCESS);
    ASSERT_NE(handlers.handle, nullptr);
    EXPECT_EQ(handlers.seek, nullptr);
    char sink[4];
    EXPECT_EQ(handlers.read(handlers.handle, sink, sizeof(sink), 0), 1u);
    const auto bytes = Stream(0, 300);
    EXPECT_EQ(handlers.write(handlers.handle, bytes.data(), 300), NATIVE_FILE_SUCCESS);
    EXPECT_EQ(handlers.write(handlers.handle, bytes.data(), kDefaultBufferSize + 1), NATIVE_FILE_FAILURE);
    EXPECT_EQ(native_file_close(&handlers), NATIVE_FILE_SUCCESS);
    EXPECT_EQ(handlers.handle, nullptr);
    EXPECT_EQ(ReadAll(Path("ng.bin")), Stream(0, 300));

    ZethFileHandlers none{};
    EXPECT_EQ(native_file_open(Name("ng.bin").c_str(), kDefaultBufferSize, 0, &none),
              NATIVE_FILE_ERROR_BUFFER_LAYOUT);
    EXPECT_EQ(none.handle, nullptr);
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Out of memory is each tool's own code. The child process gets an address
// space too small for the buffers (sanitizers reserve far more than any
// such limit, so these builds leave the case out).
void OpenWithinSmallAddressSpace(const std::string& name, bool pcapNg) {
    long pages = 0;
    if (FILE* statm = fopen("/proc/self/statm", "r")) {
        if (fscanf(statm, "%ld", &pages) != 1) pages = 0;
        fclose(statm);
    }
    const rlim_t limit = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (256u << 20);
    const rlimit r{limit, limit};
    setrlimit(RLIMIT_AS, &r);
    const ULONG huge = 1u << 30;
    ULONG code = 0;
    if (pcapNg) {
        ZethFileHandlers handlers{};
        code = native_file_open(name.c_str(), huge, 4, &handlers);
    } else {
        NativeFile* file = nullptr;
        code = native_file_open(name.c_str(), huge, 4, FALSE, &file);
    }
    std::_Exit(static_cast<int>(code));
}

TEST_P(NativeFileTest, OutOfMemoryCodes) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(OpenWithinSmallAddressSpace(Name("oom.bin"), false), ::testing::ExitedWithCode(2), "");
    EXPECT_EXIT(OpenWithinSmallAddressSpace(Name("oom.bin"), true), ::testing::ExitedWithCode(6), "");
}
#endif

INSTANTIATE_TEST_SUITE_P(Engines, NativeFileTest,
                         ::testing::Values(hooks::Engine::Uring, hooks::Engine::Thread), EngineName);

}  // namespace
}  // namespace dumpcommon_test
