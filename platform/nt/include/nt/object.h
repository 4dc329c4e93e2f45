// The object manager: reference-counted objects and the process-wide handle
// table through which both the kernel and the user surface reach them.
#pragma once

#include <ntdef.h>

#include <atomic>
#include <cstddef>
#include <new>
#include <utility>

namespace nt {

// Base of everything a HANDLE can name. An object lives as long as someone
// holds a reference: each open handle holds one, and so does every pointer
// obtained by reference. The last Dereference deletes it.
class Object {
public:
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    void Reference() noexcept;
    void Dereference() noexcept;

    LONG ReferenceCount() const noexcept;  // for diagnostics and tests
    LONG HandleCount() const noexcept;

protected:
    Object() = default;
    virtual ~Object();

    // Called when the last handle to the object is closed, outside any lock
    // of the object manager, while references may still keep the object
    // alive (a file object's cleanup, as opposed to its close).
    virtual void OnLastHandleClosed() noexcept {}

private:
    friend class HandleTable;
    std::atomic<LONG> references_{1};
    std::atomic<LONG> handles_{0};
};

// An owned reference, released on destruction.
template <class T>
class Ref {
public:
    Ref() noexcept = default;
    // Takes a new reference to `object` (which may be null).
    explicit Ref(T* object) noexcept : p_(object) {
        if (p_) p_->Reference();
    }
    // Takes over a reference the caller already owns.
    static Ref Adopt(T* object) noexcept {
        Ref r;
        r.p_ = object;
        return r;
    }
    Ref(const Ref& o) noexcept : Ref(o.p_) {}
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    template <class U>
    Ref(Ref<U>&& o) noexcept : p_(o.Detach()) {}
    template <class U>
    Ref(const Ref<U>& o) noexcept : Ref(o.get()) {}
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { reset(); }

    void reset() noexcept {
        if (T* p = std::exchange(p_, nullptr)) p->Dereference();
    }
    // Gives up ownership of the reference without releasing it.
    T* Detach() noexcept { return std::exchange(p_, nullptr); }

    T* get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    T& operator*() const noexcept { return *p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    T* p_ = nullptr;
};

// Creates an object with its first reference; empty on allocation failure,
// so that callers report STATUS_INSUFFICIENT_RESOURCES rather than throw.
template <class T, class... Args>
Ref<T> MakeRef(Args&&... args) noexcept {
    try {
        return Ref<T>::Adopt(new T(std::forward<Args>(args)...));
    } catch (...) {
        return {};
    }
}

// Pseudo-handles, as Windows defines them; never entries of the table.
inline HANDLE const kCurrentProcessHandle = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
inline HANDLE const kCurrentThreadHandle = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));

// The process-wide handle table. Handle values are multiples of four, never
// NULL, never small integers and never a pseudo-handle; each carries a
// generation so that a closed handle stays invalid after its slot is reused.
//
// Inserts a handle to `object`, which takes a reference of its own.
NTSTATUS InsertHandle(Object* object, HANDLE* handle) noexcept;

// A new reference to the object behind `handle`. STATUS_INVALID_HANDLE for a
// closed, stale or made-up handle. kCurrentThreadHandle names the calling
// thread's object.
NTSTATUS ReferenceObjectByHandle(HANDLE handle, Ref<Object>* object) noexcept;

// As above with a type check: STATUS_OBJECT_TYPE_MISMATCH when the object
// is not a T (user mode maps that to ERROR_INVALID_HANDLE, as Windows does).
template <class T>
NTSTATUS ReferenceObjectByHandle(HANDLE handle, Ref<T>* object) noexcept {
    Ref<Object> any;
    NTSTATUS status = ReferenceObjectByHandle(handle, &any);
    if (!NT_SUCCESS(status)) return status;
    T* typed = dynamic_cast<T*>(any.get());
    if (typed == nullptr) return STATUS_OBJECT_TYPE_MISMATCH;
    *object = Ref<T>(typed);
    return STATUS_SUCCESS;
}

// Closes a handle: drops its reference (the object dies with its last one).
// STATUS_INVALID_HANDLE if the handle is not open.
NTSTATUS CloseHandle(HANDLE handle) noexcept;

// Number of open handles in the process, so tests can prove nothing leaks.
size_t OpenHandleCount() noexcept;

}  // namespace nt
