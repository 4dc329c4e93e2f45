// Framework objects: the tree of parents and children, typed context areas,
// cleanup and destroy callbacks, and the handle table that turns WDF handles
// into objects.
//
// Handles are table keys that are never reused, so a handle that outlives its
// object (a request completed twice, a queue used after its device went) is
// recognised and reported as a driver bug instead of touching freed memory.
#pragma once

#include <wdf.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace km {

enum class ObjectKind {
    Generic,
    Driver,
    Device,
    Queue,
    Request,
    File,
    Interrupt,
    DmaEnabler,
    CommonBuffer,
    SpinLock,
    WaitLock,
    Key,
    Memory,
};

class Object : public std::enable_shared_from_this<Object> {
public:
    explicit Object(ObjectKind kind) noexcept : kind_(kind) {}
    virtual ~Object();
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    ObjectKind Kind() const noexcept { return kind_; }
    WDFOBJECT Handle() const noexcept { return handle_; }
    std::shared_ptr<Object> Parent() const;
    bool Disposed() const noexcept { return disposed_.load(std::memory_order_acquire); }

    // Adds the attributes' context area (zeroed) and callbacks.
    NTSTATUS AddAttributes(const WDF_OBJECT_ATTRIBUTES* attributes, PVOID* context = nullptr);
    PVOID Context(PCWDF_OBJECT_CONTEXT_TYPE_INFO type) const noexcept;

    // Registers the object in the handle table under `parent` (may be null).
    // The table and the parent each hold it until it is deleted.
    static NTSTATUS Insert(const std::shared_ptr<Object>& object, const std::shared_ptr<Object>& parent,
                           const WDF_OBJECT_ATTRIBUTES* attributes);

    // WdfObjectDelete: the subtree's cleanup callbacks (children first), then
    // destroy callbacks, then the table forgets them. Deleting an object
    // twice is harmless, as is deleting a child its parent already took down.
    static void Delete(const std::shared_ptr<Object>& object);

protected:
    // Kind-specific teardown, after the object's cleanup callbacks ran
    // (unmapping a common buffer, disconnecting an interrupt).
    virtual void OnDispose() noexcept {}

private:
    struct ContextArea {
        PCWDF_OBJECT_CONTEXT_TYPE_INFO type;
        std::unique_ptr<std::byte[]> memory;
    };
    static void Dispose(const std::shared_ptr<Object>& object);
    static void Release(const std::shared_ptr<Object>& object);

    const ObjectKind kind_;
    WDFOBJECT handle_ = nullptr;
    std::atomic<bool> disposed_{false};
    mutable std::mutex lock_;  // contexts, callbacks, children, parent
    std::vector<ContextArea> contexts_;
    std::vector<PFN_WDF_OBJECT_CONTEXT_CLEANUP> cleanups_;
    std::vector<PFN_WDF_OBJECT_CONTEXT_DESTROY> destroys_;
    std::vector<std::shared_ptr<Object>> children_;
    std::weak_ptr<Object> parent_;
};

// The object behind a handle, or null for a handle that names nothing (never
// issued, or its object is gone).
std::shared_ptr<Object> LookupObject(WDFOBJECT handle) noexcept;

// As LookupObject with a kind check; a wrong or dead handle is reported as a
// driver bug naming `caller`, and null is returned.
template <class T>
std::shared_ptr<T> Lookup(const void* handle, const char* caller) noexcept;

// Removes a request's handle at completion, ahead of the usual delete, so a
// second completion finds nothing. Returns false if it was not there.
bool ForgetHandle(WDFOBJECT handle) noexcept;

// Live framework objects (tests check that removal leaves none behind).
size_t LiveObjectCount() noexcept;

void ReportInvalidHandle(const void* handle, const char* caller) noexcept;

template <class T>
std::shared_ptr<T> Lookup(const void* handle, const char* caller) noexcept {
    std::shared_ptr<Object> object = LookupObject(const_cast<void*>(handle));
    auto typed = std::dynamic_pointer_cast<T>(object);
    if (!typed) {
        ReportInvalidHandle(handle, caller);
    }
    return typed;
}

}  // namespace km
