// Counts, while switched on, how the bytes the program holds on the heap
// through operator new change. Switched off, operator new and delete cost a
// flag test more than malloc and free, and block sizes are those of malloc,
// so timed runs see the allocator as a host would.
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "bench/bench_util.h"

namespace {

std::atomic<bool> g_counting{false};
std::atomic<long long> g_change{0};
std::atomic<long long> g_peak{0};

void* counted_alloc(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  if (g_counting.load(std::memory_order_relaxed)) {
    const long long now =
        g_change.fetch_add(static_cast<long long>(malloc_usable_size(p))) +
        static_cast<long long>(malloc_usable_size(p));
    long long peak = g_peak.load();
    while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
    }
  }
  return p;
}

void counted_free(void* p) {
  if (p == nullptr) return;
  // A block allocated before counting began counts too: its release really
  // lowers what the heap holds.
  if (g_counting.load(std::memory_order_relaxed)) {
    g_change.fetch_sub(static_cast<long long>(malloc_usable_size(p)));
  }
  std::free(p);
}

}  // namespace

void* operator new(std::size_t size) { return counted_alloc(size); }
void* operator new[](std::size_t size) { return counted_alloc(size); }
void operator delete(void* p) noexcept { counted_free(p); }
void operator delete[](void* p) noexcept { counted_free(p); }
void operator delete(void* p, std::size_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::size_t) noexcept { counted_free(p); }

namespace bench {

void start_heap_count() {
  g_change = 0;
  g_peak = 0;
  g_counting = true;
}
HeapCount stop_heap_count() {
  g_counting = false;
  return {g_change.load(), g_peak.load()};
}

}  // namespace bench
