// my_metrics.cpp - MariaDB's status counters for a run's metrics; see my_metrics.h.
#include "my_metrics.h"

#include <array>
#include <fstream>
#include <utility>

namespace my_metrics {

namespace {

// The status variables read, each under the kit's name for what it counts.
// A Galera node's conflicts with the other nodes' transactions come apart from its own
// deadlocks: its transactions that failed certification, and those it aborted to apply
// another node's.
const std::array<std::pair<const char *, const char *>, 12> kCounters = {{
    {"COM_COMMIT", "commits"},
    {"COM_ROLLBACK", "rollbacks"},
    {"INNODB_BUFFER_POOL_READS", "blocks_read"},
    {"INNODB_BUFFER_POOL_READ_REQUESTS", "block_requests"},
    {"INNODB_DEADLOCKS", "deadlocks"},
    {"INNODB_ROW_LOCK_WAITS", "row_lock_waits"},
    {"INNODB_OS_LOG_WRITTEN", "wal_bytes"},
    {"INNODB_OS_LOG_FSYNCS", "wal_syncs"},
    {"INNODB_ROWS_INSERTED", "tuples_inserted"},
    {"INNODB_ROWS_UPDATED", "tuples_updated"},
    {"WSREP_LOCAL_CERT_FAILURES", "cert_failures"},
    {"WSREP_LOCAL_BF_ABORTS", "bf_aborts"},
}};

std::string counters_sql() {
  std::string sql = "SELECT variable_name, variable_value FROM information_schema.GLOBAL_STATUS"
                    " WHERE variable_name IN (";
  for (size_t i = 0; i < kCounters.size(); ++i) {
    sql += std::string(i > 0 ? ",'" : "'") + kCounters[i].first + "'";
  }
  return sql + ")";
}

class Source : public metrics::Source {
public:
  Source(my::Uri uri, std::string run_name, int server_pid)
      : uri_(std::move(uri)), run_name_(std::move(run_name)), server_pid_(server_pid) {}

  void read(metrics::Reading &r) override;
  std::vector<std::string> missing() const override { return missing_; }
  int local_pid() override;
  double size_bytes() override {
    return connection()
        .exec("SELECT sum(data_length + index_length) FROM information_schema.TABLES"
              " WHERE table_schema = DATABASE()")[0]
        .real(0, 0);
  }

private:
  my::Connection &connection();

  my::Uri uri_;
  std::string run_name_;
  int server_pid_;
  std::unique_ptr<my::Connection> conn_;
  std::string states_; // "" when the server cannot tell the run's connections
  std::vector<std::string> missing_;
};

my::Connection &Source::connection() {
  if (conn_ != nullptr) {
    return *conn_;
  }
  conn_ = std::make_unique<my::Connection>(uri_, "tpcc-metrics");
  if (states_.empty() && missing_.empty()) {
    const std::string states =
        "SELECT IF(p.state IS NULL OR p.state = '', 'CPU', CONCAT('State:', p.state)), count(*)"
        " FROM information_schema.PROCESSLIST p JOIN performance_schema.session_connect_attrs a"
        " ON a.processlist_id = p.id AND a.attr_name = 'program_name' AND a.attr_value = " +
        my::quote(*conn_, run_name_) + " WHERE p.command <> 'Sleep' GROUP BY 1";
    try {
      (void)conn_->exec(states);
      states_ = states;
    } catch (const my::Error &e) {
      if (e.lost()) {
        throw;
      }
      missing_.push_back(std::string("the connections' states (performance_schema): ") + e.what());
    }
  }
  return *conn_;
}

void Source::read(metrics::Reading &r) {
  std::vector<my::Result> results;
  try {
    results = connection().exec(states_.empty() ? counters_sql() : counters_sql() + ";" + states_);
  } catch (const my::Error &e) {
    if (e.lost()) {
      conn_.reset();
    }
    throw;
  }
  for (size_t row = 0; row < results[0].rows(); ++row) {
    const std::string name = results[0].text(row, 0);
    for (const auto &[variable, counter] : kCounters) {
      if (name == variable) {
        r.counters[counter] = results[0].real(row, 1);
      }
    }
  }
  // Requests met from the buffer pool, as PostgreSQL's blocks hit.
  r.counters["blocks_hit"] = r.counters["block_requests"] - r.counters["blocks_read"];
  if (results.size() > 1) {
    for (size_t row = 0; row < results[1].rows(); ++row) {
      r.waits[results[1].text(row, 0)] = results[1].real(row, 1);
    }
  }
}

// The server runs here when the connection is a local socket or loopback and the process its
// pid file names is a mariadbd.
int Source::local_pid() {
  if (server_pid_ > 0) {
    return server_pid_;
  }
  const bool local = !uri_.socket.empty() || uri_.host == "localhost" || uri_.host == "127.0.0.1" ||
                     uri_.host == "::1";
  if (!local) {
    return 0;
  }
  const std::vector<my::Result> r = connection().exec("SELECT @@pid_file");
  std::ifstream file(r[0].text(0, 0) != nullptr ? r[0].text(0, 0) : "");
  int pid = 0;
  if (!(file >> pid) || pid <= 0) {
    return 0;
  }
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  return comm >> name && (name == "mariadbd" || name == "mysqld") ? pid : 0;
}

} // namespace

std::unique_ptr<metrics::Source> source(const my::Uri &uri, const std::string &run_name,
                                        int server_pid) {
  return std::make_unique<Source>(uri, run_name, server_pid);
}

} // namespace my_metrics
