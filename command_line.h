// command_line.h - what the kit's commands share in reading their arguments:
// whole decimal numbers in a range and FIRST-LAST warehouse ranges, each bad
// value one line on standard error and exit status 2.
#ifndef TPCC_COMMAND_LINE_H
#define TPCC_COMMAND_LINE_H

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

namespace command_line {

// The command's name, for its messages.
inline const char *program = "tpcc";

[[noreturn]] inline void usage_error(const std::string &message) {
  (void)std::fprintf(stderr, "%s: %s (see %s --help)\n", program, message.c_str(), program);
  std::exit(2);
}

// A decimal number in [lo, hi] that is the whole of text.
inline bool parse_number(const char *text, uint64_t lo, uint64_t hi, uint64_t &value) {
  if (*text < '0' || *text > '9') {
    return false;
  }
  char *end = nullptr;
  errno = 0;
  value = std::strtoull(text, &end, 10);
  return errno == 0 && *end == '\0' && value >= lo && value <= hi;
}

// The option's value as a number in [lo, hi], or a usage error naming the option.
inline int64_t number(const char *name, const char *text, uint64_t lo, uint64_t hi) {
  uint64_t value = 0;
  if (!parse_number(text, lo, hi, value)) {
    usage_error(std::string(name) + ": '" + text + "' is not a number from " + std::to_string(lo) +
                " to " + std::to_string(hi));
  }
  return static_cast<int64_t>(value);
}

// FIRST-LAST with 1 <= FIRST <= LAST, or a usage error.
inline std::pair<int64_t, int64_t> range(const char *text) {
  const char *dash = std::strchr(text, '-');
  uint64_t first = 0;
  uint64_t last = 0;
  if (dash == nullptr || !parse_number(std::string(text, dash).c_str(), 1, INT32_MAX, first) ||
      !parse_number(dash + 1, 1, INT32_MAX, last) || first > last) {
    usage_error(std::string("--range: '") + text + "' is not FIRST-LAST with 1 <= FIRST <= LAST");
  }
  return {static_cast<int64_t>(first), static_cast<int64_t>(last)};
}

} // namespace command_line

#endif
