// Test hooks of the file layer: choice of the I/O engine, injected faults
// and a log of what reached the file system. For tests only; the system's
// code never includes this.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace um::file::testing {

enum class Engine {
    Default,  // io_uring when the process can set it up, else the worker thread
    Uring,
    Thread,
};

// The engine that files opened from now on use. The environment variable
// FL_FILE_IO=thread gives the worker thread to a whole process.
void ForceEngine(Engine engine);
// The engine an open file handle writes with (Default for anything else).
Engine EngineOf(HANDLE file);
bool UringAvailable();
// Whether an open file handle really writes past the page cache.
bool IsDirect(HANDLE file);

enum class WriteFaultKind {
    RefuseAtIssue,     // WriteFile fails at once with `status`
    ShortCompletion,   // the write ends successfully after only `bytes` bytes
    FailedCompletion,  // the write ends with `status` and writes nothing
};

struct WriteFault {
    uint64_t write;  // which WriteFile on a file, counted from 1 since Reset()
    WriteFaultKind kind;
    uint32_t bytes = 0;
    NTSTATUS status = STATUS_IO_DEVICE_ERROR;
};

void InjectWriteFault(const WriteFault& fault);

// Files run out of space at this file offset: a write that crosses it stops
// short there (at the file's direct-I/O alignment) and a write at or past it
// fails with STATUS_DISK_FULL.
void SetSpaceLimit(uint64_t offset);

// Makes the direct open of FILE_FLAG_NO_BUFFERING fail as on a file system
// without direct I/O, so that CreateFileA falls back to cached I/O.
void RefuseDirectIo(bool refuse);

struct WriteRecord {
    std::string path;  // Linux name
    uint64_t offset;
    uint32_t length;
    bool overlapped;
};

struct OpenRecord {
    std::string path;  // Linux name
    DWORD disposition;
    DWORD flags;
};

// Every WriteFile and CreateFileA on a file since Reset(), in call order
// (nothing is logged before the first Reset()).
std::vector<WriteRecord> Writes();
std::vector<OpenRecord> Opens();

// Clears faults, limits, the forced engine and the logs, restarts the write
// count and starts logging.
void Reset();

}  // namespace um::file::testing
