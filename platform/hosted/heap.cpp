// The process heap: blocks from malloc with a header, so that a free can
// be checked, counted and traced (its size, and whether its bytes were all
// zero when it was freed). The machine description can make the n-th
// allocation fail; HeapAlloc then returns NULL without setting the last
// error, as Windows does without HEAP_GENERATE_EXCEPTIONS.
#include <stdlib.h>
#include <string.h>

#include <map>

#include "hosted.h"
#include "machine.h"
#include "trace_line.h"

namespace {

constexpr uint64_t kBlockMagic = 0x48454150424C4B31ull;  // "HEAPBLK1"
constexpr unsigned char kFreshFill = 0xCC;              // bytes of a block not zeroed
HANDLE const kProcessHeap = (HANDLE)(uintptr_t)0x00150000;

struct BlockHeader {
    uint64_t magic;
    uint64_t id;
    size_t size;
    size_t pad;  // keeps the user area 16-byte aligned
};

uint64_t g_allocations = 0;
uint64_t g_failAt = 0;
uint64_t g_nextId = 1;
// Never destroyed, and made on first use: the driver object allocates
// during static initialisation, and the exit report reads the map after
// the static destructors.
std::map<uint64_t, size_t> &Live() {
    static std::map<uint64_t, size_t> *live = new std::map<uint64_t, size_t>();
    return *live;
}

// The machine description's failing allocation counts from the start of
// the process, so it is applied at the first allocation.
void ApplyMachineOnce() {
    static bool applied = false;
    if (applied) return;
    applied = true;
    uint64_t n = hosted::CurrentMachine().fail_allocation;
    if (n) g_failAt = n;
}

}  // namespace

namespace hosted {
void SetFailingAllocation(uint64_t n) {
    ApplyMachineOnce();
    g_failAt = n ? g_allocations + n : 0;
}
uint64_t AllocationCount() { return g_allocations; }
size_t LiveHeapBlocks() { return Live().size(); }
}  // namespace hosted

extern "C" HANDLE WINAPI GetProcessHeap(void) { return kProcessHeap; }

extern "C" LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes) {
    if (hHeap != kProcessHeap) return nullptr;
    ApplyMachineOnce();
    uint64_t number = ++g_allocations;
    if (g_failAt && number == g_failAt) {
        hosted::CTraceLine("heap_alloc_failed").Set("size", dwBytes).Set("number", number).Write();
        return nullptr;
    }
    if (dwBytes > ((size_t)1 << 31)) return nullptr;
    BlockHeader *h = (BlockHeader *)malloc(sizeof(BlockHeader) + (dwBytes ? dwBytes : 1));
    if (!h) return nullptr;
    h->magic = kBlockMagic;
    h->id = g_nextId++;
    h->size = dwBytes;
    h->pad = 0;
    unsigned char *user = (unsigned char *)(h + 1);
    memset(user, (dwFlags & HEAP_ZERO_MEMORY) ? 0 : kFreshFill, dwBytes);
    (Live())[h->id] = dwBytes;
    hosted::CTraceLine("heap_alloc")
        .Set("block", h->id)
        .Set("size", dwBytes)
        .Set("zeroed", (dwFlags & HEAP_ZERO_MEMORY) != 0)
        .Write();
    // cppcheck-suppress memleak ; the block is the caller's as h + 1, released by HeapFree
    return user;
}

extern "C" BOOL WINAPI HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem) {
    (void)dwFlags;
    if (hHeap != kProcessHeap) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!lpMem) return TRUE;
    BlockHeader *h = (BlockHeader *)lpMem - 1;
    if (h->magic != kBlockMagic || !Live().count(h->id)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const unsigned char *user = (const unsigned char *)lpMem;
    bool zero = true;
    for (size_t i = 0; i < h->size; i++)
        if (user[i]) {
            zero = false;
            break;
        }
    hosted::CTraceLine("heap_free").Set("block", h->id).Set("size", h->size).Set("all_zero", zero).Write();
    Live().erase(h->id);
    h->magic = 0;
    free(h);
    hosted::ClobberLastErrorAfterSuccess();
    return TRUE;
}

// Runs after the static destructors (the driver object's among them), so
// it sees what the program really left behind.
__attribute__((destructor)) static void ReportLiveBlocks() {
    if (!hosted::TraceEnabled()) return;
    nlohmann::ordered_json blocks = nlohmann::ordered_json::array();
    for (const auto &b : Live()) {
        nlohmann::ordered_json block;
        block["block"] = b.first;
        block["size"] = b.second;
        blocks.push_back(block);
    }
    hosted::CTraceLine("exit").Set("live_blocks", blocks).Write();
}
