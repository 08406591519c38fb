// RandomNumber and NURand against rand_r called directly: the result, its
// range and the seed after exactly one or two draws, for any seed, range, A
// and C; misuse ends in the abort chosen for it.
#include "fuzz_input.h"
#include "tpcc_reference.h"
#include <tpcc/support.h>

#include <algorithm>
#include <string>

namespace {

void check_random_number(unsigned seed, int32_t lo, int32_t hi) {
  unsigned reference = seed;
  const int32_t value = RandomNumber(&seed, lo, hi);
  if (value != reference_uniform(reference, lo, hi) || seed != reference || value < lo ||
      value > hi) {
    std::abort();
  }
}

void check_nurand(unsigned seed, int32_t A, int32_t x, int32_t y, uint32_t c) {
  unsigned reference = seed;
  const int32_t value = NURand(&seed, A, x, y);
  const int32_t expected = reference_nurand(reference, A, x, y, c);
  if (value != expected || seed != reference || value < x || value > y) {
    std::abort();
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  FuzzInput in(data, size);
  const auto seed = in.take<unsigned>();
  const auto first = in.take<int32_t>();
  const auto second = in.take<int32_t>();
  const auto which = in.take<uint8_t>();
  const auto c = in.take<uint32_t>();
  const auto misuse = in.take<uint8_t>();
  const auto bad_a = in.take<int32_t>();

  const int32_t lo = std::min(first, second);
  const int32_t hi = std::max(first, second);
  const int32_t As[] = {255, 1023, 8191};
  const int32_t A = As[which % 3];
  C_255 = C_1023 = C_8191 = c;
  check_random_number(seed, lo, hi);
  check_nurand(seed, A, lo, hi, c);

  if (check_misuse(misuse)) {
    unsigned s = seed;
    if (lo != hi) {
      expect_abort([&] { RandomNumber(&s, hi, lo); }, "RandomNumber: unexpected range (" +
                                                          std::to_string(hi) + ", " +
                                                          std::to_string(lo) + ") used\n");
      expect_abort([&] { NURand(&s, A, hi, lo); }, "NURand: unexpected range (" +
                                                       std::to_string(hi) + ", " +
                                                       std::to_string(lo) + ") used\n");
    }
    if (bad_a != 255 && bad_a != 1023 && bad_a != 8191) {
      expect_abort([&] { NURand(&s, bad_a, lo, hi); },
                   "NURand: unexpected value (" + std::to_string(bad_a) + ") of A used\n");
    }
  }
  return 0;
}
