// backend.cpp - MariaDB behind the engine's interface; see backend.h.
#include "backend.h"

#include "my_metrics.h"
#include "schema.h"
#include "transactions.h"

#include <mysqld_error.h>

namespace my_backend {

namespace {

class MariaDB : public db::Database {
public:
  explicit MariaDB(my::Uri uri) : uri_(std::move(uri)), control_(control(uri_)) {}

  const char *product() const override { return "MariaDB"; }
  std::string where() const override {
    return uri_.socket.empty() ? uri_.host + ":" + std::to_string(uri_.port > 0 ? uri_.port : 3306)
                               : uri_.socket;
  }

  // The host, port and data directory tell a server apart from every other, a Galera
  // cluster's nodes on one machine included.
  std::string identity() override {
    const std::vector<my::Result> r = on_control([](my::Connection &c) {
      return c.exec("SELECT CONCAT(@@hostname, ':', @@port, ' ', @@datadir)");
    });
    return r[0].text(0, 0);
  }

  void name_connections(const std::string &name) override { name_ = name; }

  std::unique_ptr<db::Session> session(db::Mode mode) override {
    return std::make_unique<my_tx::Session>(uri_, name_, mode);
  }

  db::Facts inspect() override {
    return on_control([](my::Connection &c) { return facts(c); });
  }

  void install_procedures() override {
    on_control([](my::Connection &c) { my_schema::install_procedures(c); });
  }

  db::Snapshot snapshot(int first, int last) override {
    const std::string in = " BETWEEN " + std::to_string(first) + " AND " + std::to_string(last);
    const std::string sql =
        "SELECT (SELECT count(*) FROM orders WHERE o_w_id" + in +
        "), (SELECT count(*) FROM order_line WHERE ol_w_id" + in +
        "), (SELECT count(*) FROM new_order WHERE no_w_id" + in +
        "), (SELECT count(*) FROM history WHERE h_w_id" + in +
        "), (SELECT CAST(sum(w_ytd) * 100 AS SIGNED) FROM warehouse WHERE w_id" + in +
        "), (SELECT count(*) FROM orders WHERE o_w_id" + in + " AND o_carrier_id IS NOT NULL)";
    const std::vector<my::Result> r = on_control([&sql](my::Connection &c) { return c.exec(sql); });
    db::Snapshot s{};
    for (unsigned i = 0; i < s.size(); ++i) {
      s[i] = r[0].integer(0, i);
    }
    return s;
  }

  // Connections' names are their program_name attributes, which the server shows only
  // with its performance schema on; without it no other driver can be seen.
  std::vector<std::string> connection_names() override {
    std::vector<std::string> out;
    try {
      const std::vector<my::Result> r = on_control([](my::Connection &c) {
        return c.exec("SELECT DISTINCT attr_value FROM performance_schema.session_connect_attrs"
                      " WHERE attr_name = 'program_name'");
      });
      out.reserve(r[0].rows());
      for (size_t row = 0; row < r[0].rows(); ++row) {
        out.emplace_back(r[0].text(row, 0));
      }
    } catch (const my::Error &e) {
      if (e.lost()) {
        throw;
      }
    }
    return out;
  }

  std::string names_unseen() override {
    const std::vector<my::Result> r =
        on_control([](my::Connection &c) { return c.exec("SELECT @@performance_schema"); });
    if (r[0].integer(0, 0) == 0) {
      return "performance_schema is off";
    }
    try {
      (void)on_control([](my::Connection &c) {
        return c.exec("SELECT 1 FROM performance_schema.session_connect_attrs LIMIT 1");
      });
    } catch (const my::Error &e) {
      if (e.lost()) {
        throw;
      }
      return std::string("performance_schema.session_connect_attrs cannot be read: ") + e.what();
    }
    return "";
  }

  std::vector<db::Condition> check(int first, int last) override {
    return on_control([=](my::Connection &c) { return my_schema::check(c, first, last); });
  }

  nlohmann::json server() override {
    return on_control([](my::Connection &c) { return settings(c); });
  }

  db::ServerTime server_time() override {
    return {"the server's time per transaction is read from PostgreSQL's pg_stat_statements"
            " only",
            {},
            {}};
  }

  std::unique_ptr<metrics::Source> metrics(const std::string &run_name, int server_pid) override {
    return my_metrics::source(uri_, run_name, server_pid);
  }

private:
  // The control connection reads what every node of a Galera cluster has committed before it
  // answers (wsrep_sync_wait), so that a check after a run sees all of the run; elsewhere the
  // setting does nothing.
  static std::unique_ptr<my::Connection> control(const my::Uri &uri) {
    auto c = std::make_unique<my::Connection>(uri);
    my::set_where_known(*c, "wsrep_sync_wait = 1");
    return c;
  }

  static db::Facts facts(my::Connection &c) {
    db::Facts f;
    f.missing_table = my_schema::missing_table(c);
    if (!f.missing_table.empty()) {
      return f;
    }
    f.warehouses = c.exec("SELECT count(*) FROM warehouse")[0].integer(0, 0);
    f.foreign_keys = my_schema::has_foreign_keys(c);
    f.narrow_columns = my_schema::narrow_columns(c);
    const bool recorded = c.exec("SELECT count(*) FROM information_schema.TABLES"
                                 " WHERE table_schema = DATABASE() AND table_name = 'tpcc_load'")[0]
                              .integer(0, 0) > 0;
    if (recorded) {
      const std::vector<my::Result> r = c.exec("SELECT DISTINCT c_load FROM tpcc_load");
      f.c_loads_differ = r[0].rows() > 1;
      f.c_load = r[0].rows() == 1 ? r[0].integer(0, 0) : -1;
    }
    return f;
  }

  // The server's product, version and the settings that shape a run's results.
  static nlohmann::json settings(my::Connection &c) {
    const std::vector<my::Result> r =
        c.exec("SELECT VERSION();"
               "SELECT variable_name, variable_value FROM information_schema.GLOBAL_VARIABLES"
               " WHERE variable_name IN ('INNODB_BUFFER_POOL_SIZE', 'INNODB_LOG_FILE_SIZE',"
               " 'INNODB_FLUSH_LOG_AT_TRX_COMMIT', 'INNODB_FLUSH_METHOD', 'INNODB_DOUBLEWRITE',"
               " 'INNODB_IO_CAPACITY', 'INNODB_LOCK_WAIT_TIMEOUT', 'SYNC_BINLOG', 'LOG_BIN',"
               " 'TRANSACTION_ISOLATION', 'TX_ISOLATION', 'MAX_CONNECTIONS', 'THREAD_HANDLING',"
               " 'PERFORMANCE_SCHEMA') ORDER BY 1");
    nlohmann::json settings = nlohmann::json::object();
    for (size_t row = 0; row < r[1].rows(); ++row) {
      std::string name = r[1].text(row, 0);
      for (char &ch : name) {
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      }
      settings[name] = r[1].text(row, 1);
    }
    return {{"product", "MariaDB"}, {"version", r[0].text(0, 0)}, {"settings", settings}};
  }

  // Runs f on the control connection, once more on a new one when the server had dropped it.
  template <typename F>
  std::invoke_result_t<F, my::Connection &> on_control(F f) {
    try {
      return f(*control_);
    } catch (const my::Error &e) {
      if (!e.lost()) {
        throw;
      }
      control_ = control(uri_);
      return f(*control_);
    }
  }

  my::Uri uri_;
  std::string name_;
  std::unique_ptr<my::Connection> control_;
};

} // namespace

std::unique_ptr<db::Database> open(const my::Uri &uri) {
  return std::make_unique<MariaDB>(uri);
}

} // namespace my_backend
