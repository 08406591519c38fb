// TPC-C workload support: random values, customer last names, timestamps and
// clock differences.  See support.h for the contract of each function.

#include "support.h"

#include "misuse.h"
#include "random_draws.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>

extern "C" {
uint32_t C_255 = 1;
uint32_t C_1023 = 2;
uint32_t C_8191 = 3;

constexpr const char *gName[10] = {"BAR", "OUGHT", "ABLE",  "PRI",   "PRES",
                                   "ESE", "ANTI",  "CALLY", "ATION", "EING"};
}

namespace {

using namespace tpcc_detail; // the library's private helpers

uint32_t uniform_c(unsigned int *seed, int32_t A) {
  return static_cast<uint32_t>(RandomNumber(seed, 0, A));
}

// The k-th value, counting from 0, that a run may use for C_255 after loading with c_load.
uint32_t nth_run_value(uint32_t c_load, int32_t k) {
  for (uint32_t c = 0;; ++c) {
    if (IsValidRunCValue(c_load, c) != 0 && k-- == 0) {
      return c;
    }
  }
}

// ---- customer last names ----

constexpr std::size_t kNameCount = 1000;
constexpr std::size_t kNameBytes = 16; // 15 letters at most, and the NUL

struct NameTable {
  std::array<std::array<char, kNameBytes>, kNameCount> text{};
  std::array<unsigned char, kNameCount> length{};
};

constexpr NameTable make_name_table() {
  NameTable table;
  for (std::size_t num = 0; num < kNameCount; ++num) {
    std::size_t at = 0;
    for (const std::size_t digit : {num / 100, num / 10 % 10, num % 10}) {
      for (const char *s = gName[digit]; *s != '\0'; ++s) {
        table.text[num][at++] = *s;
      }
    }
    table.length[num] = static_cast<unsigned char>(at);
  }
  return table;
}

constexpr NameTable kNames = make_name_table();

// ---- timestamps ----

// "-2147481748-12-31 23:59:59" is the widest text a struct tm can give.
constexpr std::size_t kTimestampBytes = 32;
// "YYYY-MM-DD hh:mm:ss", the length of the text for the years 0 to 9999.
constexpr std::size_t kUsualLength = 19;
constexpr std::size_t kNoWholeCopy = std::numeric_limits<std::size_t>::max(); // no len exceeds it

// What gettimestamp gives for one second: the text, or "" and -1 where the
// second has no local time.  One cache line, the text at its start.
struct alignas(64) TimestampCache {
  std::array<char, kTimestampBytes> text; // NUL-terminated
  time_t sec;
  std::size_t whole_copy_above; // kUsualLength - 1 when the text is that long, else kNoWholeCopy
  int result;                   // the text's length, or -1
};

// Each thread keeps the last second it converted: no lock and no shared cache
// line on the path taken within a second.  The cache starts out as a failed
// conversion of the earliest time_t, which has no local time, so even a first
// call at that clock gives what converting gives.  Initial-exec: the cache
// is reached from the thread pointer, with no __tls_get_addr call whose
// clobbers would cost the hot path a register save.
[[gnu::tls_model("initial-exec")]] constinit thread_local TimestampCache cache{
    {}, std::numeric_limits<time_t>::min(), kNoWholeCopy, -1};

// Converts now to local time and formats it into the cache.
void refresh(time_t now) {
  struct tm local {};
  cache.sec = now;
  cache.whole_copy_above = kNoWholeCopy;
  cache.result = -1;
  cache.text[0] = '\0';
  if (localtime_r(&now, &local) != nullptr) {
    cache.result =
        std::snprintf(cache.text.data(), cache.text.size(), "%04lld-%02d-%02d %02d:%02d:%02d",
                      static_cast<long long>(local.tm_year) + 1900, local.tm_mon + 1, local.tm_mday,
                      local.tm_hour, local.tm_min, local.tm_sec);
    if (cache.result == static_cast<int>(kUsualLength)) {
      cache.whole_copy_above = kUsualLength - 1;
    }
  }
}

// Every call but the usual one: a new second, a cut text or an unusual year.
[[gnu::noinline]] int copy_cut(char *buf, std::size_t len, time_t now) {
  if (now != cache.sec) {
    refresh(now);
  }
  const std::size_t length = cache.result < 0 ? 0 : static_cast<std::size_t>(cache.result);
  const std::size_t n = len < length ? len : length;
  std::memcpy(buf, cache.text.data(), n);
  buf[n] = '\0';
  return cache.result;
}

double microseconds(time_t seconds) {
  return static_cast<double>(seconds) * 1000000.0;
}

} // namespace

extern "C" {

int32_t RandomNumber(unsigned int *seed, int32_t min, int32_t max) {
  return uniform(seed, min, max);
}

uint32_t GetCValue(int32_t A) {
  return c_value(A);
}

int32_t NURand(unsigned int *seed, int32_t A, int32_t x, int32_t y) {
  return nurand(seed, A, x, y);
}

void SetLoadCValues(unsigned int *seed) {
  C_255 = uniform_c(seed, 255);
  C_1023 = uniform_c(seed, 1023);
  C_8191 = uniform_c(seed, 8191);
}

void SetRunCValues(unsigned int *seed, uint32_t c_load) {
  if (c_load > 255) {
    die_bad_value("SetRunCValues", "c_load", c_load);
  }
  int32_t allowed = 0;
  for (uint32_t c = 0; c <= 255; ++c) {
    allowed += IsValidRunCValue(c_load, c);
  }
  C_255 = nth_run_value(c_load, RandomNumber(seed, 0, allowed - 1));
  C_1023 = uniform_c(seed, 1023);
  C_8191 = uniform_c(seed, 8191);
}

// TPC-C's rule for the C of customer last names: a run's C_255 must lie far
// enough from the load's that the names it looks up differ in distribution.
int IsValidRunCValue(uint32_t c_load, uint32_t c_run) {
  if (c_load > 255 || c_run > 255) {
    return 0;
  }
  const uint32_t delta = c_load > c_run ? c_load - c_run : c_run - c_load;
  return delta >= 65 && delta <= 119 && delta != 96 && delta != 112 ? 1 : 0;
}

char *Lastname(int32_t num, char *name) {
  const auto index = static_cast<std::size_t>(num);
  if (num < 0 || index >= kNameCount) {
    die_bad_value("Lastname", "num", num);
  }
  // The name and its NUL are 10 to 16 bytes: two overlapping 8-byte moves
  // write exactly those bytes.
  const char *text = kNames.text[index].data();
  const std::size_t n = kNames.length[index] + 1U;
  std::memcpy(name, text, 8);
  std::memcpy(name + n - 8, text + n - 8, 8);
  return name;
}

// Within a second, with room for the whole usual text, the call is a clock
// read, two comparisons and one fixed 20-byte copy of the text and its NUL.
int gettimestamp(char *buf, size_t len) {
  const time_t now = std::time(nullptr);
  if (now == cache.sec && len > cache.whole_copy_above) [[likely]] {
    std::memcpy(buf, cache.text.data(), kUsualLength + 1);
    return static_cast<int>(kUsualLength);
  }
  return copy_cut(buf, len, now);
}

double GetTimespecDiff(const struct timespec *start, const struct timespec *end) {
  return microseconds(end->tv_sec) + static_cast<double>(end->tv_nsec) / 1000.0 -
         microseconds(start->tv_sec) - static_cast<double>(start->tv_nsec) / 1000.0;
}

double GetTimespecDiff2(const struct timespec *start, const struct timespec *end) {
  return microseconds(end->tv_sec) - microseconds(start->tv_sec);
}

} // extern "C"
