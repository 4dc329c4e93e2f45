#include "object.hpp"

#include "fault.hpp"

#include <cstring>
#include <shared_mutex>
#include <unordered_map>

namespace km {

namespace {

struct HandleTable {
    std::shared_mutex lock;
    std::unordered_map<uintptr_t, std::shared_ptr<Object>> objects;
    uintptr_t next = 0x5d0000;  // never 0, never reused; steps of 16 look like pointers
};

HandleTable& Table() {
    static HandleTable* table = new HandleTable;  // outlives every static destructor
    return *table;
}

bool SameType(PCWDF_OBJECT_CONTEXT_TYPE_INFO a, PCWDF_OBJECT_CONTEXT_TYPE_INFO b) noexcept {
    if (a == b) return true;
    if (a == nullptr || b == nullptr) return false;
    if (a->UniqueType != nullptr && a->UniqueType == b->UniqueType) return true;
    // Two images may each carry a descriptor of the same type.
    return a->ContextName != nullptr && b->ContextName != nullptr &&
           std::strcmp(a->ContextName, b->ContextName) == 0 && a->ContextSize == b->ContextSize;
}

}  // namespace

Object::~Object() = default;

std::shared_ptr<Object> Object::Parent() const {
    std::lock_guard guard(lock_);
    return parent_.lock();
}

NTSTATUS Object::AddAttributes(const WDF_OBJECT_ATTRIBUTES* attributes, PVOID* context) {
    if (context) *context = nullptr;
    if (attributes == nullptr) return STATUS_SUCCESS;
    if (attributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES)) return STATUS_INFO_LENGTH_MISMATCH;
    std::lock_guard guard(lock_);
    if (attributes->ContextTypeInfo != nullptr) {
        PCWDF_OBJECT_CONTEXT_TYPE_INFO type = attributes->ContextTypeInfo;
        for (const ContextArea& area : contexts_) {
            if (SameType(area.type, type)) return STATUS_OBJECT_NAME_EXISTS;
        }
        size_t size = type->ContextSize;
        if (attributes->ContextSizeOverride > size) size = attributes->ContextSizeOverride;
        // Zeroed and aligned for any member type, as the framework does.
        auto memory = std::unique_ptr<std::byte[]>(new (std::nothrow) std::byte[size + 1]());
        if (!memory) return STATUS_INSUFFICIENT_RESOURCES;
        if (context) *context = memory.get();
        contexts_.push_back({type, std::move(memory)});
    }
    if (attributes->EvtCleanupCallback) cleanups_.push_back(attributes->EvtCleanupCallback);
    if (attributes->EvtDestroyCallback) destroys_.push_back(attributes->EvtDestroyCallback);
    return STATUS_SUCCESS;
}

PVOID Object::Context(PCWDF_OBJECT_CONTEXT_TYPE_INFO type) const noexcept {
    std::lock_guard guard(lock_);
    for (const ContextArea& area : contexts_) {
        if (SameType(area.type, type)) return area.memory.get();
    }
    return nullptr;
}

NTSTATUS Object::Insert(const std::shared_ptr<Object>& object, const std::shared_ptr<Object>& parent,
                        const WDF_OBJECT_ATTRIBUTES* attributes) {
    NTSTATUS status = object->AddAttributes(attributes);
    if (!NT_SUCCESS(status)) return status;
    if (parent) {
        std::lock_guard guard(parent->lock_);
        if (parent->disposed_.load(std::memory_order_acquire)) return STATUS_DELETE_PENDING;
        parent->children_.push_back(object);
        std::lock_guard own(object->lock_);
        object->parent_ = parent;
    }
    HandleTable& table = Table();
    std::unique_lock guard(table.lock);
    table.next += 16;
    object->handle_ = reinterpret_cast<WDFOBJECT>(table.next);
    table.objects.emplace(table.next, object);
    return STATUS_SUCCESS;
}

void Object::Dispose(const std::shared_ptr<Object>& object) {
    if (object->disposed_.exchange(true, std::memory_order_acq_rel)) return;
    std::vector<std::shared_ptr<Object>> children;
    std::vector<PFN_WDF_OBJECT_CONTEXT_CLEANUP> cleanups;
    {
        std::lock_guard guard(object->lock_);
        children = object->children_;
        cleanups = object->cleanups_;
    }
    // Children go first, so a child's cleanup may still use its parent.
    for (auto it = children.rbegin(); it != children.rend(); ++it) Dispose(*it);
    for (PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup : cleanups) cleanup(object->handle_);
    object->OnDispose();
}

void Object::Release(const std::shared_ptr<Object>& object) {
    std::vector<std::shared_ptr<Object>> children;
    std::vector<PFN_WDF_OBJECT_CONTEXT_DESTROY> destroys;
    {
        std::lock_guard guard(object->lock_);
        children.swap(object->children_);
        destroys = object->destroys_;
    }
    for (auto it = children.rbegin(); it != children.rend(); ++it) Release(*it);
    for (PFN_WDF_OBJECT_CONTEXT_DESTROY destroy : destroys) destroy(object->handle_);
    ForgetHandle(object->handle_);
}

void Object::Delete(const std::shared_ptr<Object>& object) {
    if (!object || object->Disposed()) return;
    Dispose(object);
    Release(object);
    if (std::shared_ptr<Object> parent = object->Parent()) {
        std::lock_guard guard(parent->lock_);
        std::erase(parent->children_, object);
    }
}

std::shared_ptr<Object> LookupObject(WDFOBJECT handle) noexcept {
    HandleTable& table = Table();
    std::shared_lock guard(table.lock);
    auto it = table.objects.find(reinterpret_cast<uintptr_t>(handle));
    return it == table.objects.end() ? nullptr : it->second;
}

bool ForgetHandle(WDFOBJECT handle) noexcept {
    std::shared_ptr<Object> last;  // dies outside the table lock
    HandleTable& table = Table();
    std::unique_lock guard(table.lock);
    auto it = table.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == table.objects.end()) return false;
    last = std::move(it->second);
    table.objects.erase(it);
    return true;
}

size_t LiveObjectCount() noexcept {
    HandleTable& table = Table();
    std::shared_lock guard(table.lock);
    return table.objects.size();
}

void ReportInvalidHandle(const void* handle, const char* caller) noexcept {
    ReportDriverFault("%s: handle %p names no live object of that kind", caller, handle);
}

}  // namespace km

using km::Object;

extern "C" PVOID WdfObjectGetTypedContextWorker(WDFOBJECT Handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo) {
    std::shared_ptr<Object> object = km::LookupObject(Handle);
    if (!object) {
        km::ReportInvalidHandle(Handle, "WdfObjectGetTypedContext");
        return nullptr;
    }
    return object->Context(TypeInfo);
}

extern "C" NTSTATUS WdfObjectAllocateContext(WDFOBJECT Handle, PWDF_OBJECT_ATTRIBUTES ContextAttributes,
                                             PVOID* Context) {
    std::shared_ptr<Object> object = km::LookupObject(Handle);
    if (!object) {
        km::ReportInvalidHandle(Handle, "WdfObjectAllocateContext");
        return STATUS_INVALID_HANDLE;
    }
    if (ContextAttributes == nullptr || ContextAttributes->ContextTypeInfo == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return object->AddAttributes(ContextAttributes, Context);
}

extern "C" VOID WdfObjectDelete(WDFOBJECT Handle) {
    std::shared_ptr<Object> object = km::LookupObject(Handle);
    if (!object) {
        km::ReportInvalidHandle(Handle, "WdfObjectDelete");
        return;
    }
    // Objects whose lifetime the framework manages refuse an explicit delete.
    switch (object->Kind()) {
    case km::ObjectKind::Driver:
    case km::ObjectKind::Device:
    case km::ObjectKind::Request:
    case km::ObjectKind::File:
    case km::ObjectKind::Interrupt:
        km::ReportDriverFault("WdfObjectDelete: the framework owns the lifetime of %p", Handle);
        return;
    default:
        Object::Delete(object);
    }
}
