// backend.cpp - PostgreSQL behind the engine's interface; see backend.h.
#include "backend.h"

#include "pg_metrics.h"
#include "schema.h"
#include "transactions.h"

#include <cstdlib>
#include <type_traits>

namespace pg_backend {

namespace {

class PostgreSQL : public db::Database {
public:
  explicit PostgreSQL(std::string conninfo)
      : conninfo_(std::move(conninfo)), control_(std::make_unique<pg::Connection>(conninfo_)),
        where_(std::string(PQhost(control_->get())) + ":" + PQport(control_->get())) {}

  const char *product() const override { return "PostgreSQL"; }
  std::string where() const override { return where_; }

  // The cluster's system identifier tells one server's data from another's, but a standby
  // shares it with its primary: the postmaster's start time tells those apart, and both are
  // the same whichever address or pooler a connection comes through.
  std::string identity() override {
    const std::string started = " || ' ' || pg_postmaster_start_time()::text";
    try {
      return pg::text(on_control([&started](pg::Connection &control) {
                        return control.exec(
                            "SELECT (SELECT system_identifier FROM pg_control_system())::text" +
                            started);
                      }),
                      0, 0);
    } catch (const db::Error &e) { // a role that may not read the control file
      if (e.lost()) {
        throw;
      }
      return pg::text(on_control([&started](pg::Connection &control) {
                        return control.exec("SELECT ''" + started);
                      }),
                      0, 0);
    }
  }

  void name_connections(const std::string &name) override {
    (void)setenv("PGAPPNAME", name.c_str(), 1); // NOLINT(concurrency-mt-unsafe): before threads
  }

  std::unique_ptr<db::Session> session(db::Mode mode) override {
    return std::make_unique<tx::Session>(conninfo_, mode);
  }

  db::Facts inspect() override {
    return on_control([](pg::Connection &c) { return facts(c); });
  }

  static db::Facts facts(pg::Connection &control) {
    db::Facts f;
    f.missing_table = pg_schema::missing_table(control);
    if (!f.missing_table.empty()) {
      return f;
    }
    f.warehouses = pg::integer(control.exec("SELECT count(*) FROM warehouse"), 0, 0);
    f.foreign_keys = pg_schema::has_foreign_keys(control);
    f.narrow_columns = pg_schema::narrow_columns(control);
    if (pg::text(control.exec("SELECT to_regclass('tpcc_load') IS NULL"), 0, 0)[0] == 'f') {
      const pg::Result r = control.exec("SELECT DISTINCT c_load FROM tpcc_load");
      f.c_loads_differ = PQntuples(r.get()) > 1;
      f.c_load = PQntuples(r.get()) == 1 ? pg::integer(r, 0, 0) : -1;
    }
    return f;
  }

  void install_procedures() override { on_control(pg_schema::install_procedures); }

  db::Snapshot snapshot(int first, int last) override {
    const pg::Result r = on_control([&](pg::Connection &control) {
      return control.exec(
          "SELECT (SELECT count(*) FROM orders WHERE o_w_id BETWEEN $1 AND $2),"
          " (SELECT count(*) FROM order_line WHERE ol_w_id BETWEEN $1 AND $2),"
          " (SELECT count(*) FROM new_order WHERE no_w_id BETWEEN $1 AND $2),"
          " (SELECT count(*) FROM history WHERE h_w_id BETWEEN $1 AND $2),"
          " (SELECT (sum(w_ytd) * 100)::bigint FROM warehouse WHERE w_id BETWEEN $1 AND $2),"
          " (SELECT count(*) FROM orders WHERE o_w_id BETWEEN $1 AND $2"
          "  AND o_carrier_id IS NOT NULL)",
          {std::to_string(first), std::to_string(last)});
    });
    db::Snapshot s{};
    for (size_t i = 0; i < s.size(); ++i) {
      s[i] = pg::integer(r, 0, static_cast<int>(i));
    }
    return s;
  }

  std::vector<std::string> connection_names() override {
    const pg::Result r = on_control([](pg::Connection &control) {
      return control.exec("SELECT DISTINCT application_name FROM pg_stat_activity"
                          " WHERE application_name <> ''");
    });
    std::vector<std::string> out;
    out.reserve(static_cast<size_t>(PQntuples(r.get())));
    for (int row = 0; row < PQntuples(r.get()); ++row) {
      out.emplace_back(pg::text(r, row, 0));
    }
    return out;
  }

  std::vector<db::Condition> check(int first, int last) override {
    // A fresh connection: the range's temporary views stay with it.
    pg::Connection conn(conninfo_);
    return pg_schema::check(conn, first, last);
  }

  nlohmann::json server() override { return on_control(pg_metrics::server); }

  db::ServerTime server_time() override { return on_control(pg_schema::server_time); }

  std::unique_ptr<metrics::Source> metrics(const std::string &run_name, int server_pid) override {
    return pg_metrics::source(conninfo_, run_name, server_pid);
  }

private:
  // Runs f on the control connection, once more on a new one when the server had dropped
  // it (a restart while a run went on).
  template <typename F>
  std::invoke_result_t<F, pg::Connection &> on_control(F f) {
    try {
      return f(*control_);
    } catch (const pg::Error &e) {
      if (!e.lost()) {
        throw;
      }
      control_ = std::make_unique<pg::Connection>(conninfo_);
      return f(*control_);
    }
  }

  std::string conninfo_;
  std::unique_ptr<pg::Connection> control_;
  std::string where_;
};

} // namespace

std::unique_ptr<db::Database> open(const std::string &conninfo) {
  return std::make_unique<PostgreSQL>(conninfo);
}

} // namespace pg_backend
