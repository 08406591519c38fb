// prometheus.cpp - the text format of Prometheus; see prometheus.h.
#include "prometheus.h"

#include <algorithm>
#include <cstdio>

using nlohmann::json;

namespace prometheus {

namespace {

std::string label_value(const std::string &v) {
  std::string s;
  for (const char c : v) {
    if (c == '\\' || c == '"') {
      s += '\\';
      s += c;
    } else if (c == '\n') {
      s += "\\n";
    } else {
      s += c;
    }
  }
  return s;
}

std::string number(double v) {
  char s[40];
  (void)std::snprintf(s, sizeof s, "%.10g", v);
  return s;
}

class Writer {
public:
  // Each family once, its samples together after its HELP and TYPE lines.
  void family(const char *name, const char *type, const char *help) {
    name_ = name;
    out_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  }
  void sample(const std::string &labels, double v) {
    out_ += name_ + (labels.empty() ? "" : "{" + labels + "}") + " " + number(v) + "\n";
  }
  std::string text() const { return out_; }

private:
  std::string name_, out_;
};

std::string type_label(size_t t) {
  return std::string("type=\"") + report::kTypeKeys[t] + "\"";
}

} // namespace

std::string exposition(const json &facts, const report::Recorder::Recent &recent, double elapsed_s,
                       const json &server) {
  Writer w;
  w.family("tpcc_run_info", "gauge", "The run: the kit's version, its mode and warehouses.");
  w.sample("version=\"" + label_value(facts.value("version", "")) + "\",mode=\"" +
               label_value(facts.value("mode", "")) + "\",sql=\"" +
               label_value(facts.value("sql", "")) + "\",warehouses=\"" +
               facts.value("warehouses", json(0)).dump() + "\"",
           1);
  w.family("tpcc_elapsed_seconds", "gauge", "Time since the run began.");
  w.sample("", elapsed_s);
  w.family("tpcc_transactions_total", "counter", "Transactions completed since the run began.");
  for (size_t t = 0; t < report::kTypes; ++t) {
    w.sample(type_label(t), static_cast<double>(recent.total[t]));
  }
  w.family("tpcc_failures_total", "counter", "Transactions that failed since the run began.");
  w.sample("", static_cast<double>(recent.failures));
  const double per_minute = 60e6 / static_cast<double>(recent.period_us);
  w.family("tpcc_transactions_per_minute", "gauge",
           "Completions per minute in the last whole period.");
  for (size_t t = 0; t < report::kTypes; ++t) {
    w.sample(type_label(t), static_cast<double>(recent.count[t]) * per_minute);
  }
  w.family("tpcc_response_time_seconds", "gauge",
           "Response-time percentiles in the last whole period.");
  for (size_t t = 0; t < report::kTypes; ++t) {
    for (size_t q = 0; q < 3; ++q) {
      w.sample(type_label(t) + ",percentile=\"" +
                   (q == 0   ? "50"
                    : q == 1 ? "90"
                             : "99") +
                   "\"",
               recent.ms[t][q] / 1000);
    }
  }
  if (server.is_object()) {
    const double s = std::max(server.value("seconds", 0.0), 1e-9);
    w.family("tpcc_server_per_second", "gauge",
             "The server's and the machine's counters per second in the last whole period.");
    for (const auto &[name, v] : server.at("deltas").items()) {
      w.sample("counter=\"" + label_value(name) + "\"", v.get<double>() / s);
    }
    w.family("tpcc_backends", "gauge",
             "The run's backends on the CPU or waiting, mean in the last whole period.");
    for (const auto &[what, n] : server.at("waits").items()) {
      w.sample("wait=\"" + label_value(what) + "\"", n.get<double>());
    }
  }
  return w.text();
}

} // namespace prometheus
