// A dump tool run as a child process, the way a user runs it: its standard
// input is a pipe the test can type into or close, its standard output and
// error go to files, and it can be sent Ctrl-C (SIGINT). Any of the three can
// be closed instead, as a shell's `<&- >&- 2>&-` does. The environment is
// the test's own, so a machine chosen with FlUseTestMachine is the child's.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace dump_test {

using namespace std::chrono_literals;

class DumpChild {
public:
    DumpChild(const std::string& program, const std::vector<std::string>& args, const std::filesystem::path& dir,
              const std::string& name, const std::vector<int>& closedHandles = {})
        : out_(dir / (name + ".out")), err_(dir / (name + ".err")) {
        // A key typed after the child has ended must fail the test, not end it.
        ::signal(SIGPIPE, SIG_IGN);
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe";
            return;
        }
        input_ = fds[1];
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[0], STDIN_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        for (int fd : closedHandles) posix_spawn_file_actions_addclose(&actions, fd);
        std::vector<std::string> argv{program};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> raw;
        for (auto& a : argv) raw.push_back(a.data());
        raw.push_back(nullptr);
        const int result = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, raw.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[0]);
        if (result != 0) {
            ADD_FAILURE() << "cannot start " << program << ": " << result;
            pid_ = -1;
        }
    }

    ~DumpChild() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
        CloseInput();
    }

    DumpChild(const DumpChild&) = delete;
    DumpChild& operator=(const DumpChild&) = delete;

    std::string Output() const { return Read(out_); }
    std::string Errors() const { return Read(err_); }

    // Waits until the output holds `text`; false if the child ended first or
    // the time ran out.
    bool WaitForOutput(const std::string& text, std::chrono::seconds timeout = 60s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (Output().find(text) != std::string::npos) return true;
            if (HasExited()) return Output().find(text) != std::string::npos;
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

    // Whether the child has ended, without waiting.
    bool Running() { return !HasExited(); }
    pid_t Pid() const { return pid_; }

    void Interrupt() const { ::kill(pid_, SIGINT); }
    void Terminate() const { ::kill(pid_, SIGTERM); }
    void PressKey() const { Type("q"); }
    void Type(const std::string& text) const {
        [[maybe_unused]] ssize_t n = ::write(input_, text.data(), text.size());
    }
    void CloseInput() {
        if (input_ >= 0) ::close(input_);
        input_ = -1;
    }

    // The exit status as a shell sees it (0..255), or -1 if the child did
    // not exit by itself in time (it is then killed) or died of a signal.
    int Wait(std::chrono::seconds timeout = 120s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!HasExited()) {
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "the child did not end in time; output:\n" << Output();
                ::kill(pid_, SIGKILL);
                int status = 0;
                ::waitpid(pid_, &status, 0);
                exited_ = true;
                return -1;
            }
            std::this_thread::sleep_for(20ms);
        }
        if (WIFSIGNALED(status_)) {
            ADD_FAILURE() << "the child died of signal " << WTERMSIG(status_);
            return -1;
        }
        return WEXITSTATUS(status_);
    }

private:
    bool HasExited() {
        if (exited_ || pid_ <= 0) return true;
        if (::waitpid(pid_, &status_, WNOHANG) == pid_) exited_ = true;
        return exited_;
    }

    static std::string Read(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    std::filesystem::path out_;
    std::filesystem::path err_;
    pid_t pid_ = -1;
    int input_ = -1;
    int status_ = 0;
    bool exited_ = false;
};

// The ports a dump tool lists when it is given no port and no answer:
// name and description of each, in list order.
struct ListedPort {
    std::string Name;
    std::string Description;
};

inline std::vector<ListedPort> ListedPorts(const std::string& output) {
    std::vector<ListedPort> ports;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        const std::string prefix = std::to_string(ports.size()) + ". ";
        if (line.rfind(prefix, 0) != 0 || line.back() != ')') continue;
        const size_t open = line.find(" (", prefix.size());
        if (open == std::string::npos) continue;
        ports.push_back({line.substr(prefix.size(), open - prefix.size()),
                         line.substr(open + 2, line.size() - open - 3)});
    }
    return ports;
}

// The number in front of `text` on its line ("123 packets received ...").
inline long long CountBefore(const std::string& output, const std::string& text) {
    const size_t at = output.find(text);
    if (at == std::string::npos) return -1;
    size_t start = output.rfind('\n', at);
    start = start == std::string::npos ? 0 : start + 1;
    return std::stoll(output.substr(start, at - start));
}

// What a command prints on its standard output.
inline std::string CommandOutput(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return output;
    char chunk[4096];
    size_t n = 0;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, n);
    ::pclose(pipe);
    return output;
}

// A sanitizer's report in a child's standard error.
inline bool SanitizerReported(const std::string& errors) {
    return errors.find("Sanitizer") != std::string::npos || errors.find("runtime error:") != std::string::npos;
}

}  // namespace dump_test
