// transactions.cpp - the five transactions in MariaDB's SQL; see transactions.h.
//
// Isolation: every session runs at READ COMMITTED.  New-Order, Payment and
// Delivery change only rows they lock first (UPDATE, DELETE, SELECT ... FOR
// UPDATE, each of which reads the latest committed version), and read besides
// only columns that no transaction changes (W_TAX, D_TAX, the customer's
// discount, name and credit, the items), which gives them serializable
// results.  Order-Status and Stock-Level are one statement each, so they read
// one committed snapshot that does not change under them.  Locks are taken in
// one order (district before stock, stock rows in key order; warehouse,
// district, customer), so the transactions rarely deadlock; when they do the
// engine runs them again.
#include "transactions.h"

#include <mysqld_error.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <thread>
#include <tuple>

namespace my_tx {

namespace {

std::string str(long long v) {
  return std::to_string(v);
}

// The customer a Payment or Order-Status names, as a query of its C_ID: by number, or the one
// at position ceil(n/2) of the n with that last name, sorted by first name.
std::string pick(const my::Connection &c, int w, int d, bool by_name, int c_id,
                 const char *c_last) {
  const std::string where = "c_w_id = " + str(w) + " AND c_d_id = " + str(d) + " AND ";
  if (!by_name) {
    return "SELECT c_id FROM customer WHERE " + where + "c_id = " + str(c_id);
  }
  return "SELECT c_id FROM (SELECT c_id, row_number() OVER (ORDER BY c_first, c_id) AS k,"
         " count(*) OVER () AS n FROM customer WHERE " +
         where + "c_last = " + my::quote(c, c_last) + ") AS named WHERE k = (n + 1) DIV 2";
}

my::Error not_found(const char *what) {
  return {what, ER_SP_FETCH_NO_DATA};
}

// A stock row as New-Order's first round trip read it, and what the order takes from it.
struct Stock {
  int quantity = 0; // S_QUANTITY, then after each line in turn
  std::string dist, data;
  int taken = 0, lines = 0, remote = 0;
};
using StockKey = std::pair<int, int>; // S_W_ID, S_I_ID

struct Item {
  long long price_cents = 0;
  std::string name;
  bool original = false;
};

bool original(const char *data) {
  return data != nullptr && std::strstr(data, "ORIGINAL") != nullptr;
}

// One row of an order's ORDER-LINE rows, after the order's key "O_ID,D_ID,W_ID".
std::string order_line_row(const std::string &order_key, int number, const NewOrderLine &line,
                           long long amount_cents, const std::string &dist) {
  return "(" + order_key + "," + str(number) + "," + str(line.i_id) + "," + str(line.supply_w_id) +
         ",NULL," + str(line.quantity) + "," + db::money(amount_cents) + ",'" + dist + "')";
}

// What an order takes from the stock rows it locked, in one statement: each row's quantity
// after every line in turn, its YTD, order and remote counts.
std::string stock_update(const std::map<StockKey, Stock> &stock) {
  std::string quantity;
  std::string ytd;
  std::string orders;
  std::string remote;
  std::string rows;
  for (const auto &[key, s] : stock) {
    std::string row = "s_w_id = " + str(key.first) + " AND s_i_id = " + str(key.second);
    quantity.append(" WHEN ").append(row).append(" THEN ").append(str(s.quantity));
    ytd.append(" WHEN ").append(row).append(" THEN ").append(str(s.taken));
    orders.append(" WHEN ").append(row).append(" THEN ").append(str(s.lines));
    remote.append(" WHEN ").append(row).append(" THEN ").append(str(s.remote));
    rows.append(rows.empty() ? "(" : " OR (").append(row).append(")");
  }
  return "UPDATE stock SET s_quantity = CASE" + quantity + " END, s_ytd = s_ytd + CASE" + ytd +
         " END, s_order_cnt = s_order_cnt + CASE" + orders +
         " END, s_remote_cnt = s_remote_cnt + CASE" + remote + " END WHERE " + rows + ";";
}

// A Delivery's part for district d: its oldest new order locked and taken (left in @oD, NULL
// when there is none, and then nothing changes), the order given the carrier and its
// customer the lines' sum, the lines the delivery time.
std::string delivery_district(const std::string &w, int d, int carrier, const std::string &when) {
  const std::string o = "@o" + str(d);
  const auto where = [&w, d](const char *prefix) {
    return std::string(" WHERE ") + prefix + "_w_id = " + w + " AND " + prefix +
           "_d_id = " + str(d);
  };
  return "SET " + o + " = (SELECT no_o_id FROM new_order" + where("no") +
         " ORDER BY no_o_id LIMIT 1 FOR UPDATE);DELETE FROM new_order" + where("no") +
         " AND no_o_id = " + o +
         ";UPDATE orders JOIN customer ON c_w_id = o_w_id AND c_d_id = o_d_id AND c_id = o_c_id"
         " SET o_carrier_id = " +
         str(carrier) + ", c_balance = c_balance + (SELECT sum(ol_amount) FROM order_line" +
         where("ol") + " AND ol_o_id = " + o + "), c_delivery_cnt = c_delivery_cnt + 1" +
         where("o") + " AND o_id = " + o + ";UPDATE order_line SET ol_delivery_d = '" + when + "'" +
         where("ol") + " AND ol_o_id = " + o + ";";
}

// Order-Status in one statement: the customer, their last order, its lines.
std::string plain_order_status(const my::Connection &conn, const OrderStatusInput &in) {
  const std::string w = str(in.w_id);
  const std::string d = str(in.d_id);
  return "WITH pick AS (" + pick(conn, in.w_id, in.d_id, in.by_name != 0, in.c_id, in.c_last) +
         "), c AS (SELECT customer.c_id, c_balance, c_first, c_middle, c_last FROM customer, pick"
         " WHERE c_w_id = " +
         w + " AND c_d_id = " + d +
         " AND customer.c_id = pick.c_id),"
         " o AS (SELECT o_id, o_entry_d, o_carrier_id FROM orders, c WHERE o_w_id = " +
         w + " AND o_d_id = " + d +
         " AND o_c_id = c.c_id ORDER BY o_id DESC LIMIT 1)"
         " SELECT c.c_id, c.c_balance, o.o_id, ol_i_id, ol_supply_w_id, ol_quantity, ol_amount,"
         " ol_delivery_d, c.c_first, c.c_middle, c.c_last, o.o_entry_d, o.o_carrier_id"
         " FROM c LEFT JOIN o ON 1 LEFT JOIN order_line ON ol_w_id = " +
         w + " AND ol_d_id = " + d + " AND ol_o_id = o.o_id ORDER BY ol_number";
}

// The lines sorted by their stock rows (supply warehouse, item, line number), as
// tpcc_new_order locks them, in four lists: line numbers, items, suppliers, quantities.
std::array<std::string, 4> sorted_lines(const NewOrderInput &in) {
  std::vector<std::tuple<int, int, int, int>> lines; // supplier, item, number, quantity
  lines.reserve(static_cast<size_t>(in.ol_cnt));
  for (int l = 0; l < in.ol_cnt; ++l) {
    lines.emplace_back(in.line[l].supply_w_id, in.line[l].i_id, l + 1, in.line[l].quantity);
  }
  std::sort(lines.begin(), lines.end());
  std::array<std::string, 4> lists;
  for (const auto &[supplier, item, number, quantity] : lines) {
    for (std::string &list : lists) {
      list.append(list.empty() ? "'" : ",");
    }
    lists[0].append(str(number));
    lists[1].append(str(item));
    lists[2].append(str(supplier));
    lists[3].append(str(quantity));
  }
  for (std::string &list : lists) {
    list.append("'");
  }
  return lists;
}

// The fields of tpcc_new_order's lines: CHAR(30) between lines, CHAR(31) between fields.
std::vector<std::vector<std::string>> split_lines(const char *text) {
  std::vector<std::vector<std::string>> lines(1, std::vector<std::string>(1));
  for (const char *p = text; p != nullptr && *p != '\0'; ++p) {
    if (*p == '\x1e') {
      lines.emplace_back(1);
    } else if (*p == '\x1f') {
      lines.back().emplace_back();
    } else {
      lines.back().back().push_back(*p);
    }
  }
  return lines;
}

} // namespace

Session::Session(const my::Uri &uri, const std::string &name, db::Mode m)
    : conn(uri, name), mode(m) {
  conn.exec("SET SESSION TRANSACTION ISOLATION LEVEL READ COMMITTED");
  try {
    cluster_ = conn.exec("SELECT @@wsrep_on")[0].integer(0, 0) == 1;
  } catch (const my::Error &e) { // a server without Galera
    if (e.lost()) {
      throw;
    }
  }
}

void Session::reset() {
  pending = db::Proof{};
  conn.exec("ROLLBACK");
}

Task<std::vector<my::Result>> Session::round_trip() {
  try {
    if (cluster_) {
      co_return co_await one_by_one();
    }
    co_return co_await conn.query(sql_);
  } catch (const my::Error &e) {
    // The statements after the one that failed did not run.  A Galera node may yet have
    // committed a procedure's transaction that it said failed, and then lose its place in
    // what it sends: a ROLLBACK that fails so leaves the commit to be settled.
    if (!e.lost()) {
      conn.exec("ROLLBACK");
      pending = db::Proof{};
    }
    throw;
  }
}

// A Galera node that aborts a transaction for another node's writes while a text of several
// statements runs goes on with the statements after the abort outside the transaction, and
// commits them (MariaDB 10.11): on such a node each statement of sql_ is a round trip of its
// own, and the first after an abort fails.  The texts have no ';' but between statements.
Task<std::vector<my::Result>> Session::one_by_one() {
  std::vector<my::Result> results;
  for (size_t at = 0; at < sql_.size();) {
    const size_t end = std::min(sql_.find(';', at), sql_.size());
    statement_.assign(sql_, at, end - at);
    at = end + 1;
    if (!statement_.empty()) {
      std::vector<my::Result> one = co_await conn.query(statement_);
      for (my::Result &r : one) {
        results.push_back(std::move(r));
      }
    }
  }
  co_return results;
}

// First round trip: the district's next order number taken and the district locked, the
// warehouse's and customer's figures, the items, and the stock rows locked in key order.
Task<> Session::new_order(const NewOrderInput &in, db::NewOrderResult &out) {
  out = db::NewOrderResult{};
  if (mode == db::Mode::procedures) {
    co_await call_new_order(in, out);
    co_return;
  }
  const std::string w = str(in.w_id);
  const std::string d = str(in.d_id);
  std::string items;
  std::string stock;
  for (int l = 0; l < in.ol_cnt; ++l) {
    items.append(l > 0 ? "," : "").append(str(in.line[l].i_id));
    stock.append(l > 0 ? " OR (s_w_id = " : "(s_w_id = ").append(str(in.line[l].supply_w_id));
    stock.append(" AND s_i_id = ").append(str(in.line[l].i_id)).append(")");
  }
  char dist[16];
  (void)std::snprintf(dist, sizeof dist, "s_dist_%02d", in.d_id);
  sql_ = "START TRANSACTION;UPDATE district SET d_next_o_id = d_next_o_id + 1 WHERE d_w_id = " + w +
         " AND d_id = " + d +
         ";SELECT d_tax, d_next_o_id - 1, w_tax, c_discount, c_last, c_credit"
         " FROM district, warehouse, customer WHERE d_w_id = " +
         w + " AND d_id = " + d + " AND w_id = " + w + " AND c_w_id = " + w + " AND c_d_id = " + d +
         " AND c_id = " + str(in.c_id) +
         ";SELECT i_id, i_price, i_name, i_data FROM item WHERE i_id IN (" + items +
         ");SELECT s_w_id, s_i_id, s_quantity, " + dist + ", s_data FROM stock WHERE " + stock +
         " ORDER BY s_w_id, s_i_id FOR UPDATE";
  std::vector<my::Result> read = co_await round_trip();
  co_await finish_new_order(in, read, out);
  co_return;
}

// Second round trip: the order, its lines and the stock they take, and COMMIT; or ROLLBACK
// when an item number is no item (or a row the order needs is not there).
Task<> Session::finish_new_order(const NewOrderInput &in, std::vector<my::Result> &read,
                                 db::NewOrderResult &out) {
  const my::Result &figures = read[2]; // D_TAX, O_ID, W_TAX, C_DISCOUNT, C_LAST, C_CREDIT
  std::map<int, Item> items;
  for (size_t r = 0; r < read[3].rows(); ++r) {
    items[static_cast<int>(read[3].integer(r, 0))] = {read[3].cents(r, 1), read[3].text(r, 2),
                                                      original(read[3].text(r, 3))};
  }
  std::map<StockKey, Stock> stock;
  for (size_t r = 0; r < read[4].rows(); ++r) {
    stock[{static_cast<int>(read[4].integer(r, 0)), static_cast<int>(read[4].integer(r, 1))}] = {
        static_cast<int>(read[4].integer(r, 2)), read[4].text(r, 3), read[4].text(r, 4)};
  }
  bool complete = figures.rows() == 1;
  for (int l = 0; l < in.ol_cnt; ++l) {
    const NewOrderLine &line = in.line[l];
    complete =
        complete && items.count(line.i_id) == 1 && stock.count({line.supply_w_id, line.i_id}) == 1;
  }
  if (!complete) {
    sql_ = "ROLLBACK";
    co_await round_trip();
    if (figures.rows() != 1) {
      throw not_found("New-Order found no such district and customer");
    }
    out.rolled_back = true; // "Item number is not valid"
    co_return;
  }
  out.o_id = static_cast<int>(figures.integer(0, 1));
  const std::string w = str(in.w_id);
  const std::string d = str(in.d_id);
  const std::string o = str(out.o_id);
  const std::string entered = db::unique_timestamp();
  bool all_local = true;
  const std::string order_key = o + "," + d + "," + w;
  std::string lines;
  for (int l = 0; l < in.ol_cnt; ++l) {
    const NewOrderLine &line = in.line[l];
    const Item &item = items[line.i_id];
    Stock &s = stock[{line.supply_w_id, line.i_id}];
    s.quantity = s.quantity >= line.quantity + 10 ? s.quantity - line.quantity
                                                  : s.quantity - line.quantity + 91;
    s.taken += line.quantity;
    s.lines += 1;
    s.remote += line.supply_w_id != in.w_id ? 1 : 0;
    all_local = all_local && line.supply_w_id == in.w_id;
    const long long amount = line.quantity * item.price_cents;
    out.line.push_back({item.name, item.price_cents, s.quantity,
                        item.original && original(s.data.c_str()) ? 'B' : 'G', amount});
    out.amount_cents += amount;
    lines.append(l > 0 ? "," : "").append(order_line_row(order_key, l + 1, line, amount, s.dist));
  }
  out.lines = in.ol_cnt;
  sql_ = "INSERT INTO orders VALUES (" + o + "," + d + "," + w + "," + str(in.c_id) + ",'" +
         entered + "',NULL," + str(in.ol_cnt) + "," + (all_local ? "1" : "0") +
         ");INSERT INTO new_order VALUES (" + o + "," + d + "," + w + ");";
  sql_ += stock_update(stock) + "INSERT INTO order_line VALUES " + lines + ";COMMIT";
  pending = {TX_NEW_ORDER, in.w_id, in.d_id, entered};
  co_await round_trip();
  pending = db::Proof{};
  const double d_tax = figures.real(0, 0);
  const double w_tax = figures.real(0, 2);
  const double discount = figures.real(0, 3);
  out.total = static_cast<double>(out.amount_cents) / 100 * (1 - discount) * (1 + w_tax + d_tax);
  co_return;
}

Task<> Session::payment(const PaymentInput &in, db::PaymentResult &out) {
  out = db::PaymentResult{};
  if (mode == db::Mode::procedures) {
    co_await call_payment(in, out);
    co_return;
  }
  const std::string w = str(in.w_id);
  const std::string d = str(in.d_id);
  const std::string cw = str(in.c_w_id);
  const std::string cd = str(in.c_d_id);
  const std::string amount = db::money(in.h_amount_cents);
  const std::string when = db::unique_timestamp();
  const std::string customer = "c_w_id = " + cw + " AND c_d_id = " + cd + " AND c_id = @c";
  // No customer, no payment: the warehouse and district change only with one.
  sql_ = "SELECT (" + pick(conn, in.c_w_id, in.c_d_id, in.by_name != 0, in.c_id, in.c_last) +
         ") INTO @c;START TRANSACTION;UPDATE warehouse, district SET w_ytd = w_ytd + " + amount +
         ", d_ytd = d_ytd + " + amount + " WHERE w_id = " + w + " AND d_w_id = " + w +
         " AND d_id = " + d + " AND @c IS NOT NULL;UPDATE customer SET c_balance = c_balance - " +
         amount + ", c_ytd_payment = c_ytd_payment + " + amount +
         ", c_payment_cnt = c_payment_cnt + 1, c_data = IF(c_credit = 'BC', LEFT(CONCAT_WS(' ',"
         " c_id, c_d_id, c_w_id, " +
         d + ", " + w + ", " + amount + ", c_data), 500), c_data) WHERE " + customer +
         ";INSERT INTO history SELECT c_id, c_d_id, c_w_id, d_id, w_id, '" + when + "', " + amount +
         ", CONCAT(w_name, '    ', d_name) FROM customer, warehouse, district WHERE " + customer +
         " AND w_id = " + w + " AND d_w_id = " + w + " AND d_id = " + d +
         ";SELECT c_id, c_balance, c_credit, IF(c_credit = 'BC', LEFT(c_data, 200), ''),"
         " c_first, c_middle, c_last, c_street_1, c_street_2, c_city, c_state, c_zip, c_phone,"
         " c_since, c_credit_lim, c_discount, w_name, w_street_1, w_street_2, w_city, w_state,"
         " w_zip, d_name, d_street_1, d_street_2, d_city, d_state, d_zip"
         " FROM customer, warehouse, district WHERE " +
         customer + " AND w_id = " + w + " AND d_w_id = " + w + " AND d_id = " + d + ";COMMIT";
  pending = {TX_PAYMENT, in.w_id, in.d_id, when};
  const std::vector<my::Result> r = co_await round_trip();
  pending = db::Proof{};
  const my::Result &c = r[5];
  if (c.rows() != 1) {
    throw not_found("Payment found no customer");
  }
  out.c_id = static_cast<int>(c.integer(0, 0));
  out.balance_cents = c.cents(0, 1);
  out.credit = c.text(0, 2);
  out.data = c.text(0, 3);
  co_return;
}

Task<> Session::order_status(const OrderStatusInput &in, db::OrderStatusResult &out) {
  out = db::OrderStatusResult{};
  const std::string w = str(in.w_id);
  const std::string d = str(in.d_id);
  if (mode == db::Mode::procedures) {
    sql_ = "CALL tpcc_order_status(" + w + "," + d + "," +
           (in.by_name != 0 ? "NULL," + my::quote(conn, in.c_last) : str(in.c_id) + ",NULL") + ")";
  } else {
    sql_ = plain_order_status(conn, in);
  }
  const std::vector<my::Result> r = co_await round_trip();
  if (r[0].rows() < 1) {
    throw not_found("Order-Status found no customer");
  }
  out.c_id = static_cast<int>(r[0].integer(0, 0));
  out.balance_cents = r[0].cents(0, 1);
  out.o_id = static_cast<int>(r[0].integer(0, 2));
  out.lines = r[0].null(0, 3) ? 0 : static_cast<int>(r[0].rows());
  co_return;
}

// Each district in turn (delivery_district), and the orders delivered in one row.
Task<> Session::delivery(const DeliveryInput &in, db::DeliveryResult &out) {
  out = db::DeliveryResult{};
  if (mode == db::Mode::procedures) {
    co_await call_delivery(in, out);
    co_return;
  }
  const std::string w = str(in.w_id);
  const std::string when = db::unique_timestamp();
  sql_ = "START TRANSACTION;";
  std::string delivered = "SELECT ";
  for (int d = 1; d <= 10; ++d) {
    sql_ += delivery_district(w, d, in.o_carrier_id, when);
    delivered.append(d > 1 ? ", @o" : "@o").append(str(d));
  }
  sql_ += delivered + ";COMMIT";
  pending = {TX_DELIVERY, in.w_id, 0, when};
  const std::vector<my::Result> r = co_await round_trip();
  pending = db::Proof{};
  const my::Result &orders = r[r.size() - 2];
  for (unsigned d = 0; d < 10; ++d) {
    out.o_id[d] = orders.null(0, d) ? 0 : static_cast<int>(orders.integer(0, d));
    out.delivered += out.o_id[d] != 0 ? 1 : 0;
  }
  out.skipped = 10 - out.delivered;
  co_return;
}

Task<> Session::stock_level(const StockLevelInput &in, db::StockLevelResult &out) {
  if (mode == db::Mode::procedures) {
    sql_ = "CALL tpcc_stock_level(" + str(in.w_id) + "," + str(in.d_id) + "," + str(in.threshold) +
           ")";
    const std::vector<my::Result> r = co_await round_trip();
    out.low_stock = static_cast<int>(r[0].integer(0, 0));
    co_return;
  }
  sql_ = "SELECT count(DISTINCT s_i_id) FROM district"
         " JOIN order_line ON ol_w_id = d_w_id AND ol_d_id = d_id"
         "  AND ol_o_id >= d_next_o_id - 20 AND ol_o_id < d_next_o_id"
         " JOIN stock ON s_w_id = ol_w_id AND s_i_id = ol_i_id"
         " WHERE d_w_id = " +
         str(in.w_id) + " AND d_id = " + str(in.d_id) + " AND s_quantity < " + str(in.threshold);
  const std::vector<my::Result> r = co_await round_trip();
  out.low_stock = static_cast<int>(r[0].integer(0, 0));
  co_return;
}

bool Session::found(const db::Proof &proof, db::DeliveryResult *delivered) {
  const std::string w = str(proof.w_id);
  const std::string stamp = "'" + proof.stamp + "'";
  std::string sql;
  if (proof.type == TX_DELIVERY) {
    sql = "SELECT ol_d_id, min(ol_o_id) FROM order_line WHERE ol_w_id = " + w +
          " AND ol_delivery_d = " + stamp + " GROUP BY ol_d_id";
  } else if (proof.type == TX_NEW_ORDER) {
    sql = "SELECT o_id FROM orders WHERE o_w_id = " + w + " AND o_d_id = " + str(proof.d_id) +
          " AND o_entry_d = " + stamp;
  } else {
    sql = "SELECT 1 FROM history WHERE h_w_id = " + w + " AND h_d_id = " + str(proof.d_id) +
          " AND h_date = " + stamp;
  }
  const std::vector<my::Result> r = conn.exec(sql);
  if (r[0].rows() == 0) {
    return false;
  }
  if (delivered != nullptr && proof.type == TX_DELIVERY) {
    *delivered = db::DeliveryResult{};
    for (size_t row = 0; row < r[0].rows(); ++row) {
      const long long d = r[0].integer(row, 0);
      if (d >= 1 && d <= 10 && delivered->o_id[static_cast<size_t>(d - 1)] == 0) {
        delivered->o_id[static_cast<size_t>(d - 1)] = static_cast<int>(r[0].integer(row, 1));
        ++delivered->delivered;
      }
    }
    delivered->skipped = 10 - delivered->delivered;
  }
  return true;
}

db::Settled Session::settle(const db::Proof &proof, int old_id, db::DeliveryResult *delivered) {
  const std::string id = str(old_id);
  for (int tries = 0;; ++tries) { // every 50 ms
    const std::vector<my::Result> r =
        conn.exec("SELECT count(*) FROM information_schema.PROCESSLIST WHERE ID = " + id);
    if (r[0].integer(0, 0) == 0) {
      break;
    }
    if (tries == 100) {
      try {
        conn.exec("KILL CONNECTION " + id);
      } catch (const my::Error &e) {
        if (e.number() != ER_NO_SUCH_THREAD) {
          throw;
        }
      }
    }
    if (tries == 600) {
      return db::Settled::unknown;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  // On a Galera node, the read waits for what the cluster committed before it; a server
  // without the setting has nothing to wait for.
  my::set_where_known(conn, "wsrep_sync_wait = 1");
  const bool committed = found(proof, delivered);
  my::set_where_known(conn, "wsrep_sync_wait = 0");
  return committed ? db::Settled::committed : db::Settled::not_committed;
}

} // namespace my_tx

namespace my_tx {

Task<> Session::call_new_order(const NewOrderInput &in, db::NewOrderResult &out) {
  const std::array<std::string, 4> lists = sorted_lines(in);
  bool all_local = true;
  for (int l = 0; l < in.ol_cnt; ++l) {
    all_local = all_local && in.line[l].supply_w_id == in.w_id;
  }
  const std::string entered = db::unique_timestamp();
  sql_ = "CALL tpcc_new_order(" + str(in.w_id) + "," + str(in.d_id) + "," + str(in.c_id) + "," +
         lists[0] + "," + lists[1] + "," + lists[2] + "," + lists[3] + "," +
         (all_local ? "1" : "0") + ",'" + entered + "')";
  pending = {TX_NEW_ORDER, in.w_id, in.d_id, entered};
  const std::vector<my::Result> r = co_await round_trip();
  pending = db::Proof{};
  const my::Result &row = r[0];
  out.o_id = static_cast<int>(row.integer(0, 0));
  if (out.o_id == 0) { // "Item number is not valid": rolled back
    out.rolled_back = true;
    co_return;
  }
  out.line.resize(static_cast<size_t>(in.ol_cnt));
  for (const std::vector<std::string> &f : split_lines(row.text(0, 4))) {
    const auto n = static_cast<size_t>(std::stoi(f.at(0)) - 1);
    db::NewOrderLineResult &line = out.line.at(n);
    line.brand_generic = f.at(1).at(0);
    line.amount_cents = std::llround(std::stod(f.at(2)) * 100);
    line.i_name = f.at(3);
    line.price_cents = std::llround(std::stod(f.at(4)) * 100);
    line.s_quantity = std::stoi(f.at(5));
    out.amount_cents += line.amount_cents;
  }
  out.lines = in.ol_cnt;
  out.total = static_cast<double>(out.amount_cents) / 100 * (1 - row.real(0, 3)) *
              (1 + row.real(0, 2) + row.real(0, 1));
  co_return;
}

Task<> Session::call_payment(const PaymentInput &in, db::PaymentResult &out) {
  const std::string when = db::unique_timestamp();
  sql_ = "CALL tpcc_payment(" + str(in.w_id) + "," + str(in.d_id) + "," + str(in.c_w_id) + "," +
         str(in.c_d_id) + "," + db::money(in.h_amount_cents) + "," +
         (in.by_name != 0 ? "NULL," + my::quote(conn, in.c_last) : str(in.c_id) + ",NULL") + ",'" +
         when + "')";
  pending = {TX_PAYMENT, in.w_id, in.d_id, when};
  const std::vector<my::Result> r = co_await round_trip();
  pending = db::Proof{};
  out.c_id = static_cast<int>(r[0].integer(0, 0));
  out.balance_cents = r[0].cents(0, 1);
  out.credit = r[0].text(0, 2);
  out.data = r[0].text(0, 3);
  co_return;
}

Task<> Session::call_delivery(const DeliveryInput &in, db::DeliveryResult &out) {
  const std::string when = db::unique_timestamp();
  sql_ = "CALL tpcc_delivery(" + str(in.w_id) + "," + str(in.o_carrier_id) + ",'" + when + "')";
  pending = {TX_DELIVERY, in.w_id, 0, when};
  const std::vector<my::Result> r = co_await round_trip();
  pending = db::Proof{};
  const std::string orders = r[0].text(0, 0);
  size_t at = 0;
  for (size_t d = 0; d < 10; ++d) {
    out.o_id[d] = static_cast<int>(std::strtol(orders.c_str() + at, nullptr, 10));
    out.delivered += out.o_id[d] != 0 ? 1 : 0;
    at = orders.find(',', at) + 1;
  }
  out.skipped = 10 - out.delivered;
  co_return;
}

} // namespace my_tx
