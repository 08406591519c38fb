// page.cpp - the report page; see page.h.
#include "page.h"

#include "chart.h"
#include "page_metrics.h"
#include "report.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <stdexcept>
#include <system_error>

using nlohmann::json;

namespace page {

using report::fixed;

namespace {

constexpr int kMajorVersion = 1; // the reports of every 1.x driver have this layout

// --- reading ---------------------------------------------------------------

const json &at(const json &j, const std::string &path) {
  const json *node = &j;
  size_t from = 0;
  while (true) {
    const size_t dot = path.find('.', from);
    const std::string key = path.substr(from, dot - from);
    if (!node->is_object() || !node->contains(key)) {
      throw std::runtime_error("it has no '" + path + "'");
    }
    node = &(*node)[key];
    if (dot == std::string::npos) {
      return *node;
    }
    from = dot + 1;
  }
}

void need_number(const json &j, const std::string &path) {
  if (!at(j, path).is_number()) {
    throw std::runtime_error("'" + path + "' is not a number");
  }
}

void need_string(const json &j, const std::string &path) {
  if (!at(j, path).is_string()) {
    throw std::runtime_error("'" + path + "' is not a string");
  }
}

void need_array(const json &j, const std::string &path) {
  if (!at(j, path).is_array()) {
    throw std::runtime_error("'" + path + "' is not a list");
  }
}

} // namespace

void validate(const json &r) {
  if (!r.is_object() || r.value("tool", "") != "tpcc-run") {
    throw std::runtime_error("not a report of tpcc-run");
  }
  need_string(r, "version");
  const std::string version = r.at("version");
  if (std::strtol(version.c_str(), nullptr, 10) != kMajorVersion) {
    throw std::runtime_error("a report of tpcc-run " + version + ", which tpcc-report " +
                             TPCC_VERSION + " cannot read");
  }
  for (const char *key : {"mode", "ended_by"}) {
    need_string(r, key);
  }
  for (const char *key :
       {"tpmC", "tpm_total", "interval_s", "ramp_up_s", "warehouses", "terminals", "connections",
        "c_load", "c_run", "failures_pct", "series.period_s", "deferred_delivery.p90_ms"}) {
    need_number(r, key);
  }
  const std::string types[] = {"new_order", "payment", "order_status", "delivery", "stock_level"};
  for (const std::string &t : types) {
    for (const char *key :
         {"count", "mix_pct", "p50_ms", "p90_ms", "p99_ms", "max_ms", "retries", "failures"}) {
      need_number(r, "transactions." + t + "." + key);
    }
  }
  for (const std::string &t :
       {types[0], types[1], types[2], types[3], types[4], std::string("deferred_delivery")}) {
    try {
      (void)report::histogram_of(at(r, "histograms." + t));
    } catch (const json::exception &) {
      throw std::runtime_error("'histograms." + t + "' is not a histogram");
    } catch (const std::runtime_error &e) {
      throw std::runtime_error("'histograms." + t + "' is " + e.what());
    }
  }
  need_array(r, "range");
  if (r.at("range").size() != 2 || !r.at("range")[0].is_number() || !r.at("range")[1].is_number()) {
    throw std::runtime_error("'range' is not FIRST, LAST");
  }
  need_array(r, "series.periods");
  for (const json &p : r.at("series").at("periods")) {
    for (const std::string &t : types) {
      need_number(p, "count." + t);
      need_number(p, "p90_ms." + t);
    }
    need_number(p, "t_s");
  }
  need_array(r, "verdict.checks");
  for (const json &c : r.at("verdict").at("checks")) {
    need_string(c, "check");
    need_string(c, "value");
    if (!at(c, "pass").is_boolean()) {
      throw std::runtime_error("a verdict's check without pass");
    }
  }
}

json read(const std::string &path) {
  std::ifstream in(path);
  if (!in) {
    throw std::runtime_error(std::generic_category().message(errno));
  }
  json r;
  try {
    r = json::parse(in);
  } catch (const json::parse_error &e) {
    throw std::runtime_error(in.bad()
                                 ? std::generic_category().message(errno)
                                 : "not JSON (an error at byte " + std::to_string(e.byte) + ")");
  }
  if (!r.contains("verdict") && r.contains("reportable")) { // as tpcc-run 1.9.0 and older named it
    r["verdict"] = r["reportable"];
  }
  validate(r);
  return r;
}

// --- the parts that can be wrong ----------------------------------------------

std::string escape(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (const char c : s) {
    switch (c) {
    case '&':
      out += "&amp;";
      break;
    case '<':
      out += "&lt;";
      break;
    case '>':
      out += "&gt;";
      break;
    case '"':
      out += "&quot;";
      break;
    case '\'':
      out += "&#39;";
      break;
    default:
      out += c;
    }
  }
  return out;
}

Axis linear_axis(double max) {
  if (!(max > 0) || !std::isfinite(max)) {
    max = 1;
  }
  // The least step of 1, 2 or 5 times a power of ten that reaches max in at most 8 steps.
  const double power = std::pow(10, std::floor(std::log10(max / 8)));
  double step = 10 * power;
  for (const double m : {1.0, 2.0, 5.0}) {
    if (std::ceil(max / (m * power) - 1e-9) <= 8) {
      step = m * power;
      break;
    }
  }
  Axis a;
  const double n = std::ceil(max / step - 1e-9);
  a.hi = n * step;
  for (int i = 0; i <= static_cast<int>(n); ++i) {
    a.ticks.push_back(i * step);
  }
  return a;
}

Axis log_axis(double lo, double hi) {
  Axis a;
  a.log = true;
  const int first = static_cast<int>(std::floor(std::log10(lo) + 1e-9));
  int last = static_cast<int>(std::ceil(std::log10(std::max(hi, lo)) - 1e-9));
  last = std::max(last, first + 1);
  a.lo = std::pow(10, first);
  a.hi = std::pow(10, last);
  for (int e = first; e <= last; ++e) {
    a.ticks.push_back(std::pow(10, e));
  }
  return a;
}

Distribution distribution(const Histogram &h, double lo_ms, double hi_ms, int per_decade) {
  Distribution d;
  d.lo_ms = lo_ms;
  d.per_decade = per_decade;
  const int bins =
      std::max(1, static_cast<int>(std::ceil(std::log10(hi_ms / lo_ms) * per_decade - 1e-9)));
  d.pct.assign(static_cast<size_t>(bins), 0);
  d.p90_ms = h.percentile(90) / 1000;
  if (h.count() == 0) {
    return d;
  }
  const auto edge = [&](int k) {
    return lo_ms * std::pow(10, static_cast<double>(k) / per_decade);
  };
  const auto bin_of = [&](double v_ms) {
    const double at = v_ms > lo_ms ? std::floor(std::log10(v_ms / lo_ms) * per_decade) : 0;
    return static_cast<int>(std::clamp(at, 0.0, static_cast<double>(bins - 1)));
  };
  // A bucket's values are spread evenly over it (a whole µs holds [us, us + 1)), and so
  // over the bins it overlaps.
  for (const auto &[lower, n] : h.buckets()) {
    const double from = static_cast<double>(lower) / 1000;
    const double to = static_cast<double>(lower + Histogram::width(Histogram::index(lower))) / 1000;
    for (int k = bin_of(from); k <= bin_of(to); ++k) {
      const double bin_from = k == 0 ? -std::numeric_limits<double>::infinity() : edge(k);
      const double bin_to = k == bins - 1 ? std::numeric_limits<double>::infinity() : edge(k + 1);
      const double part = (std::min(to, bin_to) - std::max(from, bin_from)) / (to - from);
      if (part > 0) {
        d.pct[static_cast<size_t>(k)] +=
            100.0 * static_cast<double>(n) * part / static_cast<double>(h.count());
      }
    }
  }
  return d;
}

namespace {

// Completions per bin of the run (30 s, as the throughput graph is drawn, or 10 s
// for runs too short for it), one line per type.
std::string throughput_chart(const std::vector<Run> &runs) {
  const TimeScale ts = time_scale(runs);
  bool long_runs = true;
  for (const Run &run : runs) {
    long_runs = long_runs && run_end_s(run.report) >= 300;
  }
  std::vector<std::array<std::vector<std::pair<double, double>>, report::kTypes>> lines;
  double top = 0;
  double bin_s = 0;
  for (const Run &run : runs) {
    const json &series = run.report.at("series");
    const double period = series.at("period_s").get<double>();
    const int group = long_runs && period <= 10 ? static_cast<int>(std::round(30 / period)) : 1;
    bin_s = period * group;
    std::map<long, std::array<double, report::kTypes>> bins;
    for (const json &p : series.at("periods")) {
      auto &bin = bins[std::lround(p.at("t_s").get<double>() / period) / group];
      for (size_t t = 0; t < report::kTypes; ++t) {
        bin[t] += p.at("count").at(report::kTypeKeys[t]).get<double>();
      }
    }
    auto &run_lines = lines.emplace_back();
    for (const auto &[k, counts] : bins) {
      for (size_t t = 0; t < report::kTypes; ++t) {
        run_lines[t].emplace_back((static_cast<double>(k) + 0.5) * bin_s / ts.unit, counts[t]);
        top = std::max(top, counts[t]);
      }
    }
  }
  double end = 0;
  for (const Run &run : runs) {
    end = std::max(end, run_end_s(run.report) / ts.unit);
  }
  Chart chart("chart-throughput", 900, 320, linear_axis(end), linear_axis(top));
  shade_intervals(chart, runs, ts.unit);
  std::vector<LegendEntry> entries;
  for (size_t i = 0; i < runs.size(); ++i) {
    for (size_t t = report::kTypes; t-- > 0;) { // New-Order on top
      const bool one = runs.size() == 1;
      const std::string colour = one ? kTypeColour[t] : run_colour(i);
      chart.line(lines[i][t], colour, t == 0 ? 3 : 1.5, one ? "" : kTypeDash[t],
                 runs[i].name + ": " + report::kTypeNames[t]);
    }
    if (runs.size() > 1) {
      entries.push_back({run_colour(i), "", runs[i].name, 3});
    }
  }
  for (size_t t = 0; t < report::kTypes; ++t) {
    entries.push_back({runs.size() == 1 ? kTypeColour[t] : "#444",
                       runs.size() == 1 ? "" : kTypeDash[t], report::kTypeNames[t],
                       t == 0 ? 3 : 1.5});
  }
  entries.push_back(interval_entry(runs));
  for (const LegendEntry &e : mark_checkpoints(chart, runs, ts.unit)) {
    entries.push_back(e);
  }
  const std::string per = "completions per " + fixed(bin_s, 0) + " s";
  return figure("chart-throughput", "Throughput: " + per + " over the whole run",
                chart.svg(ts.label, per), legend(entries));
}

// One type's response-time distribution, its 90th percentile and its limit marked.
std::string distribution_chart(const std::vector<Run> &runs, const std::string &key,
                               const std::string &name, double limit_s, const char *colour) {
  std::vector<Histogram> hs;
  double lo_ms = 1e9;
  double hi_ms = limit_s * 1000;
  for (const Run &run : runs) {
    hs.push_back(report::histogram_of(run.report.at("histograms").at(key)));
    const auto buckets = hs.back().buckets();
    if (!buckets.empty()) {
      lo_ms = std::min(lo_ms, std::max(1.0, static_cast<double>(buckets.front().first)) / 1000);
      hi_ms = std::max(hi_ms, static_cast<double>(hs.back().max()) / 1000);
    }
  }
  lo_ms = std::min(lo_ms, hi_ms / 10);
  Axis x = log_axis(lo_ms, hi_ms);
  constexpr int kPerDecade = 10;
  std::vector<Distribution> ds;
  double top = 0;
  for (const Histogram &h : hs) {
    ds.push_back(distribution(h, x.lo, x.hi, kPerDecade));
    top = std::max(top, *std::max_element(ds.back().pct.begin(), ds.back().pct.end()));
  }
  Chart chart("chart-distribution-" + key, 440, 260, x, linear_axis(top));
  std::vector<LegendEntry> entries;
  for (size_t i = 0; i < runs.size(); ++i) {
    const std::string c = runs.size() == 1 ? colour : run_colour(i);
    std::vector<std::pair<double, double>> steps;
    for (size_t b = 0; b < ds[i].pct.size(); ++b) {
      steps.emplace_back(x.lo * std::pow(10, static_cast<double>(b) / kPerDecade), ds[i].pct[b]);
      steps.emplace_back(x.lo * std::pow(10, static_cast<double>(b + 1) / kPerDecade),
                         ds[i].pct[b]);
    }
    chart.line(steps, c, 2, "", runs[i].name);
    chart.mark(ds[i].p90_ms, c, "4 3", "p90 " + ms_text(ds[i].p90_ms), static_cast<int>(i));
    entries.push_back({c, "", runs.size() == 1 ? "share of the transactions" : runs[i].name});
  }
  entries.push_back({runs.size() == 1 ? colour : "#444", "4 3", "90th percentile", 1});
  chart.mark(limit_s * 1000, "#000", "", "limit " + ms_text(limit_s * 1000),
             static_cast<int>(runs.size()));
  entries.push_back({"#000", "", "limit for the 90th percentile", 1});
  return figure("chart-distribution-" + key, name + " response times",
                chart.svg("response time (log scale)", "% of transactions"), legend(entries));
}

// New-Order's 90th percentile per period of the series.
std::string p90_chart(const std::vector<Run> &runs) {
  const TimeScale ts = time_scale(runs);
  std::vector<std::vector<std::pair<double, double>>> lines;
  double top = 0;
  double end = 0;
  double period = 10;
  for (const Run &run : runs) {
    const json &series = run.report.at("series");
    period = series.at("period_s").get<double>();
    auto &points = lines.emplace_back();
    for (const json &p : series.at("periods")) {
      const bool any = p.at("count").at("new_order").get<double>() > 0;
      const double p90 = p.at("p90_ms").at("new_order").get<double>();
      points.emplace_back((p.at("t_s").get<double>() + period / 2) / ts.unit,
                          any ? p90 : std::nan(""));
      top = any ? std::max(top, p90) : top;
    }
    end = std::max(end, run_end_s(run.report) / ts.unit);
  }
  Chart chart("chart-new-order-p90", 900, 280, linear_axis(end), linear_axis(top));
  shade_intervals(chart, runs, ts.unit);
  std::vector<LegendEntry> entries;
  for (size_t i = 0; i < runs.size(); ++i) {
    const std::string c = runs.size() == 1 ? kTypeColour[0] : run_colour(i);
    chart.line(lines[i], c, 2, "", runs[i].name);
    entries.push_back({c, "", runs.size() == 1 ? "New-Order p90" : runs[i].name});
  }
  entries.push_back(interval_entry(runs));
  return figure("chart-new-order-p90",
                "New-Order 90th percentile per " + fixed(period, 0) + " s (ms)",
                chart.svg(ts.label, "90th percentile (ms)"), legend(entries));
}

// --- tables ---------------------------------------------------------------------

std::string utc(double unix_s) {
  const auto t = static_cast<time_t>(unix_s);
  std::tm tm{};
  char s[32];
  (void)std::strftime(s, sizeof s, "%Y-%m-%d %H:%M:%S UTC", gmtime_r(&t, &tm));
  return s;
}

// What --check found of the database against the run's acknowledgements.
std::string durability_text(const json &d) {
  if (d.empty()) {
    return "not checked (tpcc-run --check judges it)";
  }
  if (!d.value("judged", false)) {
    return "not judged: " + d.value("why", std::string());
  }
  std::string s = d.value("pass", false)
                      ? "the database holds what was acknowledged"
                      : "FAILED: the database differs from what was acknowledged";
  for (const json &f : d.value("figures", json::array())) {
    const long long held = f.at("held").get<long long>();
    const long long want = f.at("acknowledged").get<long long>();
    if (held != want) {
      s += "; " + f.at("figure").get<std::string>() + " " + std::to_string(held - want);
    }
  }
  return s;
}

std::vector<std::pair<std::string, std::string>> facts(const json &r) {
  const json &range = r.at("range");
  std::string warehouses = std::to_string(r.at("warehouses").get<int>()) + " (driven " +
                           range.at(0).dump() + "-" + range.at(1).dump() + ")";
  if (r.contains("merged")) {
    warehouses += ", merged from " + r.at("merged").dump() + " hosts";
  }
  std::string mode = r.at("mode").get<std::string>();
  if (mode == "standard" && r.contains("time_scale") && r.at("time_scale").is_number()) {
    mode += ", time scale " + fixed(r.at("time_scale").get<double>(), 3);
  }
  const std::string servers = report::servers(r);
  std::vector<std::pair<std::string, std::string>> f = {
      {"kit", "tpcc-run " + r.at("version").get<std::string>()},
      {"mode", mode},
      {"transactions as", report::sql_name(r)},
      {"server", r.contains("server") && r.at("server").contains("product")
                     ? r.at("server").at("product").get<std::string>() + " " +
                           r.at("server").value("version", "")
                     : "-"},
      {"foreign keys", r.value("foreign_keys", true) ? "checked by the server" : "none"},
      {"warehouses", warehouses},
      {"terminals", r.at("terminals").dump()},
      {"connections", r.at("connections").dump()},
      {"servers", servers.empty() ? "-" : servers},
      {"interval",
       (r.contains("setup_s") ? "setup " + fixed(r.at("setup_s").get<double>(), 1) + " s, then "
                              : std::string()) +
           fixed(r.at("interval_s").get<double>(), 1) + " s after " +
           fixed(r.at("ramp_up_s").get<double>(), 0) + " s of ramp-up"},
      {"ended by", r.at("ended_by").get<std::string>()},
      {"seed", r.contains("seed") ? r.at("seed").dump() : "-"},
      {"C-Load / C-Run", r.at("c_load").dump() + " / " + r.at("c_run").dump()},
  };
  const json whole = r.value("whole_run", json::object());
  f.emplace_back("outcome unknown", whole.value("unknown", json(0)).dump() +
                                        " transactions (lost while committing, not settled)");
  const json dd = r.value("deferred_delivery", json::object());
  f.emplace_back("deferred deliveries", dd.value("failed", json(0)).dump() + " failed, " +
                                            dd.value("dropped", json(0)).dump() + " never ran, " +
                                            dd.value("retries", json(0)).dump() + " retries");
  if (r.contains("hosts")) { // a merged report: each host judged its own range
    std::string each;
    for (const json &host : r.at("hosts")) {
      each += (each.empty() ? "" : "; ") + std::string("warehouses ") +
              host.at("range").at(0).dump() + "-" + host.at("range").at(1).dump() + ": " +
              durability_text(host.value("durability", json::object()));
    }
    f.emplace_back("durability", each);
  } else {
    f.emplace_back("durability", durability_text(r.value("durability", json::object())));
  }
  // Every run has every row, so that runs compared side by side line up.
  std::string times = "none (throughput mode)";
  if (r.at("mode") == "standard") {
    times.clear();
    for (size_t t = 0; t < report::kTypes; ++t) {
      const json &x = r.at("transactions").at(report::kTypeKeys[t]);
      times += (t == 0 ? "" : "; ") + std::string(report::kTypeNames[t]) + " " +
               fixed(x.value("keying_s_avg", 0.0), 2) + " / " +
               fixed(x.value("think_s_avg", 0.0), 2);
    }
  }
  f.emplace_back("average keying / think, s", times);
  f.emplace_back("server time per transaction, ms", report::server_times(r));
  if (r.contains("interval_start_unix") && r.at("interval_start_unix").is_number()) {
    f.emplace_back("interval began", utc(r.at("interval_start_unix").get<double>()));
  }
  return f;
}

std::string facts_table(const std::vector<Run> &runs) {
  std::string s = "<table class=\"facts\">";
  if (runs.size() > 1) {
    s += "<tr><th></th>";
    for (size_t i = 0; i < runs.size(); ++i) {
      s += "<th style=\"color:" + run_colour(i) + "\">" + escape(runs[i].name) + "</th>";
    }
    s += "</tr>";
  }
  std::vector<std::vector<std::pair<std::string, std::string>>> all;
  all.reserve(runs.size());
  for (const Run &run : runs) {
    all.push_back(facts(run.report));
  }
  for (size_t row = 0; row < all[0].size(); ++row) {
    s += "<tr><th>" + escape(all[0][row].first) + "</th>";
    for (const auto &f : all) {
      s += "<td>" + (row < f.size() ? escape(f[row].second) : std::string()) + "</td>";
    }
    s += "</tr>";
  }
  return s + "</table>\n";
}

std::string badges(const json &r) {
  const json &rep = r.at("verdict");
  const bool pass = rep.value("pass", false);
  std::string s = std::string("<div class=\"checks\"><p><span class=\"badge ") +
                  (pass ? "pass\">PASS" : "fail\">FAIL") +
                  (pass ? "</span> the run meets every rule the kit checks (an audited result is"
                          " more than that)</p><ul>"
                        : "</span> the run does not meet every rule the kit checks</p><ul>");
  for (const json &c : rep.at("checks")) {
    const bool ok = c.at("pass").get<bool>();
    s += std::string("<li><span class=\"badge ") + (ok ? "pass\">PASS" : "fail\">FAIL") +
         "</span> " + escape(c.at("check").get<std::string>()) + ": " +
         escape(c.at("value").get<std::string>()) + "</li>";
  }
  return s + "</ul></div>\n";
}

std::string types_table(const json &r) {
  std::string s = "<table class=\"types\"><tr><th>transaction</th><th>count</th><th>mix</th>"
                  "<th>p50</th><th>p90</th><th>p99</th><th>max</th><th>p90 limit</th>"
                  "<th>retries</th><th>failures</th></tr>";
  for (size_t t = 0; t < report::kTypes; ++t) {
    const json &x = r.at("transactions").at(report::kTypeKeys[t]);
    s += "<tr><th>" + std::string(report::kTypeNames[t]) + "</th><td>" +
         grouped(x.at("count").get<double>()) + "</td><td>" +
         fixed(x.at("mix_pct").get<double>(), 2) + " %</td>";
    for (const char *key : {"p50_ms", "p90_ms", "p99_ms", "max_ms"}) {
      s += "<td>" + ms_text(x.at(key).get<double>()) + "</td>";
    }
    s += "<td>" + ms_text(report::kLimitS[t] * 1000) + "</td><td>" +
         grouped(x.at("retries").get<double>()) + "</td><td>" +
         grouped(x.at("failures").get<double>()) + "</td></tr>";
  }
  const json &dd = r.at("deferred_delivery");
  s += "<tr><th>Delivery (deferred)</th><td>" + grouped(dd.value("completed", 0.0)) +
       "</td><td></td><td></td><td>" + ms_text(dd.at("p90_ms").get<double>()) +
       "</td><td></td><td>" + ms_text(dd.value("max_ms", 0.0)) + "</td><td>" +
       ms_text(report::kDeferredLimitS * 1000) + "</td><td></td><td>" +
       grouped(dd.value("skipped", 0.0)) + " districts skipped</td></tr>";
  return s + "</table>\n";
}

// The figures a comparison puts side by side: (name, value, unit) per run.
std::vector<std::pair<std::string, double>> figures(const json &r) {
  std::vector<std::pair<std::string, double>> f = {
      {"tpmC", r.at("tpmC").get<double>()},
      {"all transactions per minute", r.at("tpm_total").get<double>()},
      {"failed transactions (%)", r.at("failures_pct").get<double>()},
  };
  for (size_t t = 0; t < report::kTypes; ++t) {
    const json &x = r.at("transactions").at(report::kTypeKeys[t]);
    const std::string name = report::kTypeNames[t];
    f.emplace_back(name + " count", x.at("count").get<double>());
    for (const char *p : {"p50", "p90", "p99", "max"}) {
      f.emplace_back(name + " " + p + " (ms)", x.at(std::string(p) + "_ms").get<double>());
    }
    f.emplace_back(name + " retries", x.at("retries").get<double>());
  }
  f.emplace_back("deferred Delivery p90 (ms)",
                 r.at("deferred_delivery").at("p90_ms").get<double>());
  return f;
}

std::string number_text(double v) {
  return v == std::floor(v) && std::fabs(v) < 1e15 ? grouped(v) : fixed(v, 2);
}

std::string comparison_table(const std::vector<Run> &runs) {
  std::string s = "<table class=\"comparison\" id=\"comparison\"><tr><th>figure</th><th style="
                  "\"color:" +
                  run_colour(0) + "\">" + escape(runs[0].name) + "</th>";
  for (size_t i = 1; i < runs.size(); ++i) {
    s +=
        "<th style=\"color:" + run_colour(i) + "\">" + escape(runs[i].name) + "</th><th>ratio</th>";
  }
  s += "</tr>";
  std::vector<std::vector<std::pair<std::string, double>>> all;
  all.reserve(runs.size());
  for (const Run &run : runs) {
    all.push_back(figures(run.report));
  }
  for (size_t row = 0; row < all[0].size(); ++row) {
    const double base = all[0][row].second;
    s += "<tr><th>" + escape(all[0][row].first) + "</th><td>" + number_text(base) + "</td>";
    for (size_t i = 1; i < all.size(); ++i) {
      const double v = all[i][row].second;
      s += "<td>" + number_text(v) + "</td><td>" +
           (base != 0 ? fixed(v / base, 3) + "&times;" : std::string("&ndash;")) + "</td>";
    }
    s += "</tr>";
  }
  return s + "</table>\n";
}

const char *const kStyle = R"(
body{font:14px/1.4 system-ui,sans-serif;color:#222;margin:24px auto;max-width:960px;padding:0 12px}
h1{font-size:22px;margin:0 0 8px}h2{font-size:17px;margin:28px 0 8px}
.big{display:flex;gap:40px;margin:12px 0}.big div{font-size:13px;color:#555}
.big b{display:block;font-size:34px;color:#111}
table{border-collapse:collapse;margin:8px 0}th,td{padding:3px 10px;border-bottom:1px solid #ddd}
th{text-align:left;font-weight:600}td{text-align:right}.facts td{text-align:left}
.badge{display:inline-block;min-width:38px;text-align:center;border-radius:3px;padding:0 4px;
font-size:12px;font-weight:700;color:#fff}.pass{background:#239b56}.fail{background:#c0392b}
.checks ul{list-style:none;padding:0;margin:4px 0;columns:2}.checks li{margin:2px 0}
figure{margin:12px 0}figcaption{font-weight:600;margin-bottom:4px}
.grid{stroke:#e5e5e5}.frame{fill:none;stroke:#888}.tick{font-size:11px;fill:#555}
.label{font-size:12px;fill:#333}.mark{stroke-width:1.5}svg text{font-size:11px}
.legend{font-size:12px;display:flex;flex-wrap:wrap;gap:4px 16px}.legend svg{margin-right:4px}
.distributions{display:grid;grid-template-columns:1fr 1fr;gap:0 20px}
)";

} // namespace

std::string html(const std::vector<Run> &runs, const std::string &title) {
  const json &first = runs.at(0).report;
  std::string heading = title;
  if (heading.empty()) {
    const int w = first.at("warehouses").get<int>();
    heading = runs.size() == 1
                  ? "TPC-C run: " + fixed(first.at("tpmC").get<double>(), 1) + " tpmC on " +
                        std::to_string(w) + (w == 1 ? " warehouse" : " warehouses")
                  : "TPC-C runs compared: " + std::to_string(runs.size()) + " runs";
  }
  std::string s = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
                  "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
                  "style-src 'unsafe-inline'\">\n<meta name=\"generator\" content=\"tpcc-report " +
                  std::string(TPCC_VERSION) + "\">\n<title>" + escape(heading) +
                  "</title>\n<style>" + kStyle + "</style></head>\n<body>\n<h1>" + escape(heading) +
                  "</h1>\n";
  s += facts_table(runs);
  if (runs.size() == 1) {
    s += "<div class=\"big\"><div><b>" + fixed(first.at("tpmC").get<double>(), 1) +
         "</b>tpmC (New-Orders per minute)</div><div><b>" +
         fixed(first.at("tpm_total").get<double>(), 1) +
         "</b>all transactions per minute</div></div>\n" + badges(first) +
         "<h2>Transactions in the measurement interval</h2>\n" + types_table(first);
  } else {
    s += "<h2>The first run beside the others</h2>\n" + comparison_table(runs);
  }
  s += "<h2>Throughput</h2>\n" + throughput_chart(runs) +
       "<h2>Response-time distributions (measurement interval)</h2>\n"
       "<div class=\"distributions\">\n";
  for (size_t t = 0; t < report::kTypes; ++t) {
    s += distribution_chart(runs, report::kTypeKeys[t],
                            std::string(report::kTypeNames[t]) + (t == 3 ? " (queuing)" : ""),
                            report::kLimitS[t], kTypeColour[t]);
  }
  s += distribution_chart(runs, "deferred_delivery", "Delivery (deferred)", report::kDeferredLimitS,
                          kTypeColour[3]);
  s += "</div>\n<h2>New-Order response time over the run</h2>\n" + p90_chart(runs) +
       metrics_section(runs) + "<p class=\"foot\">Made by tpcc-report " +
       std::string(TPCC_VERSION) + " from " + escape(runs[0].name);
  for (size_t i = 1; i < runs.size(); ++i) {
    s += ", " + escape(runs[i].name);
  }
  return s + ".</p>\n</body></html>\n";
}

} // namespace page
