// recorder.cpp - what the terminals report, counted; see recorder.h.
#include "recorder.h"

#include <tpcc/inputs.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>

using nlohmann::json;

namespace report {

const std::array<const char *, kTypes> kTypeKeys = {"new_order", "payment", "order_status",
                                                    "delivery", "stock_level"};
const std::array<const char *, kTypes> kTypeNames = {"New-Order", "Payment", "Order-Status",
                                                     "Delivery", "Stock-Level"};

const std::array<double, kTypes> kLimitS = {5, 5, 5, 5, 20};

const std::array<const char *, 9> kPerSecondKeys = {
    "new_order",      "payment",         "order_status",
    "delivery",       "stock_level",     "new_order_rolled_back",
    "payment_remote", "payment_by_name", "order_status_by_name"};

namespace {

enum PerSecond : size_t { kRolledBack = kTypes, kPaymentRemote, kPaymentByName, kStatusByName };

} // namespace

std::pair<const char *, const char *> counted_field(size_t key) {
  if (key < kTypes) {
    return {kTypeKeys[key], "count"};
  }
  static constexpr std::array<std::pair<const char *, const char *>, 4> kShares = {
      {{"new_order", "rolled_back"},
       {"payment", "remote"},
       {"payment", "by_name"},
       {"order_status", "by_name"}}};
  return kShares.at(key - kTypes);
}

json histogram_json(const Histogram &h) {
  json buckets = json::array();
  for (const auto &[lower, n] : h.buckets()) {
    buckets.push_back({lower, n});
  }
  return {{"unit", "us"},
          {"sub_buckets", Histogram::kSub},
          {"count", h.count()},
          {"max_us", h.max()},
          {"buckets", buckets}};
}

double rounded_ms(double us) {
  return std::round(us / 10) / 100;
}

Histogram histogram_of(const json &j) {
  Histogram h;
  if (j.value("sub_buckets", uint64_t{0}) != Histogram::kSub) {
    throw std::runtime_error("a histogram of another layout");
  }
  const auto max_us = j.at("max_us").get<uint64_t>();
  for (const json &b : j.at("buckets")) {
    h.add_bucket(b.at(0).get<uint64_t>(), b.at(1).get<uint64_t>(), max_us);
  }
  return h;
}

Recorder::Recorder(int64_t interval_start_us, int64_t interval_us, std::FILE *samples)
    : interval_start_us_(interval_start_us), interval_us_(interval_us), samples_(samples) {}

Recorder::Period &Recorder::period(int64_t t_us) {
  const auto i = static_cast<size_t>(std::max<int64_t>(t_us, 0) / kPeriodUs);
  if (i >= series_.size()) {
    series_.resize(i + 1);
  }
  return series_[i];
}

void Recorder::record(const Completion &c) {
  const std::lock_guard<std::mutex> lock(mutex_);
  record_locked(c, true);
}

void Recorder::count_unknown_locked(const Completion &c, int sign) {
  const auto add = [sign](auto &figure, auto n) { figure = sign > 0 ? figure + n : figure - n; };
  add(whole_.unknown, uint64_t{1});
  if (c.type == TX_NEW_ORDER) {
    add(whole_.unknown_new_orders, uint64_t{1});
    add(whole_.unknown_order_lines, static_cast<uint64_t>(c.lines));
  } else if (c.type == TX_PAYMENT) {
    add(whole_.unknown_payments, uint64_t{1});
    add(whole_.unknown_payment_cents, c.amount_cents);
  } else if (c.type == TX_DELIVERY) {
    add(whole_.unknown_deliveries, uint64_t{1});
  }
}

void Recorder::unsettle_locked(const Completion &c) {
  count_unknown_locked(c, -1);
  if (in_interval(c.end_us)) {
    --unknown_[static_cast<size_t>(c.type)];
  }
}

void Recorder::settle(Completion c, bool committed) {
  const std::lock_guard<std::mutex> lock(mutex_);
  unsettle_locked(c);
  c.outcome = committed ? Outcome::committed : Outcome::failed;
  record_locked(c, false);
}

void Recorder::settle_delivery(const Completion &c, bool committed, int delivered, int skipped) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    unsettle_locked(c);
    if (!committed) {
      Completion failed = c;
      failed.outcome = Outcome::failed;
      record_locked(failed, false);
      return;
    }
  }
  record_delivery(c.start_us, c.end_us, delivered, skipped, c.retries);
}

void Recorder::record_locked(const Completion &c, bool sample) {
  const auto response = static_cast<uint64_t>(std::max<int64_t>(c.end_us - c.start_us, 0));
  const auto type = static_cast<size_t>(c.type);
  if (sample && samples_ != nullptr) {
    static constexpr std::array<const char *, 4> kOutcomes = {"committed", "rolled_back", "failed",
                                                              "unknown"};
    (void)std::fprintf(samples_, "%d,%s,%lld,%llu,%s,%d\n", c.terminal, kTypeKeys[type],
                       static_cast<long long>(c.start_us),
                       static_cast<unsigned long long>(response),
                       kOutcomes[static_cast<size_t>(c.outcome)], c.retries);
  }
  if (c.outcome == Outcome::unknown) {
    count_unknown_locked(c, 1);
    unknown_[type] += in_interval(c.end_us) ? 1U : 0U;
    return;
  }
  if (c.outcome == Outcome::failed) {
    if (c.type == TX_DELIVERY) { // a deferred one: the terminal's part never fails
      ++whole_.deliveries_failed;
      deferred_failed_ += in_interval(c.end_us) ? 1U : 0U;
    }
    ++failures_total_;
    if (in_interval(c.end_us)) {
      ++failures_[type];
      // the tries before it gave up
      (c.type == TX_DELIVERY ? deferred_retries_ : retries_[type]) +=
          static_cast<uint64_t>(c.retries);
      ++errors_[c.sqlstate.empty() ? "connection" : c.sqlstate];
    }
    return;
  }
  if (c.type == TX_NEW_ORDER) {
    if (c.outcome == Outcome::rolled_back) {
      ++whole_.new_order_rolled_back;
    } else {
      ++whole_.new_order_committed;
      whole_.order_lines_committed += static_cast<uint64_t>(c.lines);
    }
  } else if (c.type == TX_PAYMENT) {
    ++whole_.payment_committed;
    whole_.payment_amount_cents += c.amount_cents;
  }
  Period &p = period(c.end_us);
  ++p.count[type];
  p.times[type].add(response);
  if (!in_interval(c.end_us)) {
    return;
  }
  retries_[type] += static_cast<uint64_t>(c.retries);
  keying_us_[type] += c.keying_us;
  think_us_[type] += c.think_us;
  times_[type].add(response);
  count_second(type, c.end_us);
  if (c.type == TX_NEW_ORDER) {
    lines_ += static_cast<uint64_t>(c.lines);
    remote_lines_ += static_cast<uint64_t>(c.remote_lines);
    if (c.outcome == Outcome::rolled_back) {
      count_second(kRolledBack, c.end_us);
    }
  } else if (c.type == TX_PAYMENT) {
    if (c.remote) {
      count_second(kPaymentRemote, c.end_us);
    }
    if (c.by_name) {
      count_second(kPaymentByName, c.end_us);
    }
  } else if (c.type == TX_ORDER_STATUS) {
    if (c.by_name) {
      count_second(kStatusByName, c.end_us);
    }
  }
}

void Recorder::count_second(size_t key, int64_t end_us) {
  const auto second = static_cast<size_t>((end_us - interval_start_us_) / 1'000'000);
  std::vector<uint64_t> &v = per_second_[key];
  if (second >= v.size()) {
    v.resize(second + 1);
  }
  ++v[second];
}

void Recorder::record_dropped_delivery(int64_t queued_us) {
  const std::lock_guard<std::mutex> lock(mutex_);
  ++whole_.deliveries_dropped;
  deferred_dropped_ += in_interval(queued_us) ? 1U : 0U;
}

void Recorder::record_delivery(int64_t queued_us, int64_t done_us, int delivered, int skipped,
                               int retries) {
  const std::lock_guard<std::mutex> lock(mutex_);
  ++whole_.deliveries_completed;
  whole_.districts_delivered += static_cast<uint64_t>(delivered);
  whole_.districts_skipped += static_cast<uint64_t>(skipped);
  if (in_interval(done_us)) {
    ++deferred_done_;
    deferred_retries_ += static_cast<uint64_t>(retries);
    deferred_.add(static_cast<uint64_t>(std::max<int64_t>(done_us - queued_us, 0)));
    districts_ += static_cast<uint64_t>(delivered + skipped);
    skipped_ += static_cast<uint64_t>(skipped);
  }
}

void Recorder::end_interval(int64_t now_us) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (now_us < interval_start_us_ + interval_us_) {
    interval_us_ = std::max<int64_t>(now_us - interval_start_us_, 0);
  }
}

Recorder::Recent Recorder::recent(int64_t now_us) {
  const std::lock_guard<std::mutex> lock(mutex_);
  Recent r{kPeriodUs, {}, 0, failures_total_};
  const int64_t last = now_us / kPeriodUs - 1;
  if (last >= 0 && static_cast<size_t>(last) < series_.size()) {
    const Period &p = series_[static_cast<size_t>(last)];
    r.count = p.count;
    r.new_order_p90_ms = p.times[TX_NEW_ORDER].percentile(90) / 1000;
    for (size_t t = 0; t < kTypes; ++t) {
      r.ms[t] = {p.times[t].percentile(50) / 1000, p.times[t].percentile(90) / 1000,
                 p.times[t].percentile(99) / 1000};
    }
  }
  for (const Period &p : series_) {
    for (size_t t = 0; t < kTypes; ++t) {
      r.total[t] += p.count[t];
    }
  }
  return r;
}

WholeRun Recorder::whole_run() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return whole_;
}

json Recorder::json() {
  const std::lock_guard<std::mutex> lock(mutex_);
  nlohmann::json r;
  r["interval_s"] = static_cast<double>(interval_us_) / 1e6;
  for (size_t t = 0; t < kTypes; ++t) {
    nlohmann::json &x = r["transactions"][kTypeKeys[t]];
    x = {{"retries", retries_[t]},
         {"failures", failures_[t]},
         {"unknown", unknown_[t]},
         {"keying_us_total", keying_us_[t]},
         {"think_us_total", think_us_[t]}};
    r["histograms"][kTypeKeys[t]] = histogram_json(times_[t]);
  }
  r["transactions"]["new_order"].update({{"lines", lines_}, {"remote_lines", remote_lines_}});
  for (size_t k = 0; k < kPerSecondKeys.size(); ++k) {
    const auto [type, field] = counted_field(k);
    r["transactions"][type][field] =
        std::accumulate(per_second_[k].begin(), per_second_[k].end(), uint64_t{0});
    r["per_second"][kPerSecondKeys[k]] = per_second_[k];
  }
  r["histograms"]["deferred_delivery"] = histogram_json(deferred_);
  r["deferred_delivery"] = {{"completed", deferred_done_},  {"failed", deferred_failed_},
                            {"dropped", deferred_dropped_}, {"retries", deferred_retries_},
                            {"districts", districts_},      {"skipped", skipped_}};
  r["errors"] = errors_;
  nlohmann::json periods = nlohmann::json::array();
  for (size_t i = 0; i < series_.size(); ++i) {
    nlohmann::json p = {{"t_s", static_cast<double>(i) * kPeriodUs / 1e6}};
    for (size_t t = 0; t < kTypes; ++t) {
      p["count"][kTypeKeys[t]] = series_[i].count[t];
      p["p90_ms"][kTypeKeys[t]] = rounded_ms(series_[i].times[t].percentile(90));
    }
    periods.push_back(p);
  }
  r["series"] = {{"period_s", kPeriodUs / 1'000'000}, {"periods", periods}};
  r["whole_run"] = {{"new_order_committed", whole_.new_order_committed},
                    {"new_order_rolled_back", whole_.new_order_rolled_back},
                    {"order_lines_committed", whole_.order_lines_committed},
                    {"payment_committed", whole_.payment_committed},
                    {"payment_amount_cents", whole_.payment_amount_cents},
                    {"deliveries_completed", whole_.deliveries_completed},
                    {"districts_delivered", whole_.districts_delivered},
                    {"districts_skipped", whole_.districts_skipped},
                    {"deliveries_failed", whole_.deliveries_failed},
                    {"deliveries_dropped", whole_.deliveries_dropped},
                    {"unknown", whole_.unknown},
                    {"unknown_new_orders", whole_.unknown_new_orders},
                    {"unknown_order_lines", whole_.unknown_order_lines},
                    {"unknown_payments", whole_.unknown_payments},
                    {"unknown_payment_cents", whole_.unknown_payment_cents},
                    {"unknown_deliveries", whole_.unknown_deliveries}};
  return r;
}

} // namespace report
