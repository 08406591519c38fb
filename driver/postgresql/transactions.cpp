// transactions.cpp - the five transactions in SQL; see transactions.h.
//
// Isolation: every session runs at READ COMMITTED.  New-Order, Payment and
// Delivery change only rows they lock first (UPDATE, DELETE, SELECT ... FOR
// UPDATE, each re-read at its latest committed version), and read besides
// only columns that no transaction changes (W_TAX, D_TAX, the customer's
// discount, name and credit, the items), which gives them serializable
// results.  Order-Status and Stock-Level are one statement each, so they read
// one committed snapshot that does not change under them.
#include "transactions.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>
#include <utility>

namespace tx {

namespace {

// The customer a Payment or Order-Status names: by number, or the one at position ceil(n/2)
// of the n with that last name, sorted by first name; $w, $d the district, $p the key.
std::string pick_by_id(int w, int d, int p) {
  return "SELECT c_id AS id FROM customer WHERE c_w_id = $" + std::to_string(w) +
         "::int AND c_d_id = $" + std::to_string(d) + "::int AND c_id = $" + std::to_string(p) +
         "::int";
}
std::string pick_by_name(int w, int d, int p) {
  return "SELECT c_id AS id FROM (SELECT c_id, row_number() OVER (ORDER BY c_first, c_id) AS k,"
         " count(*) OVER () AS n FROM customer WHERE c_w_id = $" +
         std::to_string(w) + "::int AND c_d_id = $" + std::to_string(d) + "::int AND c_last = $" +
         std::to_string(p) + "::text) AS named WHERE k = (n + 1) / 2";
}

// The stock row's S_DIST_xx of the district $2.
std::string stock_dist_column() {
  std::string s = "CASE $2::int";
  for (int d = 1; d <= 10; ++d) {
    char column[48];
    (void)std::snprintf(column, sizeof column, " WHEN %d THEN s_dist_%02d", d, d);
    s += column;
  }
  return s + " END";
}

std::string payment_sql(const std::string &pick) {
  return "WITH pick AS (" + pick +
         "),"
         // No customer, no payment: the warehouse and district change only with one.
         " w AS (UPDATE warehouse SET w_ytd = w_ytd + $5::numeric WHERE w_id = $1::int"
         "  AND EXISTS (SELECT FROM pick)"
         "  RETURNING w_name, w_street_1, w_street_2, w_city, w_state, w_zip),"
         " d AS (UPDATE district SET d_ytd = d_ytd + $5::numeric"
         "  WHERE d_w_id = $1::int AND d_id = $2::int AND EXISTS (SELECT FROM pick)"
         "  RETURNING d_name, d_street_1, d_street_2, d_city, d_state, d_zip),"
         " c AS (UPDATE customer SET c_balance = c_balance - $5::numeric,"
         "  c_ytd_payment = c_ytd_payment + $5::numeric, c_payment_cnt = c_payment_cnt + 1,"
         "  c_data = CASE WHEN c_credit = 'BC' THEN left(concat_ws(' ', c_id, c_d_id, c_w_id,"
         "   $2::int, $1::int, $5::numeric) || ' ' || c_data, 500) ELSE c_data END"
         "  FROM pick WHERE c_w_id = $3::int AND c_d_id = $4::int AND c_id = pick.id"
         "  RETURNING c_id, c_balance, c_credit,"
         "   CASE WHEN c_credit = 'BC' THEN left(c_data, 200) ELSE '' END AS data,"
         "   c_first, c_middle, c_last, c_street_1, c_street_2, c_city, c_state, c_zip,"
         "   c_phone, c_since, c_credit_lim, c_discount),"
         " h AS (INSERT INTO history SELECT c.c_id, $4::int, $3::int, $2::int, $1::int,"
         "  $7::timestamp, $5::numeric, w.w_name || '    ' || d.d_name FROM c, w, d)"
         " SELECT * FROM c, w, d";
}

// The rest of a New-Order once its district is updated and its stock rows locked: the order,
// its lines, the stock they take, and per line in input order its brand (B or G) and amount.
// $1, $2, $3 the warehouse, district and customer; $4, $5, $6 the lines' items, suppliers and
// quantities; $7 the entry time.  An item number that is no item makes O_OL_CNT a division
// by zero (SQLSTATE 22012), which fails the transaction: the server rolls it all back.
std::string new_order_sql() {
  return "WITH l AS (SELECT *, sum(q) OVER (PARTITION BY sw, i ORDER BY n) AS upto"
         "  FROM unnest($4::int[], $5::int[], $6::int[]) WITH ORDINALITY AS l(i, sw, q, n)),"
         " o AS (SELECT d_next_o_id - 1 AS id FROM district"
         "  WHERE d_w_id = $1::int AND d_id = $2::int),"
         " it AS (SELECT i_id, i_price, i_name, i_data FROM item WHERE i_id IN (SELECT i FROM l)),"
         " u AS (SELECT sw, i, sum(q) AS q, count(*) AS cnt, count(*) FILTER (WHERE sw <> $1::int)"
         "  AS remote FROM l GROUP BY sw, i),"
         // Each line in turn takes its quantity and adds 91 below 10, which keeps a quantity
         // in 10..100: after all of them it is the one value there congruent, modulo 91, to
         // the start less their sum.
         " s AS (UPDATE stock SET s_quantity = 10 + ((s_quantity - u.q - 10) % 91 + 91) % 91,"
         "  s_ytd = s_ytd + u.q, s_order_cnt = s_order_cnt + u.cnt,"
         "  s_remote_cnt = s_remote_cnt + u.remote FROM u"
         "  WHERE s_w_id = u.sw AND s_i_id = u.i AND EXISTS (SELECT FROM o)"
         "  RETURNING s_w_id, s_i_id, s_quantity, " +
         stock_dist_column() +
         " AS dist, s_data),"
         // A customer that is not there leaves O_C_ID NULL, which fails the transaction.
         " ord AS (INSERT INTO orders SELECT o.id, $2::int, $1::int, (SELECT c_id FROM customer"
         "  WHERE c_w_id = $1::int AND c_d_id = $2::int AND c_id = $3::int), $7::timestamp, NULL,"
         "  cardinality($4::int[])"
         "   / ((SELECT count(*) FROM it) = (SELECT count(DISTINCT i) FROM l))::int,"
         "  (SELECT bool_and(sw = $1::int) FROM l)::int FROM o),"
         " nord AS (INSERT INTO new_order SELECT o.id, $2::int, $1::int FROM o),"
         // A line without its stock row leaves OL_DIST_INFO NULL, which fails the transaction.
         " ol AS (INSERT INTO order_line SELECT o.id, $2::int, $1::int, l.n, l.i, l.sw, NULL, l.q,"
         "  l.q * it.i_price, s.dist FROM o, l JOIN it ON it.i_id = l.i"
         "  LEFT JOIN s ON s.s_w_id = l.sw AND s.s_i_id = l.i)"
         // Per line, the terminal's output: its item's name and price, the stock's quantity
         // once this line took from it (the last line of an item leaves what s returns, each
         // earlier one that plus the lines after it, modulo 91), brand-generic and amount.
         " SELECT CASE WHEN it.i_data LIKE '%ORIGINAL%' AND s.s_data LIKE '%ORIGINAL%'"
         "  THEN 'B' ELSE 'G' END, l.q * it.i_price, it.i_name, it.i_price,"
         "  10 + ((s.s_quantity + u.q - l.upto - 10) % 91 + 91) % 91"
         " FROM l JOIN it ON it.i_id = l.i JOIN s ON s.s_w_id = l.sw AND s.s_i_id = l.i"
         "  JOIN u ON u.sw = l.sw AND u.i = l.i ORDER BY l.n";
}

std::string order_status_sql(const std::string &pick) {
  return "WITH pick AS (" + pick +
         "),"
         " c AS (SELECT c_id, c_balance, c_first, c_middle, c_last FROM customer, pick"
         "  WHERE c_w_id = $1::int AND c_d_id = $2::int AND c_id = pick.id),"
         " o AS (SELECT o_id, o_entry_d, o_carrier_id FROM orders, c"
         "  WHERE o_w_id = $1::int AND o_d_id = $2::int AND o_c_id = c.c_id"
         "  ORDER BY o_id DESC LIMIT 1)"
         " SELECT c.c_id, c.c_balance, o.o_id, ol_i_id, ol_supply_w_id, ol_quantity, ol_amount,"
         "  ol_delivery_d, c.c_first, c.c_middle, c.c_last, o.o_entry_d, o.o_carrier_id"
         " FROM c LEFT JOIN o ON true LEFT JOIN order_line"
         "  ON ol_w_id = $1::int AND ol_d_id = $2::int AND ol_o_id = o.o_id"
         " ORDER BY ol_number";
}

// A statement with the tag by which the server's statistics tell its transaction type, and
// the share of a transaction one call of it makes: 1 for one a transaction, 0 for its other
// statements.
std::string tagged(const char *type, const char *share, const std::string &sql) {
  return std::string("/* tpcc-run ") + type + " " + share + " */ " + sql;
}

using Statements = std::vector<std::pair<const char *, std::string>>;

// The statements of both modes: settling a lost commit.
const Statements &settling() {
  static const Statements all = {
      {"backend_alive", "SELECT count(*) FROM pg_stat_activity WHERE pid = $1"},
      {"proof_new_order", "SELECT o_id FROM orders WHERE o_w_id = $1 AND o_d_id = $2"
                          " AND o_entry_d = $3::timestamp"},
      {"proof_payment", "SELECT 1 FROM history WHERE h_w_id = $1 AND h_d_id = $2"
                        " AND h_date = $3::timestamp"},
      {"proof_delivery", "SELECT ol_d_id, min(ol_o_id) FROM order_line WHERE ol_w_id = $1"
                         " AND ol_delivery_d = $2::timestamp GROUP BY ol_d_id"},
  };
  return all;
}

const Statements &plain() {
  static const Statements all = {
      {"no_district",
       tagged("new_order", "0",
              "UPDATE district SET d_next_o_id = d_next_o_id + 1 FROM warehouse, customer"
              " WHERE d_w_id = $1 AND d_id = $2 AND w_id = $1 AND c_w_id = $1"
              " AND c_d_id = $2 AND c_id = $3"
              " RETURNING d_tax, d_next_o_id - 1, w_tax, c_discount, c_last, c_credit")},
      {"no_stock_lock", tagged("new_order", "0",
                               "SELECT 1 FROM stock WHERE (s_w_id, s_i_id) IN"
                               " (SELECT * FROM unnest($1::int[], $2::int[]))"
                               " ORDER BY s_w_id, s_i_id FOR UPDATE")},
      {"no_order", tagged("new_order", "1", new_order_sql())},
      {"pay_by_id", tagged("payment", "1", payment_sql(pick_by_id(3, 4, 6)))},
      {"pay_by_name", tagged("payment", "1", payment_sql(pick_by_name(3, 4, 6)))},
      {"os_by_id", tagged("order_status", "1", order_status_sql(pick_by_id(1, 2, 3)))},
      {"os_by_name", tagged("order_status", "1", order_status_sql(pick_by_name(1, 2, 3)))},
      {"dl_district",
       tagged("delivery", "0.1",
              "WITH n AS (DELETE FROM new_order WHERE no_w_id = $1::int AND no_d_id = $2::int"
              "  AND no_o_id = (SELECT min(no_o_id) FROM new_order"
              "   WHERE no_w_id = $1::int AND no_d_id = $2::int) RETURNING no_o_id),"
              " o AS (UPDATE orders SET o_carrier_id = $3::int FROM n"
              "  WHERE o_w_id = $1::int AND o_d_id = $2::int AND o_id = n.no_o_id"
              "  RETURNING o_id, o_c_id),"
              " l AS (UPDATE order_line SET ol_delivery_d = $4::timestamp FROM n"
              "  WHERE ol_w_id = $1::int AND ol_d_id = $2::int AND ol_o_id = n.no_o_id"
              "  RETURNING ol_amount),"
              " c AS (UPDATE customer SET c_balance = c_balance + (SELECT sum(ol_amount) FROM l),"
              "  c_delivery_cnt = c_delivery_cnt + 1 FROM o"
              "  WHERE c_w_id = $1::int AND c_d_id = $2::int AND c_id = o.o_c_id RETURNING c_id)"
              " SELECT o.o_id, (SELECT count(*) FROM c) FROM o")},
      {"sl_count", tagged("stock_level", "1",
                          "SELECT count(DISTINCT s_i_id) FROM district"
                          " JOIN order_line ON ol_w_id = d_w_id AND ol_d_id = d_id"
                          "  AND ol_o_id >= d_next_o_id - 20 AND ol_o_id < d_next_o_id"
                          " JOIN stock ON s_w_id = ol_w_id AND s_i_id = ol_i_id"
                          " WHERE d_w_id = $1 AND d_id = $2 AND s_quantity < $3")},
  };
  return all;
}

const Statements &procedure_calls() {
  static const Statements all = {
      {"no_call",
       tagged("new_order", "1",
              "SELECT * FROM tpcc_new_order($1::int, $2::int, $3::int, $4::int[], $5::int[],"
              " $6::int[], $7::timestamp)")},
      {"pay_by_id", tagged("payment", "1",
                           "SELECT * FROM tpcc_payment($1::int, $2::int, $3::int, $4::int,"
                           " $5::numeric, $6::int, NULL, $7::timestamp)")},
      {"pay_by_name", tagged("payment", "1",
                             "SELECT * FROM tpcc_payment($1::int, $2::int, $3::int, $4::int,"
                             " $5::numeric, NULL, $6::text, $7::timestamp)")},
      {"os_by_id", tagged("order_status", "1",
                          "SELECT * FROM tpcc_order_status($1::int, $2::int, $3::int, NULL)")},
      {"os_by_name", tagged("order_status", "1",
                            "SELECT * FROM tpcc_order_status($1::int, $2::int, NULL, $3::text)")},
      {"dl_call",
       tagged("delivery", "1", "SELECT * FROM tpcc_delivery($1::int, $2::int, $3::timestamp)")},
      {"sl_count",
       tagged("stock_level", "1", "SELECT tpcc_stock_level($1::int, $2::int, $3::int)")},
  };
  return all;
}

std::string str(long long v) {
  return std::to_string(v);
}

// Sends the queued statements with COMMIT and clears the proof.
Task<std::vector<pg::Result>> finish(Session &s) {
  s.conn.send_sql("COMMIT");
  std::vector<pg::Result> r = co_await s.conn.synced();
  s.pending = Proof{};
  co_return r;
}

// A delivery's results from its proof's rows: per district, the order it delivered.
DeliveryResult delivered_orders(const pg::Result &rows) {
  DeliveryResult out;
  for (int row = 0; row < PQntuples(rows.get()); ++row) {
    const long long d = pg::integer(rows, row, 0);
    if (d >= 1 && d <= 10 && out.o_id[static_cast<size_t>(d - 1)] == 0) {
      out.o_id[static_cast<size_t>(d - 1)] = static_cast<int>(pg::integer(rows, row, 1));
      ++out.delivered;
    }
  }
  out.skipped = 10 - out.delivered;
  return out;
}

} // namespace

Session::Session(const std::string &conninfo, Mode m)
    : conn(conninfo), mode(m), backend_pid(PQbackendPID(conn.get())) {
  (void)PQsetNoticeProcessor(
      conn.get(), [](void *, const char *) {}, nullptr);
  conn.exec("SET SESSION CHARACTERISTICS AS TRANSACTION ISOLATION LEVEL READ COMMITTED");
  for (const auto &[name, sql] : settling()) {
    conn.prepare(name, sql);
  }
  for (const auto &[name, sql] : mode == Mode::procedures ? procedure_calls() : plain()) {
    conn.prepare(name, sql);
  }
}

void Session::reset() {
  pending = Proof{};
  if (conn.ok() && PQtransactionStatus(conn.get()) != PQTRANS_IDLE) {
    conn.exec("ROLLBACK");
  }
}

namespace {

// The lines of a New-Order's answer, one row each from column 0: brand-generic, OL_AMOUNT,
// I_NAME, I_PRICE, S_QUANTITY.
void read_lines(const pg::Result &rows, NewOrderResult &out) {
  const int lines = PQntuples(rows.get());
  out.line.resize(static_cast<size_t>(lines));
  for (int l = 0; l < lines; ++l) {
    NewOrderLineResult &line = out.line[static_cast<size_t>(l)];
    line.brand_generic = *pg::text(rows, l, 0);
    line.amount_cents = pg::cents(rows, l, 1);
    line.i_name = pg::text(rows, l, 2);
    line.price_cents = pg::cents(rows, l, 3);
    line.s_quantity = static_cast<int>(pg::integer(rows, l, 4));
    out.amount_cents += line.amount_cents;
  }
  out.lines = lines;
}

// The rest of a New-Order's answer from the row holding D_TAX, O_ID, W_TAX and C_DISCOUNT
// from column col.
void read_order(const pg::Result &rows, int col, NewOrderResult &out) {
  if (PQntuples(rows.get()) < 1) { // no such district: nothing changed
    throw pg::Error("New-Order found no district", "P0002");
  }
  out.o_id = static_cast<int>(pg::integer(rows, 0, col + 1));
  const double d_tax = pg::real(rows, 0, col);
  const double w_tax = pg::real(rows, 0, col + 2);
  const double discount = pg::real(rows, 0, col + 3);
  out.total = static_cast<double>(out.amount_cents) / 100 * (1 - discount) * (1 + w_tax + d_tax);
}

} // namespace

Task<> new_order(Session &s, const NewOrderInput &in, NewOrderResult &out) {
  out = NewOrderResult{};
  std::vector<long long> items;
  std::vector<long long> suppliers;
  std::vector<long long> quantities;
  for (int l = 0; l < in.ol_cnt; ++l) {
    items.push_back(in.line[l].i_id);
    suppliers.push_back(in.line[l].supply_w_id);
    quantities.push_back(in.line[l].quantity);
  }
  const std::string w = str(in.w_id);
  const std::string d = str(in.d_id);
  const std::string c = str(in.c_id);
  const std::string item_list = pg::int_array(items);
  const std::string supplier_list = pg::int_array(suppliers);
  const std::string entered = db::unique_timestamp();
  // One implicit transaction, committed by the pipeline's sync or rolled back by its error.
  if (s.mode == Mode::procedures) {
    s.conn.send("no_call", {w, d, c, item_list, supplier_list, pg::int_array(quantities), entered});
  } else {
    s.conn.send("no_district", {w, d, c});
    s.conn.send("no_stock_lock", {supplier_list, item_list});
    s.conn.send("no_order",
                {w, d, c, item_list, supplier_list, pg::int_array(quantities), entered});
  }
  s.pending = {TX_NEW_ORDER, in.w_id, in.d_id, entered};
  std::vector<pg::Result> r;
  try {
    r = co_await s.conn.synced();
  } catch (const pg::Error &e) {
    if (e.sqlstate() != "22012") { // anything but "Item number is not valid"
      throw;
    }
  }
  s.pending = Proof{};
  if (r.empty()) {
    out.rolled_back = true;
    co_return;
  }
  if (s.mode == Mode::procedures) {
    read_lines(r[0], out);
    read_order(r[0], 5, out);
  } else {
    read_lines(r[2], out);
    read_order(r[0], 0, out);
  }
  co_return;
}

Task<> payment(Session &s, const PaymentInput &in, PaymentResult &out) {
  out = PaymentResult{};
  const std::string when = db::unique_timestamp();
  s.pending = {TX_PAYMENT, in.w_id, in.d_id, when};
  s.conn.send(in.by_name != 0 ? "pay_by_name" : "pay_by_id",
              {str(in.w_id), str(in.d_id), str(in.c_w_id), str(in.c_d_id),
               db::money(in.h_amount_cents), in.by_name != 0 ? in.c_last : str(in.c_id), when});
  const std::vector<pg::Result> r = co_await s.conn.synced(); // one statement: its own transaction
  s.pending = Proof{};
  if (PQntuples(r[0].get()) != 1) {
    throw pg::Error("Payment found no customer", "P0002");
  }
  out.c_id = static_cast<int>(pg::integer(r[0], 0, 0));
  out.balance_cents = pg::cents(r[0], 0, 1);
  out.credit = pg::text(r[0], 0, 2);
  out.data = pg::text(r[0], 0, 3);
  co_return;
}

Task<> order_status(Session &s, const OrderStatusInput &in, OrderStatusResult &out) {
  out = OrderStatusResult{};
  s.conn.send(in.by_name != 0 ? "os_by_name" : "os_by_id",
              {str(in.w_id), str(in.d_id), in.by_name != 0 ? in.c_last : str(in.c_id)});
  const std::vector<pg::Result> r = co_await s.conn.synced();
  if (PQntuples(r[0].get()) < 1) {
    throw pg::Error("Order-Status found no customer", "P0002");
  }
  out.c_id = static_cast<int>(pg::integer(r[0], 0, 0));
  out.balance_cents = pg::cents(r[0], 0, 1);
  out.o_id = static_cast<int>(pg::integer(r[0], 0, 2));
  out.lines = PQgetisnull(r[0].get(), 0, 3) != 0 ? 0 : PQntuples(r[0].get());
  co_return;
}

Task<> delivery(Session &s, const DeliveryInput &in, DeliveryResult &out) {
  out = DeliveryResult{};
  const std::string when = db::unique_timestamp();
  s.pending = {TX_DELIVERY, in.w_id, 0, when};
  if (s.mode == Mode::procedures) {
    s.conn.send("dl_call", {str(in.w_id), str(in.o_carrier_id), when});
    const std::vector<pg::Result> r = co_await s.conn.synced();
    s.pending = Proof{};
    out = delivered_orders(r[0]);
    co_return;
  }
  s.conn.send_sql("BEGIN");
  for (int d = 1; d <= 10; ++d) {
    s.conn.send("dl_district", {str(in.w_id), str(d), str(in.o_carrier_id), when});
  }
  std::vector<pg::Result> r = co_await finish(s);
  r.erase(r.begin());
  for (size_t d = 0; d < 10; ++d) {
    const bool delivered = PQntuples(r[d].get()) == 1;
    out.o_id[d] = delivered ? static_cast<int>(pg::integer(r[d], 0, 0)) : 0;
    out.delivered += delivered ? 1 : 0;
  }
  out.skipped = 10 - out.delivered;
  co_return;
}

Task<> stock_level(Session &s, const StockLevelInput &in, StockLevelResult &out) {
  s.conn.send("sl_count", {str(in.w_id), str(in.d_id), str(in.threshold)});
  const std::vector<pg::Result> r = co_await s.conn.synced();
  out.low_stock = static_cast<int>(pg::integer(r[0], 0, 0));
  co_return;
}

bool found(Session &s, const Proof &proof, DeliveryResult *delivered) {
  const std::string w = str(proof.w_id);
  if (proof.type == TX_DELIVERY) {
    s.conn.send("proof_delivery", {w, proof.stamp});
  } else {
    s.conn.send(proof.type == TX_NEW_ORDER ? "proof_new_order" : "proof_payment",
                {w, str(proof.d_id), proof.stamp});
  }
  const std::vector<pg::Result> r = s.conn.sync();
  if (PQntuples(r[0].get()) == 0) {
    return false;
  }
  if (delivered != nullptr && proof.type == TX_DELIVERY) {
    *delivered = delivered_orders(r[0]);
  }
  return true;
}

Settled Session::settle(const Proof &proof, int old_id, DeliveryResult *delivered) {
  const std::string pid = std::to_string(old_id);
  for (int tries = 0;; ++tries) { // every 50 ms
    conn.send("backend_alive", {pid});
    if (pg::integer(conn.sync()[0], 0, 0) == 0) {
      break;
    }
    if (tries == 100) {
      conn.exec("SELECT pg_terminate_backend($1)", {pid});
    }
    if (tries == 600) {
      return Settled::unknown;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return found(*this, proof, delivered) ? Settled::committed : Settled::not_committed;
}

Task<> Session::new_order(const NewOrderInput &in, NewOrderResult &out) {
  return tx::new_order(*this, in, out);
}
Task<> Session::payment(const PaymentInput &in, PaymentResult &out) {
  return tx::payment(*this, in, out);
}
Task<> Session::order_status(const OrderStatusInput &in, OrderStatusResult &out) {
  return tx::order_status(*this, in, out);
}
Task<> Session::delivery(const DeliveryInput &in, DeliveryResult &out) {
  return tx::delivery(*this, in, out);
}
Task<> Session::stock_level(const StockLevelInput &in, StockLevelResult &out) {
  return tx::stock_level(*this, in, out);
}

} // namespace tx
