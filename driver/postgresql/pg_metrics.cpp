// pg_metrics.cpp - PostgreSQL's statistics for a run's metrics; see pg_metrics.h.
#include "pg_metrics.h"

#include <libpq-fe.h>

#include <array>
#include <stdexcept>
#include <vector>

using nlohmann::json;

namespace pg_metrics {

namespace {

// One row of counters from a view, each column under the kit's name for it.
struct View {
  const char *name;
  const char *sql;
  std::vector<const char *> counters;
};

const std::array<View, 3> kViews = {{
    {"pg_stat_database",
     "SELECT xact_commit, xact_rollback, blks_read, blks_hit, tup_returned, tup_fetched, "
     "tup_inserted, tup_updated, tup_deleted, deadlocks, temp_bytes FROM pg_stat_database "
     "WHERE datname = current_database()",
     {"commits", "rollbacks", "blocks_read", "blocks_hit", "tuples_returned", "tuples_fetched",
      "tuples_inserted", "tuples_updated", "tuples_deleted", "deadlocks", "temp_bytes"}},
    {"pg_stat_bgwriter",
     "SELECT checkpoints_timed, checkpoints_req, checkpoint_write_time, checkpoint_sync_time, "
     "buffers_checkpoint, buffers_clean, buffers_backend FROM pg_stat_bgwriter",
     {"checkpoints_timed", "checkpoints_requested", "checkpoint_write_ms", "checkpoint_sync_ms",
      "buffers_checkpoint", "buffers_clean", "buffers_backend"}},
    {"pg_stat_wal",
     "SELECT wal_records, wal_fpi, wal_bytes, wal_sync FROM pg_stat_wal",
     {"wal_records", "wal_fpi", "wal_bytes", "wal_syncs"}},
}};

// What the run's backends are doing: on the CPU, or waiting on what; an idle backend waits
// for the driver's next transaction and is not counted.
std::string waits_sql(const pg::Connection &conn, const std::string &run_name) {
  char *literal = PQescapeLiteral(conn.get(), run_name.c_str(), run_name.size());
  if (literal == nullptr) {
    throw pg::Error(PQerrorMessage(conn.get()), "");
  }
  std::string sql = "SELECT coalesce(wait_event_type || ':' || wait_event, 'CPU'), count(*) "
                    "FROM pg_stat_activity WHERE application_name = " +
                    std::string(literal) +
                    " AND pid <> pg_backend_pid() AND state <> 'idle' GROUP BY 1";
  PQfreemem(literal);
  return sql;
}

class Source : public metrics::Source {
public:
  Source(std::string conninfo, std::string run_name, int server_pid)
      : conninfo_(std::move(conninfo)), run_name_(std::move(run_name)), server_pid_(server_pid) {}

  void read(metrics::Reading &r) override;
  std::vector<std::string> missing() const override { return missing_; }
  int local_pid() override;
  double size_bytes() override {
    return pg::real(connection().exec("SELECT pg_database_size(current_database())"), 0, 0);
  }

private:
  pg::Connection &connection();
  void probe();
  void refuse(const std::string &view, const pg::Error &e);

  std::string conninfo_, run_name_;
  int server_pid_;
  std::unique_ptr<pg::Connection> conn_;
  std::vector<const View *> views_; // those the server gives
  std::string waits_;               // "" once refused
  bool probed_ = false;
  std::vector<std::string> missing_;
};

pg::Connection &Source::connection() {
  if (conn_ == nullptr || !conn_->ok()) {
    conn_.reset();
    conn_ = std::make_unique<pg::Connection>(conninfo_);
    (void)conn_->exec("SET application_name = 'tpcc-metrics'");
    if (!probed_) {
      probe();
    }
  }
  return *conn_;
}

void Source::refuse(const std::string &view, const pg::Error &e) {
  missing_.push_back(view + ": " + e.what());
}

// Which views this server gives this user: one refused (no privilege, or a version without
// it) costs its own figures alone.
void Source::probe() {
  std::vector<const View *> given; // replaces views_ only once every view has answered
  for (const View &v : kViews) {
    try {
      (void)conn_->exec(v.sql);
      given.push_back(&v);
    } catch (const pg::Error &e) {
      if (e.lost()) {
        throw;
      }
      refuse(v.name, e);
    }
  }
  views_ = given;
  waits_ = waits_sql(*conn_, run_name_);
  try {
    (void)conn_->exec(waits_);
  } catch (const pg::Error &e) {
    if (e.lost()) {
      throw;
    }
    refuse("pg_stat_activity", e);
    waits_.clear();
  }
  probed_ = true;
}

void Source::read(metrics::Reading &r) {
  pg::Connection &conn = connection();
  for (const View *v : views_) {
    conn.send_sql(v->sql);
  }
  if (!waits_.empty()) {
    conn.send_sql(waits_.c_str());
  }
  std::vector<pg::Result> results;
  try {
    results = conn.sync();
  } catch (const pg::Error &e) {
    // A connection ended by the server (pg_terminate_backend) may say so with an error of its
    // own before its status shows it; it is reopened, not probed.
    if (e.lost() || !conn.ok()) {
      conn_.reset();
    } else { // a privilege taken away during the run
      probe();
    }
    throw;
  }
  for (size_t i = 0; i < views_.size(); ++i) {
    if (PQntuples(results[i].get()) == 1) {
      for (size_t c = 0; c < views_[i]->counters.size(); ++c) {
        r.counters[views_[i]->counters[c]] = pg::real(results[i], 0, static_cast<int>(c));
      }
    }
  }
  if (!waits_.empty()) {
    const pg::Result &w = results.back();
    for (int row = 0; row < PQntuples(w.get()); ++row) {
      r.waits[pg::text(w, row, 0)] = pg::real(w, row, 1);
    }
  }
}

// The server runs here when the connection is a local socket or loopback and its backend is
// a child of a postgres process.
int Source::local_pid() {
  if (server_pid_ > 0) {
    return server_pid_;
  }
  const pg::Connection &conn = connection();
  const std::string host = PQhost(conn.get()) != nullptr ? PQhost(conn.get()) : "";
  const bool local = host.empty() || host[0] == '/' || host[0] == '@' || host == "localhost" ||
                     host == "127.0.0.1" || host == "::1";
  return local ? metrics::parent_running(PQbackendPID(conn.get()), "postgres") : 0;
}

} // namespace

json server(pg::Connection &conn) {
  const pg::Result r = conn.exec(
      "SELECT current_setting('server_version'), name, current_setting(name) FROM pg_settings "
      "WHERE name IN ('shared_buffers', 'effective_cache_size', 'work_mem', 'max_connections', "
      "'synchronous_commit', 'fsync', 'full_page_writes', 'wal_level', 'wal_buffers', "
      "'wal_compression', 'commit_delay', 'max_wal_size', 'min_wal_size', "
      "'checkpoint_timeout', 'checkpoint_completion_target', 'default_transaction_isolation', "
      "'huge_pages', 'jit', 'autovacuum') ORDER BY name");
  json settings = json::object();
  for (int row = 0; row < PQntuples(r.get()); ++row) {
    settings[pg::text(r, row, 1)] = pg::text(r, row, 2);
  }
  return {{"product", "PostgreSQL"},
          {"version", PQntuples(r.get()) > 0 ? pg::text(r, 0, 0) : ""},
          {"settings", settings}};
}

std::unique_ptr<metrics::Source> source(const std::string &conninfo, const std::string &run_name,
                                        int server_pid) {
  return std::make_unique<Source>(conninfo, run_name, server_pid);
}

} // namespace pg_metrics
