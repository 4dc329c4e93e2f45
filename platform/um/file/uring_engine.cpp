// The io_uring engine: writes go to the kernel as submissions of one
// process-wide ring; a reaper thread takes their completions.
#include "io_engine.h"

#include <liburing.h>

#include <pthread.h>
#include <sched.h>

#include <cerrno>
#include <mutex>
#include <thread>

namespace um::file {
namespace {

constexpr unsigned kRingEntries = 256;

class RingEngine final : public IoEngine {
public:
    // Null when the kernel or a seccomp filter refuses io_uring.
    static RingEngine* Create() noexcept {
        auto* engine = new (std::nothrow) RingEngine;
        if (engine == nullptr) return nullptr;
        if (io_uring_queue_init(kRingEntries, &engine->ring_, 0) < 0) {
            delete engine;
            return nullptr;
        }
        try {
            std::thread([engine] {
                pthread_setname_np(pthread_self(), "FileReaper");
                engine->Reap();
            }).detach();
        } catch (...) {
            io_uring_queue_exit(&engine->ring_);
            delete engine;
            return nullptr;
        }
        return engine;
    }

    int Submit(std::unique_ptr<WriteRequest>& request) noexcept override {
        std::lock_guard lock(submit_);
        io_uring_sqe* sqe = io_uring_get_sqe(&ring_);
        if (sqe == nullptr) {
            // The submission queue is full of entries not yet handed over.
            const int flushed = SubmitLocked();
            if (flushed < 0) return flushed;
            sqe = io_uring_get_sqe(&ring_);
            if (sqe == nullptr) return -EAGAIN;
        }
        if (request->injected != STATUS_SUCCESS) {
            io_uring_prep_nop(sqe);  // ends through the ring like a real write
        } else {
            // An offset of -1 writes at the file position (pipes).
            io_uring_prep_write(sqe, request->file->Fd(), request->data + request->done,
                                request->length - request->done,
                                static_cast<__u64>(request->offset));
        }
        io_uring_sqe_set_data(sqe, request.release());
        // Should the kernel refuse the hand-over, the entry stays in the ring
        // and goes with the next submission: the request is the ring's now.
        (void)SubmitLocked();
        return 0;
    }

    testing::Engine Kind() const noexcept override { return testing::Engine::Uring; }

private:
    RingEngine() = default;

    // Hands the queued entries to the kernel. A full completion queue
    // (EBUSY) clears as the reaper runs.
    int SubmitLocked() noexcept {
        for (;;) {
            const int n = io_uring_submit(&ring_);
            if (n >= 0) return n;
            if (n != -EINTR && n != -EAGAIN && n != -EBUSY) return n;
            sched_yield();
        }
    }

    [[noreturn]] void Reap() noexcept {
        for (;;) {
            io_uring_cqe* cqe = nullptr;
            if (io_uring_wait_cqe(&ring_, &cqe) < 0 || cqe == nullptr) continue;
            auto* request = static_cast<WriteRequest*>(io_uring_cqe_get_data(cqe));
            const int64_t result = cqe->res;
            io_uring_cqe_seen(&ring_, cqe);
            // The request crossed over through the kernel, which no race
            // detector sees; passing the submission lock orders its setup
            // before what follows.
            { std::lock_guard lock(submit_); }
            std::unique_ptr<WriteRequest> owned(request);
            // A pipe takes what it has room for; as on Windows, the write
            // ends only once the reader has taken all of it.
            int64_t total = result < 0 ? result : owned->done + result;
            if (result > 0 && owned->offset < 0 && owned->injected == STATUS_SUCCESS &&
                total < owned->length) {
                owned->done = static_cast<uint32_t>(total);
                if (Submit(owned) == 0) continue;
            }
            CompleteWrite(std::move(owned), total);
        }
    }

    io_uring ring_{};
    std::mutex submit_;  // guards the submission side of ring_
};

}  // namespace

IoEngine* UringEngine() noexcept {
    // Never destroyed: its reaper may still be completing writes while the
    // process exits.
    static RingEngine* engine = RingEngine::Create();
    return engine;
}

}  // namespace um::file
