// One machine for every program: flhost serving the default machine (one
// board, both ports fed by traffic generators) to FlDump_ng programs, each a
// child process found through FL_HOST, as a user runs them.
#include "dump_child.h"
#include "read_capture.h"

#include <fl_test_machine.h>
#include <host/protocol.hpp>

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace dump_test;
namespace proto = host::protocol;

using Frame = CapturedFrame;

// Each port's reader starts and stops at its own moment, so the frames
// are compared port by port (a generator's stream id, in every frame it
// makes, tells the port) over the span both captures of the port cover.
using Streams = std::map<std::string, std::vector<Frame>>;

Streams ByStream(const std::vector<Frame>& frames) {
    Streams streams;
    for (const Frame& f : frames) streams[f.Bytes.size() >= 22 ? f.Bytes.substr(18, 4) : std::string()].push_back(f);
    return streams;
}

std::vector<Frame> Between(const std::vector<Frame>& frames, uint64_t first, uint64_t last) {
    std::vector<Frame> kept;
    for (const Frame& f : frames) {
        if (f.Nanoseconds >= first && f.Nanoseconds <= last) kept.push_back(f);
    }
    return kept;
}

class HostEndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = FlUseTestMachine("host_e2e", "");
        // The socket's folder is ours alone, or neither side uses it.
        const auto run = dir_ / "run";
        std::filesystem::create_directories(run);
        ::chmod(run.c_str(), 0700);
        socket_ = (run / "host.sock").string();
        ::setenv("FL_HOST", socket_.c_str(), 1);
    }

    // flhost, started and serving.
    std::unique_ptr<DumpChild> StartHost(const std::string& name) {
        auto host = std::make_unique<DumpChild>(FLHOST_PROGRAM, std::vector<std::string>{}, dir_, name);
        EXPECT_TRUE(WaitForErrors(*host, "flhost: serving the machine on " + socket_)) << host->Errors();
        return host;
    }

    static bool WaitForErrors(DumpChild& child, const std::string& text, std::chrono::seconds timeout = 60s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (child.Errors().find(text) != std::string::npos) return true;
            if (!child.Running()) return child.Errors().find(text) != std::string::npos;
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

    // SIGTERM: the host stops as an embedded machine does at exit.
    static void StopHost(DumpChild& host) {
        host.Terminate();
        EXPECT_EQ(host.Wait(60s), 0);
        EXPECT_NE(host.Errors().find("flhost: machine shut down"), std::string::npos) << host.Errors();
        EXPECT_FALSE(SanitizerReported(host.Errors())) << host.Errors();
    }

    // A port as the host lists it: 0 and 1 the board's physical ports, 2
    // its aggregating port.
    static std::string ListedPort(const std::string& name, size_t index = 2) {
        DumpChild child(FLDUMP_NG_PROGRAM, {(dir_ / "never.pcapng").string()}, dir_, name);
        child.CloseInput();
        EXPECT_EQ(child.Wait(), 255);
        const auto ports = ListedPorts(child.Output());
        EXPECT_EQ(ports.size(), 3u) << child.Output();
        return ports.size() == 3 ? ports[index].Name : std::string();
    }
    static std::string BoardPort(const std::string& name) { return ListedPort(name); }

    // The host has closed the files of a killed client (the listing
    // programs before it closed none).
    // Until the host has closed the files of `programs` programs that went.
    static bool WaitForClosedFiles(DumpChild& host, int programs = 1, std::chrono::seconds timeout = 30s) {
        const auto closed = [](const std::string& log) {
            int count = 0;
            for (size_t at = log.find(" gone: "); at != std::string::npos; at = log.find(" gone: ", at + 1)) {
                if (log.compare(at + 7, 2, "0 ") != 0) ++count;
            }
            return count;
        };
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (closed(host.Errors()) < programs && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(50ms);
        }
        return closed(host.Errors()) >= programs;
    }

    // Entries of /proc/<pid>/<what>: "fd" the open descriptors, "task" the threads.
    static size_t Entries(pid_t pid, const char* what) {
        const auto dir = std::filesystem::path("/proc") / std::to_string(pid) / what;
        std::error_code error;
        return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir, error), {}));
    }

    // A capture of the port until a key, checked and read back.
    static std::unique_ptr<DumpChild> StartCapture(const std::string& port, const std::string& name) {
        auto child = std::make_unique<DumpChild>(
            FLDUMP_NG_PROGRAM, std::vector<std::string>{(dir_ / (name + ".pcapng")).string(), "-p", port}, dir_, name);
        EXPECT_TRUE(child->WaitForOutput("Press a key (or CTRL-C) to stop the capture.\n")) << child->Output();
        return child;
    }

    static long long EndCapture(DumpChild& child) {
        child.PressKey();
        EXPECT_EQ(child.Wait(), 0) << child.Output();
        EXPECT_FALSE(SanitizerReported(child.Errors())) << child.Errors();
        return CountBefore(child.Output(), " packets accepted by the filter and dumped to disk\n");
    }

    static std::filesystem::path dir_;
    static std::string socket_;
};

std::filesystem::path HostEndToEnd::dir_;
std::string HostEndToEnd::socket_;

// One driver, one slot ring: two programs capturing the board at once get
// the same frames with the same stamps, over the span both were running.
TEST_F(HostEndToEnd, TwoCapturesOfTheBoardHoldTheSameFrames) {
    auto host = StartHost("two-host");
    const std::string port = BoardPort("two-list");
    ASSERT_FALSE(port.empty());
    auto first = StartCapture(port, "first");
    auto second = StartCapture(port, "second");
    std::this_thread::sleep_for(3s);
    EXPECT_GT(EndCapture(*second), 0);
    EXPECT_GT(EndCapture(*first), 0);

    const Streams a = ByStream(ReadCapture(dir_ / "first.pcapng"));
    const Streams b = ByStream(ReadCapture(dir_ / "second.pcapng"));
    EXPECT_EQ(a.size(), 2u) << "one stream per port of the board";
    ASSERT_EQ(a.size(), b.size());
    for (const auto& [stream, first] : a) {
        ASSERT_EQ(b.count(stream), 1u);
        const auto& second = b.at(stream);
        const uint64_t from = std::max(first.front().Nanoseconds, second.front().Nanoseconds);
        const uint64_t to = std::min(first.back().Nanoseconds, second.back().Nanoseconds);
        ASSERT_LT(from, to) << "the two captures did not overlap";
        const auto mine = Between(first, from, to);
        const auto theirs = Between(second, from, to);
        EXPECT_GT(mine.size(), 10u);
        size_t same = 0;
        while (same < mine.size() && same < theirs.size() && mine[same] == theirs[same]) ++same;
        EXPECT_TRUE(mine == theirs) << mine.size() << " frames in the first, " << theirs.size()
                                    << " in the second, the same up to " << same;
    }
    StopHost(*host);
}

// Programs killed while they read: the host closes their files as Windows
// does at process exit, keeps serving, and the next program opens the port.
// Nothing of theirs stays behind: after the first (which finds the host
// cold), the host's descriptors and threads are back where they were once
// each killed program has been cleaned up.
TEST_F(HostEndToEnd, KilledProgramsAreCleanedUpAndTheNextOneCaptures) {
    auto host = StartHost("killed-host");
    const std::string port = BoardPort("killed-list");
    ASSERT_FALSE(port.empty());
    constexpr int kVictims = 20;
    size_t fds = 0;
    size_t threads = 0;
    for (int i = 0; i < kVictims; ++i) {
        {
            auto victim = StartCapture(port, "victim-" + std::to_string(i));
            std::this_thread::sleep_for(200ms);
        }  // SIGKILL
        ASSERT_TRUE(WaitForClosedFiles(*host, i + 1)) << host->Errors();
        if (i == 0) {
            fds = Entries(host->Pid(), "fd");
            threads = Entries(host->Pid(), "task");
            ASSERT_GT(fds, 0u);
            ASSERT_GT(threads, 0u);
        }
    }
    // A client's thread ends just after it logged the cleanup.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (Entries(host->Pid(), "task") != threads && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(Entries(host->Pid(), "fd"), fds);
    EXPECT_EQ(Entries(host->Pid(), "task"), threads);
    auto next = StartCapture(port, "next");
    std::this_thread::sleep_for(1s);
    EXPECT_GT(EndCapture(*next), 0);
    EXPECT_TRUE(host->Running());
    StopHost(*host);
}

// A port's reader table is the driver's, shared by every program: fifteen
// programs hold its fifteen instance entries, a sixteenth is refused, and
// the entry of one killed is free again for the next program.
TEST_F(HostEndToEnd, FifteenProgramsReadOnePortAndASixteenthIsRefused) {
    auto host = StartHost("fifteen-host");
    const std::string port = ListedPort("fifteen-list", 0);
    ASSERT_FALSE(port.empty());
    std::vector<std::unique_ptr<DumpChild>> readers;
    for (int i = 0; i < 15; ++i) readers.push_back(StartCapture(port, "reader" + std::to_string(i)));
    {
        DumpChild refused(FLDUMP_NG_PROGRAM, {(dir_ / "refused.pcapng").string(), "-p", port}, dir_, "refused");
        refused.CloseInput();
        EXPECT_EQ(refused.Wait(60s), 255) << refused.Output();
        // No free reader entry: the failed control request of an instance.
        EXPECT_NE(refused.Output().find("Cannot enable reception, The request is invalid. (20000004)"), std::string::npos)
            << refused.Output();
    }
    readers[7].reset();  // SIGKILL
    EXPECT_TRUE(WaitForClosedFiles(*host)) << host->Errors();
    readers[7] = StartCapture(port, "reader7-next");
    std::this_thread::sleep_for(1s);
    for (auto& reader : readers) EXPECT_GT(EndCapture(*reader), 0);
    EXPECT_TRUE(host->Running());
    StopHost(*host);
}

// One program switches the board to passthru while another captures from
// it: the switch restarts the board's devices, so the capture's receive
// fails and it ends with its message; a third program then reads the
// setting the first one wrote.
TEST_F(HostEndToEnd, PassthruSwitchedByOneProgramEndsAnotherOnesCapture) {
    auto host = StartHost("passthru-host");
    const auto passthru = [&](const std::vector<std::string>& args, const std::string& name) {
        DumpChild child(PASSTHRU_SWITCH_PROGRAM, args, dir_, name);
        child.CloseInput();
        EXPECT_EQ(child.Wait(60s), 0) << child.Output() << child.Errors();
        EXPECT_FALSE(SanitizerReported(child.Errors())) << child.Errors();
        return child.Output();
    };
    // Passthru needs one speed, the same on both ports.
    EXPECT_EQ(passthru({"modes", "0x10"}, "passthru-speed"), "passthru 0\n");
    const std::string port = BoardPort("passthru-list");
    ASSERT_FALSE(port.empty());
    auto capture = StartCapture(port, "restarted");
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(passthru({"on"}, "passthru-on"), "passthru 1\n");
    EXPECT_NE(capture->Wait(30s), -1);
    EXPECT_NE(capture->Output().find("Error receiving packets"), std::string::npos) << capture->Output();
    EXPECT_FALSE(SanitizerReported(capture->Errors())) << capture->Errors();
    EXPECT_EQ(passthru({"query"}, "passthru-seen"), "passthru 1\n");
    // The hive is the suite's: the next test's host starts as the others did.
    EXPECT_EQ(passthru({"off"}, "passthru-off"), "passthru 0\n");
    EXPECT_EQ(passthru({"modes", "0x1f"}, "passthru-speeds"), "passthru 0\n");
    EXPECT_TRUE(host->Running());
    StopHost(*host);
}

// The host gone while a program captures: the program's receive fails as
// on a removed device, it says so and ends; nothing waits for ever.
TEST_F(HostEndToEnd, TheHostKilledEndsTheCaptureWithItsMessage) {
    std::string port;
    std::unique_ptr<DumpChild> capture;
    {
        auto host = StartHost("dying-host");
        port = BoardPort("dying-list");
        ASSERT_FALSE(port.empty());
        capture = StartCapture(port, "orphan");
        std::this_thread::sleep_for(1s);
    }  // SIGKILL
    EXPECT_NE(capture->Wait(30s), -1);
    EXPECT_NE(capture->Output().find("Error receiving packets"), std::string::npos) << capture->Output();
    EXPECT_FALSE(SanitizerReported(capture->Errors())) << capture->Errors();
}

// A process of another uid reaches the socket (its folder opened up for
// the test) and is refused by the host's credential check.
TEST_F(HostEndToEnd, AnotherUserIsRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a process as another uid";
    auto host = StartHost("uid-host");
    const auto run = std::filesystem::path(socket_).parent_path();
    ::chmod(run.c_str(), 0711);
    ::chmod(socket_.c_str(), 0777);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) ::_exit(3);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socket_.c_str(), sizeof address.sun_path - 1);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) ::_exit(2);
        proto::Writer hello(proto::Kind::Hello, 1);
        hello.Put(proto::kMagic).Put(proto::kVersion);
        proto::SendAll(fd, hello.Finish());
        proto::Header header{};
        std::string body;
        ::_exit(proto::Receive(fd, &header, &body) ? 1 : 0);  // refused: the host hung up
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ::chmod(run.c_str(), 0700);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "2: could not connect, 1: the host answered, 3: no uid change";
    EXPECT_TRUE(WaitForErrors(*host, "refused process " + std::to_string(child) + " of uid 65534")) << host->Errors();
    StopHost(*host);
}

// Garbage on many connections (random kinds and bodies, truncated headers
// and bodies, lengths beyond the limit, unknown handles, hostile buffer
// addresses) while a program captures: each bad connection ends alone.
TEST_F(HostEndToEnd, MalformedMessagesEndOnlyTheirOwnConnection) {
    auto host = StartHost("fuzz-host");
    const std::string port = BoardPort("fuzz-list");
    ASSERT_FALSE(port.empty());
    auto capture = StartCapture(port, "steady");

    std::mt19937_64 random(20261208);
    const auto connect = [&] {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socket_.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        return fd;
    };
    const auto bytes = [&](size_t size) {
        std::string text(size, '\0');
        for (char& c : text) c = static_cast<char>(random());
        return text;
    };
    for (int round = 0; round < 200; ++round) {
        const int fd = connect();
        const int messages = 1 + static_cast<int>(random() % 8);
        for (int m = 0; m < messages; ++m) {
            const auto kind = static_cast<proto::Kind>(random() % 12);
            proto::Writer message(kind, random());
            switch (random() % 6) {
            case 0: {  // random body
                const std::string body = bytes(random() % 64);
                message.PutBytes(body.data(), body.size());
                break;
            }
            case 1:  // a plausible request on a handle that was never opened
                message.Put(uint64_t{random() % 4}).Put(uint64_t{random()}).Put(static_cast<uint32_t>(random()));
                break;
            case 2:  // an open of the board, then a transfer with a hostile address
                message = proto::Writer(proto::Kind::Open, 7);
                message.PutString(port);
                proto::SendAll(fd, message.Finish());
                message = proto::Writer(random() % 2 ? proto::Kind::Read : proto::Kind::Write, 8);
                message.Put(uint64_t{1}).Put(uint64_t{random()}).Put(static_cast<uint32_t>(random() % 100000));
                break;
            case 3: {  // a length beyond the limit
                proto::Header header{proto::kMaxBody + 1 + static_cast<uint32_t>(random() % 1000),
                                     static_cast<uint16_t>(kind), 0, 0};
                proto::SendAll(fd, std::string_view(reinterpret_cast<const char*>(&header), sizeof header));
                continue;
            }
            case 4: {  // a truncated header or body, then the connection ends
                const std::string& whole = message.Put(uint64_t{1}).Finish();
                proto::SendAll(fd, std::string_view(whole).substr(0, random() % whole.size()));
                m = messages;
                continue;
            }
            default:  // a greeting, well formed or not
                message = proto::Writer(proto::Kind::Hello, 1);
                message.Put(random() % 2 ? proto::kMagic : static_cast<uint32_t>(random())).Put(proto::kVersion);
                break;
            }
            proto::SendAll(fd, message.Finish());
        }
        ::close(fd);
    }
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(host->Running());
    EXPECT_GT(EndCapture(*capture), 0);
    // And a program that comes now is served as before.
    EXPECT_EQ(BoardPort("fuzz-after"), port);
    StopHost(*host);
}

}  // namespace
