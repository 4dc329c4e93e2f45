// The fallback engine: one worker thread that performs the queued writes in
// order with plain pwrite calls.
#include "io_engine.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace um::file {
namespace {

class WorkerEngine final : public IoEngine {
public:
    WorkerEngine() {
        std::thread([this] {
            pthread_setname_np(pthread_self(), "FileWriter");
            Run();
        }).detach();
    }

    int Submit(std::unique_ptr<WriteRequest>& request) noexcept override {
        try {
            std::lock_guard lock(mutex_);
            queue_.push_back(std::move(request));
        } catch (...) {
            return -ENOMEM;
        }
        ready_.notify_one();
        return 0;
    }

    testing::Engine Kind() const noexcept override { return testing::Engine::Thread; }

private:
    [[noreturn]] void Run() noexcept {
        for (;;) {
            std::unique_ptr<WriteRequest> request;
            {
                std::unique_lock lock(mutex_);
                ready_.wait(lock, [this] { return !queue_.empty(); });
                request = std::move(queue_.front());
                queue_.pop_front();
            }
            const int64_t result = request->injected == STATUS_SUCCESS ? Write(*request) : 0;
            CompleteWrite(std::move(request), result);
        }
    }

    // One system call, as io_uring makes one: a short count is reported as
    // such, not finished here.
    static int64_t Write(const WriteRequest& request) noexcept {
        const int fd = request.file->Fd();
        for (;;) {
            const ssize_t n = request.offset < 0
                                  ? write(fd, request.data, request.length)
                                  : pwrite(fd, request.data, request.length, request.offset);
            if (n >= 0) return n;
            if (errno != EINTR) return -errno;
        }
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::unique_ptr<WriteRequest>> queue_;  // guarded by mutex_
};

}  // namespace

IoEngine* ThreadEngine() noexcept {
    // Never destroyed: its thread may still be completing writes while the
    // process exits.
    static WorkerEngine* engine = new WorkerEngine;
    return engine;
}

}  // namespace um::file
