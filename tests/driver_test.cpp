// The driver's arithmetic: response-time percentiles from the histogram
// against exact ones, histograms and reports merged, and the checks a report
// derives.
#include "histogram.h"
#include "report.h"

#include <tpcc/inputs.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>

namespace {

using nlohmann::json;

// The exact percentile, p in tenths of a percent: the least value with at least that share of
// the values at or below it.
double exact(std::vector<uint64_t> v, size_t tenths) {
  std::sort(v.begin(), v.end());
  const size_t rank = (tenths * v.size() + 999) / 1000;
  return static_cast<double>(v[std::max<size_t>(rank, 1) - 1]);
}

TEST(Histogram, PercentilesWithinOnePercentOfExact) {
  std::mt19937_64 gen(7);
  struct Case {
    const char *name;
    std::function<uint64_t()> draw;
  } const cases[] = {
      {"lognormal around 2 ms",
       [&] { return static_cast<uint64_t>(std::lognormal_distribution<>(7.6, 1.0)(gen)); }},
      {"uniform 0..300 us", [&] { return std::uniform_int_distribution<uint64_t>(0, 300)(gen); }},
      {"seconds, with a 1000x spike",
       [&] {
         return std::uniform_int_distribution<uint64_t>(0, 99)(gen) == 0
                    ? 5'000'000'000ULL
                    : 5'000'000ULL + gen() % 1000;
       }},
  };
  for (const Case &c : cases) {
    std::vector<uint64_t> values(20'000);
    Histogram h;
    for (uint64_t &v : values) {
      v = c.draw();
      h.add(v);
    }
    for (const size_t tenths :
         {size_t{10}, size_t{500}, size_t{900}, size_t{990}, size_t{999}, size_t{1000}}) {
      const double want = exact(values, tenths);
      EXPECT_NEAR(h.percentile(static_cast<double>(tenths) / 10), want, std::max(want * 0.01, 0.5))
          << c.name << ", p" << static_cast<double>(tenths) / 10;
    }
    EXPECT_EQ(h.max(), *std::max_element(values.begin(), values.end())) << c.name;
  }
}

TEST(Histogram, EveryBucketHoldsWhatItsBoundsSay) {
  for (uint64_t v = 0; v < (1U << 22); v = v < 1024 ? v + 1 : v + v / 97 + 1) {
    const size_t i = Histogram::index(v);
    ASSERT_LE(Histogram::lower(i), v);
    ASSERT_LT(v, Histogram::lower(i) + Histogram::width(i));
    ASSERT_LE(static_cast<double>(Histogram::width(i)),
              std::max(1.0, static_cast<double>(v) / 128));
  }
}

TEST(Histogram, MergedEqualsOneOfAllValues) {
  Histogram a;
  Histogram b;
  Histogram all;
  for (uint64_t v = 1; v < 100'000; v = v * 3 + 1) {
    (v % 2 == 0 ? a : b).add(v);
    all.add(v);
  }
  a.merge(b);
  EXPECT_EQ(a.buckets(), all.buckets());
  EXPECT_EQ(a.max(), all.max());
  EXPECT_EQ(a.count(), all.count());
  EXPECT_EQ(Histogram().percentile(90), 0);
}

// A report as tpcc-run makes it, from a recorder that saw `new_orders` New-Orders and as many
// Payments of 10.00 over a 100 s interval, the first half busier by `skew`.
json run_report(int first, int last, uint64_t new_orders, double skew, double start_unix) {
  report::Recorder rec(0, 100'000'000, nullptr);
  for (uint64_t i = 0; i < new_orders; ++i) {
    const auto k = static_cast<uint64_t>(static_cast<double>(new_orders) / 2 * (1 + skew));
    const auto at = static_cast<int64_t>(
        i < k ? 50e6 * static_cast<double>(i) / static_cast<double>(k)
              : 50e6 + 49e6 * static_cast<double>(i - k) / static_cast<double>(new_orders - k));
    rec.record({1, TX_NEW_ORDER, at - 1500, at, 0, report::Outcome::committed, "", 10, 1});
    rec.record({1, TX_PAYMENT, at - 800, at, 0, report::Outcome::committed, "", 0, 0, 1000});
  }
  rec.record_delivery(0, 1000, 9, 1);
  json r = {{"tool", "tpcc-run"},
            {"version", "1"},
            {"mode", "throughput"},
            {"warehouses", 2},
            {"range", {first, last}},
            {"terminals", 4},
            {"connections", 4},
            {"seed", 1},
            {"c_load", 1},
            {"c_run", 70},
            {"ramp_up_s", 0},
            {"ended_by", "duration"},
            {"interval_start_unix", start_unix}};
  r.update(rec.json());
  report::finish(r);
  return r;
}

bool passes(const json &r, const std::string &check) {
  for (const json &c : r.at("reportable").at("checks")) {
    if (c.at("check").get<std::string>().find(check) != std::string::npos) {
      return c.at("pass").get<bool>();
    }
  }
  ADD_FAILURE() << "no check " << check;
  return false;
}

TEST(Report, RatesSharesAndSteadyState) {
  const json r = run_report(1, 2, 6000, 0, 0);
  EXPECT_DOUBLE_EQ(r.at("tpmC").get<double>(), 3600);
  EXPECT_DOUBLE_EQ(r.at("tpm_total").get<double>(), 7200);
  EXPECT_EQ(r.at("whole_run").at("payment_amount_cents"), 6'000'000);
  EXPECT_EQ(r.at("whole_run").at("order_lines_committed"), 60'000);
  EXPECT_NEAR(r.at("transactions").at("new_order").at("p90_ms").get<double>(), 1.5, 0.015);
  EXPECT_DOUBLE_EQ(r.at("deferred_delivery").at("skipped_pct").get<double>(), 10);
  EXPECT_TRUE(passes(r, "steady state"));
  EXPECT_FALSE(passes(r, "skipped delivery districts"));
  EXPECT_FALSE(passes(run_report(1, 2, 6000, 0.05, 0), "steady state"));
}

TEST(Report, MergeSumsTheHostsAndRefusesWhatDoesNotFit) {
  const json a = run_report(1, 1, 3000, 0, 1000);
  const json b = run_report(2, 2, 1000, 0, 1000.5);
  const json m = report::merge({a, b});
  EXPECT_EQ(m.at("transactions").at("new_order").at("count"), 4000);
  EXPECT_EQ(m.at("whole_run").at("payment_amount_cents"), 4'000'000);
  EXPECT_EQ(m.at("histograms").at("payment").at("count"), 4000);
  EXPECT_EQ(m.at("range"), json({1, 2}));
  EXPECT_DOUBLE_EQ(m.at("interval_s").get<double>(), 99.5);
  EXPECT_TRUE(passes(m, "one interval"));
  EXPECT_FALSE(passes(report::merge({a, run_report(2, 2, 10, 0, 1010)}), "one interval"));
  EXPECT_THROW((void)report::merge({a, a}), std::runtime_error); // ranges
  EXPECT_THROW((void)report::merge({a, run_report(2, 2, 9, 0, 2000)}), std::runtime_error); // time
  json other = b;
  other["warehouses"] = 3;
  EXPECT_THROW((void)report::merge({a, other}), std::runtime_error);
}

} // namespace
