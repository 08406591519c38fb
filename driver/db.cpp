// db.cpp - what every database kind shares, and the choice of one; see db.h.
#include "db.h"

#include "loader.h"
#include "mariadb/backend.h"
#include "mariadb/my_load.h"
#include "postgresql/backend.h"
#include "postgresql/pg_load.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace db {

const char *mode_name(Mode mode) {
  return mode == Mode::procedures ? "procedures" : "plain";
}

long long cents(const char *decimal) {
  const char *s = decimal;
  const bool negative = *s == '-';
  s += negative ? 1 : 0;
  long long value = 0;
  for (; *s >= '0' && *s <= '9'; ++s) {
    value = value * 10 + (*s - '0');
  }
  int decimals = 0;
  if (*s == '.') {
    for (++s; decimals < 2 && *s >= '0' && *s <= '9'; ++s, ++decimals) {
      value = value * 10 + (*s - '0');
    }
  }
  for (; decimals < 2; ++decimals) {
    value *= 10;
  }
  return negative ? -value : value;
}

std::string money(long long cents) {
  char s[32];
  (void)std::snprintf(s, sizeof s, "%s%lld.%02lld", cents < 0 ? "-" : "", std::llabs(cents) / 100,
                      std::llabs(cents) % 100);
  return s;
}

std::string unique_timestamp() {
  static std::atomic<int64_t> last{0};
  timespec now{};
  (void)clock_gettime(CLOCK_REALTIME, &now);
  const int64_t us = int64_t{now.tv_sec} * 1'000'000 + now.tv_nsec / 1000;
  int64_t prev = last.load();
  int64_t mine = 0;
  do {
    mine = std::max(us, prev + 1);
  } while (!last.compare_exchange_weak(prev, mine));
  thread_local time_t shown = -1;
  thread_local char seconds[24];
  const time_t second = mine / 1'000'000;
  if (second != shown) {
    tm utc{};
    (void)gmtime_r(&second, &utc);
    (void)std::strftime(seconds, sizeof seconds, "%Y-%m-%d %H:%M:%S", &utc);
    shown = second;
  }
  char text[40];
  (void)std::snprintf(text, sizeof text, "%s.%06lld", seconds,
                      static_cast<long long>(mine % 1'000'000));
  return text;
}

const std::vector<std::string> &tables() {
  static const std::vector<std::string> names = {"warehouse",  "district", "customer",
                                                 "history",    "orders",   "new_order",
                                                 "order_line", "item",     "stock"};
  return names;
}

long long print_conditions(const std::vector<Condition> &conditions, const std::vector<int> &which,
                           std::FILE *out) {
  long long violations = 0;
  (void)std::fprintf(out, "%9s  %-52s %s\n", "condition", "rule", "violations");
  for (const Condition &c : conditions) {
    if (std::find(which.begin(), which.end(), c.number) == which.end()) {
      continue;
    }
    (void)std::fprintf(out, "%9d  %-52s %lld\n", c.number, c.rule.c_str(), c.violations);
    violations += c.violations;
  }
  return violations;
}

void validate(const std::vector<std::string> &conninfos) {
  for (const std::string &conninfo : conninfos) {
    if (my::is_uri(conninfo)) {
      (void)my::parse_uri(conninfo);
    }
    if (my::is_uri(conninfo) != my::is_uri(conninfos[0])) {
      throw std::invalid_argument("the servers must be of one database, not of MariaDB and"
                                  " PostgreSQL");
    }
  }
}

std::unique_ptr<Database> open(const std::string &conninfo) {
  if (my::is_uri(conninfo)) {
    return my_backend::open(my::parse_uri(conninfo));
  }
  return pg_backend::open(conninfo);
}

std::string which(size_t i, size_t n) {
  return n > 1 ? " (--dsn " + std::to_string(i + 1) + ")" : "";
}

std::unique_ptr<load::Target> open_target(const std::string &conninfo) {
  if (my::is_uri(conninfo)) {
    return my_load::open(my::parse_uri(conninfo));
  }
  return pg_load::open(conninfo);
}

} // namespace db
