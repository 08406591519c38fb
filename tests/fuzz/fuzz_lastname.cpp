// Lastname for any number: the three syllables and a NUL, not one byte more,
// for 0..999; the abort chosen for anything else.
#include "fuzz_input.h"
#include <tpcc/support.h>

#include <memory>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  FuzzInput in(data, size);
  const auto raw = in.take<int32_t>();
  const auto misuse = in.take<uint8_t>();

  const int32_t num = raw % 1000 < 0 ? -(raw % 1000) : raw % 1000;
  const std::string expected =
      std::string(gName[num / 100]) + gName[num / 10 % 10] + gName[num % 10];
  // Exactly the bytes the name needs, so AddressSanitizer sees any write past them.
  const auto name = std::make_unique<char[]>(expected.size() + 1);
  if (Lastname(num, name.get()) != name.get() || expected != name.get()) {
    std::abort();
  }

  if (check_misuse(misuse) && (raw < 0 || raw > 999)) {
    char buf[16];
    expect_abort([&] { Lastname(raw, buf); },
                 "Lastname: unexpected value (" + std::to_string(raw) + ") of num used\n");
  }
  return 0;
}
