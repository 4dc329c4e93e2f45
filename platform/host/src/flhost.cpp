// flhost: one machine for every program. Boots the machine as a program
// does at its first device access (FL_MACHINE, FL_REGISTRY) and serves it on
// a Unix socket (FL_HOST, else the per-user default of host/protocol.hpp):
// each program's device files and SetupAPI calls become the same calls
// here, in the program's stead, as a reflector forwards them to a
// user-mode driver host on Windows.
//
// One thread per program reads its messages and dispatches them in its
// stead (the caller's context: the driver references the program's events
// then); completions go back from whichever thread runs them. A program
// that goes has its files cleaned up and closed, as Windows does at process
// exit. Runs in the foreground, logs to standard error; SIGTERM or SIGINT
// stop it as an embedded machine stops at its program's exit.
#include <windows.h>

#include <um/device_backend.h>

#include <host/protocol.hpp>
#include <km/io.hpp>
#include <machine/machine.hpp>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace {

namespace proto = host::protocol;
using um::dev::BackendFile;

int wakePipe[2] = {-1, -1};

void OnStopSignal(int) {
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(wakePipe[1], &byte, 1);
}

void Log(const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::fprintf(stderr, "flhost: %s\n", line);
}

um::dev::Backend& Machine() {
    NTSTATUS status = STATUS_SUCCESS;
    return um::dev::EmbeddedBackend(&status);
}

class Client;

// A program's event the driver holds a reference to.
class RemoteEvent final : public km::io::UserEvent {
public:
    RemoteEvent(std::weak_ptr<Client> client, uint64_t reference) : client_(std::move(client)), reference_(reference) {}
    ~RemoteEvent() override;
    void Set() noexcept override { Signal(1); }
    void Reset() noexcept override { Signal(0); }

private:
    void Signal(uint8_t set) noexcept;

    const std::weak_ptr<Client> client_;
    const uint64_t reference_;
};

class Client final : public km::io::Requestor, public std::enable_shared_from_this<Client> {
public:
    Client(int fd, pid_t pid) : fd_(fd), pid_(pid) {}
    ~Client() override { ::close(fd_); }

    pid_t Pid() const { return pid_; }

    // Reads and dispatches the program's messages until it goes, sends
    // something malformed, or the host stops (`stopping`: its files are
    // then left to the machine's shutdown).
    void Serve(const std::atomic<bool>& stopping) {
        proto::Header header{};
        std::string body;
        bool hostile = false;
        while (proto::Receive(fd_, &header, &body)) {
            if (!Dispatch(header, body)) {
                hostile = true;
                break;
            }
        }
        // From here on its pid may come to name another process: no late
        // completion writes there.
        gone_.store(true);
        if (stopping.load()) return;
        if (hostile) Log("client %d: malformed message, disconnected", pid_);
        // Gone: what Windows does for a process that exits. Its pending
        // requests are cancelled, and the driver sees cleanup and close.
        ::shutdown(fd_, SHUT_RDWR);
        for (auto& [id, file] : files_) {
            file->Cleanup();
            file->Close();
        }
        Log("client %d gone: %zu file(s) closed", pid_, files_.size());
        files_.clear();
    }

    void StopReading() { ::shutdown(fd_, SHUT_RD); }
    void Disconnect() { ::shutdown(fd_, SHUT_RDWR); }

    bool Send(const std::string& message) noexcept {
        std::lock_guard guard(sendLock_);
        if (proto::SendAll(fd_, message)) return true;
        // A program that does not take its answers in time (or is gone)
        // loses its connection rather than holding up a driver thread.
        ::shutdown(fd_, SHUT_RDWR);
        return false;
    }

    NTSTATUS ReferenceEvent(HANDLE handle, std::shared_ptr<km::io::UserEvent>* event) override {
        try {
            const uint64_t reference = nextReference_.fetch_add(1);
            proto::Writer message(proto::Kind::EventReference, 0);
            message.Put(reference).Put(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle)));
            *event = std::make_shared<RemoteEvent>(weak_from_this(), reference);
            Send(message.Finish());
            return STATUS_SUCCESS;
        } catch (...) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }

private:
    void Answer(uint64_t tag, NTSTATUS status, uint64_t information, std::string_view payload = {}) noexcept {
        try {
            proto::Writer message(proto::Kind::Answer, tag);
            message.Put(static_cast<int32_t>(status)).Put(information).PutBytes(payload.data(), payload.size());
            Send(message.Finish());
        } catch (...) {
            Disconnect();
        }
    }

    // The program's memory, reached as a kernel reaches a user buffer.
    bool CopyOut(uint64_t address, const std::byte* data, size_t size) const {
        errno = ESRCH;
        while (size != 0 && !gone_.load()) {
            iovec local{const_cast<std::byte*>(data), size};
            iovec remote{reinterpret_cast<void*>(address), size};
            const ssize_t done = ::process_vm_writev(pid_, &local, 1, &remote, 1, 0);
            if (done <= 0) return false;
            data += done;
            address += static_cast<uint64_t>(done);
            size -= static_cast<size_t>(done);
        }
        return size == 0;
    }

    bool CopyIn(std::byte* data, uint64_t address, size_t size) const {
        while (size != 0) {
            iovec local{data, size};
            iovec remote{reinterpret_cast<void*>(address), size};
            const ssize_t done = ::process_vm_readv(pid_, &local, 1, &remote, 1, 0);
            if (done <= 0) return false;
            data += done;
            address += static_cast<uint64_t>(done);
            size -= static_cast<size_t>(done);
        }
        return true;
    }

    std::shared_ptr<BackendFile> FileOf(uint64_t id) const {
        auto it = files_.find(id);
        return it == files_.end() ? nullptr : it->second;
    }

    // After a dispatch: a request still running is answered at its end.
    void Dispatched(uint64_t tag, NTSTATUS status) {
        if (status != STATUS_PENDING) return;
        proto::Writer message(proto::Kind::Pending, tag);
        Send(message.Finish());
    }

    // False: the message is not one a program of this system sends.
    bool Dispatch(const proto::Header& header, std::string_view body) {
        proto::Reader reader(body);
        const uint64_t tag = header.tag;
        km::io::RequestorScope caller(this);
        switch (static_cast<proto::Kind>(header.kind)) {
        case proto::Kind::Hello: {
            uint32_t magic = 0;
            uint32_t version = 0;
            if (!reader.Get(&magic) || !reader.Get(&version) || !reader.Complete() || magic != proto::kMagic) {
                return false;
            }
            Answer(tag, version == proto::kVersion ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED,
                   static_cast<uint64_t>(::getpid()));
            return true;
        }
        case proto::Kind::Interfaces: {
            GUID classGuid{};
            if (!reader.Get(&classGuid) || !reader.Complete()) return false;
            std::vector<um::dev::InterfaceInfo> found;
            const NTSTATUS status = Machine().Interfaces(classGuid, &found);
            proto::Writer list(proto::Kind::Answer, tag);
            list.Put(static_cast<int32_t>(status)).Put(uint64_t{0}).Put(static_cast<uint32_t>(found.size()));
            for (const auto& i : found) {
                list.Put(i.classGuid).Put(static_cast<uint8_t>(i.enabled)).PutString(i.symbolicLink).PutString(i.instanceId);
            }
            Send(list.Finish());
            return true;
        }
        case proto::Kind::ChangeProperty: {
            uint32_t stateChange = 0;
            uint32_t scope = 0;
            std::string instanceId;
            if (!reader.Get(&stateChange) || !reader.Get(&scope) || !reader.GetString(&instanceId, 1024) ||
                !reader.Complete()) {
                return false;
            }
            Log("client %d: property change %u on %s", pid_, stateChange, instanceId.c_str());
            Answer(tag, static_cast<NTSTATUS>(Machine().ChangeProperty(instanceId, stateChange, scope)), 0);
            return true;
        }
        case proto::Kind::Open: {
            std::string path;
            if (!reader.GetString(&path, 4096) || !reader.Complete()) return false;
            std::shared_ptr<BackendFile> file;
            const NTSTATUS status = Machine().Open(path, &file);
            uint64_t id = 0;
            if (NT_SUCCESS(status)) {
                id = nextFile_++;
                files_.emplace(id, std::move(file));
            }
            Answer(tag, status, id);
            return true;
        }
        case proto::Kind::Cleanup:
        case proto::Kind::Close:
        case proto::Kind::Cancel: {
            uint64_t id = 0;
            if (!reader.Get(&id) || !reader.Complete()) return false;
            std::shared_ptr<BackendFile> file = FileOf(id);
            if (!file) return true;  // a stale handle: nothing to do, as CloseHandle twice fails harmlessly
            const auto kind = static_cast<proto::Kind>(header.kind);
            if (kind == proto::Kind::Cleanup) file->Cleanup();
            if (kind == proto::Kind::Cancel) file->Cancel();
            if (kind == proto::Kind::Close) {
                file->Close();
                files_.erase(id);
            }
            return true;
        }
        case proto::Kind::Read:
        case proto::Kind::Write: {
            uint64_t id = 0;
            uint64_t address = 0;
            uint32_t length = 0;
            if (!reader.Get(&id) || !reader.Get(&address) || !reader.Get(&length) || !reader.Complete()) return false;
            const bool read = static_cast<proto::Kind>(header.kind) == proto::Kind::Read;
            std::shared_ptr<BackendFile> file = FileOf(id);
            if (!file) {
                Answer(tag, STATUS_INVALID_HANDLE, 0);
                return true;
            }
            if (length > proto::kMaxTransfer) {
                Answer(tag, STATUS_INVALID_PARAMETER, 0);
                return true;
            }
            // The driver's MDL describes this buffer; its bytes go to (come
            // from) the program's own buffer.
            std::shared_ptr<std::byte[]> bounce;
            if (length != 0) {
                bounce.reset(new (std::nothrow) std::byte[length]);
                if (!bounce) {
                    Answer(tag, STATUS_INSUFFICIENT_RESOURCES, 0);
                    return true;
                }
            }
            if (!read && length != 0 && !CopyIn(bounce.get(), address, length)) {
                Answer(tag, STATUS_ACCESS_VIOLATION, 0);
                return true;
            }
            auto self = shared_from_this();
            km::io::Completion done = [self, tag, address, bounce, read](NTSTATUS status, ULONG_PTR information) {
                if (!read || information == 0 || NT_ERROR(status)) return self->Answer(tag, status, information);
                if (self->CopyOut(address, bounce.get(), information)) return self->Answer(tag, status, information);
                // Memory we may not write (a Yama or seccomp policy): the
                // data travels in the answer when it fits.
                if (information + 64 <= proto::kMaxBody && errno == EPERM) {
                    return self->Answer(tag, status, information,
                                        std::string_view(reinterpret_cast<const char*>(bounce.get()), information));
                }
                self->Answer(tag, STATUS_ACCESS_VIOLATION, 0);
            };
            const NTSTATUS status = read ? file->Read(bounce.get(), length, std::move(done))
                                         : file->Write(bounce.get(), length, std::move(done));
            Dispatched(tag, status);
            return true;
        }
        case proto::Kind::DeviceControl: {
            uint64_t id = 0;
            uint32_t code = 0;
            uint32_t outputLength = 0;
            if (!reader.Get(&id) || !reader.Get(&code) || !reader.Get(&outputLength)) return false;
            const std::string_view input = reader.Rest();
            std::shared_ptr<BackendFile> file = FileOf(id);
            if (!file) {
                Answer(tag, STATUS_INVALID_HANDLE, 0);
                return true;
            }
            if (outputLength > proto::kMaxBody / 2) {
                Answer(tag, STATUS_INVALID_PARAMETER, 0);
                return true;
            }
            std::shared_ptr<std::byte[]> output;
            if (outputLength != 0) {
                output.reset(new (std::nothrow) std::byte[outputLength]);
                if (!output) {
                    Answer(tag, STATUS_INSUFFICIENT_RESOURCES, 0);
                    return true;
                }
            }
            auto self = shared_from_this();
            km::io::Completion done = [self, tag, output, outputLength](NTSTATUS status, ULONG_PTR information) {
                const size_t size = NT_ERROR(status) ? 0 : std::min<size_t>(information, outputLength);
                self->Answer(tag, status, information,
                             std::string_view(reinterpret_cast<const char*>(output.get()), size));
            };
            const NTSTATUS status =
                file->DeviceControl(code, input.empty() ? nullptr : input.data(), static_cast<ULONG>(input.size()),
                                    output.get(), outputLength, std::move(done));
            Dispatched(tag, status);
            return true;
        }
        default:
            return false;
        }
    }

    const int fd_;
    const pid_t pid_;
    std::mutex sendLock_;
    std::map<uint64_t, std::shared_ptr<BackendFile>> files_;  // the reader thread's
    uint64_t nextFile_ = 1;                                   // the reader thread's
    std::atomic<uint64_t> nextReference_{1};
    std::atomic<bool> gone_{false};
};

RemoteEvent::~RemoteEvent() {
    if (auto client = client_.lock()) {
        proto::Writer message(proto::Kind::EventRelease, 0);
        message.Put(reference_);
        client->Send(message.Finish());
    }
}

void RemoteEvent::Signal(uint8_t set) noexcept {
    if (auto client = client_.lock()) {
        try {
            proto::Writer message(proto::Kind::EventSignal, 0);
            message.Put(reference_).Put(set);
            client->Send(message.Finish());
        } catch (...) {
        }
    }
}

struct Served {
    std::shared_ptr<Client> client;
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> finished;
};

// Whether a host already answers at `path`.
bool Answers(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const bool answers = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return answers;
}

int Listen(const std::string& path) {
    sockaddr_un address{};
    if (path.size() >= sizeof(address.sun_path)) {
        Log("socket path too long: %s", path.c_str());
        return -1;
    }
    std::string why;
    if (!proto::PrivateFolder(path, true, &why)) {
        Log("not serving on %s: %s", path.c_str(), why.c_str());
        return -1;
    }
    if (Answers(path)) {
        Log("another host serves %s already", path.c_str());
        return -1;
    }
    ::unlink(path.c_str());  // a socket left by a host that died
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 64) != 0) {
        Log("cannot listen on %s: %s", path.c_str(), std::strerror(errno));
        if (fd >= 0) ::close(fd);
        return -1;
    }
    return fd;
}

void Accept(int listener, std::list<Served>& served, const std::atomic<bool>& stopping) {
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != ::geteuid()) {
        Log("refused process %d of uid %u: only uid %u is served", static_cast<int>(peer.pid), peer.uid, ::geteuid());
        ::close(fd);
        return;
    }
    // A program that stops taking its answers is cut off after this.
    timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    try {
        auto client = std::make_shared<Client>(fd, peer.pid);
        auto finished = std::make_shared<std::atomic<bool>>(false);
        std::thread thread([client, finished, &stopping] {
            pthread_setname_np(pthread_self(), "HostClient");
            client->Serve(stopping);
            finished->store(true);
        });
        served.push_back({std::move(client), std::move(thread), std::move(finished)});
        Log("client %d connected", static_cast<int>(peer.pid));
    } catch (...) {
        ::close(fd);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        std::fprintf(stderr,
                     "usage: %s\n"
                     "Boots the machine (FL_MACHINE, FL_REGISTRY) and serves it to every program on the\n"
                     "socket FL_HOST (default $XDG_RUNTIME_DIR/ferrolan/host.sock, else\n"
                     "/tmp/ferrolan-<uid>/host.sock) until SIGTERM or SIGINT.\n",
                     argv[0]);
        return 2;
    }
    const std::string path = proto::SocketPath();
    if (path.empty()) {
        Log("FL_HOST=embedded: there is no socket to serve on");
        return 2;
    }
    if (::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    NTSTATUS booted = STATUS_SUCCESS;
    um::dev::EmbeddedBackend(&booted);
    if (!NT_SUCCESS(booted)) {
        Log("machine not booted: %s", machine::BootError().c_str());
        return 1;
    }
    const int listener = Listen(path);
    if (listener < 0) return 1;
    Log("serving the machine on %s", path.c_str());

    std::atomic<bool> stopping{false};
    std::list<Served> served;
    for (;;) {
        pollfd watched[2] = {{listener, POLLIN, 0}, {wakePipe[0], POLLIN, 0}};
        const int ready = ::poll(watched, 2, 1000);
        if (ready < 0 && errno != EINTR) break;
        if (watched[1].revents != 0) break;
        if (watched[0].revents & POLLIN) Accept(listener, served, stopping);
        for (auto it = served.begin(); it != served.end();) {
            if (it->finished->load()) {
                it->thread.join();
                it = served.erase(it);
            } else {
                ++it;
            }
        }
    }

    // Stop: no new programs and no new requests, then the machine goes as at
    // an embedded program's exit (devices removed: every pending request
    // completes with STATUS_DEVICE_REMOVED and that answer still reaches its
    // program), then the programs are cut off: their later requests fail
    // with the same status.
    Log("stopping");
    ::close(listener);
    ::unlink(path.c_str());
    stopping.store(true);
    for (auto& s : served) s.client->StopReading();
    for (auto& s : served) s.thread.join();
    machine::ShutdownMachine();
    for (auto& s : served) s.client->Disconnect();
    served.clear();
    Log("machine shut down");
    return 0;
}
