// File objects and I/O completion ports: objects of the shared object
// manager, reached through the same handle table as events and threads.
#pragma once

#include <windows.h>

#include <nt/dispatcher.h>
#include <nt/object.h>

#include <um/file_testing.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

namespace um::file {

class IoEngine;

// One packet of a completion port.
struct CompletionPacket {
    ULONG_PTR key = 0;
    DWORD bytes = 0;
    OVERLAPPED* overlapped = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
};

class CompletionPort final : public nt::Object {
public:
    void Post(const CompletionPacket& packet);
    // False when the timeout runs out first.
    bool Dequeue(CompletionPacket* packet, nt::Timeout timeout);

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<CompletionPacket> packets_;  // guarded by mutex_
};

struct FileProperties {
    std::string path;        // Linux name
    DWORD access = 0;        // GENERIC_READ / GENERIC_WRITE
    bool overlapped = false;
    bool direct = false;     // opened past the page cache
    bool seekable = true;    // false for pipes: writes go to the current position
    uint32_t alignment = 1;  // direct-I/O offset alignment (1 when cached)
};

// A file object is waitable as on Windows: cleared when an I/O starts on it,
// set when one ends.
class FileObject final : public nt::DispatcherObject {
public:
    FileObject(int fd, FileProperties properties, IoEngine* engine) noexcept;
    ~FileObject() override;

    int Fd() const noexcept { return fd_; }
    const FileProperties& Properties() const noexcept { return properties_; }
    IoEngine* Engine() const noexcept { return engine_; }

    // The file pointer of synchronous I/O.
    int64_t Position() const noexcept;
    void SetPosition(int64_t position) noexcept;

    // A file is bound to at most one port, for good.
    bool Bind(nt::Ref<CompletionPort> port, ULONG_PTR key) noexcept;
    std::pair<nt::Ref<CompletionPort>, ULONG_PTR> Binding() const noexcept;

    void BeginIo() noexcept;
    void EndIo() noexcept;

protected:
    bool IsSignaledLocked() const noexcept override;

private:
    const int fd_;
    const FileProperties properties_;
    IoEngine* const engine_;
    mutable std::mutex mutex_;
    int64_t position_ = 0;             // guarded by mutex_
    nt::Ref<CompletionPort> port_;     // guarded by mutex_
    ULONG_PTR key_ = 0;                // guarded by mutex_
    bool signaled_ = true;             // guarded by the dispatcher lock
};

// NTSTATUS for a Linux errno, as the file calls report it.
NTSTATUS StatusFromErrno(int error) noexcept;

// Sets the calling thread's last error from a status and answers FALSE.
BOOL FailWith(NTSTATUS status) noexcept;

// The event handle of an OVERLAPPED without its low-order bit, which only
// says whether the request posts a completion packet.
inline HANDLE EventHandleOf(const OVERLAPPED* overlapped) noexcept {
    return reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(overlapped->hEvent) &
                                    ~static_cast<ULONG_PTR>(1));
}
inline bool PostsCompletion(const OVERLAPPED* overlapped) noexcept {
    return (reinterpret_cast<ULONG_PTR>(overlapped->hEvent) & 1) == 0;
}

}  // namespace um::file
