// Keeps exceptions (out of memory, a throwing progress function) from
// crossing the library's C-style boundary: they become QV_E_IO.
#ifndef QUORVEL_SRC_GUARDED_H_
#define QUORVEL_SRC_GUARDED_H_

#include "quorvel/Quorvel.h"

namespace quorvel {

template <typename Fn>
auto Guarded(Fn&& fn) noexcept -> decltype(fn()) {
  try {
    return fn();
  } catch (...) {
    return QV_E_IO;
  }
}

}  // namespace quorvel

#endif  // QUORVEL_SRC_GUARDED_H_
