#include "file_object.h"

#include <winternl.h>

#include <unistd.h>

#include <cerrno>

namespace um::file {

void CompletionPort::Post(const CompletionPacket& packet) {
    {
        std::lock_guard lock(mutex_);
        packets_.push_back(packet);
    }
    ready_.notify_one();
}

bool CompletionPort::Dequeue(CompletionPacket* packet, nt::Timeout timeout) {
    std::unique_lock lock(mutex_);
    const auto ready = [this] { return !packets_.empty(); };
    if (timeout) {
        if (!ready_.wait_for(lock, *timeout, ready)) return false;
    } else {
        ready_.wait(lock, ready);
    }
    *packet = packets_.front();
    packets_.pop_front();
    return true;
}

FileObject::FileObject(int fd, FileProperties properties, IoEngine* engine) noexcept
    : fd_(fd), properties_(std::move(properties)), engine_(engine) {}

FileObject::~FileObject() { close(fd_); }

int64_t FileObject::Position() const noexcept {
    std::lock_guard lock(mutex_);
    return position_;
}

void FileObject::SetPosition(int64_t position) noexcept {
    std::lock_guard lock(mutex_);
    position_ = position;
}

bool FileObject::Bind(nt::Ref<CompletionPort> port, ULONG_PTR key) noexcept {
    std::lock_guard lock(mutex_);
    if (port_) return false;
    port_ = std::move(port);
    key_ = key;
    return true;
}

std::pair<nt::Ref<CompletionPort>, ULONG_PTR> FileObject::Binding() const noexcept {
    std::lock_guard lock(mutex_);
    return {port_, key_};
}

void FileObject::BeginIo() noexcept {
    std::lock_guard lock(DispatcherLock());
    signaled_ = false;
}

void FileObject::EndIo() noexcept {
    std::lock_guard lock(DispatcherLock());
    signaled_ = true;
    WakeWaitersLocked();
}

bool FileObject::IsSignaledLocked() const noexcept { return signaled_; }

NTSTATUS StatusFromErrno(int error) noexcept {
    switch (error) {
    case 0: return STATUS_SUCCESS;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return STATUS_DISK_FULL;
    case EIO: return STATUS_IO_DEVICE_ERROR;
    case EINVAL: return STATUS_INVALID_PARAMETER;
    case EBADF: return STATUS_INVALID_HANDLE;
    case ENOENT: return STATUS_OBJECT_NAME_NOT_FOUND;
    case ENOTDIR: return STATUS_OBJECT_PATH_NOT_FOUND;
    case EEXIST: return STATUS_OBJECT_NAME_COLLISION;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS: return STATUS_ACCESS_DENIED;
    case ENAMETOOLONG: return STATUS_OBJECT_NAME_INVALID;
    case ENOMEM:
    case EAGAIN:
    case EMFILE:
    case ENFILE: return STATUS_INSUFFICIENT_RESOURCES;
    case ECANCELED: return STATUS_CANCELLED;
    case ESPIPE: return STATUS_INVALID_PARAMETER;
    default: return STATUS_UNSUCCESSFUL;
    }
}

BOOL FailWith(NTSTATUS status) noexcept {
    SetLastError(RtlNtStatusToDosError(status));
    return FALSE;
}

}  // namespace um::file
