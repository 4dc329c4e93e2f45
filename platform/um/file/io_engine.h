// The engines that carry out overlapped writes in the background: io_uring,
// or a worker thread where the process cannot set io_uring up (a seccomp
// filter, an old kernel, io_uring_disabled).
#pragma once

#include "file_object.h"

#include <memory>

namespace um::file {

struct WriteRequest {
    nt::Ref<FileObject> file;  // keeps the descriptor open until the write ends
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    int64_t offset = -1;       // -1: at the file's current position (pipes)
    OVERLAPPED* overlapped = nullptr;
    nt::Ref<nt::Event> event;  // set when the write ends, if any
    nt::Ref<CompletionPort> port;  // gets the packet, if any
    ULONG_PTR key = 0;
    NTSTATUS injected = STATUS_SUCCESS;  // not success: end so without writing
    uint32_t done = 0;         // bytes of a pipe write already taken
};

// Ends a request the way Windows ends one: the OVERLAPPED's status and byte
// count, then the event and the file, then the completion packet. Nothing
// touches the OVERLAPPED after that. `result` is the byte count, or -errno.
void CompleteWrite(std::unique_ptr<WriteRequest> request, int64_t result) noexcept;

class IoEngine {
public:
    virtual ~IoEngine() = default;
    // Queues the request. On success the engine owns it and will complete
    // it; otherwise answers -errno and leaves the request with the caller.
    virtual int Submit(std::unique_ptr<WriteRequest>& request) noexcept = 0;
    virtual testing::Engine Kind() const noexcept = 0;
};

// Process-wide engines, started on first use. UringEngine() is null when
// io_uring cannot be set up.
IoEngine* UringEngine() noexcept;
IoEngine* ThreadEngine() noexcept;

// The engine for a file being opened: the forced one for tests, the worker
// thread with FL_FILE_IO=thread, else io_uring where available.
IoEngine* EngineForNewFile() noexcept;

}  // namespace um::file
