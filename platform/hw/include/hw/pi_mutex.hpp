// A mutex with priority inheritance (PTHREAD_PRIO_INHERIT).
//
// The driver's management thread polls the rings at a real-time priority
// while ordinary threads (the board model's clock, instance threads) take
// the same locks: the port's registers, the driver's spin locks. With a
// plain mutex, a real-time thread that blocks on a lock held by a preempted
// ordinary thread waits for as long as the scheduler keeps that thread off
// its processor, milliseconds at a time, longer than a port's descriptors
// last at line rate. With inheritance the holder runs at the waiter's
// priority until it lets go. Uncontended, it costs what a plain mutex does.
#pragma once

#include <pthread.h>

#include <cstdlib>

namespace hw {

class PiMutex {
public:
    PiMutex() noexcept {
        pthread_mutexattr_t attributes;
        pthread_mutexattr_init(&attributes);
        pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT);
        pthread_mutex_init(&mutex_, &attributes);
        pthread_mutexattr_destroy(&attributes);
    }
    ~PiMutex() { pthread_mutex_destroy(&mutex_); }
    PiMutex(const PiMutex&) = delete;
    PiMutex& operator=(const PiMutex&) = delete;

    void lock() noexcept {
        if (pthread_mutex_lock(&mutex_) != 0) std::abort();
    }
    bool try_lock() noexcept { return pthread_mutex_trylock(&mutex_) == 0; }
    void unlock() noexcept { pthread_mutex_unlock(&mutex_); }

private:
    pthread_mutex_t mutex_;
};

}  // namespace hw
