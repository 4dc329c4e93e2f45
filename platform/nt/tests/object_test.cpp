#include <nt/dispatcher.h>
#include <nt/object.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <set>
#include <thread>
#include <vector>

namespace {

// An object that reports its cleanup and its destruction.
class Probe final : public nt::Object {
public:
    Probe(std::atomic<int>* cleanups, std::atomic<int>* deaths) : cleanups_(cleanups), deaths_(deaths) {}

protected:
    ~Probe() override { ++*deaths_; }
    void OnLastHandleClosed() noexcept override { ++*cleanups_; }

private:
    std::atomic<int>* cleanups_;
    std::atomic<int>* deaths_;
};

TEST(HandleTable, HandleValuesLookLikeWindowsHandles) {
    std::atomic<int> cleanups{0}, deaths{0};
    std::vector<HANDLE> handles;
    for (int i = 0; i < 50; ++i) {
        auto probe = nt::MakeRef<Probe>(&cleanups, &deaths);
        HANDLE h = nullptr;
        ASSERT_EQ(nt::InsertHandle(probe.get(), &h), STATUS_SUCCESS);
        const auto value = reinterpret_cast<uintptr_t>(h);
        EXPECT_EQ(value % 4, 0u);
        EXPECT_GE(value, 0x400u);  // never NULL or a small integer
        EXPECT_NE(h, nt::kCurrentProcessHandle);
        EXPECT_NE(h, nt::kCurrentThreadHandle);
        handles.push_back(h);
    }
    EXPECT_EQ(std::set<HANDLE>(handles.begin(), handles.end()).size(), handles.size());
    for (HANDLE h : handles) EXPECT_EQ(nt::CloseHandle(h), STATUS_SUCCESS);
    EXPECT_EQ(deaths.load(), 50);
}

TEST(HandleTable, ObjectLivesUntilLastReferenceAndHandle) {
    std::atomic<int> cleanups{0}, deaths{0};
    HANDLE h1 = nullptr, h2 = nullptr;
    nt::Ref<nt::Object> held;
    {
        auto probe = nt::MakeRef<Probe>(&cleanups, &deaths);
        ASSERT_EQ(nt::InsertHandle(probe.get(), &h1), STATUS_SUCCESS);
        ASSERT_EQ(nt::InsertHandle(probe.get(), &h2), STATUS_SUCCESS);
        EXPECT_EQ(probe->HandleCount(), 2);
    }
    ASSERT_EQ(nt::ReferenceObjectByHandle(h1, &held), STATUS_SUCCESS);
    EXPECT_EQ(nt::CloseHandle(h1), STATUS_SUCCESS);
    EXPECT_EQ(cleanups.load(), 0);  // h2 is still open
    EXPECT_EQ(nt::CloseHandle(h2), STATUS_SUCCESS);
    EXPECT_EQ(cleanups.load(), 1);  // the last handle went, exactly once
    EXPECT_EQ(deaths.load(), 0);    // but a reference keeps the object
    held.reset();
    EXPECT_EQ(deaths.load(), 1);
}

TEST(HandleTable, ClosedAndMadeUpHandlesAreInvalid) {
    std::atomic<int> cleanups{0}, deaths{0};
    auto probe = nt::MakeRef<Probe>(&cleanups, &deaths);
    HANDLE h = nullptr;
    ASSERT_EQ(nt::InsertHandle(probe.get(), &h), STATUS_SUCCESS);
    ASSERT_EQ(nt::CloseHandle(h), STATUS_SUCCESS);
    nt::Ref<nt::Object> object;
    EXPECT_EQ(nt::ReferenceObjectByHandle(h, &object), STATUS_INVALID_HANDLE);
    EXPECT_EQ(nt::CloseHandle(h), STATUS_INVALID_HANDLE);

    // The slot is reused with a new generation: the old handle stays dead.
    HANDLE again = nullptr;
    ASSERT_EQ(nt::InsertHandle(probe.get(), &again), STATUS_SUCCESS);
    EXPECT_NE(again, h);
    EXPECT_EQ(nt::ReferenceObjectByHandle(h, &object), STATUS_INVALID_HANDLE);
    EXPECT_EQ(nt::ReferenceObjectByHandle(again, &object), STATUS_SUCCESS);
    EXPECT_EQ(object.get(), probe.get());
    EXPECT_EQ(nt::CloseHandle(again), STATUS_SUCCESS);

    for (uintptr_t v : {uintptr_t{0}, uintptr_t{1}, uintptr_t{4}, uintptr_t{0x12345678},
                        ~uintptr_t{0}, uintptr_t{0xFFFFFFFF80000002}}) {
        EXPECT_EQ(nt::ReferenceObjectByHandle(reinterpret_cast<HANDLE>(v), &object), STATUS_INVALID_HANDLE) << v;
        EXPECT_EQ(nt::CloseHandle(reinterpret_cast<HANDLE>(v)), STATUS_INVALID_HANDLE) << v;
    }
}

TEST(HandleTable, TagBitsAreIgnored) {
    auto event = nt::MakeRef<nt::Event>(nt::EventType::Notification, false);
    HANDLE h = nullptr;
    ASSERT_EQ(nt::InsertHandle(event.get(), &h), STATUS_SUCCESS);
    const auto value = reinterpret_cast<uintptr_t>(h);
    for (uintptr_t tag : {uintptr_t{1}, uintptr_t{2}, uintptr_t{3}}) {
        nt::Ref<nt::Event> tagged;
        EXPECT_EQ(nt::ReferenceObjectByHandle(reinterpret_cast<HANDLE>(value | tag), &tagged), STATUS_SUCCESS);
        EXPECT_EQ(tagged.get(), event.get());
    }
    EXPECT_EQ(nt::CloseHandle(reinterpret_cast<HANDLE>(value | 1)), STATUS_SUCCESS);
    nt::Ref<nt::Object> gone;
    EXPECT_EQ(nt::ReferenceObjectByHandle(h, &gone), STATUS_INVALID_HANDLE);
}

TEST(HandleTable, TypedReferenceChecksTheType) {
    auto event = nt::MakeRef<nt::Event>(nt::EventType::Notification, false);
    HANDLE h = nullptr;
    ASSERT_EQ(nt::InsertHandle(event.get(), &h), STATUS_SUCCESS);
    nt::Ref<nt::Event> as_event;
    nt::Ref<nt::DispatcherObject> as_dispatcher;
    nt::Ref<nt::Thread> as_thread;
    EXPECT_EQ(nt::ReferenceObjectByHandle(h, &as_event), STATUS_SUCCESS);
    EXPECT_EQ(as_event.get(), event.get());
    EXPECT_EQ(nt::ReferenceObjectByHandle(h, &as_dispatcher), STATUS_SUCCESS);
    EXPECT_EQ(nt::ReferenceObjectByHandle(h, &as_thread), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_FALSE(as_thread);
    EXPECT_EQ(nt::CloseHandle(h), STATUS_SUCCESS);
}

TEST(HandleTable, CurrentThreadPseudoHandle) {
    nt::Ref<nt::Thread> thread;
    ASSERT_EQ(nt::ReferenceObjectByHandle(nt::kCurrentThreadHandle, &thread), STATUS_SUCCESS);
    EXPECT_EQ(thread.get(), nt::Thread::Current());
    nt::Ref<nt::Object> process;
    EXPECT_EQ(nt::ReferenceObjectByHandle(nt::kCurrentProcessHandle, &process), STATUS_INVALID_HANDLE);
}

TEST(HandleTable, ConcurrentInsertReferenceClose) {
    const size_t baseline = nt::OpenHandleCount();
    std::atomic<int> cleanups{0}, deaths{0};
    constexpr int kThreads = 4, kRounds = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                auto probe = nt::MakeRef<Probe>(&cleanups, &deaths);
                HANDLE h = nullptr;
                ASSERT_EQ(nt::InsertHandle(probe.get(), &h), STATUS_SUCCESS);
                nt::Ref<nt::Object> object;
                ASSERT_EQ(nt::ReferenceObjectByHandle(h, &object), STATUS_SUCCESS);
                ASSERT_EQ(object.get(), probe.get());
                ASSERT_EQ(nt::CloseHandle(h), STATUS_SUCCESS);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(nt::OpenHandleCount(), baseline);
    EXPECT_EQ(cleanups.load(), kThreads * kRounds);
    EXPECT_EQ(deaths.load(), kThreads * kRounds);
}

TEST(Ref, CopyMoveAndDetachKeepCountsRight) {
    std::atomic<int> cleanups{0}, deaths{0};
    auto a = nt::MakeRef<Probe>(&cleanups, &deaths);
    EXPECT_EQ(a->ReferenceCount(), 1);
    {
        nt::Ref<Probe> b = a;
        nt::Ref<nt::Object> c = b;  // converts to the base
        EXPECT_EQ(a->ReferenceCount(), 3);
        nt::Ref<Probe> d = std::move(b);
        EXPECT_FALSE(b);
        EXPECT_EQ(a->ReferenceCount(), 3);
    }
    EXPECT_EQ(a->ReferenceCount(), 1);
    Probe* raw = a.Detach();
    EXPECT_FALSE(a);
    EXPECT_EQ(deaths.load(), 0);
    auto adopted = nt::Ref<Probe>::Adopt(raw);
    adopted.reset();
    EXPECT_EQ(deaths.load(), 1);
}

}  // namespace
