// report.cpp - the recorder, the report and its merge; see report.h.
#include "report.h"

#include "metrics.h"

#include <tpcc/inputs.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <numeric>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// The field of "transactions" that each of kPerSecondKeys counts: the report's figure is the
// sum of its seconds.
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

double ms(double us) {
  return std::round(us / 10) / 100;
}

} // namespace

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

void Recorder::unsettle_locked(const Completion &c) {
  --whole_.unknown;
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
    ++whole_.unknown;
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
      p["p90_ms"][kTypeKeys[t]] = ms(series_[i].times[t].percentile(90));
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
                    {"unknown", whole_.unknown}};
  return r;
}

std::string fixed(double v, int decimals) {
  char s[64];
  (void)std::snprintf(s, sizeof s, "%.*f", decimals, v);
  return s;
}

namespace {

double share(uint64_t part, uint64_t whole) {
  return whole == 0 ? 0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole);
}

void check(json &r, const std::string &what, bool pass, const std::string &value) {
  r["reportable"]["checks"].push_back({{"check", what}, {"pass", pass}, {"value", value}});
  r["reportable"]["pass"] = r["reportable"].value("pass", true) && pass;
}

void checks(json &r) {
  r["reportable"] = {{"pass", true}, {"checks", json::array()}};
  const double minutes = r.at("interval_s").get<double>() / 60;
  check(r, "measurement interval >= 120 min", minutes >= 120, fixed(minutes, 1) + " min");
  const bool standard = r.at("mode") == "standard" && r.value("time_scale", 1.0) == 1.0;
  check(r, "10 terminals per warehouse with the full keying and think times", standard,
        r.at("mode").get<std::string>() +
            (r.at("mode") == "standard" ? ", time scale " + fixed(r.value("time_scale", 1.0), 3)
                                        : ""));
  const json &tx = r.at("transactions");
  static constexpr std::array<double, kTypes> kMinimum = {0, 43, 4, 4, 4};
  for (size_t t = 1; t < kTypes; ++t) {
    const double mix = tx.at(kTypeKeys[t]).at("mix_pct").get<double>();
    check(r, std::string(kTypeNames[t]) + " >= " + fixed(kMinimum[t], 0) + " % of the mix",
          mix >= kMinimum[t], fixed(mix, 2) + " %");
  }
  for (size_t t = 0; t < kTypes; ++t) {
    // Passes only when the whole bucket that holds the 90th percentile is within the limit.
    const double p90 = tx.at(kTypeKeys[t]).at("p90_ms").get<double>() / 1000;
    const double bound = tx.at(kTypeKeys[t]).at("p90_bound_ms").get<double>() / 1000;
    check(r,
          std::string(kTypeNames[t]) + (t == TX_DELIVERY ? " (queuing)" : "") +
              " p90 <= " + fixed(kLimitS[t], 0) + " s",
          bound <= kLimitS[t], fixed(p90, 3) + " s, at most " + fixed(bound, 3) + " s");
  }
  const json &dd = r.at("deferred_delivery");
  const double deferred = dd.at("p90_ms").get<double>() / 1000;
  const double deferred_bound = dd.at("p90_bound_ms").get<double>() / 1000;
  const uint64_t dropped = dd.value("dropped", uint64_t{0});
  check(r, "deferred Delivery p90 <= 80 s, none dropped",
        dropped == 0 && deferred_bound >= 0 && deferred_bound <= kDeferredLimitS,
        fixed(deferred, 3) + " s, " + std::to_string(dd.value("failed", uint64_t{0})) +
            " failed, " + std::to_string(dropped) + " dropped");
  const double skipped = dd.at("skipped_pct").get<double>();
  check(r, "skipped delivery districts < 1 %", skipped < 1, fixed(skipped, 2) + " %");
  const json &steady = r.at("steady_state");
  check(r, "steady state: tpmC of the interval's halves within 2 %",
        steady.at("difference_pct").get<double>() <= 2 && steady.at("first_half_tpmC") != 0,
        fixed(steady.at("difference_pct").get<double>(), 2) + " %");
}

} // namespace

void finish(json &r) {
  json &tx = r.at("transactions");
  uint64_t all = 0;
  for (const char *key : kTypeKeys) {
    all += tx.at(key).at("count").get<uint64_t>();
  }
  const double interval_s = r.at("interval_s").get<double>();
  const double per_minute = interval_s > 0 ? 60 / interval_s : 0;
  for (const char *key : kTypeKeys) {
    json &x = tx.at(key);
    const Histogram h = histogram_of(r.at("histograms").at(key));
    x["mix_pct"] = share(x.at("count").get<uint64_t>(), all);
    x["p50_ms"] = ms(h.percentile(50));
    x["p90_ms"] = ms(h.percentile(90));
    x["p99_ms"] = ms(h.percentile(99));
    x["max_ms"] = ms(static_cast<double>(h.max()));
    x["p90_bound_ms"] = ms(static_cast<double>(h.percentile_bound(90)));
    const auto n = std::max<double>(x.at("count").get<double>(), 1);
    x["keying_s_avg"] = std::round(x.value("keying_us_total", 0.0) / n / 1e3) / 1e3;
    x["think_s_avg"] = std::round(x.value("think_us_total", 0.0) / n / 1e3) / 1e3;
  }
  json &no = tx.at("new_order");
  const auto new_orders = no.at("count").get<uint64_t>();
  r["tpmC"] = std::round(static_cast<double>(new_orders) * per_minute * 100) / 100;
  r["new_order_committed_per_min"] =
      std::round(static_cast<double>(new_orders - no.at("rolled_back").get<uint64_t>()) *
                 per_minute * 100) /
      100;
  r["tpm_total"] = std::round(static_cast<double>(all) * per_minute * 100) / 100;
  if (r.at("mode") == "standard") {
    const double w = r.at("range").at(1).get<double>() - r.at("range").at(0).get<double>() + 1;
    // Keying and think times scaled by F let a terminal reach 1/F times the standard's most.
    const double most = 12.86 * w / r.value("time_scale", 1.0);
    r["efficiency_pct"] = std::round(r["tpmC"].get<double>() / most * 10000) / 100;
  }
  no["rolled_back_pct"] = share(no.at("rolled_back").get<uint64_t>(), new_orders);
  no["remote_lines_pct"] =
      share(no.at("remote_lines").get<uint64_t>(), no.at("lines").get<uint64_t>());
  json &pay = tx.at("payment");
  pay["remote_pct"] = share(pay.at("remote").get<uint64_t>(), pay.at("count").get<uint64_t>());
  pay["by_name_pct"] = share(pay.at("by_name").get<uint64_t>(), pay.at("count").get<uint64_t>());
  json &os = tx.at("order_status");
  os["by_name_pct"] = share(os.at("by_name").get<uint64_t>(), os.at("count").get<uint64_t>());
  json &dd = r.at("deferred_delivery");
  const Histogram deferred = histogram_of(r.at("histograms").at("deferred_delivery"));
  dd["p90_ms"] = ms(deferred.percentile(90));
  // Those that failed or never ran took longer than any limit.
  const uint64_t never = dd.value("failed", uint64_t{0}) + dd.value("dropped", uint64_t{0});
  const uint64_t bound = deferred.percentile_bound(90, never);
  dd["p90_bound_ms"] = bound == UINT64_MAX ? -1 : ms(static_cast<double>(bound));
  dd["max_ms"] = ms(static_cast<double>(deferred.max()));
  dd["skipped_pct"] = share(dd.at("skipped").get<uint64_t>(), dd.at("districts").get<uint64_t>());
  // Steady state: the interval's first and last halves of equal whole seconds.
  const std::vector<uint64_t> per_second = r.at("per_second").at("new_order");
  const auto half = static_cast<size_t>(interval_s) / 2;
  uint64_t first = 0;
  uint64_t second = 0;
  for (size_t s = 0; s < 2 * half && s < per_second.size(); ++s) {
    (s < half ? first : second) += per_second[s];
  }
  const double half_minutes = static_cast<double>(half) / 60;
  r["steady_state"] = {
      {"first_half_tpmC", half == 0 ? 0 : static_cast<double>(first) / half_minutes},
      {"second_half_tpmC", half == 0 ? 0 : static_cast<double>(second) / half_minutes},
      {"difference_pct",
       share(first > second ? first - second : second - first, std::max(first, second))}};
  uint64_t failures = 0;
  for (const char *key : kTypeKeys) {
    failures += tx.at(key).at("failures").get<uint64_t>();
  }
  r["failures_pct"] = share(failures, all + failures);
  checks(r);
}

const char *sql_name(const json &r) {
  if (r.value("sql", "plain") != "procedures") {
    return "plain SQL";
  }
  const bool mariadb = r.value("server", json::object()).value("product", "") == "MariaDB";
  return mariadb ? "stored procedures" : "PL/pgSQL procedures";
}

std::string server_times(const json &r) {
  const json st = r.value("server_time", json::object());
  if (st.contains("unavailable")) {
    return "not known (" + st.at("unavailable").get<std::string>() + ")";
  }
  if (!st.contains("transactions")) {
    return "not known (an older report)";
  }
  std::string s;
  for (size_t t = 0; t < kTypes; ++t) {
    s.append(t == 0 ? "" : "; ").append(kTypeNames[t]).append(" ");
    s.append(fixed(st.at("transactions").at(kTypeKeys[t]).at("exec_ms_avg").get<double>(), 3));
  }
  return s;
}

namespace {

std::string settings_text(const json &server) {
  if (!server.contains("product")) {
    return "server: " + server.value("unavailable", std::string("unknown")) + "\n";
  }
  std::string s =
      "server: " + server.at("product").get<std::string>() + " " + server.value("version", "");
  const json settings = server.value("settings", json::object());
  const char *sep = "; ";
  for (const char *name : {"shared_buffers", "synchronous_commit", "fsync", "full_page_writes",
                           "max_wal_size", "checkpoint_timeout"}) {
    if (settings.contains(name)) {
      s += sep + std::string(name) + " " + settings.at(name).get<std::string>();
      sep = ", ";
    }
  }
  return s + "\n";
}

std::string megabytes(double bytes) {
  return bytes < 0 ? "?" : fixed(bytes / 1e6, 1) + " MB";
}

} // namespace

std::string server_text(const json &r) {
  std::string s = r.contains("server") ? settings_text(r.at("server")) : "";
  if (!r.contains("metrics")) {
    return s;
  }
  const json &m = r.at("metrics");
  if (!m.contains("interval")) {
    return s + "server and machine: not sampled (" + m.value("unavailable", std::string()) + ")\n";
  }
  const metrics::Figures f = metrics::figures(m.at("interval"));
  s += "over the interval: checkpoints " + fixed(f.checkpoints, 0) + " (" +
       fixed(f.checkpoints_timed, 0) + " timed" +
       (f.checkpoint_write_s < 0 ? std::string()
                                 : "; writing " + fixed(f.checkpoint_write_s, 1) + " s, syncing " +
                                       fixed(f.checkpoint_sync_s, 2) + " s") +
       "), WAL " + fixed(f.wal_mb_s, 2) + " MB/s (" + fixed(f.fpi_pct, 1) +
       " % full-page images), buffer hit " +
       (f.hit_pct < 0 ? std::string("-") : fixed(f.hit_pct, 2) + " %") + ", " +
       fixed(f.deadlocks, 0) + " deadlocks, temp files " + fixed(f.temp_mb_s, 2) + " MB/s\n";
  if (f.cert_failures >= 0) {
    s += "cluster conflicts over the interval: " + fixed(f.cert_failures, 0) +
         " failed certification, " + fixed(f.bf_aborts, 0) +
         " aborted for another node's writes (the deadlocks above are each node's own)\n";
  }
  s += "the run's backends (mean):";
  const char *sep = " ";
  for (size_t i = 0; i < f.waits.size() && i < 5; ++i) {
    s += sep + f.waits[i].first + " " + fixed(f.waits[i].second, 2);
    sep = ", ";
  }
  s += f.waits.empty() ? " none seen\n" : "\n";
  s += "CPU: driver " + fixed(f.driver_cpu_pct, 1) + " % of one CPU, server " +
       (f.server_cpu_pct < 0 ? std::string("not measured (elsewhere)")
                             : fixed(f.server_cpu_pct, 1) + " %") +
       "; the machine's " + std::to_string(m.value("cpus", 1)) + " CPUs: user " +
       fixed(f.user_pct, 1) + " %, system " + fixed(f.system_pct, 1) + " %, iowait " +
       fixed(f.iowait_pct, 1) + " %, steal " + fixed(f.steal_pct, 1) + " %\n";
  if (f.disk_read_mb_s >= 0) {
    s += "disk " + m.value("disk", std::string()) + ": read " + fixed(f.disk_read_mb_s, 2) +
         " MB/s, written " + fixed(f.disk_write_mb_s, 2) + " MB/s; ";
  }
  const json size = m.value("size_bytes", json::object());
  s += "database " + megabytes(size.value("start", -1.0)) + " at the start, " +
       megabytes(size.value("end", -1.0)) + " at the end\n";
  for (const json &missing : m.value("missing", json::array())) {
    s += "left out: " + missing.get<std::string>() + "\n";
  }
  return s;
}

std::string servers(const json &r) {
  const json all = r.value("servers", json::object());
  std::string s;
  const char *sep = "";
  for (const json &server : all.value("list", json::array())) {
    s += sep + server.at("where").get<std::string>() + " " +
         std::to_string(server.at("connections").get<int>());
    sep = ", ";
  }
  return s.empty() ? s
                   : s + " connections; " + std::to_string(all.value("moved", 0)) +
                         " reopened on another server";
}

std::string text(const json &r) {
  std::string out;
  char line[512];
  const auto add = [&out, &line](const char *format, auto... args) {
    (void)std::snprintf(line, sizeof line, format, args...);
    out += line;
  };
  const json &range = r.at("range");
  add("%s %s: %s mode, %s%s, %d warehouse%s (%d-%d), %d terminals on %d connections\n",
      r.at("tool").get<std::string>().c_str(), r.at("version").get<std::string>().c_str(),
      r.at("mode").get<std::string>().c_str(), sql_name(r),
      r.value("foreign_keys", true) ? "" : ", no foreign keys", r.at("warehouses").get<int>(),
      r.at("warehouses").get<int>() == 1 ? "" : "s", range.at(0).get<int>(), range.at(1).get<int>(),
      r.at("terminals").get<int>(), r.at("connections").get<int>());
  const json went = r.value("servers", json::object());
  if (went.value("list", json::array()).size() > 1 || went.value("moved", 0) > 0) {
    out += "servers: " + servers(r) + "\n";
  }
  add("interval %.1f s after %.0f s of ramp-up, ended by %s; seed %s, C-Load %d, C-Run %d\n\n",
      r.at("interval_s").get<double>(), r.at("ramp_up_s").get<double>(),
      r.at("ended_by").get<std::string>().c_str(), r.at("seed").dump().c_str(),
      r.at("c_load").get<int>(), r.at("c_run").get<int>());
  add("tpmC %.1f   committed New-Orders %.1f/min   all transactions %.1f/min\n",
      r.at("tpmC").get<double>(), r.at("new_order_committed_per_min").get<double>(),
      r.at("tpm_total").get<double>());
  if (r.contains("efficiency_pct")) {
    add("efficiency %.2f %% of the most the terminals can reach (12.86 tpmC per warehouse%s)\n",
        r.at("efficiency_pct").get<double>(),
        r.value("time_scale", 1.0) == 1.0
            ? ""
            : (", over the time scale " + fixed(r.value("time_scale", 1.0), 3)).c_str());
  }
  add("\n%-13s %9s %7s %9s %9s %9s %9s %8s %8s\n", "transaction", "count", "mix %", "p50 ms",
      "p90 ms", "p99 ms", "max ms", "retries", "failures");
  const json &tx = r.at("transactions");
  for (size_t t = 0; t < kTypes; ++t) {
    const json &x = tx.at(kTypeKeys[t]);
    add("%-13s %9llu %7.2f %9.2f %9.2f %9.2f %9.2f %8llu %8llu\n", kTypeNames[t],
        x.at("count").get<unsigned long long>(), x.at("mix_pct").get<double>(),
        x.at("p50_ms").get<double>(), x.at("p90_ms").get<double>(), x.at("p99_ms").get<double>(),
        x.at("max_ms").get<double>(), x.at("retries").get<unsigned long long>(),
        x.at("failures").get<unsigned long long>());
  }
  const json &dd = r.at("deferred_delivery");
  add("\nNew-Order: %.2f %% rolled back, %.2f %% of order lines remote\n",
      tx.at("new_order").at("rolled_back_pct").get<double>(),
      tx.at("new_order").at("remote_lines_pct").get<double>());
  add("Payment: %.2f %% remote, %.2f %% by last name; Order-Status: %.2f %% by last name\n",
      tx.at("payment").at("remote_pct").get<double>(),
      tx.at("payment").at("by_name_pct").get<double>(),
      tx.at("order_status").at("by_name_pct").get<double>());
  add("deferred Delivery: %llu completed (%llu retries), %llu failed, %llu never ran; p90 %.2f ms;"
      " %llu of %llu districts skipped (%.2f %%)\n",
      dd.at("completed").get<unsigned long long>(), dd.value("retries", 0ULL),
      dd.value("failed", 0ULL), dd.value("dropped", 0ULL), dd.at("p90_ms").get<double>(),
      dd.at("skipped").get<unsigned long long>(), dd.at("districts").get<unsigned long long>(),
      dd.at("skipped_pct").get<double>());
  out += "server time per transaction, ms: " + server_times(r) + "\n";
  out += server_text(r);
  if (r.at("mode") == "standard") {
    out += "average keying / think time, s:";
    for (size_t t = 0; t < kTypes; ++t) {
      const json &x = tx.at(kTypeKeys[t]);
      add(" %s %.2f / %.2f%s", kTypeNames[t], x.value("keying_s_avg", 0.0),
          x.value("think_s_avg", 0.0), t + 1 < kTypes ? ";" : "\n");
    }
  }
  const auto unknown = r.at("whole_run").value("unknown", 0ULL);
  if (unknown != 0) {
    add("outcome unknown: %llu transactions lost their connection while committing, and the"
        " database could not yet say whether they did (--check settles them)\n",
        unknown);
  }
  for (const auto &[sqlstate, n] : r.at("errors").items()) {
    add("failed with SQLSTATE %s: %llu\n", sqlstate.c_str(), n.get<unsigned long long>());
  }
  if (r.contains("durability")) {
    const json &d = r.at("durability");
    if (!d.value("judged", false)) {
      add("durability: not judged: %s\n", d.value("why", std::string()).c_str());
    } else if (d.at("pass").get<bool>() && d.value("unknown", 0LL) == 0) {
      out += "durability: the database changed by exactly what the run acknowledged\n";
    } else {
      out += d.at("pass").get<bool>() ? "durability: nothing acknowledged was lost\n"
                                      : "durability: FAILED\n";
      for (const json &f : d.at("figures")) {
        add("  %-17s acknowledged %lld, the database changed by %lld\n",
            f.at("figure").get<std::string>().c_str(), f.at("acknowledged").get<long long>(),
            f.at("held").get<long long>());
      }
    }
  }
  out += "\nreportable:\n";
  for (const json &c : r.at("reportable").at("checks")) {
    add("  %s  %s (%s)\n", c.at("pass").get<bool>() ? "PASS" : "FAIL",
        c.at("check").get<std::string>().c_str(), c.at("value").get<std::string>().c_str());
  }
  return out;
}

namespace {

void add_counts(json &into, const json &from) {
  for (const auto &[key, value] : from.items()) {
    if (value.is_number_integer()) {
      into[key] = into.value(key, int64_t{0}) + value.get<int64_t>();
    }
  }
}

// Counts anew over the interval all hosts measured, start to end (Unix seconds), what each
// counted per second: every host's whole seconds from the first that starts in it, as many of
// them for every host, so that the rates are the sum of the hosts' rates over that interval.
void count_common_interval(json &r, const std::vector<json> &parts, double start, double end) {
  std::vector<size_t> first(parts.size());
  double seconds = end - start;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (!parts[i].contains("per_second")) {
      throw std::runtime_error("a report without its counts per second (an older tpcc-run's)");
    }
    const double offset = start - parts[i].at("interval_start_unix").get<double>();
    first[i] = static_cast<size_t>(std::ceil(offset - 1e-6));
    seconds = std::min(seconds, end - start - (static_cast<double>(first[i]) - offset));
  }
  const auto length = static_cast<size_t>(std::floor(seconds + 1e-6));
  if (length == 0) {
    throw std::runtime_error("the reports' measurement intervals share no whole second");
  }
  for (size_t k = 0; k < kPerSecondKeys.size(); ++k) {
    std::vector<uint64_t> sum(length);
    for (size_t i = 0; i < parts.size(); ++i) {
      const std::vector<uint64_t> theirs = parts[i].at("per_second").at(kPerSecondKeys[k]);
      for (size_t s = 0; s < length && first[i] + s < theirs.size(); ++s) {
        sum[s] += theirs[first[i] + s];
      }
    }
    const auto [type, field] = counted_field(k);
    r["transactions"][type][field] = std::accumulate(sum.begin(), sum.end(), uint64_t{0});
    r["per_second"][kPerSecondKeys[k]] = sum;
  }
  r["interval_s"] = static_cast<double>(length);
  r["interval_start_unix"] = start;
}

} // namespace

json merge(const std::vector<json> &parts) {
  if (parts.empty()) {
    throw std::runtime_error("no report to merge");
  }
  json r = parts[0];
  std::vector<std::pair<int, int>> ranges;
  double start = -1e300;
  double end = 1e300;
  double longest = 0;
  std::map<std::string, Histogram> histograms;
  for (size_t i = 0; i < parts.size(); ++i) {
    const json &p = parts[i];
    for (const char *key : {"tool", "mode", "sql", "warehouses", "seed", "c_load", "c_run"}) {
      const json mine = r.value(key, json("plain")); // older reports ran plain SQL
      const json theirs = p.value(key, json("plain"));
      if (theirs != mine) {
        throw std::runtime_error(std::string("the reports differ in ") + key + " (" + mine.dump() +
                                 " and " + theirs.dump() + "): they are not parts of one run");
      }
    }
    ranges.emplace_back(p.at("range").at(0).get<int>(), p.at("range").at(1).get<int>());
    const double s = p.at("interval_start_unix").get<double>();
    start = std::max(start, s);
    end = std::min(end, s + p.at("interval_s").get<double>());
    longest = std::max(longest, p.at("interval_s").get<double>());
    for (const auto &[key, h] : p.at("histograms").items()) {
      histograms[key].merge(histogram_of(h));
    }
    if (i == 0) {
      continue;
    }
    for (const char *key : kTypeKeys) {
      add_counts(r["transactions"][key], p.at("transactions").at(key));
    }
    for (const char *key : {"deferred_delivery", "whole_run", "errors"}) {
      add_counts(r[key], p.at(key));
    }
    for (const char *key : {"terminals", "connections"}) {
      r[key] = r.at(key).get<int>() + p.at(key).get<int>();
    }
    json &periods = r["series"]["periods"];
    const json &more = p.at("series").at("periods");
    for (size_t k = 0; k < more.size(); ++k) {
      if (k >= periods.size()) {
        periods.push_back(more[k]);
        continue;
      }
      add_counts(periods[k]["count"], more[k].at("count"));
      for (const auto &[key, v] : more[k].at("p90_ms").items()) { // a bound, not a merge
        periods[k]["p90_ms"][key] =
            std::max(periods[k]["p90_ms"][key].get<double>(), v.get<double>());
      }
    }
  }
  std::sort(ranges.begin(), ranges.end());
  for (size_t i = 1; i < ranges.size(); ++i) {
    if (ranges[i].first <= ranges[i - 1].second) {
      throw std::runtime_error("the reports' ranges overlap");
    }
  }
  if (end <= start) {
    throw std::runtime_error("the reports' measurement intervals do not overlap");
  }
  for (const auto &[key, h] : histograms) {
    r["histograms"][key] = histogram_json(h);
  }
  r["range"] = {ranges.front().first, ranges.back().second};
  r["ranges"] = ranges;
  r["merged"] = parts.size();
  if (parts.size() > 1) { // each host sampled its own machine, and perhaps its own server
    r["metrics"] = {{"unavailable", "a merged report: each host's own report has its figures"}};
  }
  count_common_interval(r, parts, start, end);
  finish(r);
  check(r, "the hosts measured one interval (within 2 %)", end - start >= 0.98 * longest,
        fixed(end - start, 1) + " s in common of " + fixed(longest, 1) + " s");
  return r;
}

bool write_file(const json &r, const std::string &path) {
  return write_text(r.dump(1) + "\n", path);
}

bool write_text(const std::string &body, const std::string &path) {
  const size_t slash = path.rfind('/');
  std::string temp = path.substr(0, slash + 1) + "." +
                     path.substr(slash == std::string::npos ? 0 : slash + 1) + ".XXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd == -1) {
    return false;
  }
  const mode_t mask = umask(0);
  umask(mask);
  size_t done = 0;
  bool ok = fchmod(fd, 0666 & ~mask) == 0;
  while (ok && done < body.size()) {
    const ssize_t n = write(fd, body.data() + done, body.size() - done);
    ok = n > 0;
    done += ok ? static_cast<size_t>(n) : 0;
  }
  ok = ok && fsync(fd) == 0;
  const int error = errno;
  ok = close(fd) == 0 && ok;
  ok = ok && rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    const int saved = errno != 0 ? errno : error;
    (void)unlink(temp.c_str());
    errno = saved;
  }
  return ok;
}

} // namespace report
