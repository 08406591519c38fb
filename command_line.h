// command_line.h - what the kit's commands share in reading their arguments:
// whole decimal numbers in a range, FIRST-LAST warehouse ranges, --help and
// --version, each bad value one line on standard error and exit status 2;
// and the load that --seed, --c-load and --timestamp describe.
#ifndef TPCC_COMMAND_LINE_H
#define TPCC_COMMAND_LINE_H

#include <tpcc/population.h>
#include <tpcc/support.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include <getopt.h>

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

// The cases every command's getopt_long switch ends with: --help (usage, then help),
// --version, a missing value (':') and an unknown option; exits.
[[noreturn]] inline void common_option(int c, const char *usage, const char *help,
                                       const char *version, char **argv) {
  switch (c) {
  case 'h':
    (void)std::fputs(usage, stdout);
    (void)std::fputs(help, stdout);
    std::exit(0);
  case 'V':
    (void)std::printf("%s (tpcc-tools) %s\n", program, version);
    std::exit(0);
  case ':':
    usage_error(std::string("option ") + argv[optind - 1] + " needs a value");
  default:
    usage_error(std::string("unknown option ") + argv[optind - 1]);
  }
}

// The load of seed, c_load (-1: drawn from the seed) and timestamp ("": now).
inline TpccLoad make_load(uint64_t seed, int64_t c_load, const std::string &timestamp,
                          const std::string &null_text) {
  TpccLoad load{};
  load.seed = seed;
  if (c_load >= 0) {
    load.c_load = static_cast<uint32_t>(c_load);
  } else {
    auto folded = static_cast<unsigned int>(seed ^ (seed >> 32U));
    SetLoadCValues(&folded);
    load.c_load = C_255;
  }
  if (timestamp.empty()) {
    (void)gettimestamp(load.timestamp, sizeof load.timestamp - 1);
  } else {
    (void)std::snprintf(load.timestamp, sizeof load.timestamp, "%s", timestamp.c_str());
  }
  (void)std::snprintf(load.null_text, sizeof load.null_text, "%s", null_text.c_str());
  return load;
}

} // namespace command_line

#endif
