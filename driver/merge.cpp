// merge.cpp - one report of the whole from several hosts' parts; see merge.h.
#include "merge.h"

#include "report.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <stdexcept>

using nlohmann::json;

namespace report {

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

// Throws unless every part has the same value of key as the first (fallback for a report
// that lacks it, as older ones may).
void same(const std::vector<json> &parts, const char *key, const json &fallback) {
  const json mine = parts[0].value(key, fallback);
  for (const json &p : parts) {
    const json theirs = p.value(key, fallback);
    if (theirs != mine) {
      throw std::runtime_error(std::string("the reports differ in ") + key + " (" + mine.dump() +
                               " and " + theirs.dump() + "): they are not parts of one run");
    }
  }
}

// What each host's own run decided for itself, which no sum can stand for: how it ended,
// what it checked, and the servers it went to.
json host_of(const json &p) {
  if (p.contains("hosts")) { // a part that was merged itself: its hosts
    return p.at("hosts");
  }
  json h = {{"range", p.at("range")}, {"ended_by", p.at("ended_by")}};
  for (const char *key : {"durability", "consistency", "servers", "server"}) {
    if (p.contains(key)) {
      h[key] = p.at(key);
    }
  }
  return h;
}

// The whole's ending: the hosts' one ending, or each host's, as "duration (warehouses 1-5),
// error (warehouses 6-10)".
std::string ending(const json &hosts) {
  std::string all;
  bool differ = false;
  for (const json &h : hosts) {
    differ = differ || h.at("ended_by") != hosts[0].at("ended_by");
  }
  if (!differ) {
    return hosts[0].at("ended_by").get<std::string>();
  }
  for (const json &h : hosts) {
    all += (all.empty() ? "" : ", ") + h.at("ended_by").get<std::string>() + " (warehouses " +
           h.at("range").at(0).dump() + "-" + h.at("range").at(1).dump() + ")";
  }
  return all;
}

} // namespace

json merge(const std::vector<json> &parts) {
  if (parts.empty()) {
    throw std::runtime_error("no report to merge");
  }
  for (const char *key : {"tool", "mode", "sql", "warehouses", "seed", "c_load", "c_run"}) {
    same(parts, key, "plain"); // older reports ran plain SQL
  }
  same(parts, "time_scale", 1.0);
  same(parts, "foreign_keys", true);
  json r = parts[0];
  json hosts = json::array();
  std::vector<std::pair<int, int>> ranges;
  double start = -1e300;
  double end = 1e300;
  double longest = 0;
  std::map<std::string, Histogram> histograms;
  for (size_t i = 0; i < parts.size(); ++i) {
    const json &p = parts[i];
    const json host = host_of(p);
    if (host.is_array()) {
      hosts.insert(hosts.end(), host.begin(), host.end());
    } else {
      hosts.push_back(host);
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
  r["hosts"] = hosts;
  r["ended_by"] = ending(hosts);
  for (const char *key : {"durability", "consistency", "servers", "setup_s"}) { // each host's
    r.erase(key);
  }
  if (parts.size() > 1) { // each host sampled its own machine, and perhaps its own server
    const char *own = "a merged report: each host's own report has its figures";
    r["metrics"] = {{"unavailable", own}};
    r["server_time"] = {{"unavailable", own}};
  }
  count_common_interval(r, parts, start, end);
  r["common_interval_s"] = end - start;
  r["longest_interval_s"] = longest;
  finish(r);
  return r;
}

} // namespace report
