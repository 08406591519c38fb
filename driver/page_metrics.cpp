// page_metrics.cpp - the server's and the machine's figures on the page; see page_metrics.h.
#include "page_metrics.h"

#include "metrics.h"

#include <algorithm>
#include <map>
#include <set>

using nlohmann::json;

namespace page {

namespace {

// A run's metrics, or null when the report has none.
const json *metrics_of(const Run &run) {
  const json &r = run.report;
  if (!r.contains("metrics") || !r.at("metrics").is_object() ||
      !r.at("metrics").contains("periods") || !r.at("metrics").at("periods").is_array()) {
    return nullptr;
  }
  return &r.at("metrics");
}

std::string why_none(const json &r) {
  if (r.contains("metrics") && r.at("metrics").contains("unavailable")) {
    return r.at("metrics").at("unavailable").get<std::string>();
  }
  return "a report of a tpcc-run that did not sample them";
}

constexpr size_t kMostBins = 120; // a long run's periods are drawn in fewer, longer bins

// The run's periods, neighbours summed into bins so that there are at most kMostBins, each
// with its "t_s" and "width_s"; a bin's waits are the mean over all its samples.
std::vector<json> bins(const json &m) {
  const json &periods = m.at("periods");
  const size_t group = std::max<size_t>((periods.size() + kMostBins - 1) / kMostBins, 1);
  const double width = m.value("period_s", 10.0) * static_cast<double>(group);
  std::vector<json> out;
  std::map<std::string, double> waited; // the bin's waits times samples
  const auto close = [&out, &waited] {
    const double samples = std::max(out.back().at("samples").get<double>(), 1.0);
    for (const auto &[what, n] : waited) {
      out.back()["waits"][what] = n / samples;
    }
    waited.clear();
  };
  for (size_t i = 0; i < periods.size(); ++i) {
    const json &p = periods[i];
    if (i % group == 0) {
      if (i > 0) {
        close();
      }
      out.push_back({{"t_s", p.at("t_s")},
                     {"width_s", width},
                     {"seconds", 0.0},
                     {"samples", 0.0},
                     {"deltas", json::object()},
                     {"waits", json::object()}});
    }
    json &bin = out.back();
    const double samples = p.value("samples", 0.0);
    for (const auto &[what, n] : p.at("waits").items()) {
      waited[what] += n.get<double>() * samples;
    }
    for (const auto &[name, v] : p.at("deltas").items()) {
      bin["deltas"][name] = bin["deltas"].value(name, 0.0) + v.get<double>();
    }
    bin["seconds"] = bin.at("seconds").get<double>() + p.value("seconds", 0.0);
    bin["samples"] = bin.at("samples").get<double>() + samples;
  }
  if (!out.empty()) {
    close();
  }
  return out;
}

// One line per run of a figure per bin, at the middle of each bin.
using PerPeriod = double (*)(const metrics::Figures &, const json &m);

std::vector<std::pair<double, double>> points(const json &m, double unit, PerPeriod f) {
  std::vector<std::pair<double, double>> p;
  for (const json &bin : bins(m)) {
    const double seconds = bin.at("seconds").get<double>();
    const double v = seconds > 0 ? f(metrics::figures(bin), m) : std::nan("");
    p.emplace_back((bin.at("t_s").get<double>() + bin.at("width_s").get<double>() / 2) / unit,
                   v < 0 ? std::nan("") : v);
  }
  return p;
}

double top_of(const std::vector<std::pair<double, double>> &p) {
  double top = 0;
  for (const auto &[x, y] : p) {
    top = std::isnan(y) ? top : std::max(top, y);
  }
  return top;
}

struct Line {
  std::string name, colour, dash;
  PerPeriod f;
};

// A chart of lines over the run's time: for one run each of lines, for several runs the
// first of them in each run's colour.
std::string lines_chart(const std::vector<Run> &runs, const std::string &id,
                        const std::string &caption, const std::string &y_label,
                        const std::vector<Line> &lines) {
  const TimeScale ts = time_scale(runs);
  double end = 0;
  double top = 0;
  std::vector<std::vector<std::vector<std::pair<double, double>>>> all;
  for (const Run &run : runs) {
    end = std::max(end, run_end_s(run.report) / ts.unit);
    auto &mine = all.emplace_back();
    const json *m = metrics_of(run);
    for (size_t l = 0; m != nullptr && l < (runs.size() == 1 ? lines.size() : 1); ++l) {
      mine.push_back(points(*m, ts.unit, lines[l].f));
      top = std::max(top, top_of(mine.back()));
    }
  }
  Chart chart(id, 900, 240, linear_axis(end), linear_axis(top));
  shade_intervals(chart, runs, ts.unit);
  std::vector<LegendEntry> entries;
  for (size_t i = 0; i < runs.size(); ++i) {
    for (size_t l = 0; l < all[i].size(); ++l) {
      const bool one = runs.size() == 1;
      const std::string colour = one ? lines[l].colour : run_colour(i);
      const std::string name = one ? lines[l].name : runs[i].name + ": " + lines[0].name;
      chart.line(all[i][l], colour, 2, one ? lines[l].dash : "", name);
      entries.push_back({colour, one ? lines[l].dash : "", name});
    }
  }
  entries.push_back(interval_entry(runs));
  return figure(id, caption, chart.svg(ts.label, y_label), legend(entries));
}

const char *const kWaitColour[] = {"#27ae60", "#c0392b", "#2471a3", "#b9770e",
                                   "#7d3c98", "#16a085", "#95a5a6"};
constexpr size_t kWaitsShown = 6; // the rest stack as "other"

// Whether the run's servers were the nodes of a cluster, which counts its conflicts.
bool cluster(const Run &run) {
  const json *m = metrics_of(run);
  return m != nullptr && m->contains("interval") &&
         m->at("interval").value("deltas", json::object()).contains("cert_failures");
}

// A count per second of its period; -1 where it was not counted.
double per_second(double n, const metrics::Figures &f) {
  return n < 0 ? -1 : n / f.seconds;
}

// A cluster's conflicts across its nodes beside each node's own deadlocks.
std::string conflicts_chart(const std::vector<Run> &runs) {
  return lines_chart(
      runs, "chart-conflicts", "Conflicts (per second)", "per second",
      {{"failed certification", "#c0392b", "",
        [](const metrics::Figures &f, const json &) { return per_second(f.cert_failures, f); }},
       {"aborted for another node's writes", "#b9770e", "2 3",
        [](const metrics::Figures &f, const json &) { return per_second(f.bf_aborts, f); }},
       {"deadlocks on a node", "#2471a3", "7 4",
        [](const metrics::Figures &f, const json &) { return per_second(f.deadlocks, f); }}});
}

// The run's backends per period by what they were doing, stacked.
std::string waits_chart(const Run &run, const json &m) {
  const std::vector<json> periods = bins(m);
  std::map<std::string, double> total;
  for (const json &p : periods) {
    for (const auto &[what, n] : p.at("waits").items()) {
      total[what] += n.get<double>();
    }
  }
  std::vector<std::pair<std::string, double>> order(total.begin(), total.end());
  std::stable_sort(order.begin(), order.end(), [](const auto &a, const auto &b) {
    return (a.first == "CPU") != (b.first == "CPU") ? a.first == "CPU" : a.second > b.second;
  });
  std::map<std::string, size_t> band;
  for (size_t i = 0; i < order.size(); ++i) {
    band[order[i].first] = std::min(i, kWaitsShown);
  }
  const TimeScale ts = time_scale({run});
  const double width = periods.empty() ? 10 : periods[0].at("width_s").get<double>();
  std::vector<std::array<double, kWaitsShown + 1>> stacks;
  double top = 0;
  for (const json &p : periods) {
    auto &s = stacks.emplace_back();
    s.fill(0);
    for (const auto &[what, n] : p.at("waits").items()) {
      s[band[what]] += n.get<double>();
    }
    double sum = 0;
    for (const double v : s) {
      sum += v;
    }
    top = std::max(top, sum);
  }
  Chart chart("chart-waits", 900, 240, linear_axis(run_end_s(run.report) / ts.unit),
              linear_axis(top));
  shade_intervals(chart, {run}, ts.unit);
  for (size_t k = 0; k < stacks.size(); ++k) {
    const double t = periods[k].at("t_s").get<double>();
    double y = 0;
    for (size_t b = 0; b <= kWaitsShown; ++b) {
      if (stacks[k][b] > 0) {
        const std::string name = b < kWaitsShown && b < order.size() ? order[b].first : "other";
        chart.bar((t + width * 0.05) / ts.unit, (t + width * 0.95) / ts.unit, y, y + stacks[k][b],
                  kWaitColour[b], name + ": " + fixed(stacks[k][b], 2));
        y += stacks[k][b];
      }
    }
  }
  std::vector<LegendEntry> entries;
  for (size_t b = 0; b < std::min(order.size(), kWaitsShown + 1); ++b) {
    entries.push_back({kWaitColour[b], "", b < kWaitsShown ? order[b].first : "other", 8});
  }
  entries.push_back(interval_entry({run}));
  return figure("chart-waits",
                "What the run's backends were doing (mean backends per " + fixed(width, 0) +
                    " s; CPU: running, the rest waiting)",
                chart.svg(ts.label, "backends"), legend(entries));
}

// The server's settings, those that differ between the runs first.
std::string settings_table(const std::vector<Run> &runs) {
  std::set<std::string> names;
  for (const Run &run : runs) {
    const json settings =
        run.report.value("server", json::object()).value("settings", json::object());
    for (const auto &[name, v] : settings.items()) {
      names.insert(name);
    }
  }
  const auto value = [](const Run &run, const std::string &name) -> std::string {
    const json server = run.report.value("server", json::object());
    if (name == "server") {
      return server.value("product", std::string("-")) + " " + server.value("version", "");
    }
    const json settings = server.value("settings", json::object());
    return settings.contains(name) ? settings.at(name).get<std::string>() : "-";
  };
  std::vector<std::string> rows = {"server"};
  rows.insert(rows.end(), names.begin(), names.end());
  std::vector<std::pair<bool, std::string>> ordered;
  for (const std::string &name : rows) {
    bool differs = false;
    for (const Run &run : runs) {
      differs = differs || value(run, name) != value(runs[0], name);
    }
    ordered.emplace_back(!differs, name);
  }
  std::stable_sort(ordered.begin(), ordered.end(),
                   [](const auto &a, const auto &b) { return a.first < b.first; });
  std::string s = "<table class=\"facts\" id=\"settings\"><tr><th>setting</th>";
  for (size_t i = 0; i < runs.size(); ++i) {
    s += "<th style=\"color:" + run_colour(i) + "\">" + escape(runs[i].name) + "</th>";
  }
  s += "</tr>";
  for (const auto &[same, name] : ordered) {
    s += std::string("<tr") + (same ? "" : " class=\"differs\"") + "><th>" + escape(name) +
         (same ? "" : " (differs)") + "</th>";
    for (const Run &run : runs) {
      s += "<td>" + escape(value(run, name)) + "</td>";
    }
    s += "</tr>";
  }
  return s + "</table>\n";
}

} // namespace

std::vector<LegendEntry> mark_checkpoints(Chart &chart, const std::vector<Run> &runs, double unit) {
  bool any = false;
  for (size_t i = 0; i < runs.size(); ++i) {
    const json *m = metrics_of(runs[i]);
    if (m == nullptr || !m->contains("checkpoints")) {
      continue;
    }
    int n = 0;
    for (const json &c : m->at("checkpoints")) {
      ++n;
      const std::string colour = runs.size() == 1 ? "#555" : run_colour(i);
      const std::string id = "checkpoint-" + std::to_string(i + 1) + "-" + std::to_string(n);
      chart.mark(c.at("t_s").get<double>() / unit, colour, "5 3",
                 n <= 3 ? "checkpoint (" + c.at("kind").get<std::string>() + ")" : "",
                 static_cast<int>(i), id);
      if (c.contains("ended_s")) {
        chart.mark(c.at("ended_s").get<double>() / unit, colour, "", "", 0, id + "-ended");
      }
      any = true;
    }
  }
  if (!any) {
    return {};
  }
  return {{"#555", "5 3", "a checkpoint began", 1.5},
          {"#555", "", "it ended (its writes spread between, its syncs at the end)", 1.5}};
}

std::string metrics_section(const std::vector<Run> &runs) {
  std::string s = "<h2>The server and the machine</h2>\n" + settings_table(runs);
  std::string none;
  for (const Run &run : runs) {
    if (metrics_of(run) == nullptr) {
      none += "<p>No figures of the server and the machine for " + escape(run.name) + ": " +
              escape(why_none(run.report)) + ".</p>\n";
    }
  }
  const json *first = metrics_of(runs[0]);
  if (runs.size() == 1 && first == nullptr) {
    return s + none;
  }
  if (runs.size() == 1) {
    s += waits_chart(runs[0], *first);
  } else {
    s += lines_chart(runs, "chart-waits", "The run's backends waiting (mean, not on the CPU)",
                     "backends", {{"waiting", "", "", [](const metrics::Figures &f, const json &) {
                                     double n = 0;
                                     for (const auto &[what, v] : f.waits) {
                                       n += what == "CPU" ? 0 : v;
                                     }
                                     return n;
                                   }}});
  }
  if (std::any_of(runs.begin(), runs.end(), cluster)) {
    s += conflicts_chart(runs);
  }
  s += lines_chart(runs, "chart-io", "WAL and disk (MB/s)", "MB/s",
                   {{"WAL written", "#7d3c98", "",
                     [](const metrics::Figures &f, const json &) { return f.wal_mb_s; }},
                    {"disk read", "#2471a3", "2 3",
                     [](const metrics::Figures &f, const json &) { return f.disk_read_mb_s; }},
                    {"disk written", "#c0392b", "",
                     [](const metrics::Figures &f, const json &) { return f.disk_write_mb_s; }}});
  s += lines_chart(runs, "chart-cpu", "CPU (% of all the machine's CPUs)", "% of the CPUs",
                   {{"server processes", "#c0392b", "",
                     [](const metrics::Figures &f, const json &m) {
                       return f.server_cpu_pct < 0 ? -1 : f.server_cpu_pct / m.value("cpus", 1.0);
                     }},
                    {"this driver", "#2471a3", "",
                     [](const metrics::Figures &f, const json &m) {
                       return f.driver_cpu_pct / m.value("cpus", 1.0);
                     }},
                    {"user", "#239b56", "2 3",
                     [](const metrics::Figures &f, const json &) { return f.user_pct; }},
                    {"system", "#b9770e", "2 3",
                     [](const metrics::Figures &f, const json &) { return f.system_pct; }},
                    {"iowait", "#7d3c98", "7 4",
                     [](const metrics::Figures &f, const json &) { return f.iowait_pct; }},
                    {"steal (taken by the host)", "#5d6d7e", "7 4",
                     [](const metrics::Figures &f, const json &) { return f.steal_pct; }}});
  return s + none;
}

} // namespace page
