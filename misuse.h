// Misuse with no sound result: one line naming the function and the value on
// standard error, then abort().  Private to the library's source units.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace tpcc_detail {

[[noreturn, gnu::cold, gnu::noinline]] static void
die_bad_value(const char *function, const char *name, long long value) {
  (void)std::fprintf(stderr, "%s: unexpected value (%lld) of %s used\n", function, value, name);
  std::abort();
}

} // namespace tpcc_detail
