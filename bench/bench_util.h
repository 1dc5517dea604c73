// Small helpers shared by the benchmark programs: timing, medians, the
// result table, and a heap counter.
#ifndef BREVANTO_BENCH_BENCH_UTIL_H_
#define BREVANTO_BENCH_BENCH_UTIL_H_

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace bench {

inline double seconds_of(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

inline double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Runs ours and the peer alternately `rounds` times and returns the median
// rate of each (work units per second).
struct Pair {
  double ours;
  double peer;
};
// `untimed`, when given, runs after each round of ours outside the clock
// (freeing what the round handed to its caller, say).
inline Pair compare(int rounds, double units, const std::function<void()>& ours,
                    const std::function<void()>& peer,
                    const std::function<void()>& untimed = nullptr) {
  std::vector<double> a, b;
  for (int i = 0; i < rounds; ++i) {
    a.push_back(units / seconds_of(ours));
    if (untimed) untimed();
    b.push_back(units / seconds_of(peer));
  }
  return {median(a), median(b)};
}

// One row of the table: "name: ours X, peer Y, ratio Z".
inline void row(const std::string& name, const Pair& p, const char* unit, bool lower_is_better = false) {
  const double ratio = lower_is_better ? p.peer / p.ours : p.ours / p.peer;
  std::printf("%s: ours %.4g %s, peer %.4g %s, ratio %.2f\n", name.c_str(), p.ours, unit, p.peer,
              unit, ratio);
  std::fflush(stdout);
}

// How the bytes held on the heap through operator new changed between
// start_heap_count() and stop_heap_count(): at the end, and at the peak
// (heap_counter.cpp). Only the span between the two is counted.
struct HeapCount {
  long long change;
  long long peak;
};
void start_heap_count();
HeapCount stop_heap_count();

}  // namespace bench

#endif  // BREVANTO_BENCH_BENCH_UTIL_H_
