// What a program and the host process say to each other over the host's
// Unix socket: the I/O manager's boundary (km/io.hpp) and SetupAPI's
// enumeration and class installer, carried as a reflector carries them.
//
// A message is a header (body length, kind, tag) and a body of plain fields
// in this machine's byte order (both ends run on one machine). Requests
// that want an answer carry a tag of the program's choice; the host answers
// each exactly once with Answer and that tag: the status, the information
// count and, for device controls, the output bytes. A read's data does not
// travel here: the host writes it into the program's buffer directly
// (process_vm_writev, as a kernel copies into a user buffer) before it
// sends the answer, and reads a write's data the same way.
//
// Header only: the program's side (fl_um) and the host's (flhost) share it.
#pragma once

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace host::protocol {

constexpr uint32_t kMagic = 0x464C4853;  // "FLHS"
constexpr uint32_t kVersion = 1;
// The largest body a message may have: device-control buffers are small,
// packet data never travels in a message.
constexpr uint32_t kMaxBody = 1u << 20;
// The largest read or write the host bounces through its own memory.
constexpr uint32_t kMaxTransfer = 64u << 20;

enum class Kind : uint16_t {
    // program -> host
    Hello = 1,           // u32 magic, u32 version                 -> Answer(information = host pid)
    Interfaces = 2,      // GUID (16 bytes)                        -> Answer(payload: list)
    ChangeProperty = 3,  // u32 state change, u32 scope, str id    -> Answer(status = Win32 error)
    Open = 4,            // str path                               -> Answer(information = file id)
    Cleanup = 5,         // u64 file
    Close = 6,           // u64 file
    Cancel = 7,          // u64 file
    Read = 8,            // u64 file, u64 address, u32 length      -> [Pending] Answer
    Write = 9,           // u64 file, u64 address, u32 length      -> [Pending] Answer
    DeviceControl = 10,  // u64 file, u32 code, u32 output length, input bytes -> [Pending] Answer(payload: output)
    // host -> program
    Answer = 64,          // i32 status, u64 information, payload
    Pending = 65,         // the request's dispatch returned STATUS_PENDING
    EventReference = 66,  // u64 reference, u64 handle: the driver referenced the program's event
    EventSignal = 67,     // u64 reference, u8 set (1) or reset (0)
    EventRelease = 68,    // u64 reference
};

struct Header {
    uint32_t length;  // of the body
    uint16_t kind;
    uint16_t reserved;
    uint64_t tag;
};
static_assert(sizeof(Header) == 16);

// Builds one message.
class Writer {
public:
    Writer(Kind kind, uint64_t tag) : bytes_(sizeof(Header), '\0') {
        Header header{0, static_cast<uint16_t>(kind), 0, tag};
        std::memcpy(bytes_.data(), &header, sizeof header);
    }
    template <class T>
    Writer& Put(const T& value) {
        bytes_.append(reinterpret_cast<const char*>(&value), sizeof value);
        return *this;
    }
    Writer& PutBytes(const void* data, size_t size) {
        if (size != 0) bytes_.append(static_cast<const char*>(data), size);
        return *this;
    }
    Writer& PutString(std::string_view text) {
        Put(static_cast<uint32_t>(text.size()));
        return PutBytes(text.data(), text.size());
    }
    // The message with its length filled in.
    const std::string& Finish() {
        const auto length = static_cast<uint32_t>(bytes_.size() - sizeof(Header));
        std::memcpy(bytes_.data(), &length, sizeof length);
        return bytes_;
    }

private:
    std::string bytes_;
};

// Reads the fields of one body; every Get fails (and stays failed) when the
// body is too short, so a truncated message is caught by checking once.
class Reader {
public:
    explicit Reader(std::string_view body) : rest_(body) {}
    template <class T>
    bool Get(T* value) {
        if (!ok_ || rest_.size() < sizeof(T)) return ok_ = false;
        std::memcpy(value, rest_.data(), sizeof(T));
        rest_.remove_prefix(sizeof(T));
        return true;
    }
    bool GetString(std::string* text, size_t maximum) {
        uint32_t size = 0;
        if (!Get(&size) || size > maximum || rest_.size() < size) return ok_ = false;
        text->assign(rest_.data(), size);
        rest_.remove_prefix(size);
        return true;
    }
    std::string_view Rest() {
        std::string_view rest = rest_;
        rest_ = {};
        return rest;
    }
    // Every field was there and nothing follows them.
    bool Complete() const { return ok_ && rest_.empty(); }
    bool Ok() const { return ok_; }

private:
    std::string_view rest_;
    bool ok_ = true;
};

// Sends a whole message; false when the peer is gone.
inline bool SendAll(int fd, std::string_view message) {
    while (!message.empty()) {
        const ssize_t sent = ::send(fd, message.data(), message.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        message.remove_prefix(static_cast<size_t>(sent));
    }
    return true;
}

inline bool ReceiveAll(int fd, char* data, size_t size) {
    while (size != 0) {
        const ssize_t got = ::recv(fd, data, size, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        data += got;
        size -= static_cast<size_t>(got);
    }
    return true;
}

// Receives one message; false when the peer is gone or sent a body longer
// than kMaxBody.
inline bool Receive(int fd, Header* header, std::string* body) {
    if (!ReceiveAll(fd, reinterpret_cast<char*>(header), sizeof *header)) return false;
    if (header->length > kMaxBody) return false;
    body->resize(header->length);
    return ReceiveAll(fd, body->data(), body->size());
}

// The socket programs and the host meet at: FL_HOST; else
// $XDG_RUNTIME_DIR/ferrolan/host.sock; else /tmp/ferrolan-<uid>/host.sock.
// Empty when FL_HOST is "embedded": the program boots its own machine.
inline std::string SocketPath() {
    if (const char* named = std::getenv("FL_HOST"); named != nullptr && *named != '\0') {
        if (std::string_view(named) == "embedded") return {};
        return named;
    }
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime == '/') {
        return std::string(runtime) + "/ferrolan/host.sock";
    }
    return "/tmp/ferrolan-" + std::to_string(::geteuid()) + "/host.sock";
}

inline std::string FolderOf(const std::string& socket) {
    const size_t slash = socket.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : socket.substr(0, slash);
}

// Whether the socket's folder is this user's alone: a real folder (not a
// link), owned by us, closed to group and others. Anyone who can enter a
// folder can replace a socket in it with one of their own. With `create`, a
// missing folder is made (0700) first. `why` says what is wrong.
inline bool PrivateFolder(const std::string& socket, bool create, std::string* why) {
    const std::string folder = FolderOf(socket);
    if (create && ::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        *why = "cannot create " + folder + ": " + std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0) {
        *why = folder + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(info.st_mode)) {
        *why = folder + " is not a folder";
        return false;
    }
    if (info.st_uid != ::geteuid()) {
        *why = folder + " belongs to another user";
        return false;
    }
    if ((info.st_mode & 077) != 0) {
        *why = folder + " is open to other users (chmod 700 it)";
        return false;
    }
    return true;
}

}  // namespace host::protocol
