// schema.cpp - the schema's presence and its conditions; see schema.h.
#include "schema.h"

#include <mysqld_error.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <regex>

namespace my_schema {

std::string missing_table(my::Connection &conn) {
  const std::vector<my::Result> r = conn.exec("SELECT table_name FROM information_schema.TABLES"
                                              " WHERE table_schema = DATABASE()");
  for (const std::string &t : db::tables()) {
    bool there = false;
    for (size_t row = 0; row < r[0].rows() && !there; ++row) {
      there = t == r[0].text(row, 0);
    }
    if (!there) {
      return t;
    }
  }
  return "";
}

bool has_foreign_keys(my::Connection &conn) {
  return conn.exec("SELECT count(*) FROM information_schema.REFERENTIAL_CONSTRAINTS"
                   " WHERE constraint_schema = DATABASE() AND table_name = 'order_line'")[0]
             .integer(0, 0) > 0;
}

std::vector<std::string> narrow_columns(my::Connection &conn) {
  // Wide enough: 18 digits before the point, which no run reaches in centuries.
  const std::vector<my::Result> r = conn.exec(
      "SELECT CONCAT(table_name, '.', column_name, ' ', column_type)"
      " FROM information_schema.COLUMNS WHERE table_schema = DATABASE()"
      " AND (table_name, column_name) IN (('warehouse', 'w_ytd'), ('district', 'd_ytd'),"
      " ('customer', 'c_balance'), ('customer', 'c_ytd_payment'), ('customer', 'c_payment_cnt'),"
      " ('customer', 'c_delivery_cnt'), ('stock', 's_ytd'), ('stock', 's_order_cnt'),"
      " ('stock', 's_remote_cnt')) AND (data_type IN ('tinyint', 'smallint', 'mediumint', 'int')"
      " OR (data_type = 'decimal' AND numeric_precision - numeric_scale < 18))"
      " ORDER BY table_name, ordinal_position");
  std::vector<std::string> out;
  out.reserve(r[0].rows());
  for (size_t row = 0; row < r[0].rows(); ++row) {
    out.emplace_back(r[0].text(row, 0));
  }
  return out;
}

namespace {

// The kit's procedures: each CREATE PROCEDURE of procedures.sql, by name, marked with a
// COMMENT naming its text's digest (FNV-1a), by which an installed one is told from another.
std::map<std::string, std::string> procedures() {
  std::map<std::string, std::string> out;
  const std::string all = kProceduresSql;
  for (size_t at = 0; (at = all.find("CREATE PROCEDURE ", at)) != std::string::npos;) {
    const size_t end = all.find("\nEND //", at);
    std::string text = all.substr(at, end + 4 - at);
    at = end;
    uint64_t digest = 14695981039346656037ULL;
    for (const char c : text) {
      digest = (digest ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    }
    char comment[48];
    (void)std::snprintf(comment, sizeof comment, "\n  COMMENT 'tpcc-tools %016llx'",
                        static_cast<unsigned long long>(digest));
    text.insert(text.find("\nBEGIN"), comment);
    const size_t name = std::string("CREATE PROCEDURE ").size();
    out[text.substr(name, text.find('(') - name)] = text;
  }
  return out;
}

// The comment of each of the kit's procedures the database holds, by name.
std::map<std::string, std::string> installed(my::Connection &conn) {
  const std::vector<my::Result> r =
      conn.exec("SELECT routine_name, routine_comment FROM information_schema.ROUTINES"
                " WHERE routine_schema = DATABASE() AND routine_type = 'PROCEDURE'"
                " AND routine_name LIKE 'tpcc\\_%'");
  std::map<std::string, std::string> out;
  for (size_t row = 0; row < r[0].rows(); ++row) {
    out[r[0].text(row, 0)] = r[0].text(row, 1);
  }
  return out;
}

std::string comment_of(const std::string &text) {
  const size_t at = text.find("COMMENT '") + 9;
  return text.substr(at, text.find('\'', at) - at);
}

// sql with each read of table replaced by a read of its rows where where holds.
std::string read_only_rows(const std::string &sql, const std::string &table,
                           const std::string &where) {
  const std::regex read("\\b(FROM|JOIN) " + table + "\\b");
  return std::regex_replace(sql, read,
                            "$1 (SELECT * FROM " + table + " WHERE " + where + ") AS " + table);
}

} // namespace

void install_procedures(my::Connection &conn) {
  // DDL commits as it goes: one installer at a time, by a lock of its own.
  conn.exec("SELECT GET_LOCK('tpcc-procedures', 600)");
  try {
    const std::map<std::string, std::string> there = installed(conn);
    const std::map<std::string, std::string> ours = procedures();
    for (const auto &[name, text] : ours) {
      const auto found = there.find(name);
      if (found != there.end() && found->second != comment_of(text)) {
        throw my::Error("the kit's procedures (" + name +
                            " and the others) there differ from this version's: drop them,"
                            " or load again with --drop",
                        ER_SP_ALREADY_EXISTS);
      }
    }
    for (const auto &[name, text] : ours) {
      if (there.count(name) == 0) {
        conn.exec(text);
      }
    }
  } catch (const my::Error &) {
    conn.exec("SELECT RELEASE_LOCK('tpcc-procedures')");
    throw;
  }
  conn.exec("SELECT RELEASE_LOCK('tpcc-procedures')");
}

void drop_procedures(my::Connection &conn) {
  for (const auto &[name, text] : procedures()) {
    conn.exec("DROP PROCEDURE IF EXISTS " + name);
  }
}

std::string check_sql(int first, int last) {
  if (first <= 0) {
    return kCheckSql;
  }
  // Each table read by the check becomes the same table's rows of the range.
  const std::string in = " BETWEEN " + std::to_string(first) + " AND " + std::to_string(last);
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"warehouse", "w_id" + in},
      {"district", "d_w_id" + in},
      {"customer", "c_w_id" + in},
      // a customer's payments may come through another warehouse
      {"history", "h_w_id" + in + " OR h_c_w_id" + in},
      {"orders", "o_w_id" + in},
      {"new_order", "no_w_id" + in},
      {"order_line", "ol_w_id" + in},
      {"stock", "s_w_id" + in}};
  std::string sql = kCheckSql;
  for (const auto &[table, where] : rows) {
    sql = read_only_rows(sql, table, where);
  }
  return sql;
}

std::vector<db::Condition> check(my::Connection &conn, int first, int last) {
  const std::vector<my::Result> r = conn.exec(check_sql(first, last));
  const my::Result &rows = r.back();
  std::vector<db::Condition> out;
  out.reserve(rows.rows());
  for (size_t row = 0; row < rows.rows(); ++row) {
    out.push_back(
        {static_cast<int>(rows.integer(row, 0)), rows.text(row, 1), rows.integer(row, 2)});
  }
  return out;
}

} // namespace my_schema
