// The machine of a host process (flhost), reached over its Unix socket: the
// requests of this process's device files and SetupAPI calls travel to the
// host as messages (host/protocol.hpp), and their answers come back on one
// receiver thread, which runs the completions as a driver thread runs them
// for the embedded machine.
#include <windows.h>

#include <um/device_backend.h>

#include <host/protocol.hpp>
#include <nt/dispatcher.h>
#include <nt/object.h>

#include <pthread.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace um::dev {

namespace {

namespace proto = host::protocol;

using Answered = std::function<void(NTSTATUS status, uint64_t information, std::string_view payload)>;

// Whether the host's dispatch of a request has returned, and with what.
struct Dispatch {
    std::mutex lock;
    std::condition_variable returned;
    bool done = false;                 // guarded by lock
    NTSTATUS status = STATUS_PENDING;  // guarded by lock
};

struct Call {
    Answered answered;
    std::shared_ptr<Dispatch> dispatch;
};

void Returned(Dispatch& dispatch, NTSTATUS status) {
    {
        std::lock_guard guard(dispatch.lock);
        if (dispatch.done) return;
        dispatch.done = true;
        dispatch.status = status;
    }
    dispatch.returned.notify_all();
}

class Connection {
public:
    // A connection that greeted the host, or null.
    static Connection* Open(const std::string& path) {
        sockaddr_un address{};
        if (path.size() >= sizeof(address.sun_path)) return nullptr;
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return nullptr;
        // A host that does not answer within this is as good as none.
        timeval limit{2, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        proto::Header header{};
        std::string body;
        proto::Writer hello(proto::Kind::Hello, 0);
        hello.Put(proto::kMagic).Put(proto::kVersion);
        int32_t status = -1;
        uint64_t hostPid = 0;
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            !proto::SendAll(fd, hello.Finish()) || !proto::Receive(fd, &header, &body) ||
            header.kind != static_cast<uint16_t>(proto::Kind::Answer)) {
            ::close(fd);
            return nullptr;
        }
        proto::Reader answer(body);
        if (!answer.Get(&status) || !answer.Get(&hostPid) || status != STATUS_SUCCESS || hostPid == 0) {
            ::close(fd);
            return nullptr;
        }
        timeval none{0, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
        // The host copies read data straight into our buffers: where Yama
        // restricts that to a process's debugger, name the host as ours.
        ::prctl(PR_SET_PTRACER, static_cast<unsigned long>(hostPid), 0, 0, 0);
        auto* connection = new Connection(fd);
        connection->receiver_ = std::thread([connection] { connection->Receive(); });
        return connection;
    }

    uint64_t NewTag() noexcept { return nextTag_.fetch_add(1, std::memory_order_relaxed); }

    // Sends a request that gets an answer; returns once the host's dispatch
    // returned: its final status, or STATUS_PENDING while it runs on.
    // `answered` runs exactly once, on the receiver thread or here.
    NTSTATUS Request(uint64_t tag, const std::string& message, Answered answered) noexcept {
        std::shared_ptr<Dispatch> dispatch;
        bool listed = false;
        try {
            dispatch = std::make_shared<Dispatch>();
            std::lock_guard guard(lock_);
            if (!dead_) {
                calls_.emplace(tag, Call{answered, dispatch});
                listed = true;
            }
        } catch (...) {
            answered(STATUS_INSUFFICIENT_RESOURCES, 0, {});
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        if (!listed) {
            // The host is gone: every request ends as on a removed device.
            answered(STATUS_DEVICE_REMOVED, 0, {});
            return STATUS_DEVICE_REMOVED;
        }
        // A failed send ends the connection; the receiver then fails the call.
        if (!Send(message)) ::shutdown(fd_, SHUT_RDWR);
        std::unique_lock guard(dispatch->lock);
        dispatch->returned.wait(guard, [&] { return dispatch->done; });
        return dispatch->status;
    }

    // A message without an answer.
    bool Send(const std::string& message) noexcept {
        std::lock_guard guard(sendLock_);
        return proto::SendAll(fd_, message);
    }

    // At process exit: the host closes our files as it sees the connection
    // go; what is still pending ends here before static objects go.
    void Stop() noexcept {
        ::shutdown(fd_, SHUT_RDWR);
        if (receiver_.joinable()) receiver_.join();
    }

private:
    explicit Connection(int fd) : fd_(fd) {}

    void Receive() {
        pthread_setname_np(pthread_self(), "HostReceiver");
        proto::Header header{};
        std::string body;
        while (proto::Receive(fd_, &header, &body)) {
            proto::Reader reader(body);
            switch (static_cast<proto::Kind>(header.kind)) {
            case proto::Kind::Answer: {
                int32_t status = 0;
                uint64_t information = 0;
                if (!reader.Get(&status) || !reader.Get(&information)) break;
                std::optional<Call> call = Take(header.tag);
                if (!call) break;
                call->answered(status, information, reader.Rest());
                Returned(*call->dispatch, status);
                break;
            }
            case proto::Kind::Pending: {
                std::shared_ptr<Dispatch> dispatch;
                {
                    std::lock_guard guard(lock_);
                    if (auto it = calls_.find(header.tag); it != calls_.end()) dispatch = it->second.dispatch;
                }
                if (dispatch) Returned(*dispatch, STATUS_PENDING);
                break;
            }
            case proto::Kind::EventReference: {
                uint64_t reference = 0;
                uint64_t handle = 0;
                if (!reader.Get(&reference) || !reader.Get(&handle)) break;
                // Held from now on, as the driver's reference holds it on
                // Windows, even if the program closes its handle.
                nt::Ref<nt::Event> event;
                if (NT_SUCCESS(nt::ReferenceObjectByHandle(reinterpret_cast<HANDLE>(handle), &event))) {
                    events_[reference] = std::move(event);
                }
                break;
            }
            case proto::Kind::EventSignal: {
                uint64_t reference = 0;
                uint8_t set = 0;
                if (!reader.Get(&reference) || !reader.Get(&set)) break;
                if (auto it = events_.find(reference); it != events_.end()) {
                    if (set != 0) {
                        it->second->Set();
                    } else {
                        it->second->Reset();
                    }
                }
                break;
            }
            case proto::Kind::EventRelease: {
                uint64_t reference = 0;
                if (reader.Get(&reference)) events_.erase(reference);
                break;
            }
            default:
                break;
            }
        }
        // The host stopped (or this process is leaving): what is pending and
        // whatever comes later ends as on a removed device.
        std::unordered_map<uint64_t, Call> left;
        {
            std::lock_guard guard(lock_);
            dead_ = true;
            left.swap(calls_);
        }
        for (auto& [tag, call] : left) {
            call.answered(STATUS_DEVICE_REMOVED, 0, {});
            Returned(*call.dispatch, STATUS_DEVICE_REMOVED);
        }
        events_.clear();
    }

    std::optional<Call> Take(uint64_t tag) {
        std::lock_guard guard(lock_);
        auto it = calls_.find(tag);
        if (it == calls_.end()) return std::nullopt;
        Call call = std::move(it->second);
        calls_.erase(it);
        return call;
    }

    const int fd_;
    std::mutex sendLock_;
    std::mutex lock_;
    std::unordered_map<uint64_t, Call> calls_;  // guarded by lock_
    bool dead_ = false;                         // guarded by lock_
    std::atomic<uint64_t> nextTag_{1};
    std::map<uint64_t, nt::Ref<nt::Event>> events_;  // the receiver thread's
    std::thread receiver_;
};

Connection* exiting = nullptr;

void StopAtExit() { exiting->Stop(); }

class HostedFile final : public BackendFile {
public:
    HostedFile(Connection& connection, uint64_t id) : connection_(connection), id_(id) {}

    void Cleanup() noexcept override { Notify(proto::Kind::Cleanup); }
    void Close() noexcept override { Notify(proto::Kind::Close); }
    void Cancel() noexcept override { Notify(proto::Kind::Cancel); }

    NTSTATUS Read(void* buffer, ULONG length, km::io::Completion done) noexcept override {
        return Transfer(proto::Kind::Read, buffer, length, std::move(done));
    }
    NTSTATUS Write(const void* buffer, ULONG length, km::io::Completion done) noexcept override {
        return Transfer(proto::Kind::Write, const_cast<void*>(buffer), length, std::move(done));
    }

    NTSTATUS DeviceControl(ULONG code, const void* input, ULONG inputLength, void* output, ULONG outputLength,
                           km::io::Completion done) noexcept override {
        if (input == nullptr) inputLength = 0;
        if (output == nullptr) outputLength = 0;
        if (inputLength > proto::kMaxBody / 2 || outputLength > proto::kMaxBody / 2) {
            done(STATUS_INVALID_PARAMETER, 0);
            return STATUS_INVALID_PARAMETER;
        }
        try {
            const uint64_t tag = connection_.NewTag();
            proto::Writer message(proto::Kind::DeviceControl, tag);
            message.Put(id_).Put(static_cast<uint32_t>(code)).Put(static_cast<uint32_t>(outputLength));
            message.PutBytes(input, inputLength);
            return connection_.Request(
                tag, message.Finish(),
                [output, outputLength, done = std::move(done)](NTSTATUS status, uint64_t information,
                                                               std::string_view payload) {
                    // Buffered output: what came back, never beyond the buffer.
                    const size_t size = std::min<size_t>(payload.size(), outputLength);
                    if (size != 0) std::memcpy(output, payload.data(), size);
                    done(status, static_cast<ULONG_PTR>(std::min<uint64_t>(information, outputLength)));
                });
        } catch (...) {
            done(STATUS_INSUFFICIENT_RESOURCES, 0);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }

private:
    NTSTATUS Transfer(proto::Kind kind, void* buffer, ULONG length, km::io::Completion done) noexcept {
        try {
            const uint64_t tag = connection_.NewTag();
            proto::Writer message(kind, tag);
            message.Put(id_).Put(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(buffer)))
                .Put(static_cast<uint32_t>(length));
            return connection_.Request(
                tag, message.Finish(),
                [buffer, length, done = std::move(done)](NTSTATUS status, uint64_t information,
                                                         std::string_view payload) {
                    // The host writes a read's data into the buffer itself;
                    // only where it may not does the data come along.
                    const size_t size = std::min<size_t>(payload.size(), length);
                    if (size != 0) std::memcpy(buffer, payload.data(), size);
                    done(status, static_cast<ULONG_PTR>(std::min<uint64_t>(information, length)));
                });
        } catch (...) {
            done(STATUS_INSUFFICIENT_RESOURCES, 0);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }

    void Notify(proto::Kind kind) noexcept {
        try {
            proto::Writer message(kind, 0);
            message.Put(id_);
            connection_.Send(message.Finish());
        } catch (...) {
        }
    }

    Connection& connection_;
    const uint64_t id_;
};

class Hosted final : public Backend {
public:
    explicit Hosted(Connection& connection) : connection_(connection) {}

    NTSTATUS Open(const std::string& link, std::shared_ptr<BackendFile>* file) noexcept override {
        try {
            const uint64_t tag = connection_.NewTag();
            proto::Writer message(proto::Kind::Open, tag);
            message.PutString(link);
            uint64_t id = 0;
            const NTSTATUS status = connection_.Request(
                tag, message.Finish(), [&](NTSTATUS, uint64_t information, std::string_view) { id = information; });
            if (!NT_SUCCESS(status)) return status;
            *file = std::make_shared<HostedFile>(connection_, id);
            return STATUS_SUCCESS;
        } catch (...) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }

    NTSTATUS Interfaces(const GUID& classGuid, std::vector<InterfaceInfo>* found) noexcept override {
        try {
            const uint64_t tag = connection_.NewTag();
            proto::Writer message(proto::Kind::Interfaces, tag);
            message.Put(classGuid);
            std::string list;
            NTSTATUS status = connection_.Request(
                tag, message.Finish(),
                [&](NTSTATUS, uint64_t, std::string_view payload) { list.assign(payload); });
            if (!NT_SUCCESS(status)) return status;
            proto::Reader reader(list);
            uint32_t count = 0;
            reader.Get(&count);
            found->clear();
            for (uint32_t i = 0; i < count && reader.Ok(); ++i) {
                InterfaceInfo info;
                uint8_t enabled = 0;
                reader.Get(&info.classGuid);
                reader.Get(&enabled);
                reader.GetString(&info.symbolicLink, proto::kMaxBody);
                reader.GetString(&info.instanceId, proto::kMaxBody);
                info.enabled = enabled != 0;
                if (reader.Ok()) found->push_back(std::move(info));
            }
            return reader.Complete() ? STATUS_SUCCESS : STATUS_DEVICE_PROTOCOL_ERROR;
        } catch (...) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }

    DWORD ChangeProperty(const std::string& instanceId, DWORD stateChange, DWORD scope) noexcept override {
        try {
            const uint64_t tag = connection_.NewTag();
            proto::Writer message(proto::Kind::ChangeProperty, tag);
            message.Put(static_cast<uint32_t>(stateChange)).Put(static_cast<uint32_t>(scope)).PutString(instanceId);
            const NTSTATUS status =
                connection_.Request(tag, message.Finish(), [](NTSTATUS, uint64_t, std::string_view) {});
            // The host answers with the Win32 error; a lost host with a status.
            if (status == STATUS_DEVICE_REMOVED) return ERROR_DEVICE_REMOVED;
            return static_cast<DWORD>(status);
        } catch (...) {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
    }

private:
    Connection& connection_;
};

}  // namespace

std::unique_ptr<Backend> ConnectHost(const std::string& socket) noexcept {
    try {
        Connection* connection = Connection::Open(socket);
        if (connection == nullptr) return nullptr;
        exiting = connection;
        std::atexit(StopAtExit);
        return std::make_unique<Hosted>(*connection);
    } catch (...) {
        return nullptr;
    }
}

}  // namespace um::dev
