// The pool: every block is recorded with its type, tag and size so that tests
// can account for it, the verifier can check every free, and low-resources
// runs can fail chosen allocations, or a driver's allocations at random.
#include "pool.h"

#include "address_table.h"
#include "fast_lock.h"
#include "irql.h"
#include "object.h"

#include <host/kernel.h>

#include <dlfcn.h>
#include <execinfo.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <unordered_map>

namespace wrk {
namespace {

// Fresh blocks are filled with this so that code relying on zeroed pool fails
// the way it would on Windows, where pool holds whatever was there before.
constexpr unsigned char kFreshFill = 0xCD;
constexpr size_t kAlignment = 16;
// How many freed addresses are remembered to tell a double free from a wild one.
constexpr size_t kFreedMemory = 4096;

struct Pool {
    detail::FastLock lock;
    detail::AddressTable<detail::PoolBlock> blocks;
    size_t bytes = 0;
    detail::RecentAddresses<kFreedMemory> recentlyFreed;
    // Counted and checked without the lock: every allocation asks.
    std::atomic<uint64_t> requests{0};
    std::atomic<uint64_t> failAtRequest{0};  // 0: no countdown
    std::atomic<bool> anyFailingTag{false};
    std::set<ULONG> failingTags;  // under the lock
};

Pool& ThePool() {
    static Pool* pool = new Pool;  // outlives detached threads
    return *pool;
}

// The verifier's low-resources simulation: each allocation a driver asks
// for, itself or through a kernel routine (an IRP, a work item, a system
// buffer), fails with a set probability. Whether the n-th request from one
// place in the driver fails is a function of the seed, so a run is repeated
// by its seed as far as the driver's threads take their turns alike.
struct RandomFaults {
    std::atomic<bool> on{false};
    std::mutex lock;
    double probability = 0;
    uint64_t seed = 0;
    uint64_t failed = 0;
    std::unordered_map<uintptr_t, uint64_t> requestsBySite;  // by offset in the driver's image
    std::unordered_map<const void*, bool> driverImages;      // image base: whether it has a DriverEntry
};

RandomFaults& TheRandomFaults() {
    static auto* faults = new RandomFaults;
    return *faults;
}

uint64_t Mix(uint64_t value) {
    value += 0x9E3779B97F4A7C15ull;
    value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ull;
    value = (value ^ (value >> 27)) * 0x94D049BB133111EBull;
    return value ^ (value >> 31);
}

const void* KernelImage() {
    static const void* base = [] {
        Dl_info info{};
        dladdr(reinterpret_cast<void*>(&ExAllocatePoolWithTag), &info);
        return static_cast<const void*>(info.dli_fbase);
    }();
    return base;
}

// With the faults' lock held.
bool IsDriverImageLocked(RandomFaults& faults, const Dl_info& info) {
    auto known = faults.driverImages.find(info.dli_fbase);
    if (known != faults.driverImages.end()) return known->second;
    bool driver = false;
    if (void* image = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD)) {
        driver = dlsym(image, "DriverEntry") != nullptr;
        dlclose(image);
    }
    faults.driverImages[info.dli_fbase] = driver;
    return driver;
}

// Whether this allocation is one the simulation fails: the first caller
// outside the kernel decides whose request it is.
bool FailsAtRandom() {
    RandomFaults& faults = TheRandomFaults();
    if (!faults.on.load(std::memory_order_acquire)) {
        return false;
    }
    void* frames[32];
    const int depth = backtrace(frames, 32);
    for (int i = 1; i < depth; ++i) {
        Dl_info info{};
        if (dladdr(frames[i], &info) == 0) {
            return false;
        }
        if (info.dli_fbase == KernelImage()) {
            continue;
        }
        std::lock_guard guard(faults.lock);
        if (!faults.on || !IsDriverImageLocked(faults, info)) {
            return false;
        }
        const uintptr_t site = reinterpret_cast<uintptr_t>(frames[i]) - reinterpret_cast<uintptr_t>(info.dli_fbase);
        const uint64_t request = ++faults.requestsBySite[site];
        const uint64_t draw = Mix(faults.seed ^ Mix(site) ^ Mix(request << 20));
        const bool fail = static_cast<double>(draw >> 11) * 0x1.0p-53 < faults.probability;
        faults.failed += fail ? 1 : 0;
        return fail;
    }
    return false;
}

bool IsPaged(POOL_TYPE type) {
    return (type & 1) != 0;
}

const char* TypeName(POOL_TYPE type) {
    return IsPaged(type) ? "PagedPool" : "NonPagedPool";
}

std::string TagText(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return text;
}

PVOID Allocate(POOL_TYPE type, SIZE_T size, ULONG tag, void* caller) {
    detail::RequireIrqlAtMost(IsPaged(type) ? APC_LEVEL : DISPATCH_LEVEL,
                              IsPaged(type) ? "ExAllocatePoolWithTag(PagedPool)" : "ExAllocatePoolWithTag");
    Pool& pool = ThePool();
    uint64_t request = pool.requests.fetch_add(1) + 1;
    if (pool.failAtRequest.load(std::memory_order_relaxed) == request &&
        pool.failAtRequest.compare_exchange_strong(request, 0)) {
        return nullptr;
    }
    if (pool.anyFailingTag.load(std::memory_order_acquire)) {
        std::lock_guard guard(pool.lock);
        if (pool.failingTags.count(tag) != 0) {
            return nullptr;
        }
    }
    if (FailsAtRandom()) {
        return nullptr;
    }
    size_t rounded = (size + kAlignment - 1) / kAlignment * kAlignment;
    // The C library's malloc aligns to 16 already and is quicker than
    // aligned_alloc; a sanitizer's may not, and then aligned_alloc does.
    PVOID block = std::malloc(rounded == 0 ? kAlignment : rounded);
    if (block != nullptr && reinterpret_cast<uintptr_t>(block) % kAlignment != 0) {
        std::free(block);
        block = std::aligned_alloc(kAlignment, rounded == 0 ? kAlignment : rounded);
    }
    if (block == nullptr) {
        return nullptr;
    }
    std::memset(block, kFreshFill, size);
    const detail::PoolBlock record{block, type, tag, size, caller, detail::NextStamp()};
    std::lock_guard guard(pool.lock);
    pool.blocks.Insert(block, record);
    pool.bytes += size;
    return block;
}

void Free(PVOID block, const ULONG* expectedTag) {
    if (block == nullptr) {
        Bugcheck("BAD_POOL_CALLER", "ExFreePool of a null pointer");
    }
    detail::RequireIrqlAtMost(DISPATCH_LEVEL, "ExFreePool");
    Pool& pool = ThePool();
    {
        std::lock_guard guard(pool.lock);
        const detail::PoolBlock* found = pool.blocks.Find(block);
        if (found == nullptr) {
            char address[32];
            std::snprintf(address, sizeof address, "%p", block);
            // An address given out again since its free is a live block
            // then, so finding it among the recent frees means freed twice.
            Bugcheck("BAD_POOL_CALLER", std::string(pool.recentlyFreed.Contains(block)
                                                        ? "pool block freed twice at "
                                                        : "ExFreePool of memory not allocated from pool at ") +
                                            address);
        }
        if (expectedTag != nullptr && *expectedTag != found->tag) {
            Bugcheck("BAD_POOL_CALLER", "ExFreePoolWithTag with tag '" + TagText(*expectedTag) +
                                            "' of a block tagged '" + TagText(found->tag) + "'");
        }
        if (IsPaged(found->type)) {
            detail::RequireIrqlAtMost(APC_LEVEL, "ExFreePool(PagedPool)");
        }
        pool.bytes -= found->size;
        pool.blocks.Erase(block);
        pool.recentlyFreed.Note(block);
    }
    std::free(block);
}

}  // namespace

size_t PoolOutstandingBlocks() {
    std::lock_guard guard(ThePool().lock);
    return ThePool().blocks.Size();
}

size_t PoolOutstandingBytes() {
    std::lock_guard guard(ThePool().lock);
    return ThePool().bytes;
}

std::map<ULONG, size_t> PoolOutstandingByTag() {
    std::lock_guard guard(ThePool().lock);
    std::map<ULONG, size_t> byTag;
    ThePool().blocks.ForEach([&byTag](const void*, const detail::PoolBlock& block) { ++byTag[block.tag]; });
    return byTag;
}

std::string PoolReport() {
    std::string report;
    for (const auto& block : detail::PoolBlocksSince(0)) {
        report += detail::DescribeBlock(block) + "\n";
    }
    return report;
}

uint64_t PoolAllocationCount() {
    return ThePool().requests.load();
}

void PoolFailNthAllocation(uint64_t n) {
    ThePool().failAtRequest = n == 0 ? 0 : ThePool().requests.load() + n;
}

void PoolFailTag(ULONG tag, bool fail) {
    Pool& pool = ThePool();
    std::lock_guard guard(pool.lock);
    if (fail) {
        pool.failingTags.insert(tag);
    } else {
        pool.failingTags.erase(tag);
    }
    pool.anyFailingTag = !pool.failingTags.empty();
}

void PoolClearFaults() {
    {
        Pool& pool = ThePool();
        pool.failAtRequest = 0;
        std::lock_guard guard(pool.lock);
        pool.failingTags.clear();
        pool.anyFailingTag = false;
    }
    RandomFaults& faults = TheRandomFaults();
    std::lock_guard guard(faults.lock);
    faults.on = false;
}

void PoolFailRandomly(double probability, uint64_t seed) {
    RandomFaults& faults = TheRandomFaults();
    std::lock_guard guard(faults.lock);
    faults.probability = probability;
    faults.seed = seed;
    faults.failed = 0;
    faults.requestsBySite.clear();
    faults.on = probability > 0;
}

uint64_t PoolRandomFailures() {
    RandomFaults& faults = TheRandomFaults();
    std::lock_guard guard(faults.lock);
    return faults.failed;
}

namespace detail {

std::vector<PoolBlock> PoolBlocksSince(uint64_t stamp) {
    std::lock_guard guard(ThePool().lock);
    std::vector<PoolBlock> blocks;
    ThePool().blocks.ForEach([&](const void*, const PoolBlock& block) {
        if (block.stamp >= stamp) {
            blocks.push_back(block);
        }
    });
    std::sort(blocks.begin(), blocks.end(), [](const PoolBlock& a, const PoolBlock& b) { return a.stamp < b.stamp; });
    return blocks;
}

std::string DescribeBlock(const PoolBlock& block) {
    char text[160];
    std::snprintf(text, sizeof text, "'%s' %s %zu bytes at %p", TagText(block.tag).c_str(), TypeName(block.type),
                  block.size, block.address);
    return text;
}

}  // namespace detail
}  // namespace wrk

// The tag ExAllocatePool gives its blocks on Windows: "None".
static constexpr ULONG kUntaggedPool = 0x656E6F4E;

extern "C" PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    return wrk::Allocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0));
}

extern "C" PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return wrk::Allocate(PoolType, NumberOfBytes, kUntaggedPool, __builtin_return_address(0));
}

extern "C" void ExFreePool(PVOID P) {
    wrk::Free(P, nullptr);
}

extern "C" void ExFreePoolWithTag(PVOID P, ULONG Tag) {
    wrk::Free(P, &Tag);
}
