// schema.cpp - the schema's presence and its conditions; see database.h.
#include "schema.h"

#include "report.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <string_view>

namespace pg_schema {

std::string missing_table(pg::Connection &conn) {
  for (const std::string &t : db::tables()) {
    const pg::Result r = conn.exec("SELECT to_regclass($1) IS NULL", {t});
    if (pg::text(r, 0, 0)[0] == 't') {
      return t;
    }
  }
  return "";
}

bool has_foreign_keys(pg::Connection &conn) {
  return pg::integer(conn.exec("SELECT count(*) FROM pg_constraint WHERE contype = 'f'"
                               " AND conrelid = to_regclass('order_line')"),
                     0, 0) > 0;
}

std::vector<std::string> narrow_columns(pg::Connection &conn) {
  // Wide enough: 18 digits before the point, which no run reaches in centuries.
  const pg::Result r = conn.exec(
      "SELECT table_name || '.' || column_name || ' ' || data_type ||"
      " coalesce('(' || numeric_precision || coalesce(',' || nullif(numeric_scale, 0), '') || ')',"
      " '') FROM information_schema.columns WHERE table_schema = current_schema()"
      " AND (table_name, column_name) IN (('warehouse', 'w_ytd'), ('district', 'd_ytd'),"
      " ('customer', 'c_balance'), ('customer', 'c_ytd_payment'), ('customer', 'c_payment_cnt'),"
      " ('customer', 'c_delivery_cnt'), ('stock', 's_ytd'), ('stock', 's_order_cnt'),"
      " ('stock', 's_remote_cnt')) AND (data_type IN ('smallint', 'integer')"
      " OR (data_type = 'numeric' AND numeric_precision - numeric_scale < 18))"
      " ORDER BY table_name, ordinal_position");
  std::vector<std::string> out;
  out.reserve(static_cast<size_t>(PQntuples(r.get())));
  for (int row = 0; row < PQntuples(r.get()); ++row) {
    out.emplace_back(pg::text(r, row, 0));
  }
  return out;
}

namespace {

// The names of the functions procedures.sql makes, as a list for SQL.
constexpr std::string_view kProcedures =
    "tpcc_new_order, tpcc_payment, tpcc_order_status, tpcc_delivery, tpcc_stock_level,"
    " tpcc_customer_by_name";
constexpr auto kProcedureCount =
    static_cast<size_t>(std::count(kProcedures.begin(), kProcedures.end(), ',') + 1);

// The functions of the kit's names in the current schema, each as the server would define it
// again, by oid.
std::map<std::string, std::string> procedure_definitions(pg::Connection &conn) {
  const pg::Result r = conn.exec("SELECT oid, pg_get_functiondef(oid) FROM pg_proc"
                                 " WHERE pronamespace = current_schema()::regnamespace"
                                 " AND proname = ANY (string_to_array($1, ', '))",
                                 {std::string(kProcedures)});
  std::map<std::string, std::string> out;
  for (int row = 0; row < PQntuples(r.get()); ++row) {
    out[pg::text(r, row, 0)] = pg::text(r, row, 1);
  }
  return out;
}

} // namespace

void install_procedures(pg::Connection &conn) {
  const char *const differ = "the kit's functions (tpcc_new_order and the others) there differ"
                             " from this version's: drop them, or load again with --drop";
  conn.exec("BEGIN");
  try {
    conn.exec("SELECT pg_advisory_xact_lock(1235)"); // one installer at a time
    const std::map<std::string, std::string> before = procedure_definitions(conn);
    try {
      conn.exec(kProceduresSql);
    } catch (const pg::Error &e) { // one of the same name that cannot be replaced
      throw pg::Error(std::string(differ) + " (" + e.what() + ")", e.sqlstate());
    }
    // Replaced in place, each keeps its oid: one that changed, or one of other arguments
    // beside the kit's, differed.
    const std::map<std::string, std::string> after = procedure_definitions(conn);
    const bool same = std::all_of(before.begin(), before.end(), [&after](const auto &f) {
      return after.count(f.first) == 1 && after.at(f.first) == f.second;
    });
    if (!same || after.size() != kProcedureCount) {
      throw pg::Error(differ, "42723");
    }
    conn.exec("COMMIT");
  } catch (const pg::Error &) {
    if (conn.ok()) {
      conn.exec("ROLLBACK");
    }
    throw;
  }
}

void drop_procedures(pg::Connection &conn) {
  conn.exec("DROP FUNCTION IF EXISTS " + std::string(kProcedures));
}

db::ServerTime server_time(pg::Connection &conn) {
  db::ServerTime t;
  if (pg::text(conn.exec("SELECT to_regclass('pg_stat_statements') IS NULL"), 0, 0)[0] == 't') {
    t.unavailable = "pg_stat_statements is not installed in this database";
    return t;
  }
  try {
    // A statement's tag: /* tpcc-run TYPE SHARE */, SHARE the transactions one call makes.
    const pg::Result r = conn.exec(
        "SELECT m[1], sum(total_exec_time), sum(calls * m[2]::float8) FROM (SELECT"
        " regexp_match(query, '/\\* tpcc-run (\\w+) ([0-9.]+) \\*/') AS m, total_exec_time, calls"
        " FROM pg_stat_statements WHERE dbid = (SELECT oid FROM pg_database"
        " WHERE datname = current_database())) AS s WHERE m IS NOT NULL GROUP BY 1");
    for (int row = 0; row < PQntuples(r.get()); ++row) {
      for (size_t type = 0; type < t.exec_ms.size(); ++type) {
        if (std::string(pg::text(r, row, 0)) == report::kTypeKeys[type]) {
          t.exec_ms[type] = pg::real(r, row, 1);
          t.transactions[type] = pg::real(r, row, 2);
        }
      }
    }
  } catch (const pg::Error &e) { // not loaded at the server's start, say
    if (conn.ok() && PQtransactionStatus(conn.get()) == PQTRANS_INERROR) {
      conn.exec("ROLLBACK");
    }
    t.unavailable = std::string("pg_stat_statements: ") + e.what();
  }
  return t;
}

std::vector<db::Condition> check(pg::Connection &conn, int first, int last) {
  if (first > 0) {
    // Temporary relations come first in the search path: the conditions read these.
    static const std::vector<std::pair<std::string, std::string>> kRows = {
        {"warehouse", "w_id"},     {"district", "d_w_id"}, {"customer", "c_w_id"},
        {"history", "h_w_id"},     {"orders", "o_w_id"},   {"new_order", "no_w_id"},
        {"order_line", "ol_w_id"}, {"stock", "s_w_id"}};
    const std::string in = " BETWEEN " + std::to_string(first) + " AND " + std::to_string(last);
    for (const auto &[table, column] : kRows) {
      std::string sql = "CREATE OR REPLACE TEMPORARY VIEW ";
      sql.append(table).append(" AS SELECT * FROM public.").append(table).append(" WHERE ");
      sql.append(column).append(in);
      if (table == "history") { // a customer's payments may come through another warehouse
        sql.append(" OR h_c_w_id").append(in);
      }
      conn.exec(sql);
    }
  }
  const pg::Result r = conn.exec(kCheckSql);
  std::vector<db::Condition> out;
  out.reserve(static_cast<size_t>(PQntuples(r.get())));
  for (int row = 0; row < PQntuples(r.get()); ++row) {
    out.push_back(
        {static_cast<int>(pg::integer(r, row, 0)), pg::text(r, row, 1), pg::integer(r, row, 2)});
  }
  return out;
}

} // namespace pg_schema
