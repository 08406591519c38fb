// verdict.cpp - the rules a run is held to; see verdict.h.
#include "verdict.h"

#include "report.h"

#include <tpcc/inputs.h>

#include <functional>
#include <optional>

using nlohmann::json;
using report::fixed;

namespace verdict {

namespace {

struct Result {
  bool pass;         // cppcheck-suppress unusedStructMember
  std::string value; // cppcheck-suppress unusedStructMember
};

// One rule: its name, and its judgement of a report, none where it does not apply.
struct Rule {
  std::string name;
  std::function<std::optional<Result>(const json &r)> judge;
};

// The hosts whose own figures a report holds: a merged report's parts, or the report itself.
std::vector<json> hosts(const json &r) {
  if (r.contains("hosts")) {
    return r.at("hosts").get<std::vector<json>>();
  }
  return {r};
}

// Adds item to a list of them, sep between.
void join(std::string &list, const char *sep, const std::string &item) {
  list.append(list.empty() ? "" : sep).append(item);
}

// "" when the host is all right, else what it had; the parts joined as "host: what; ...".
Result every_host(const json &r, const std::function<std::string(const json &host)> &fault,
                  const std::string &when_all_pass) {
  const std::vector<json> all = hosts(r);
  std::string faults;
  for (const json &host : all) {
    const std::string f = fault(host);
    if (f.empty()) {
      continue;
    }
    const std::string name = all.size() > 1 ? "warehouses " + host.at("range").at(0).dump() + "-" +
                                                  host.at("range").at(1).dump() + ": "
                                            : "";
    join(faults, "; ", name + f);
  }
  return {faults.empty(), faults.empty() ? when_all_pass : faults};
}

std::string undurable_servers(const json &host) {
  const auto servers = report::servers_with_settings(host);
  if (servers.empty()) {
    return "the servers' settings are not known";
  }
  std::string faults;
  for (const auto &[where, server] : servers) {
    const std::string why = undurable(server);
    if (!why.empty()) {
      std::string fault = servers.size() > 1 ? where + " " : std::string();
      join(faults, ", ", fault.append(why));
    }
  }
  return faults;
}

std::string durability_fault(const json &host) {
  if (!host.contains("durability")) {
    return "not judged: the run was without --check";
  }
  const json &d = host.at("durability");
  if (!d.value("judged", false)) {
    return "not judged: " + d.value("why", std::string("no reason given"));
  }
  return d.value("pass", false) ? "" : "FAILED: the database does not hold what was acknowledged";
}

std::string consistency_fault(const json &host) {
  if (!host.contains("consistency")) {
    return "not checked: the run was without --check";
  }
  std::string faults;
  for (const json &c : host.at("consistency")) {
    const std::string where = c.value("where", std::string("the server"));
    if (c.contains("unavailable")) {
      join(faults, ", ", where + " not checked");
    } else if (c.value("violations", 0LL) != 0) {
      join(faults, ", ",
           where + " " + std::to_string(c.at("violations").get<long long>()) + " violations");
    }
  }
  return faults;
}

std::string ending_fault(const json &host) {
  const std::string by = host.value("ended_by", std::string("duration"));
  return by == "duration" ? "" : "ended by " + by;
}

// Each type's share of the mix, and its 90th percentile within the limit.
void add_type_rules(std::vector<Rule> &rules) {
  static constexpr std::array<double, report::kTypes> kMinimum = {0, 43, 4, 4, 4};
  for (size_t t = 1; t < report::kTypes; ++t) {
    rules.push_back(
        {std::string(report::kTypeNames[t]) + " >= " + fixed(kMinimum[t], 0) + " % of the mix",
         [t](const json &r) -> std::optional<Result> {
           const double mix = r.at("transactions").at(report::kTypeKeys[t]).at("mix_pct");
           return Result{mix >= kMinimum[t], fixed(mix, 2) + " %"};
         }});
  }
  for (size_t t = 0; t < report::kTypes; ++t) {
    rules.push_back({std::string(report::kTypeNames[t]) + (t == TX_DELIVERY ? " (queuing)" : "") +
                         " p90 <= " + fixed(report::kLimitS[t], 0) + " s",
                     [t](const json &r) -> std::optional<Result> {
                       // Passes only when the whole bucket that holds the 90th percentile is within
                       // it.
                       const json &x = r.at("transactions").at(report::kTypeKeys[t]);
                       const double p90 = x.at("p90_ms").get<double>() / 1000;
                       const double bound = x.at("p90_bound_ms").get<double>() / 1000;
                       return Result{bound <= report::kLimitS[t],
                                     fixed(p90, 3) + " s, at most " + fixed(bound, 3) + " s"};
                     }});
  }
}

std::vector<Rule> make_rules() {
  std::vector<Rule> rules;
  rules.push_back({"measurement interval >= 120 min", [](const json &r) -> std::optional<Result> {
                     const double minutes = r.at("interval_s").get<double>() / 60;
                     return Result{minutes >= 120, fixed(minutes, 1) + " min"};
                   }});
  rules.push_back({"10 terminals per warehouse with the full keying and think times",
                   [](const json &r) -> std::optional<Result> {
                     const bool standard = r.at("mode") == "standard";
                     const double scale = r.value("time_scale", 1.0);
                     return Result{standard && scale == 1.0,
                                   r.at("mode").get<std::string>() +
                                       (standard ? ", time scale " + fixed(scale, 3) : "")};
                   }});
  add_type_rules(rules);
  rules.push_back(
      {"deferred Delivery p90 <= 80 s, none dropped", [](const json &r) -> std::optional<Result> {
         const json &dd = r.at("deferred_delivery");
         const double p90 = dd.at("p90_ms").get<double>() / 1000;
         const double bound = dd.at("p90_bound_ms").get<double>() / 1000;
         const auto dropped = dd.value("dropped", uint64_t{0});
         return Result{dropped == 0 && bound >= 0 && bound <= report::kDeferredLimitS,
                       fixed(p90, 3) + " s, " + std::to_string(dd.value("failed", uint64_t{0})) +
                           " failed, " + std::to_string(dropped) + " dropped"};
       }});
  rules.push_back({"skipped delivery districts < 1 %", [](const json &r) -> std::optional<Result> {
                     const double skipped = r.at("deferred_delivery").at("skipped_pct");
                     return Result{skipped < 1, fixed(skipped, 2) + " %"};
                   }});
  rules.push_back({"steady state: tpmC of the interval's halves within 2 %",
                   [](const json &r) -> std::optional<Result> {
                     const json &steady = r.at("steady_state");
                     const double d = steady.at("difference_pct");
                     return Result{d <= 2 && steady.at("first_half_tpmC") != 0, fixed(d, 2) + " %"};
                   }});
  rules.push_back({"failed transactions < 1 %", [](const json &r) -> std::optional<Result> {
                     const double failed = r.at("failures_pct");
                     return Result{failed < 1, fixed(failed, 2) + " %"};
                   }});
  rules.push_back({"no transaction of unknown outcome", [](const json &r) -> std::optional<Result> {
                     const auto unknown = r.at("whole_run").value("unknown", uint64_t{0});
                     return Result{unknown == 0, std::to_string(unknown) + " unknown"};
                   }});
  rules.push_back({"the run ended by its duration", [](const json &r) -> std::optional<Result> {
                     return every_host(r, ending_fault, "yes");
                   }});
  rules.push_back({"commits durable on every server before they were acknowledged",
                   [](const json &r) -> std::optional<Result> {
                     return every_host(r, undurable_servers, "yes");
                   }});
  rules.push_back({"durability judged (--check): the database holds what was acknowledged",
                   [](const json &r) -> std::optional<Result> {
                     return every_host(r, durability_fault, "exact");
                   }});
  rules.push_back({"consistency conditions 1-10 and 12 hold on every server (--check)",
                   [](const json &r) -> std::optional<Result> {
                     return every_host(r, consistency_fault, "all 0");
                   }});
  rules.push_back(
      {"the hosts measured one interval (within 2 %)", [](const json &r) -> std::optional<Result> {
         if (!r.contains("common_interval_s")) {
           return std::nullopt;
         }
         const double common = r.at("common_interval_s");
         const double longest = r.at("longest_interval_s");
         return Result{common >= 0.98 * longest,
                       fixed(common, 1) + " s in common of " + fixed(longest, 1) + " s"};
       }});
  return rules;
}

} // namespace

std::string undurable(const json &server) {
  if (!server.is_object()) {
    return "the server's settings are not known";
  }
  const json s = server.value("settings", json::object());
  const auto is = [&s](const char *name, const char *value) {
    return s.contains(name) && s.at(name) == value;
  };
  const std::string product = server.value("product", std::string());
  if (product == "PostgreSQL") {
    if (!s.contains("fsync") || !s.contains("synchronous_commit")) {
      return "fsync and synchronous_commit not known";
    }
    return !is("fsync", "on")                ? "fsync off"
           : is("synchronous_commit", "off") ? "synchronous_commit off"
                                             : "";
  }
  if (product == "MariaDB") {
    if (!s.contains("innodb_flush_log_at_trx_commit")) {
      return "innodb_flush_log_at_trx_commit not known";
    }
    // 3 syncs at each commit too, with the group commit of older versions.
    if (!is("innodb_flush_log_at_trx_commit", "1") && !is("innodb_flush_log_at_trx_commit", "3")) {
      return "innodb_flush_log_at_trx_commit " +
             s.at("innodb_flush_log_at_trx_commit").get<std::string>();
    }
    // With the binary log on, a commit is only as durable as its place in the log.
    return is("log_bin", "ON") && !is("sync_binlog", "1")
               ? "sync_binlog " + s.value("sync_binlog", std::string("?")) + " with log_bin ON"
               : "";
  }
  return "the server's settings are not known";
}

std::vector<Check> checks(const json &r) {
  static const std::vector<Rule> kRules = make_rules();
  std::vector<Check> out;
  for (const Rule &rule : kRules) {
    if (const std::optional<Result> result = rule.judge(r)) {
      out.push_back({rule.name, result->pass, result->value});
    }
  }
  return out;
}

json to_json(const std::vector<Check> &checks) {
  json list = json::array();
  bool pass = true;
  for (const Check &c : checks) {
    list.push_back({{"check", c.rule}, {"pass", c.pass}, {"value", c.value}});
    pass = pass && c.pass;
  }
  return {{"pass", pass}, {"checks", list}};
}

} // namespace verdict
