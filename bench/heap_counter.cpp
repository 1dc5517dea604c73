// Counts the bytes the program holds on the heap through operator new.
#include <atomic>
#include <cstdlib>
#include <new>

#include "bench/bench_util.h"

namespace {

std::atomic<std::size_t> g_in_use{0};
std::atomic<std::size_t> g_peak{0};

// Each block carries its size in front of it.
constexpr std::size_t kHeader = alignof(std::max_align_t);

void* counted_alloc(std::size_t size) {
  void* raw = std::malloc(size + kHeader);
  if (raw == nullptr) throw std::bad_alloc();
  *static_cast<std::size_t*>(raw) = size;
  const std::size_t now = g_in_use.fetch_add(size) + size;
  std::size_t peak = g_peak.load();
  while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
  }
  return static_cast<char*>(raw) + kHeader;
}

void counted_free(void* p) {
  if (p == nullptr) return;
  void* raw = static_cast<char*>(p) - kHeader;
  g_in_use.fetch_sub(*static_cast<std::size_t*>(raw));
  std::free(raw);
}

}  // namespace

void* operator new(std::size_t size) { return counted_alloc(size); }
void* operator new[](std::size_t size) { return counted_alloc(size); }
void operator delete(void* p) noexcept { counted_free(p); }
void operator delete[](void* p) noexcept { counted_free(p); }
void operator delete(void* p, std::size_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::size_t) noexcept { counted_free(p); }

namespace bench {

std::size_t heap_in_use() { return g_in_use.load(); }
std::size_t heap_peak() { return g_peak.load(); }
void reset_heap_peak() { g_peak.store(g_in_use.load()); }

}  // namespace bench
