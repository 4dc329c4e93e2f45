// Console control handlers over Linux signals.
//
// The signal handler does the least it may: it writes the signal number to a
// pipe. A dispatcher thread reads the pipe and calls the handlers, so that a
// handler may do anything a thread may do, as on Windows, where the system
// injects a thread into the process for every console event.
#include <windows.h>

#include "keyboard.h"
#include "um_status.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr int kSignals[] = {SIGINT, SIGHUP, SIGTERM};

struct ControlState {
    std::mutex lock;
    std::vector<PHANDLER_ROUTINE> handlers;  // in the order added; guarded by lock
    bool ignoreCtrlC = false;                // guarded by lock
    bool started = false;                    // guarded by lock
};

// Never destroyed: the dispatcher may still run while the process exits.
ControlState& State() {
    static ControlState* state = new ControlState;
    return *state;
}

// The pipe's write end, for the signal handler. Written once before the
// first handler is installed; an atomic so that the handler's read is a plain
// lock-free load.
std::atomic<int> signalPipe{-1};

extern "C" void OnSignal(int signo) {
    const int saved = errno;
    const unsigned char number = static_cast<unsigned char>(signo);
    const int fd = signalPipe.load(std::memory_order_relaxed);
    // A full pipe means events are already waiting; losing this one is what
    // Windows does with a flood of Ctrl-C as well.
    [[maybe_unused]] ssize_t written = ::write(fd, &number, 1);
    errno = saved;
}

DWORD EventOf(int signo) { return signo == SIGINT ? CTRL_C_EVENT : CTRL_CLOSE_EVENT; }

// Nobody took the event: the signal's own default action ends the process,
// with the terminal given back first.
[[noreturn]] void DefaultAction(int signo) {
    um::console::RestoreKeyboard();
    ::signal(signo, SIG_DFL);
    ::raise(signo);
    ::_exit(128 + signo);  // not reached
}

void Dispatch(int signo) {
    const DWORD event = EventOf(signo);
    std::vector<PHANDLER_ROUTINE> handlers;
    {
        std::lock_guard guard(State().lock);
        if (event == CTRL_C_EVENT && State().ignoreCtrlC) return;
        handlers = State().handlers;  // a handler may add or remove handlers
    }
    for (auto it = handlers.rbegin(); it != handlers.rend(); ++it) {
        if ((*it)(event)) return;
    }
    DefaultAction(signo);
}

void DispatcherLoop(int readEnd) {
    for (;;) {
        unsigned char number = 0;
        const ssize_t got = ::read(readEnd, &number, 1);
        if (got == 1) {
            Dispatch(number);
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else {
            return;  // the pipe cannot fail while the process lives
        }
    }
}

// Once per process, with the state locked: the pipe, the thread, then the
// signal handlers.
bool StartLocked() {
    if (State().started) return true;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    try {
        std::thread([fd = fds[0]] {
            pthread_setname_np(pthread_self(), "Console");
            DispatcherLoop(fd);
        }).detach();
    } catch (...) {
        ::close(fds[0]);
        ::close(fds[1]);
        return false;
    }
    signalPipe.store(fds[1], std::memory_order_relaxed);
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    // Restart interrupted calls: on Windows a console event never disturbs
    // the main thread's blocking reads.
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signo : kSignals) ::sigaction(signo, &action, nullptr);
    State().started = true;
    return true;
}

}  // namespace

extern "C" BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add) {
    std::lock_guard guard(State().lock);
    if (!StartLocked()) return um::FailWithError(ERROR_NOT_ENOUGH_MEMORY);
    auto& handlers = State().handlers;
    if (HandlerRoutine == nullptr) {
        State().ignoreCtrlC = Add != FALSE;
        return TRUE;
    }
    if (Add) {
        try {
            handlers.push_back(HandlerRoutine);
        } catch (...) {
            return um::FailWithError(ERROR_NOT_ENOUGH_MEMORY);
        }
        return TRUE;
    }
    const auto found = std::find(handlers.rbegin(), handlers.rend(), HandlerRoutine);
    if (found == handlers.rend()) return um::FailWithError(ERROR_INVALID_PARAMETER);
    handlers.erase(std::next(found).base());
    return TRUE;
}
