#include "span/base.hpp"

#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace korvex {

namespace detail {
std::atomic<std::int64_t> live_blocks{0};
}

namespace {

constexpr std::size_t kHuge = std::size_t{2} << 20;      // 2 MiB pages
constexpr std::size_t kMapThreshold = std::size_t{1} << 20;

std::atomic<std::int64_t> fail_countdown{0};
std::atomic<std::int64_t> failures_fired{0};
std::atomic<std::int64_t> book_countdown{0};
std::atomic<std::int64_t> book_fired{0};

// Whether an injected bookkeeping failure fires now.
bool bookkeeping_fails() noexcept {
    if (book_countdown.load(std::memory_order_relaxed) > 0 && book_countdown.fetch_sub(1) == 1) {
        book_fired.fetch_add(1);
        return true;
    }
    return false;
}

std::size_t round_up(std::size_t x, std::size_t a) { return (x + a - 1) / a * a; }

// Anonymous mapping, 2 MiB aligned, huge pages advised. Zero-filled by the
// kernel. Null on failure.
void* map_huge(std::size_t bytes) noexcept {
    std::size_t len = round_up(bytes, kHuge);
    std::size_t span = len + kHuge;
    void* raw = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    auto base = reinterpret_cast<std::uintptr_t>(raw);
    std::uintptr_t aligned = round_up(base, kHuge);
    if (aligned > base) ::munmap(raw, aligned - base);
    std::uintptr_t tail = aligned + len;
    if (base + span > tail) ::munmap(reinterpret_cast<void*>(tail), base + span - tail);
#ifdef MADV_HUGEPAGE
    ::madvise(reinterpret_cast<void*>(aligned), len, MADV_HUGEPAGE);
#endif
    return reinterpret_cast<void*>(aligned);
}

void unmap_huge(void* p, std::size_t bytes) noexcept { ::munmap(p, round_up(bytes, kHuge)); }

// Large bookkeeping blocks (span arrays, temporaries) come and go with every
// call; mapping them afresh each time makes the kernel zero every page
// again. A few freed mappings are kept for reuse instead. Data blocks, which
// must start zeroed, always get fresh mappings.
class MappingCache {
public:
    // Both sides only try the lock: the cache is an optimisation, and a
    // lock left held (by a thread that did not survive a fork, say) must
    // never stall an allocation.
    void* take(std::size_t bytes) noexcept {
        std::size_t len = round_up(bytes, kHuge);
        std::unique_lock<std::mutex> lock(mu_, std::try_to_lock);
        if (!lock.owns_lock()) return nullptr;
        int best = -1;
        for (int k = 0; k < count_; ++k)
            if (slot_[k].len >= len && slot_[k].len <= 2 * len &&
                (best < 0 || slot_[k].len < slot_[best].len))
                best = k;
        if (best < 0) return nullptr;
        void* p = slot_[best].p;
        // Keep the tail of an oversized mapping: the block is freed with its
        // own size, so hand back exactly `len` bytes.
        if (slot_[best].len > len)
            ::munmap(static_cast<char*>(p) + len, slot_[best].len - len);
        bytes_ -= slot_[best].len;
        slot_[best] = slot_[--count_];
        return p;
    }
    // Unmaps every kept mapping: under an address-space limit they may be
    // what stands between a request and its memory.
    void drain() noexcept {
        std::unique_lock<std::mutex> lock(mu_, std::try_to_lock);
        if (!lock.owns_lock()) return;
        for (int k = 0; k < count_; ++k) ::munmap(slot_[k].p, slot_[k].len);
        count_ = 0;
        bytes_ = 0;
    }
    bool give(void* p, std::size_t bytes) noexcept {
        std::size_t len = round_up(bytes, kHuge);
        std::unique_lock<std::mutex> lock(mu_, std::try_to_lock);
        if (!lock.owns_lock()) return false;
        if (count_ == kSlots || bytes_ + len > kMaxBytes) return false;
        slot_[count_++] = Slot{p, len};
        bytes_ += len;
        return true;
    }

private:
    static constexpr int kSlots = 16;
    static constexpr std::size_t kMaxBytes = std::size_t{256} << 20;
    struct Slot {
        void* p;
        std::size_t len;
    };
    std::mutex mu_;
    Slot slot_[kSlots] = {};
    int count_ = 0;
    std::size_t bytes_ = 0;
};

MappingCache& mapping_cache() noexcept {
    // Built in static storage, without allocating (frees must never fail),
    // and never destroyed: frees may come late.
    alignas(MappingCache) static unsigned char storage[sizeof(MappingCache)];
    static MappingCache* cache = new (storage) MappingCache;
    return *cache;
}

// A fresh mapping; when none can be had, the kept ones are given back and
// it is tried once more.
void* map_fresh(std::size_t bytes) noexcept {
    void* p = map_huge(bytes);
    if (!p) {
        mapping_cache().drain();
        p = map_huge(bytes);
    }
    return p;
}

}  // namespace

void fatal(const char* msg) noexcept {
    std::fprintf(stderr, "korvex: %s\n", msg);
    std::fflush(stderr);
    std::abort();
}

void fatal_at(const char* msg, const char* file, int line) noexcept {
    std::fprintf(stderr, "korvex: %s (%s:%d)\n", msg, file, line);
    std::fflush(stderr);
    std::abort();
}

std::int64_t live_allocations() noexcept {
    return detail::live_blocks.load(std::memory_order_relaxed);
}

void* xmalloc(std::size_t bytes) {
    if (bytes == 0) return nullptr;
    if (bookkeeping_fails()) throw std::bad_alloc();
    void* p = nullptr;
    if (bytes >= kMapThreshold) {
        p = mapping_cache().take(bytes);
        if (!p) p = map_fresh(bytes);
    } else {
        p = std::malloc(bytes);
    }
    if (!p) throw std::bad_alloc();
    detail::live_blocks.fetch_add(1, std::memory_order_relaxed);
    return p;
}

void* xcalloc(std::size_t count, std::size_t size) {
    std::size_t bytes = mul_or_throw(count, size);
    if (bytes == 0) return nullptr;
    if (bookkeeping_fails()) throw std::bad_alloc();
    void* p = bytes >= kMapThreshold ? map_fresh(bytes) : std::calloc(count, size);
    if (!p) throw std::bad_alloc();
    detail::live_blocks.fetch_add(1, std::memory_order_relaxed);
    return p;
}

void xfree(void* p, std::size_t bytes) noexcept {
    if (!p) return;
    if (bytes < kMapThreshold)
        std::free(p);
    else if (!mapping_cache().give(p, bytes))
        unmap_huge(p, bytes);
    detail::live_blocks.fetch_sub(1, std::memory_order_relaxed);
}

void* alloc_data_block(std::size_t bytes) noexcept {
    if (fail_countdown.load(std::memory_order_relaxed) > 0 &&
        fail_countdown.fetch_sub(1) == 1) {
        failures_fired.fetch_add(1);
        return nullptr;
    }
    void* p;
    if (bytes >= kMapThreshold) {
        p = map_fresh(bytes);
    } else {
        p = std::aligned_alloc(32, round_up(bytes == 0 ? 32 : bytes, 32));
        if (p) std::memset(p, 0, bytes);
    }
    if (p) detail::live_blocks.fetch_add(1, std::memory_order_relaxed);
    return p;
}

void free_data_block(void* p, std::size_t bytes) noexcept {
    if (!p) return;
    if (bytes >= kMapThreshold)
        unmap_huge(p, bytes);
    else
        std::free(p);
    detail::live_blocks.fetch_sub(1, std::memory_order_relaxed);
}

void inject_data_block_failure(std::int64_t nth) noexcept {
    fail_countdown.store(nth < 0 ? 0 : nth);
    failures_fired.store(0);
}

std::int64_t injected_failures_fired() noexcept { return failures_fired.load(); }

void inject_bookkeeping_failure(std::int64_t nth) noexcept {
    book_countdown.store(nth < 0 ? 0 : nth);
    book_fired.store(0);
}

std::int64_t injected_bookkeeping_failures_fired() noexcept { return book_fired.load(); }

}  // namespace korvex
