// The TPC-C random-value formulas written out in 64-bit arithmetic, which no
// 32-bit range overflows: what the module's results are checked against.
#pragma once

#include <cstdint>
#include <cstdlib>

// min + (one draw mod (max - min + 1)).
inline int32_t reference_uniform(unsigned &seed, int64_t lo, int64_t hi) {
  return static_cast<int32_t>(lo + rand_r(&seed) % (hi - lo + 1));
}

// (((uniform(0, A) | uniform(x, y)) + C) mod (y - x + 1)) + x, the sum wrapping
// in 32 bits, the first draw for [0, A].
inline int32_t reference_nurand(unsigned &seed, int32_t A, int32_t x, int32_t y, uint32_t c) {
  const int32_t a = reference_uniform(seed, 0, A);
  const int32_t u = reference_uniform(seed, x, y);
  const uint32_t v = static_cast<uint32_t>(a | u) + c;
  const auto span = static_cast<uint64_t>(int64_t{y} - x + 1);
  return static_cast<int32_t>(x + static_cast<int64_t>(v % span));
}
