// recorder.h - what the terminals and delivery workers report as they
// complete, counted over the interval and over the whole run, and the
// measured part of the report (JSON) made from it.
#ifndef TPCC_DRIVER_RECORDER_H
#define TPCC_DRIVER_RECORDER_H

#include "histogram.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace report {

constexpr int kTypes = 5;                                 // TX_NEW_ORDER .. TX_STOCK_LEVEL
extern const std::array<const char *, kTypes> kTypeKeys;  // "new_order" ..
extern const std::array<const char *, kTypes> kTypeNames; // "New-Order" ..
constexpr int64_t kPeriodUs = 10'000'000;                 // the series' period
extern const std::array<double, kTypes> kLimitS;          // the 90th percentiles' limits, s
// What the report counts per second of the interval: each type's completions
// ("new_order" ..), then "new_order_rolled_back", "payment_remote", "payment_by_name" and
// "order_status_by_name".
extern const std::array<const char *, 9> kPerSecondKeys;
constexpr double kDeferredLimitS = 80; // deferred Delivery's

// unknown: the connection was lost with the commit under way and the database could not yet
// say whether it happened.
enum class Outcome { committed, rolled_back, failed, unknown };

// One transaction as the terminal saw it; times in µs since the run began.
struct Completion {
  int terminal = 0, type = 0;
  int64_t start_us = 0, end_us = 0;
  int retries = 0;
  Outcome outcome = Outcome::committed;
  std::string sqlstate;                 // of a failure
  int lines = 0, remote_lines = 0;      // New-Order
  long long amount_cents = 0;           // Payment
  bool remote = false, by_name = false; // Payment, Order-Status
  int64_t keying_us = 0, think_us = 0;  // the terminal's before and after it (standard mode)
};

// Counted over the whole run, ramp-up and drain included: what the database holds.
struct WholeRun {
  uint64_t new_order_committed = 0, new_order_rolled_back = 0, order_lines_committed = 0;
  uint64_t payment_committed = 0;
  long long payment_amount_cents = 0;
  uint64_t deliveries_completed = 0, districts_delivered = 0, districts_skipped = 0;
  uint64_t unknown = 0; // transactions whose commit is not settled: not counted above
  // Of those: what they would add, had they committed.
  uint64_t unknown_new_orders = 0, unknown_order_lines = 0, unknown_payments = 0;
  long long unknown_payment_cents = 0;
  uint64_t unknown_deliveries = 0;
  uint64_t deliveries_failed = 0, deliveries_dropped = 0; // deferred ones that did not run
};

// Everything the terminals and delivery workers report, from any thread.
class Recorder {
public:
  // The interval runs from interval_start_us for interval_us; samples may be NULL.
  Recorder(int64_t interval_start_us, int64_t interval_us, std::FILE *samples);
  void record(const Completion &c);
  void record_delivery(int64_t queued_us, int64_t done_us, int delivered, int skipped,
                       int retries = 0);
  // A deferred delivery that never ran: still queued when the run's drain ended.
  void record_dropped_delivery(int64_t queued_us);
  // A completion recorded as unknown, once the database has said what became of it: recorded
  // anew as committed (with its results filled in) or failed; the samples are not written.
  void settle(Completion c, bool committed);
  // The same for a deferred delivery, with what it delivered.
  void settle_delivery(const Completion &c, bool committed, int delivered, int skipped);
  // Ends the interval at now_us if it has not ended yet (a stop, a signal, an error).
  void end_interval(int64_t now_us);
  // For progress: completions of the type and its p90 in the last whole period, failures.
  struct Recent {
    int64_t period_us;
    std::array<uint64_t, kTypes> count;
    double new_order_p90_ms;
    uint64_t failures;
    std::array<uint64_t, kTypes> total{};           // since the run began
    std::array<std::array<double, 3>, kTypes> ms{}; // p50, p90, p99 of the last period
  };
  Recent recent(int64_t now_us);
  // The measured part of the report (counts, histograms, series, whole_run, interval).
  nlohmann::json json();
  WholeRun whole_run();

private:
  struct Period {
    std::array<uint64_t, kTypes> count{};
    std::array<Histogram, kTypes> times;
  };
  Period &period(int64_t t_us);
  bool in_interval(int64_t t_us) const {
    return t_us >= interval_start_us_ && t_us < interval_start_us_ + interval_us_;
  }
  std::mutex mutex_;
  int64_t interval_start_us_, interval_us_;
  std::FILE *samples_;
  std::array<Histogram, kTypes> times_;
  std::array<uint64_t, kTypes> retries_{}, failures_{}, unknown_{};
  void record_locked(const Completion &c, bool sample); // a settled one is not sampled again
  void unsettle_locked(const Completion &c);
  void count_unknown_locked(const Completion &c, int sign); // sign 1: one more, -1: settled
  uint64_t lines_ = 0, remote_lines_ = 0;
  Histogram deferred_;
  uint64_t deferred_done_ = 0, districts_ = 0, skipped_ = 0, failures_total_ = 0;
  uint64_t deferred_failed_ = 0, deferred_dropped_ = 0, deferred_retries_ = 0;
  std::array<int64_t, kTypes> keying_us_{}, think_us_{};
  std::map<std::string, uint64_t> errors_;
  std::vector<Period> series_;
  // Per second of the interval, kPerSecondKeys' counts: the report's counts are their sums,
  // and the merge of several hosts' reports counts them anew over the interval they share.
  std::array<std::vector<uint64_t>, 9> per_second_;
  void count_second(size_t key, int64_t end_us);
  WholeRun whole_;
};

// The field of a report's "transactions" that kPerSecondKeys[key] counts, as {type, field}:
// the report's figure is the sum of its seconds.
std::pair<const char *, const char *> counted_field(size_t key);

// A histogram as the report holds it, and back; histogram_of throws on another layout.
nlohmann::json histogram_json(const Histogram &h);
Histogram histogram_of(const nlohmann::json &j);

// µs as the report's milliseconds, rounded to hundredths.
double rounded_ms(double us);

} // namespace report

#endif