// The object manager: intrusive reference counts and the process-wide handle
// table.
#include <nt/dispatcher.h>
#include <nt/object.h>

#include <cstdint>
#include <mutex>
#include <vector>

namespace nt {

Object::~Object() = default;

void Object::Reference() noexcept {
    // Taking a reference needs no ordering: the caller already holds one.
    references_.fetch_add(1, std::memory_order_relaxed);
}

void Object::Dereference() noexcept {
    // acq_rel: every use of the object by the other holders happens before
    // the holder that drops the last reference deletes it.
    if (references_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

LONG Object::ReferenceCount() const noexcept { return references_.load(std::memory_order_relaxed); }

LONG Object::HandleCount() const noexcept { return handles_.load(std::memory_order_relaxed); }

class HandleTable {
public:
    static HandleTable& Instance() noexcept {
        // Never destroyed: handles may still be closed by threads and static
        // destructors running at process exit.
        static HandleTable* table = new HandleTable;
        return *table;
    }

    NTSTATUS Insert(Object* object, HANDLE* handle) noexcept {
        if (object == nullptr || handle == nullptr) return STATUS_INVALID_PARAMETER;
        std::lock_guard lock(mutex_);
        uint32_t index;
        try {
            if (free_.empty()) {
                if (entries_.size() >= kMaxEntries) return STATUS_INSUFFICIENT_RESOURCES;
                entries_.push_back(Entry{});
                index = static_cast<uint32_t>(entries_.size() - 1);
                free_.reserve(entries_.capacity());  // so that Close never allocates
            } else {
                index = free_.back();
                free_.pop_back();
            }
        } catch (...) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        Entry& entry = entries_[index];
        object->Reference();
        object->handles_.fetch_add(1, std::memory_order_relaxed);
        entry.object = object;
        ++open_;
        *handle = Encode(index, entry.generation);
        return STATUS_SUCCESS;
    }

    NTSTATUS Reference(HANDLE handle, Ref<Object>* object) noexcept {
        if (object == nullptr) return STATUS_INVALID_PARAMETER;
        if (handle == kCurrentThreadHandle) {
            *object = Ref<Object>(Thread::Current());
            return STATUS_SUCCESS;
        }
        std::lock_guard lock(mutex_);
        Entry* entry = Find(handle);
        if (entry == nullptr) return STATUS_INVALID_HANDLE;
        *object = Ref<Object>(entry->object);
        return STATUS_SUCCESS;
    }

    NTSTATUS Close(HANDLE handle) noexcept {
        Object* object;
        {
            std::lock_guard lock(mutex_);
            Entry* entry = Find(handle);
            if (entry == nullptr) return STATUS_INVALID_HANDLE;
            object = entry->object;
            entry->object = nullptr;
            entry->generation = NextGeneration(entry->generation);
            free_.push_back(static_cast<uint32_t>(entry - entries_.data()));
            --open_;
        }
        // Outside the lock: cleanup and destruction may close other handles.
        if (object->handles_.fetch_sub(1, std::memory_order_acq_rel) == 1) object->OnLastHandleClosed();
        object->Dereference();
        return STATUS_SUCCESS;
    }

    size_t OpenCount() noexcept {
        std::lock_guard lock(mutex_);
        return open_;
    }

private:
    // A handle is ((generation << 32) | ((index + kIndexBias) << 2)): a
    // multiple of four like Windows handles, at least 0x400 so that it is
    // never NULL or a small integer, and below 2^56 so that it never meets a
    // pseudo-handle or a sign-extended predefined registry key.
    static constexpr uint64_t kIndexBias = 0x100;
    static constexpr uint32_t kMaxEntries = 1u << 24;
    static constexpr uint32_t kGenerationMask = 0xFFFFFF;

    struct Entry {
        Object* object = nullptr;
        uint32_t generation = 1;
    };

    static uint32_t NextGeneration(uint32_t generation) noexcept {
        generation = (generation + 1) & kGenerationMask;
        return generation == 0 ? 1 : generation;
    }

    static HANDLE Encode(uint32_t index, uint32_t generation) noexcept {
        uint64_t value = (uint64_t{generation} << 32) | ((uint64_t{index} + kIndexBias) << 2);
        return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
    }

    Entry* Find(HANDLE handle) noexcept {
        // The two low bits of a handle are the caller's tag bits: Windows
        // ignores them, and callers rely on it (an OVERLAPPED's event with
        // its low bit set still names the event).
        const uint64_t value = reinterpret_cast<uintptr_t>(handle) & ~uint64_t{3};
        const uint64_t generation = value >> 32;
        const uint64_t slot = (value & 0xFFFFFFFFu) >> 2;
        if (slot < kIndexBias || generation == 0 || generation > kGenerationMask) return nullptr;
        const uint64_t index = slot - kIndexBias;
        if (index >= entries_.size()) return nullptr;
        Entry& entry = entries_[index];
        if (entry.object == nullptr || entry.generation != generation) return nullptr;
        return &entry;
    }

    std::mutex mutex_;
    std::vector<Entry> entries_;
    std::vector<uint32_t> free_;
    size_t open_ = 0;
};

NTSTATUS InsertHandle(Object* object, HANDLE* handle) noexcept {
    return HandleTable::Instance().Insert(object, handle);
}

NTSTATUS ReferenceObjectByHandle(HANDLE handle, Ref<Object>* object) noexcept {
    return HandleTable::Instance().Reference(handle, object);
}

NTSTATUS CloseHandle(HANDLE handle) noexcept { return HandleTable::Instance().Close(handle); }

size_t OpenHandleCount() noexcept { return HandleTable::Instance().OpenCount(); }

}  // namespace nt
