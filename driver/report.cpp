// report.cpp - the report and its text; see report.h.
#include "report.h"

#include "metrics.h"
#include "verdict.h"

#include <tpcc/inputs.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using nlohmann::json;

namespace report {

std::string fixed(double v, int decimals) {
  char s[64];
  (void)std::snprintf(s, sizeof s, "%.*f", decimals, v);
  return s;
}

namespace {

double share(uint64_t part, uint64_t whole) {
  return whole == 0 ? 0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole);
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
    x["p50_ms"] = rounded_ms(h.percentile(50));
    x["p90_ms"] = rounded_ms(h.percentile(90));
    x["p99_ms"] = rounded_ms(h.percentile(99));
    x["max_ms"] = rounded_ms(static_cast<double>(h.max()));
    x["p90_bound_ms"] = rounded_ms(static_cast<double>(h.percentile_bound(90)));
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
  dd["p90_ms"] = rounded_ms(deferred.percentile(90));
  // Those that failed or never ran took longer than any limit.
  const uint64_t never = dd.value("failed", uint64_t{0}) + dd.value("dropped", uint64_t{0});
  const uint64_t bound = deferred.percentile_bound(90, never);
  dd["p90_bound_ms"] = bound == UINT64_MAX ? -1 : rounded_ms(static_cast<double>(bound));
  dd["max_ms"] = rounded_ms(static_cast<double>(deferred.max()));
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
  r["verdict"] = verdict::to_json(verdict::checks(r));
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

// The settings a person compares runs by, as each database names them.
const std::vector<const char *> &shown_settings(const json &server) {
  static const std::vector<const char *> kPostgresql = {"shared_buffers", "synchronous_commit",
                                                        "fsync",          "full_page_writes",
                                                        "max_wal_size",   "checkpoint_timeout"};
  static const std::vector<const char *> kMariadb = {"innodb_buffer_pool_size",
                                                     "innodb_flush_log_at_trx_commit",
                                                     "sync_binlog",
                                                     "log_bin",
                                                     "innodb_doublewrite",
                                                     "innodb_log_file_size",
                                                     "transaction_isolation",
                                                     "tx_isolation",
                                                     "performance_schema"};
  return server.value("product", "") == "MariaDB" ? kMariadb : kPostgresql;
}

// "server: PostgreSQL 15.4; fsync on, ..." for one server; for several, one line each named
// by where it is, a setting that not every server shares marked "[differs]".
std::string settings_text(const std::vector<std::pair<std::string, json>> &servers) {
  std::string out;
  for (const auto &[where, server] : servers) {
    const std::string name = servers.size() > 1 ? "server " + where + ": " : "server: ";
    if (!server.is_object() || !server.contains("product")) {
      out +=
          name +
          (server.is_object() ? server.value("unavailable", std::string("unknown")) : "unknown") +
          "\n";
      continue;
    }
    std::string s =
        name + server.at("product").get<std::string>() + " " + server.value("version", "");
    const json settings = server.value("settings", json::object());
    const char *sep = "; ";
    for (const char *setting : shown_settings(server)) {
      if (!settings.contains(setting)) {
        continue;
      }
      bool differs = false;
      for (const auto &[other_where, other] : servers) {
        const bool known = other.is_object() && other.contains("settings");
        differs = differs ||
                  (known && other.at("settings").value(setting, json()) != settings.at(setting));
      }
      s += sep + std::string(setting) + " " + settings.at(setting).get<std::string>() +
           (differs ? " [differs]" : "");
      sep = ", ";
    }
    out += s + "\n";
  }
  return out;
}

std::string megabytes(double bytes) {
  return bytes < 0 ? "?" : fixed(bytes / 1e6, 1) + " MB";
}

} // namespace

std::vector<std::pair<std::string, json>> servers_with_settings(const json &r) {
  std::vector<std::pair<std::string, json>> out;
  std::vector<json> each = {r};
  if (r.contains("hosts")) { // a merged report: every host's servers
    each = r.at("hosts").get<std::vector<json>>();
  }
  for (const json &host : each) {
    for (const json &s : host.value("servers", json::object()).value("list", json::array())) {
      const std::string where = s.at("where").get<std::string>();
      const bool seen =
          std::any_of(out.begin(), out.end(), [&where](const auto &o) { return o.first == where; });
      if (s.contains("server") && !seen) {
        out.emplace_back(where, s.at("server"));
      }
    }
  }
  if (out.empty() && r.contains("server")) {
    out.emplace_back("", r.at("server"));
  }
  return out;
}

std::string server_text(const json &r) {
  std::string s = settings_text(servers_with_settings(r));
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

namespace {

// The durability judgement as lines of text, each begun with indent.
std::string durability_text(const json &d, const std::string &indent) {
  if (!d.value("judged", false)) {
    return indent + "durability: not judged: " + d.value("why", std::string()) + "\n";
  }
  if (d.at("pass").get<bool>() && d.value("unknown", 0LL) == 0) {
    return indent + "durability: the database changed by exactly what the run acknowledged\n";
  }
  std::string out = indent + (d.at("pass").get<bool>()
                                  ? "durability: nothing acknowledged was lost, and nothing more"
                                    " was held than the transactions of unknown outcome can"
                                    " explain\n"
                                  : "durability: FAILED\n");
  for (const json &f : d.at("figures")) {
    char line[160];
    (void)std::snprintf(line, sizeof line,
                        "  %-17s acknowledged %lld, the database changed by %lld",
                        f.at("figure").get<std::string>().c_str(),
                        f.at("acknowledged").get<long long>(), f.at("held").get<long long>());
    out += indent + line;
    if (f.contains("most")) {
      out += " (" + std::to_string(f.at("least").get<long long>()) + " to " +
             std::to_string(f.at("most").get<long long>()) + " with the unknown outcomes)";
    }
    out += "\n";
  }
  return out;
}

} // namespace

std::string servers(const json &r) {
  const json all = r.value("servers", json::object());
  std::string s;
  const char *sep = "";
  for (const json &server : all.value("list", json::array())) {
    s += sep + server.at("where").get<std::string>() +
         (server.contains("same_server_as_dsn")
              ? " (the server of --dsn " + server.at("same_server_as_dsn").dump() + ")"
              : std::string()) +
         " " + std::to_string(server.at("connections").get<int>());
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
  if (r.contains("setup_s")) {
    add("setup %.1f s (connecting, preparing, the --check snapshot), then ",
        r.at("setup_s").get<double>());
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
    out += durability_text(r.at("durability"), "");
  }
  for (const json &host : r.value("hosts", json::array())) {
    const std::string name =
        "warehouses " + host.at("range").at(0).dump() + "-" + host.at("range").at(1).dump();
    out += name + ": ended by " + host.at("ended_by").get<std::string>() +
           (host.contains("servers") ? "; servers " + servers(host) : "") + "\n";
    out += host.contains("durability") ? durability_text(host.at("durability"), "  ")
                                       : "  durability: not judged (run without --check)\n";
  }
  out += r.at("verdict").at("pass").get<bool>()
             ? "\nthe rules the kit checks, all met (an audited result is more than that):\n"
             : "\nthe rules the kit checks, not all met:\n";
  for (const json &c : r.at("verdict").at("checks")) {
    add("  %s  %s (%s)\n", c.at("pass").get<bool>() ? "PASS" : "FAIL",
        c.at("check").get<std::string>().c_str(), c.at("value").get<std::string>().c_str());
  }
  return out;
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
