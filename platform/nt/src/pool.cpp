// Tagged pool. Each block is preceded by a header with its tag and size, so
// that a free can check the tag and account for the bytes.
#include <nt/pool.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <unordered_map>

namespace nt {
namespace {

constexpr uint32_t kLiveMagic = 0x4C4F4F50;  // "POOL"
constexpr uint32_t kFreedMagic = 0x45455246;  // "FREE"

struct alignas(kPoolAlignment) BlockHeader {
    ULONG tag;
    uint32_t magic;
    SIZE_T size;
};
static_assert(sizeof(BlockHeader) == kPoolAlignment);

struct Usage {
    size_t blocks = 0;
    size_t bytes = 0;
};

class Accounting {
public:
    static Accounting& Instance() noexcept {
        static Accounting* accounting = new Accounting;  // blocks may be freed at exit
        return *accounting;
    }
    bool Add(ULONG tag, size_t bytes) noexcept {
        std::lock_guard lock(mutex_);
        try {
            Usage& usage = by_tag_[tag];
            ++usage.blocks;
            usage.bytes += bytes;
            return true;
        } catch (...) {
            return false;
        }
    }
    void Remove(ULONG tag, size_t bytes) noexcept {
        std::lock_guard lock(mutex_);
        auto it = by_tag_.find(tag);
        if (it == by_tag_.end()) return;
        --it->second.blocks;
        it->second.bytes -= bytes;
    }
    Usage Get(ULONG tag) noexcept {
        std::lock_guard lock(mutex_);
        auto it = by_tag_.find(tag);
        return it == by_tag_.end() ? Usage{} : it->second;
    }

private:
    std::mutex mutex_;
    std::unordered_map<ULONG, Usage> by_tag_;
};

[[noreturn]] void PoolFault(const char* what, ULONG tag) noexcept {
    std::fprintf(stderr, "nt pool: %s (tag %c%c%c%c)\n", what, static_cast<char>(tag & 0xFF),
                 static_cast<char>((tag >> 8) & 0xFF), static_cast<char>((tag >> 16) & 0xFF),
                 static_cast<char>((tag >> 24) & 0xFF));
    std::abort();
}

BlockHeader* HeaderOf(void* block) noexcept {
    auto* header = static_cast<BlockHeader*>(block) - 1;
    if (header->magic == kFreedMagic) PoolFault("block freed twice", header->tag);
    if (header->magic != kLiveMagic) PoolFault("freeing memory that is not a pool block", 0);
    return header;
}

void Release(BlockHeader* header) noexcept {
    Accounting::Instance().Remove(header->tag, header->size);
    header->magic = kFreedMagic;
    ::operator delete(header, std::align_val_t{kPoolAlignment});
}

}  // namespace

void* PoolAllocate(SIZE_T size, ULONG tag) noexcept {
    if (size == 0 || size > SIZE_MAX - sizeof(BlockHeader)) return nullptr;
    void* raw = ::operator new(sizeof(BlockHeader) + size, std::align_val_t{kPoolAlignment}, std::nothrow);
    if (raw == nullptr) return nullptr;
    if (!Accounting::Instance().Add(tag, size)) {
        ::operator delete(raw, std::align_val_t{kPoolAlignment});
        return nullptr;
    }
    auto* header = new (raw) BlockHeader{tag, kLiveMagic, size};
    return header + 1;
}

void PoolFree(void* block) noexcept {
    if (block == nullptr) return;
    Release(HeaderOf(block));
}

void PoolFreeWithTag(void* block, ULONG tag) noexcept {
    if (block == nullptr) return;
    BlockHeader* header = HeaderOf(block);
    if (header->tag != tag) PoolFault("block freed with another tag than it was allocated with", tag);
    Release(header);
}

size_t PoolOutstandingBlocks(ULONG tag) noexcept { return Accounting::Instance().Get(tag).blocks; }

size_t PoolOutstandingBytes(ULONG tag) noexcept { return Accounting::Instance().Get(tag).bytes; }

}  // namespace nt
