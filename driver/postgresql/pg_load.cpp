// pg_load.cpp - a load into PostgreSQL; see pg_load.h.
#include "pg_load.h"

#include "pg.h"
#include "schema.h"

#include <tpcc/population.h>

namespace pg_load {

namespace {

const char *const kLoadTable =
    "CREATE TABLE IF NOT EXISTS tpcc_load (version text NOT NULL, warehouses integer NOT NULL,"
    " first_w integer NOT NULL, last_w integer NOT NULL, seed numeric(20) NOT NULL,"
    " c_load integer NOT NULL, load_timestamp timestamp NOT NULL,"
    " finished_at timestamptz NOT NULL DEFAULT now())";

// Each unit one COPY, so one transaction.
class Copier : public load::Writer {
public:
  explicit Copier(const std::string &conninfo) : conn_(conninfo) {}

  void write(int table, load::Rows &rows) override {
    const std::string sql =
        std::string("COPY ") + TpccTableName(table) + " FROM STDIN WITH (FORMAT csv)";
    const pg::Result started(PQexec(conn_.get(), sql.c_str()));
    if (PQresultStatus(started.get()) != PGRES_COPY_IN) {
      throw pg::Error(PQerrorMessage(conn_.get()), "");
    }
    bool sent = true;
    for (std::string_view chunk; sent && !(chunk = rows.next()).empty();) {
      sent = PQputCopyData(conn_.get(), chunk.data(), static_cast<int>(chunk.size())) == 1;
    }
    // Ending with an error message rolls the COPY back: another unit failed first.
    if (PQputCopyEnd(conn_.get(), rows.abandoned() ? "the load failed elsewhere" : nullptr) != 1) {
      sent = false;
    }
    const pg::Result done(PQgetResult(conn_.get()));
    while (pg::Result(PQgetResult(conn_.get())) != nullptr) {
    }
    if (!sent || PQresultStatus(done.get()) != PGRES_COMMAND_OK) {
      const char *primary = PQresultErrorField(done.get(), PG_DIAG_MESSAGE_PRIMARY);
      throw pg::Error(primary != nullptr ? primary : PQerrorMessage(conn_.get()), "");
    }
  }

private:
  pg::Connection conn_;
};

class Target : public load::Target {
public:
  explicit Target(std::string conninfo) : conninfo_(std::move(conninfo)), conn_(conninfo_) {
    (void)PQsetNoticeProcessor(
        conn_.get(), [](void *, const char *) {}, nullptr);
  }

  const char *null_text() const override { return ""; }

  void make_schema(const load::Plan &o) override {
    conn_.exec("BEGIN");
    conn_.exec("SELECT pg_advisory_xact_lock(1234)"); // the parts of a load, one at a time
    if (o.drop) {
      conn_.exec("DROP TABLE IF EXISTS warehouse, district, customer, history, orders, new_order,"
                 " order_line, item, stock, tpcc_load CASCADE");
      pg_schema::drop_procedures(conn_);
    }
    if (o.whole()) {
      for (const std::string &t : db::tables()) {
        if (pg::text(conn_.exec("SELECT to_regclass($1) IS NOT NULL", {t}), 0, 0)[0] == 't') {
          throw pg::Error("table '" + t + "' exists already (--drop replaces the kit's tables)",
                          "42P07");
        }
      }
    }
    if (pg_schema::missing_table(conn_).empty()) {
      const pg::Result r = conn_.exec("SELECT count(*) FROM warehouse WHERE w_id BETWEEN $1 AND $2",
                                      {std::to_string(o.first), std::to_string(o.last)});
      if (pg::integer(r, 0, 0) != 0) {
        throw pg::Error("warehouses " + std::to_string(o.first) + "-" + std::to_string(o.last) +
                            " hold rows already",
                        "23505");
      }
    } else {
      std::string schema = pg_schema::kSchemaSql;
      for (size_t at = 0; (at = schema.find("CREATE TABLE ", at)) != std::string::npos; at += 13) {
        schema.insert(at + 13, "IF NOT EXISTS ");
      }
      conn_.exec(schema);
    }
    conn_.exec(kLoadTable);
    conn_.exec("COMMIT");
    pg_schema::install_procedures(conn_); // for tpcc-run --procedures
  }

  std::unique_ptr<load::Writer> writer() override { return std::make_unique<Copier>(conninfo_); }

  void record(const load::Plan &o, const TpccLoad &load) override {
    conn_.exec("INSERT INTO tpcc_load VALUES ($1, $2, $3, $4, $5, $6, $7)",
               {TPCC_VERSION, std::to_string(o.warehouses), std::to_string(o.first),
                std::to_string(o.last), std::to_string(load.seed), std::to_string(load.c_load),
                load.timestamp});
  }

  long long recorded_warehouses() override {
    return pg::integer(conn_.exec("SELECT coalesce(sum(last_w - first_w + 1), 0) FROM tpcc_load"),
                       0, 0);
  }

  void add_keys(bool foreign_keys) override {
    conn_.exec(pg_schema::kKeysSql);
    if (foreign_keys) {
      conn_.exec(pg_schema::kForeignKeysSql);
    }
    conn_.exec("ANALYZE");
  }

  std::vector<db::Condition> check() override { return pg_schema::check(conn_); }

private:
  std::string conninfo_;
  pg::Connection conn_;
};

} // namespace

std::unique_ptr<load::Target> open(const std::string &conninfo) {
  return std::make_unique<Target>(conninfo);
}

} // namespace pg_load
