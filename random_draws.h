// RandomNumber, NURand and GetCValue as inline functions, for the library's
// own callers: with constant ranges the range check folds away and the
// remainder becomes a multiplication.  Private to the library's source units;
// the exported functions are these and nothing else.
#pragma once

#include "misuse.h"
#include "support.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace tpcc_detail {

[[noreturn, gnu::cold, gnu::noinline]] static void die_bad_range(const char *function, int32_t lo,
                                                                 int32_t hi) {
  (void)std::fprintf(stderr, "%s: unexpected range (%d, %d) used\n", function, lo, hi);
  std::abort();
}

// Number of values in [lo, hi] modulo 2^32: 0 stands for the full 32-bit range.
// Unsigned arithmetic keeps ranges wider than INT32_MAX free of overflow.
static inline uint32_t span_of(const char *function, int32_t lo, int32_t hi) {
  if (lo > hi) {
    die_bad_range(function, lo, hi);
  }
  return static_cast<uint32_t>(hi) - static_cast<uint32_t>(lo) + 1U;
}

// lo + (r mod span), wrapping in 32 bits; for every span that fits a signed
// 32-bit integer this equals the signed arithmetic of the TPC-C formulas.
static inline int32_t pick(uint32_t r, int32_t lo, uint32_t span) {
  const uint32_t offset = span == 0 ? r : r % span;
  return static_cast<int32_t>(static_cast<uint32_t>(lo) + offset);
}

static inline uint32_t draw(unsigned int *seed) {
  return static_cast<uint32_t>(rand_r(seed));
}

// RandomNumber: one draw.
static inline int32_t uniform(unsigned int *seed, int32_t lo, int32_t hi) {
  const uint32_t span = span_of("RandomNumber", lo, hi);
  return pick(draw(seed), lo, span);
}

// GetCValue: the C for A as it stands now; misuse is reported as NURand's.
static inline uint32_t c_value(int32_t A) {
  switch (A) {
  case 255:
    return C_255;
  case 1023:
    return C_1023;
  case 8191:
    return C_8191;
  default:
    die_bad_value("NURand", "A", A);
  }
}

// NURand: checks, then the draw for [0, A], then the draw for [x, y].
static inline int32_t nurand(unsigned int *seed, int32_t A, int32_t x, int32_t y) {
  const uint32_t c = c_value(A);
  const uint32_t span = span_of("NURand", x, y);
  // Every accepted A is 2^k - 1, so r mod (A + 1) is r & A.
  const int32_t a = static_cast<int32_t>(draw(seed)) & A;
  const int32_t u = pick(draw(seed), x, span);
  return pick(static_cast<uint32_t>(a | u) + c, x, span);
}

} // namespace tpcc_detail
