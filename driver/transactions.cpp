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
#include <cstring>
#include <ctime>
#include <thread>
#include <utility>

namespace tx {

namespace {

// The customer a Payment or Order-Status names: by number, or the one at position ceil(n/2)
// of the n with that last name, sorted by first name; $w, $d the district, $p the key.
std::string pick_by_id(int p) {
  return "SELECT $" + std::to_string(p) + "::int AS id";
}
std::string pick_by_name(int w, int d, int p) {
  return "SELECT c_id AS id FROM (SELECT c_id, row_number() OVER (ORDER BY c_first, c_id) AS k,"
         " count(*) OVER () AS n FROM customer WHERE c_w_id = $" +
         std::to_string(w) + "::int AND c_d_id = $" + std::to_string(d) + "::int AND c_last = $" +
         std::to_string(p) + "::text) AS named WHERE k = (n + 1) / 2";
}

std::string stock_dist_column() {
  std::string s = "CASE $3::int";
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
         " w AS (UPDATE warehouse SET w_ytd = w_ytd + $5::numeric WHERE w_id = $1::int"
         "  RETURNING w_name, w_street_1, w_street_2, w_city, w_state, w_zip),"
         " d AS (UPDATE district SET d_ytd = d_ytd + $5::numeric"
         "  WHERE d_w_id = $1::int AND d_id = $2::int"
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

const std::vector<std::pair<const char *, std::string>> &statements() {
  static const std::vector<std::pair<const char *, std::string>> all = {
      {"backend_alive", "SELECT count(*) FROM pg_stat_activity WHERE pid = $1"},
      {"proof_new_order", "SELECT count(*) FROM orders WHERE o_w_id = $1 AND o_d_id = $2"
                          " AND o_id = $3 AND o_entry_d = $4::timestamp"},
      {"proof_payment", "SELECT count(*) FROM history WHERE h_w_id = $1 AND h_d_id = $2"
                        " AND h_date = $3::timestamp"},
      {"proof_delivery", "SELECT count(*) FROM order_line WHERE ol_w_id = $1"
                         " AND ol_delivery_d = $2::timestamp"},
      {"no_district", "UPDATE district SET d_next_o_id = d_next_o_id + 1"
                      " WHERE d_w_id = $1 AND d_id = $2 RETURNING d_tax, d_next_o_id - 1"},
      {"no_customer", "SELECT w_tax, c_discount, c_last, c_credit FROM warehouse, customer"
                      " WHERE w_id = $1 AND c_w_id = $1 AND c_d_id = $2 AND c_id = $3"},
      {"no_items", "SELECT i_id, i_price, i_name, i_data FROM item WHERE i_id = ANY($1::int[])"},
      {"no_stock", "SELECT s_w_id, s_i_id, s_quantity, " + stock_dist_column() +
                       ", s_data FROM stock"
                       " WHERE (s_w_id, s_i_id) IN (SELECT * FROM unnest($1::int[], $2::int[]))"
                       " ORDER BY s_w_id, s_i_id FOR UPDATE"},
      {"no_stock_update",
       "UPDATE stock SET s_quantity = u.q, s_ytd = s_ytd + u.ytd,"
       " s_order_cnt = s_order_cnt + u.cnt, s_remote_cnt = s_remote_cnt + u.remote"
       " FROM unnest($1::int[], $2::int[], $3::int[], $4::int[], $5::int[], $6::int[])"
       "  AS u(w, i, q, ytd, cnt, remote) WHERE s_w_id = u.w AND s_i_id = u.i"},
      {"no_order", "INSERT INTO orders VALUES ($1, $2, $3, $4, $7::timestamp, NULL, $5, $6)"},
      {"no_new_order", "INSERT INTO new_order VALUES ($1, $2, $3)"},
      {"no_lines", "INSERT INTO order_line SELECT $1::int, $2::int, $3::int, n, i, sw, NULL, q,"
                   " a::numeric / 100, dist FROM unnest($4::int[], $5::int[], $6::int[],"
                   " $7::int[], $8::int[], $9::text[]) AS l(n, i, sw, q, a, dist)"},
      {"pay_by_id", payment_sql(pick_by_id(6))},
      {"pay_by_name", payment_sql(pick_by_name(3, 4, 6))},
      {"os_by_id", order_status_sql(pick_by_id(3))},
      {"os_by_name", order_status_sql(pick_by_name(1, 2, 3))},
      {"dl_district",
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
       " SELECT o.o_id, (SELECT count(*) FROM c) FROM o"},
      {"sl_count", "SELECT count(DISTINCT s_i_id) FROM district"
                   " JOIN order_line ON ol_w_id = d_w_id AND ol_d_id = d_id"
                   "  AND ol_o_id >= d_next_o_id - 20 AND ol_o_id < d_next_o_id"
                   " JOIN stock ON s_w_id = ol_w_id AND s_i_id = ol_i_id"
                   " WHERE d_w_id = $1 AND d_id = $2 AND s_quantity < $3"},
  };
  return all;
}

std::string str(long long v) {
  return std::to_string(v);
}

std::string money(long long cents) {
  char s[32];
  (void)std::snprintf(s, sizeof s, "%s%lld.%02lld", cents < 0 ? "-" : "", std::llabs(cents) / 100,
                      std::llabs(cents) % 100);
  return s;
}

std::string text_array(const std::vector<std::string> &values) {
  std::string s = "{";
  for (const std::string &v : values) {
    s.append(s.size() > 1 ? ",\"" : "\"");
    for (const char ch : v) {
      if (ch == '"' || ch == '\\') {
        s.push_back('\\');
      }
      s.push_back(ch);
    }
    s.push_back('"');
  }
  return s.append("}");
}

// A local "YYYY-MM-DD hh:mm:ss.uuuuuu" that no other call in this process returns.
std::string unique_timestamp() {
  static std::atomic<int64_t> last{0};
  timespec now{};
  (void)clock_gettime(CLOCK_REALTIME, &now);
  const int64_t us = int64_t{now.tv_sec} * 1'000'000 + now.tv_nsec / 1000;
  int64_t prev = last.load();
  int64_t mine = 0;
  do {
    mine = std::max(us, prev + 1);
  } while (!last.compare_exchange_weak(prev, mine));
  thread_local time_t shown = -1;
  thread_local char seconds[24];
  const time_t second = mine / 1'000'000;
  if (second != shown) {
    tm local{};
    (void)localtime_r(&second, &local);
    (void)std::strftime(seconds, sizeof seconds, "%Y-%m-%d %H:%M:%S", &local);
    shown = second;
  }
  char text[40];
  (void)std::snprintf(text, sizeof text, "%s.%06lld", seconds,
                      static_cast<long long>(mine % 1'000'000));
  return text;
}

// Sends the queued statements with how (COMMIT or ROLLBACK) and clears the proof.
Task<std::vector<pg::Result>> finish(Session &s, const char *how = "COMMIT") {
  s.conn.send_sql(how);
  std::vector<pg::Result> r = co_await s.conn.synced();
  s.pending = Proof{};
  co_return r;
}

// A stock row a New-Order locks: its key, what it read, and what its lines add.
struct StockRow {
  int w = 0, i = 0;
  bool found = false;
  long long quantity = 0;
  std::string dist;
  bool original = false;
  long long ytd = 0, count = 0, remote = 0;
};

StockRow *find_stock(std::vector<StockRow> &stock, int w, int i) {
  const auto at = std::find_if(stock.begin(), stock.end(),
                               [&](const StockRow &st) { return st.w == w && st.i == i; });
  return at != stock.end() ? &*at : nullptr;
}

struct Item {
  long long id, price_cents;
  bool original;
};

// The order's lines, and the stock rows' new values, as the columns of their statements.
struct Lines {
  std::vector<long long> number, item, supply, quantity, amount;
  std::vector<std::string> dist;
};
struct StockUpdates {
  std::vector<long long> w, i, quantity, ytd, count, remote;
};

} // namespace

Session::Session(const std::string &conninfo)
    : conn(conninfo), backend_pid(PQbackendPID(conn.get())) {
  (void)PQsetNoticeProcessor(
      conn.get(), [](void *, const char *) {}, nullptr);
  conn.exec("SET SESSION CHARACTERISTICS AS TRANSACTION ISOLATION LEVEL READ COMMITTED");
  for (const auto &[name, sql] : statements()) {
    conn.prepare(name, sql);
  }
}

void Session::reset() {
  pending = Proof{};
  if (conn.ok() && PQtransactionStatus(conn.get()) != PQTRANS_IDLE) {
    conn.exec("ROLLBACK");
  }
}

Task<> new_order(Session &s, const NewOrderInput &in, NewOrderResult &out) {
  out = NewOrderResult{};
  const auto count = static_cast<size_t>(in.ol_cnt);
  std::vector<long long> item_ids;
  item_ids.reserve(count);
  std::vector<StockRow> stock; // one per (supplier, item), in the order the lines name them
  stock.reserve(count);
  bool all_local = true;
  for (int l = 0; l < in.ol_cnt; ++l) {
    const NewOrderLine &line = in.line[l];
    item_ids.push_back(line.i_id);
    if (find_stock(stock, line.supply_w_id, line.i_id) == nullptr) {
      StockRow row;
      row.w = line.supply_w_id;
      row.i = line.i_id;
      stock.push_back(row);
    }
    all_local = all_local && line.supply_w_id == in.w_id;
  }
  std::vector<long long> keys_w;
  std::vector<long long> keys_i;
  for (const StockRow &st : stock) {
    keys_w.push_back(st.w);
    keys_i.push_back(st.i);
  }
  const std::string w = str(in.w_id);
  const std::string d = str(in.d_id);
  s.conn.send_sql("BEGIN");
  s.conn.send("no_district", {w, d});
  s.conn.send("no_customer", {w, d, str(in.c_id)});
  s.conn.send("no_items", {pg::int_array(item_ids)});
  s.conn.send("no_stock", {pg::int_array(keys_w), pg::int_array(keys_i), d});
  std::vector<pg::Result> r = co_await s.conn.synced();
  r.erase(r.begin());
  out.o_id = static_cast<int>(pg::integer(r[0], 0, 1));
  const double d_tax = pg::real(r[0], 0, 0);
  const double w_tax = pg::real(r[1], 0, 0);
  const double discount = pg::real(r[1], 0, 1);
  std::vector<Item> items;
  items.reserve(count);
  for (int row = 0; row < PQntuples(r[2].get()); ++row) {
    items.push_back({pg::integer(r[2], row, 0), pg::cents(r[2], row, 1),
                     std::strstr(pg::text(r[2], row, 3), "ORIGINAL") != nullptr});
  }
  std::sort(item_ids.begin(), item_ids.end());
  if (items.size() !=
      static_cast<size_t>(std::unique(item_ids.begin(), item_ids.end()) - item_ids.begin())) {
    // "Item number is not valid": the district's update goes too
    (void)co_await finish(s, "ROLLBACK");
    out.rolled_back = true;
    co_return;
  }
  for (int row = 0; row < PQntuples(r[3].get()); ++row) {
    StockRow *st = find_stock(stock, static_cast<int>(pg::integer(r[3], row, 0)),
                              static_cast<int>(pg::integer(r[3], row, 1)));
    if (st != nullptr) {
      st->found = true;
      st->quantity = pg::integer(r[3], row, 2);
      st->dist = pg::text(r[3], row, 3);
      st->original = std::strstr(pg::text(r[3], row, 4), "ORIGINAL") != nullptr;
    }
  }
  Lines lines;
  for (int l = 0; l < in.ol_cnt; ++l) {
    const NewOrderLine &line = in.line[l];
    StockRow *row = find_stock(stock, line.supply_w_id, line.i_id);
    if (row == nullptr || !row->found) {
      throw pg::Error("no stock row for item " + str(line.i_id), "P0002");
    }
    StockRow &st = *row;
    const Item &item = *std::find_if(items.begin(), items.end(),
                                     [&](const Item &it) { return it.id == line.i_id; });
    st.quantity = st.quantity - line.quantity >= 10 ? st.quantity - line.quantity
                                                    : st.quantity - line.quantity + 91;
    st.ytd += line.quantity;
    st.count += 1;
    st.remote += line.supply_w_id != in.w_id ? 1 : 0;
    lines.number.push_back(l + 1);
    lines.item.push_back(line.i_id);
    lines.supply.push_back(line.supply_w_id);
    lines.quantity.push_back(line.quantity);
    lines.amount.push_back(line.quantity * item.price_cents);
    lines.dist.push_back(st.dist);
    out.brand_generic.push_back(item.original && st.original ? 'B' : 'G');
    out.amount_cents += lines.amount.back();
  }
  // The stock rows in key order, as they were locked.
  std::sort(stock.begin(), stock.end(), [](const StockRow &a, const StockRow &b) {
    return std::make_pair(a.w, a.i) < std::make_pair(b.w, b.i);
  });
  StockUpdates updates;
  for (const StockRow &st : stock) {
    updates.w.push_back(st.w);
    updates.i.push_back(st.i);
    updates.quantity.push_back(st.quantity);
    updates.ytd.push_back(st.ytd);
    updates.count.push_back(st.count);
    updates.remote.push_back(st.remote);
  }
  const std::string o = str(out.o_id);
  const std::string entered = unique_timestamp();
  s.conn.send("no_stock_update", {pg::int_array(updates.w), pg::int_array(updates.i),
                                  pg::int_array(updates.quantity), pg::int_array(updates.ytd),
                                  pg::int_array(updates.count), pg::int_array(updates.remote)});
  s.conn.send("no_order", {o, d, w, str(in.c_id), str(in.ol_cnt), all_local ? "1" : "0", entered});
  s.conn.send("no_new_order", {o, d, w});
  s.conn.send("no_lines", {o, d, w, pg::int_array(lines.number), pg::int_array(lines.item),
                           pg::int_array(lines.supply), pg::int_array(lines.quantity),
                           pg::int_array(lines.amount), text_array(lines.dist)});
  out.lines = in.ol_cnt;
  s.pending = {"proof_new_order", {w, d, o, entered}};
  (void)co_await finish(s);
  out.total = static_cast<double>(out.amount_cents) / 100 * (1 - discount) * (1 + w_tax + d_tax);
  co_return;
}

Task<> payment(Session &s, const PaymentInput &in, PaymentResult &out) {
  out = PaymentResult{};
  const std::string when = unique_timestamp();
  s.pending = {"proof_payment", {str(in.w_id), str(in.d_id), when}};
  s.conn.send(in.by_name != 0 ? "pay_by_name" : "pay_by_id",
              {str(in.w_id), str(in.d_id), str(in.c_w_id), str(in.c_d_id), money(in.h_amount_cents),
               in.by_name != 0 ? in.c_last : str(in.c_id), when});
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
  const std::string when = unique_timestamp();
  s.pending = {"proof_delivery", {str(in.w_id), when}};
  s.conn.send_sql("BEGIN");
  for (int d = 1; d <= 10; ++d) {
    s.conn.send("dl_district", {str(in.w_id), str(d), str(in.o_carrier_id), when});
  }
  std::vector<pg::Result> r = co_await finish(s);
  r.erase(r.begin());
  for (size_t d = 0; d < 10; ++d) {
    const bool found = PQntuples(r[d].get()) == 1;
    out.o_id[d] = found ? static_cast<int>(pg::integer(r[d], 0, 0)) : 0;
    out.delivered += found ? 1 : 0;
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

bool committed(Session &fresh, const Proof &proof, int old_pid) {
  for (int tries = 0; tries < 100; ++tries) { // 5 s at most: a server that never says stays unknown
    fresh.conn.send("backend_alive", {std::to_string(old_pid)});
    if (pg::integer(fresh.conn.sync()[0], 0, 0) == 0) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  fresh.conn.send(proof.statement, proof.params);
  const std::vector<pg::Result> r = fresh.conn.sync();
  return pg::integer(r[0], 0, 0) > 0;
}

} // namespace tx
