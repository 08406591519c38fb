// terminals.cpp - the terminals' places and seeds; see terminals.h.
#include "terminals.h"

namespace terminals {

namespace {

uint64_t mix(uint64_t z) { // splitmix64's finaliser
  z = (z ^ (z >> 30U)) * UINT64_C(0xbf58476d1ce4e5b9);
  z = (z ^ (z >> 27U)) * UINT64_C(0x94d049bb133111eb);
  return z ^ (z >> 31U);
}

} // namespace

Place place(bool standard, int64_t first, int64_t last, int64_t i) {
  if (standard) {
    return {static_cast<int>(first + i / 10), static_cast<int>(i % 10 + 1), 0};
  }
  const int64_t spread = last - first + 1;
  return {static_cast<int>(first + i % spread), static_cast<int>((i / spread) % 10 + 1),
          i / (spread * 10)};
}

unsigned int seed(uint64_t run_seed, const Place &p) {
  constexpr uint64_t kGolden = UINT64_C(0x9e3779b97f4a7c15);
  uint64_t z = mix(run_seed + kGolden);
  z = mix(z ^ (static_cast<uint64_t>(p.w_id) * 16 + static_cast<uint64_t>(p.d_id)));
  z = mix(z + static_cast<uint64_t>(p.rank) * kGolden);
  return static_cast<unsigned int>(z);
}

} // namespace terminals
