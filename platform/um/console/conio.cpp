// The C runtime's keyboard functions on standard input.
//
// A Windows console hands a program each key as it is pressed and echoes
// nothing until the program reads. A terminal does that only outside
// canonical mode and with echo off, so the first keyboard call switches it,
// and the process gives it back at exit (or before a console event ends it).
#include <conio.h>

#include "keyboard.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

struct KeyboardState {
    std::mutex lock;
    int terminal = -1;  // guarded by lock: our own descriptor of the switched terminal
    termios saved = {};  // its own mode
    bool atexitRegistered = false;
};

// Never destroyed: the restore runs from atexit and from the control thread.
KeyboardState& Keyboard() {
    static KeyboardState* state = new KeyboardState;
    return *state;
}

// Whether the terminal is switched: once it is, a keyboard call asks nothing
// more of it. The capture loops look for a key between every two buffers.
std::atomic<bool> switched{false};

void RestoreAtExit() { um::console::RestoreKeyboard(); }

void PrepareKeyboard() {
    if (switched.load(std::memory_order_relaxed)) return;
    if (!::isatty(STDIN_FILENO)) return;
    auto& state = Keyboard();
    std::lock_guard guard(state.lock);
    if (state.terminal >= 0) return;
    termios mode = {};
    if (::tcgetattr(STDIN_FILENO, &mode) != 0) return;
    // The restore goes to this terminal even if standard input is moved.
    const int terminal = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
    if (terminal < 0) return;
    state.saved = mode;
    mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    mode.c_cc[VMIN] = 1;
    mode.c_cc[VTIME] = 0;
    if (::tcsetattr(STDIN_FILENO, TCSANOW, &mode) != 0) {
        ::close(terminal);
        return;
    }
    state.terminal = terminal;
    switched.store(true, std::memory_order_relaxed);
    if (!state.atexitRegistered) {
        state.atexitRegistered = std::atexit(RestoreAtExit) == 0;
    }
}

}  // namespace

namespace um::console {

void RestoreKeyboard() noexcept {
    auto& state = Keyboard();
    std::lock_guard guard(state.lock);
    if (state.terminal < 0) return;
    ::tcsetattr(state.terminal, TCSANOW, &state.saved);
    ::close(state.terminal);
    state.terminal = -1;
    switched.store(false, std::memory_order_relaxed);
}

}  // namespace um::console

extern "C" int _kbhit(void) {
    PrepareKeyboard();
    // Only a waiting byte is a key: an empty pipe, a pipe at its end and a
    // file read to its end have none, and devices that cannot say how many
    // bytes wait (/dev/null) have none either. One question answers all.
    int waiting = 0;
    if (::ioctl(STDIN_FILENO, FIONREAD, &waiting) != 0) return 0;
    return waiting > 0 ? 1 : 0;
}

extern "C" int _getch(void) {
    PrepareKeyboard();
    for (;;) {
        unsigned char key = 0;
        const ssize_t got = ::read(STDIN_FILENO, &key, 1);
        if (got == 1) return key;
        if (got < 0 && errno == EINTR) continue;
        return EOF;
    }
}
