// gettimestamp at any clock value and any len: exactly min(len, text length)
// characters of the formatted local time and a NUL, not one byte more.  The
// target interposes time() to set the clock.
#include "fuzz_input.h"
#include <tpcc/support.h>

#include <ctime>
#include <memory>
#include <string>

namespace {
time_t fuzz_now = 0;

// The text the timestamp format gives for t, or nullopt-like "" and false.
bool reference(time_t t, std::string &text) {
  struct tm local {};
  if (localtime_r(&t, &local) == nullptr) {
    return false;
  }
  char buf[64];
  (void)std::snprintf(buf, sizeof buf, "%04lld-%02d-%02d %02d:%02d:%02d",
                      static_cast<long long>(local.tm_year) + 1900, local.tm_mon + 1, local.tm_mday,
                      local.tm_hour, local.tm_min, local.tm_sec);
  text = buf;
  return true;
}
} // namespace

extern "C" time_t time(time_t *out) noexcept {
  if (out != nullptr) {
    *out = fuzz_now;
  }
  return fuzz_now;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1); // a zone with daylight saving time
  tzset();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  FuzzInput in(data, size);
  fuzz_now = in.take<time_t>();
  const auto len = in.take<std::size_t>();

  std::string text;
  const bool converts = reference(fuzz_now, text);
  const std::size_t written = len < text.size() ? len : text.size();
  // Exactly the bytes the call may write, so AddressSanitizer sees any more.
  const auto buf = std::make_unique<char[]>(written + 1);
  const int result = gettimestamp(buf.get(), len);
  if (result != (converts ? static_cast<int>(text.size()) : -1) ||
      text.compare(0, written, buf.get()) != 0 || buf[written] != '\0') {
    std::abort();
  }
  return 0;
}
