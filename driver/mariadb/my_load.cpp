// my_load.cpp - a load into MariaDB; see my_load.h.
#include "my_load.h"

#include "schema.h"

#include <tpcc/population.h>

#include <mysqld_error.h>

#include <algorithm>
#include <cstring>

namespace my_load {

namespace {

const char *const kLoadTable =
    "CREATE TABLE IF NOT EXISTS tpcc_load (version varchar(32) NOT NULL, warehouses int NOT NULL,"
    " first_w int NOT NULL, last_w int NOT NULL, seed decimal(20) NOT NULL, c_load int NOT NULL,"
    " load_timestamp datetime(6) NOT NULL,"
    " finished_at timestamp(6) NOT NULL DEFAULT CURRENT_TIMESTAMP(6)) ENGINE = InnoDB";

// What the server reads of the file it asked for: the unit's chunks as they are made.
struct Feed {
  load::Rows *rows = nullptr;
  std::string_view left; // of the chunk being read
};

int feed_init(void **state, const char *, void *userdata) {
  *state = userdata;
  return 0;
}

int feed_read(void *state, char *buf, unsigned int size) {
  auto &f = *static_cast<Feed *>(state);
  if (f.left.empty()) {
    f.left = f.rows->next();
  }
  if (f.rows->abandoned()) {
    return -1; // the server rolls the statement back
  }
  const size_t n = std::min<size_t>(size, f.left.size());
  if (n == 0) {
    return 0; // the unit's end
  }
  std::memcpy(buf, f.left.data(), n);
  f.left.remove_prefix(n);
  return static_cast<int>(n);
}

void feed_end(void *) {}

int feed_error(void *, char *message, unsigned int size) {
  (void)std::snprintf(message, size, "the load failed elsewhere");
  return 2000; // CR_UNKNOWN_ERROR
}

// Each unit one LOAD DATA, so one transaction.
class Loader : public load::Writer {
public:
  explicit Loader(const my::Uri &uri) : conn_(uri, "tpcc-load", true) {
    mysql_set_local_infile_handler(conn_.get(), feed_init, feed_read, feed_end, feed_error, &feed_);
    conn_.exec("SET SESSION unique_checks = 0, foreign_key_checks = 0");
  }

  void write(int table, load::Rows &rows) override {
    feed_ = Feed{&rows, {}};
    conn_.exec(std::string("LOAD DATA LOCAL INFILE 'tpcc-load' INTO TABLE ") +
               TpccTableName(table) +
               " FIELDS TERMINATED BY ',' OPTIONALLY ENCLOSED BY '\"' ESCAPED BY ''"
               " LINES TERMINATED BY '\\n'");
  }

private:
  my::Connection conn_;
  Feed feed_;
};

class Target : public load::Target {
public:
  explicit Target(my::Uri uri) : uri_(std::move(uri)), conn_(uri_, "tpcc-load") {}

  const char *null_text() const override { return "NULL"; }

  void make_schema(const load::Plan &o) override {
    // DDL commits as it goes: the parts of a load take turns by a lock of their own.
    conn_.exec("SELECT GET_LOCK('tpcc-load', 3600)");
    try {
      make_tables(o);
    } catch (const my::Error &) {
      conn_.exec("SELECT RELEASE_LOCK('tpcc-load')");
      throw;
    }
    conn_.exec("SELECT RELEASE_LOCK('tpcc-load')");
  }

  std::unique_ptr<load::Writer> writer() override { return std::make_unique<Loader>(uri_); }

  void record(const load::Plan &o, const TpccLoad &load) override {
    conn_.exec("INSERT INTO tpcc_load (version, warehouses, first_w, last_w, seed, c_load,"
               " load_timestamp) VALUES (" +
               my::quote(conn_, TPCC_VERSION) + ", " + std::to_string(o.warehouses) + ", " +
               std::to_string(o.first) + ", " + std::to_string(o.last) + ", " +
               std::to_string(load.seed) + ", " + std::to_string(load.c_load) + ", " +
               my::quote(conn_, load.timestamp) + ")");
  }

  long long recorded_warehouses() override {
    return conn_.exec("SELECT coalesce(sum(last_w - first_w + 1), 0) FROM tpcc_load")[0].integer(0,
                                                                                                 0);
  }

  void add_keys(bool foreign_keys) override {
    conn_.exec(my_schema::kKeysSql);
    if (foreign_keys) {
      conn_.exec(my_schema::kForeignKeysSql);
    }
    conn_.exec("ANALYZE TABLE warehouse, district, customer, history, orders, new_order,"
               " order_line, item, stock");
  }

  std::vector<db::Condition> check() override { return my_schema::check(conn_); }

private:
  void make_tables(const load::Plan &o) {
    if (o.drop) {
      conn_.exec("SET SESSION foreign_key_checks = 0;"
                 "DROP TABLE IF EXISTS warehouse, district, customer, history, orders, new_order,"
                 " order_line, item, stock, tpcc_load;"
                 "SET SESSION foreign_key_checks = 1");
      my_schema::drop_procedures(conn_);
    }
    if (o.whole()) {
      const std::vector<my::Result> tables = conn_.exec(
          "SELECT table_name FROM information_schema.TABLES WHERE table_schema = DATABASE()");
      const my::Result &r = tables[0];
      for (const std::string &t : db::tables()) {
        for (size_t row = 0; row < r.rows(); ++row) {
          if (t == r.text(row, 0)) {
            throw my::Error("table '" + t + "' exists already (--drop replaces the kit's tables)",
                            ER_TABLE_EXISTS_ERROR);
          }
        }
      }
    }
    if (my_schema::missing_table(conn_).empty()) {
      const std::string in =
          " BETWEEN " + std::to_string(o.first) + " AND " + std::to_string(o.last);
      if (conn_.exec("SELECT count(*) FROM warehouse WHERE w_id" + in)[0].integer(0, 0) != 0) {
        throw my::Error("warehouses " + std::to_string(o.first) + "-" + std::to_string(o.last) +
                            " hold rows already",
                        ER_DUP_ENTRY);
      }
    } else {
      std::string schema = my_schema::kSchemaSql;
      for (size_t at = 0; (at = schema.find("CREATE TABLE ", at)) != std::string::npos; at += 13) {
        schema.insert(at + 13, "IF NOT EXISTS ");
      }
      conn_.exec(schema);
    }
    conn_.exec(kLoadTable);
    my_schema::install_procedures(conn_); // for tpcc-run --procedures
  }

  my::Uri uri_;
  my::Connection conn_;
};

} // namespace

std::unique_ptr<load::Target> open(const my::Uri &uri) {
  return std::make_unique<Target>(uri);
}

} // namespace my_load
