// Standard input, output and error are taken before anything else runs.
//
// A process started with one of them closed would hand that number to the
// first descriptor the platform opens: the console's signal pipe, the hive,
// io_uring, an eventfd, a socket, the debugger log. Reads of standard input
// and writes to standard output or error would then reach that descriptor
// (the port question reading the signal pipe, debugger output read back as
// console events). Windows gives such a process no handle at all, where
// reads end at once and writes go nowhere; /dev/null does the same here, and
// it is put in place when the platform is loaded, before any of its own
// descriptors exist.
#include <fcntl.h>
#include <unistd.h>

namespace {

__attribute__((constructor(101))) void ReserveStandardHandles() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1) continue;
        // The lowest free number is this one: the ones below it are open.
        const int null = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) {
            ::dup2(null, fd);
            ::close(null);
        }
    }
}

}  // namespace
