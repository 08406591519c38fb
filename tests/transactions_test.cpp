// Each transaction's effect on a loaded two-warehouse database, against the
// rules it must follow, on PostgreSQL (as statements and as calls of the
// kit's functions) and on MariaDB by the same cases.  Every test works on
// warehouses, districts, items and customers of its own, so they hold in any
// order.
#include "mariadb/my.h"
#include "mariadb/schema.h"
#include "mariadb/transactions.h"
#include "postgresql/schema.h"
#include "postgresql/transactions.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <functional>
#include <iostream>
#include <set>
#include <string>
#include <thread>

namespace {

std::string first_line(const char *file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

struct Kind {
  const char *name;
  bool mariadb;
  db::Mode mode;
};
void PrintTo(const Kind &k, std::ostream *out) {
  *out << k.name;
}

// The test's own reads and writes, in SQL both databases take: '?' marks a parameter.
class Sql {
public:
  virtual ~Sql() = default;
  // The rows of sql's last result, each field as text ("(null)" for NULL).
  virtual std::vector<std::vector<std::string>> rows(const std::string &sql,
                                                     const std::vector<std::string> &params) = 0;
};

class PgSql : public Sql {
public:
  explicit PgSql(const std::string &dsn) : conn_(dsn) {}
  std::vector<std::vector<std::string>> rows(const std::string &sql,
                                             const std::vector<std::string> &params) override {
    std::string numbered;
    int n = 0;
    for (const char c : sql) {
      numbered += c == '?' ? "$" + std::to_string(++n) : std::string(1, c);
    }
    const pg::Result r = conn_.exec(numbered, params);
    std::vector<std::vector<std::string>> out(static_cast<size_t>(PQntuples(r.get())));
    for (size_t row = 0; row < out.size(); ++row) {
      for (int col = 0; col < PQnfields(r.get()); ++col) {
        const bool null = PQgetisnull(r.get(), static_cast<int>(row), col) != 0;
        out[row].emplace_back(null ? "(null)" : pg::text(r, static_cast<int>(row), col));
      }
    }
    return out;
  }

private:
  pg::Connection conn_;
};

class MySql : public Sql {
public:
  explicit MySql(const std::string &dsn) : conn_(my::parse_uri(dsn)) {}
  std::vector<std::vector<std::string>> rows(const std::string &sql,
                                             const std::vector<std::string> &params) override {
    std::string text;
    size_t n = 0;
    for (const char c : sql) {
      if (c != '?') {
        text += c;
        continue;
      }
      const std::string &p = params.at(n++);
      const bool digits = !p.empty() && p.find_first_not_of("0123456789") == std::string::npos;
      text += digits ? p : my::quote(conn_, p); // LIMIT and OFFSET take numbers only
    }
    const std::vector<my::Result> all = conn_.exec(text);
    const my::Result &r = all.back();
    std::vector<std::vector<std::string>> out(r.rows());
    const unsigned fields = r.rows() > 0 ? mysql_field_count(conn_.get()) : 0;
    for (size_t row = 0; row < out.size(); ++row) {
      for (unsigned col = 0; col < fields; ++col) {
        out[row].emplace_back(r.null(row, col) ? "(null)" : r.text(row, col));
      }
    }
    return out;
  }

private:
  my::Connection conn_;
};

std::string dsn(const Kind &k) {
  return first_line(k.mariadb ? TPCC_MY_DSN_FILE : TPCC_DSN_FILE);
}

std::unique_ptr<Sql> sql_connection(const Kind &k) {
  if (k.mariadb) {
    return std::make_unique<MySql>(dsn(k));
  }
  return std::make_unique<PgSql>(dsn(k));
}

class Transactions : public testing::TestWithParam<Kind> {
protected:
  std::unique_ptr<db::Database> database = db::open(dsn(GetParam()));
  std::unique_ptr<db::Session> s = database->session(GetParam().mode);
  std::unique_ptr<Sql> sql = sql_connection(GetParam());

  // The first field of the first row of sql.
  std::string one(const std::string &text, const std::vector<std::string> &params = {}) {
    const auto r = sql->rows(text, params);
    return r.empty() ? "(none)" : r[0][0];
  }
  long long number(const std::string &text, const std::vector<std::string> &params = {}) {
    return std::stoll(one(text, params));
  }
  // Every field of the first row of sql, as numbers.
  std::vector<double> row(const std::string &text, const std::vector<std::string> &params = {}) {
    const auto r = sql->rows(text, params);
    std::vector<double> out;
    for (size_t col = 0; !r.empty() && col < r[0].size(); ++col) {
      out.push_back(std::stod(r[0][col]));
    }
    return out;
  }
  // Whether the session holds no open transaction.
  bool idle() {
    if (GetParam().mariadb) {
      auto &m = dynamic_cast<my_tx::Session &>(*s);
      return m.conn.exec("SELECT @@in_transaction")[0].integer(0, 0) == 0;
    }
    return PQtransactionStatus(dynamic_cast<tx::Session &>(*s).conn.get()) == PQTRANS_IDLE;
  }
  // Whether the rows of proof's transaction are there.
  bool committed(const db::Proof &p) {
    const std::string w = std::to_string(p.w_id);
    const std::string d = std::to_string(p.d_id);
    switch (p.type) {
    case TX_NEW_ORDER:
      return number("SELECT count(*) FROM orders WHERE o_w_id = ? AND o_d_id = ?"
                    " AND o_entry_d = ?",
                    {w, d, p.stamp}) > 0;
    case TX_PAYMENT:
      return number("SELECT count(*) FROM history WHERE h_w_id = ? AND h_d_id = ?"
                    " AND h_date = ?",
                    {w, d, p.stamp}) > 0;
    default:
      return number("SELECT count(*) FROM order_line WHERE ol_w_id = ?"
                    " AND ol_delivery_d = ?",
                    {w, p.stamp}) > 0;
    }
  }
  // Whether the server's connection id waits for a row lock.
  bool waiting_on_lock(int id) {
    return number(GetParam().mariadb
                      ? "SELECT count(*) FROM information_schema.INNODB_TRX"
                        " WHERE trx_mysql_thread_id = ? AND trx_state = 'LOCK WAIT'"
                      : "SELECT count(*) FROM pg_locks WHERE pid = ? AND NOT granted",
                  {std::to_string(id)}) > 0;
  }
  struct Unanswered {
    db::Proof proof;
    int server_id;
    std::string failed; // why the transaction ended before its connection was closed
  };
  // Sends the transaction that begin starts on a connection of its own and closes that
  // connection unread once sent() holds, as a driver that lost the answer would; returns its
  // proof and the server process that served it.
  Unanswered send_unanswered(const std::function<Task<>(db::Session &)> &begin,
                             const std::function<bool(const db::Proof &, int)> &sent) {
    Reactor reactor;
    std::unique_ptr<db::Session> lost = database->session(GetParam().mode);
    lost->attach(&reactor);
    Task<> t = begin(*lost);
    t.start(); // sent; suspended until an answer that is never read
    Unanswered u{{}, lost->server_id(), {}};
    // MariaDB's INNODB_TRX is refreshed only when it was last read over 100 ms before.
    for (int tries = 0; tries < 40 && !t.done() && !sent(lost->pending, u.server_id); ++tries) {
      std::this_thread::sleep_for(std::chrono::milliseconds(125));
    }
    if (t.done()) { // the server answered at once: nothing was left unanswered
      try {
        t.result();
        u.failed = "answered";
      } catch (const std::exception &e) {
        u.failed = e.what();
      }
    }
    u.proof = lost->pending;
    return u;
  }
};

NewOrderInput order(int w, int d, int c, std::vector<NewOrderLine> lines) {
  NewOrderInput in{w, d, c, static_cast<int32_t>(lines.size()), 2, {}};
  std::copy(lines.begin(), lines.end(), in.line);
  return in;
}

TEST_P(Transactions, NewOrderAppliesEachLineToItsStock) {
  struct Case {
    const char *name;
    int item, quantity_before;
    std::vector<std::pair<int, int>> lines; // quantity, supplying warehouse
    double quantity_after, ytd, order_cnt, remote_cnt;
    std::vector<int> shown; // each line's S_QUANTITY as the terminal shows it
  } const cases[] = {
      {"at least 10 left", 1001, 50, {{5, 1}}, 45, 5, 1, 0, {45}},
      {"exactly 10 left", 1002, 15, {{5, 1}}, 10, 5, 1, 0, {10}},
      {"under 10: restocked by 91", 1003, 12, {{5, 1}}, 98, 5, 1, 0, {98}},
      {"one item on two lines, each on its own", 1004, 15, {{3, 1}, {4, 1}}, 99, 7, 2, 0, {12, 99}},
      {"a remote supplier counts remote", 1005, 50, {{5, 2}}, 45, 5, 1, 1, {45}},
      {"ten lines of one item, restocked twice",
       1006,
       10,
       std::vector(10, std::pair{10, 1}),
       92,
       100,
       10,
       0,
       {91, 81, 71, 61, 51, 41, 31, 21, 11, 92}},
  };
  for (const Case &c : cases) {
    const int supply = c.lines[0].second;
    const std::vector<std::string> key = {std::to_string(supply), std::to_string(c.item)};
    (void)sql->rows("UPDATE stock SET s_quantity = ? WHERE s_w_id = ? AND s_i_id = ?",
                    {std::to_string(c.quantity_before), key[0], key[1]});
    const std::vector<double> before = row(
        "SELECT s_ytd, s_order_cnt, s_remote_cnt FROM stock WHERE s_w_id = ? AND s_i_id = ?", key);
    const long long next_o_id =
        number("SELECT d_next_o_id FROM district WHERE d_w_id = 1 AND d_id = 1");
    std::vector<NewOrderLine> lines;
    for (const auto &[quantity, w] : c.lines) {
      lines.push_back({c.item, w, quantity});
    }
    db::NewOrderResult out;
    wait(s->new_order(order(1, 1, 42, lines), out));
    ASSERT_FALSE(out.rolled_back) << c.name;
    EXPECT_EQ(out.o_id, next_o_id) << c.name;
    EXPECT_EQ(number("SELECT d_next_o_id FROM district WHERE d_w_id = 1 AND d_id = 1"),
              next_o_id + 1);
    ASSERT_EQ(before.size(), 3U);
    EXPECT_EQ(row("SELECT s_quantity, s_ytd, s_order_cnt, s_remote_cnt FROM stock"
                  " WHERE s_w_id = ? AND s_i_id = ?",
                  key),
              std::vector<double>({c.quantity_after, before[0] + c.ytd, before[1] + c.order_cnt,
                                   before[2] + c.remote_cnt}))
        << c.name;
    const std::vector<std::string> o = {std::to_string(out.o_id)};
    EXPECT_EQ(one("SELECT concat(o_c_id, ' ', o_ol_cnt, ' ', o_all_local, ' ',"
                  " CASE WHEN o_carrier_id IS NULL THEN 'true' ELSE 'false' END) FROM orders"
                  " WHERE o_w_id = 1 AND o_d_id = 1 AND o_id = ?",
                  o),
              "42 " + std::to_string(c.lines.size()) + (c.remote_cnt != 0 ? " 0" : " 1") + " true")
        << c.name;
    EXPECT_EQ(
        number("SELECT count(*) FROM new_order WHERE no_w_id = 1 AND no_d_id = 1 AND no_o_id = ?",
               o),
        1);
    // Each line: its number in input order, quantity x price, the district's S_DIST.
    EXPECT_EQ(number("SELECT count(*) FROM order_line JOIN item ON i_id = ol_i_id"
                     " JOIN stock ON s_w_id = ol_supply_w_id AND s_i_id = ol_i_id"
                     " WHERE ol_w_id = 1 AND ol_d_id = 1 AND ol_o_id = ? AND ol_delivery_d IS NULL"
                     " AND ol_amount = ol_quantity * i_price AND ol_dist_info = s_dist_01",
                     o),
              static_cast<long long>(c.lines.size()))
        << c.name;
    std::vector<std::vector<std::string>> quantities;
    for (const auto &line : c.lines) {
      quantities.push_back({std::to_string(line.first)});
    }
    EXPECT_EQ(sql->rows("SELECT ol_quantity FROM order_line WHERE ol_w_id = 1 AND ol_d_id = 1"
                        " AND ol_o_id = ? ORDER BY ol_number",
                        o),
              quantities)
        << c.name;
    EXPECT_EQ(out.lines, static_cast<int>(c.lines.size())) << c.name;
    const std::string item =
        one("SELECT concat(i_name, ' ', round(i_price * 100)) FROM item WHERE i_id = ?", {key[1]});
    ASSERT_EQ(out.line.size(), c.lines.size()) << c.name;
    for (size_t l = 0; l < c.lines.size(); ++l) {
      const db::NewOrderLineResult &shown = out.line[l];
      EXPECT_EQ(shown.i_name + " " + std::to_string(shown.price_cents), item) << c.name;
      EXPECT_EQ(shown.s_quantity, c.shown[l]) << c.name << ", line " << l + 1;
      EXPECT_EQ(shown.amount_cents, c.lines[l].first * shown.price_cents) << c.name;
    }
  }
}

TEST_P(Transactions, ANewOrderThatCannotBeTakenChangesNothing) {
  struct Case {
    const char *name;
    NewOrderInput in;
    bool rolled_back; // as the terminal is told; else the transaction fails with an error
  } const cases[] = {
      {"an unused item number", order(1, 7, 9, {{2001, 1, 5}, {TPCC_UNUSED_ITEM, 1, 1}}), true},
      {"no such customer", order(1, 7, 3001, {{2001, 1, 5}}), false},
      {"no such district", order(1, 11, 9, {{2001, 1, 5}}), false},
  };
  for (const Case &c : cases) {
    const std::string next = one("SELECT d_next_o_id FROM district WHERE d_w_id = 1 AND d_id = 7");
    const std::string stock =
        one("SELECT concat(s_quantity, ' ', s_ytd) FROM stock WHERE s_w_id = 1 AND s_i_id = 2001");
    db::NewOrderResult out;
    std::string sqlstate;
    try {
      wait(s->new_order(c.in, out));
    } catch (const db::Error &e) {
      sqlstate = e.code();
    }
    EXPECT_EQ(sqlstate.empty(), c.rolled_back) << c.name << ": " << sqlstate;
    EXPECT_EQ(out.rolled_back, c.rolled_back) << c.name;
    EXPECT_EQ(one("SELECT d_next_o_id FROM district WHERE d_w_id = 1 AND d_id = 7"), next)
        << c.name;
    EXPECT_EQ(
        one("SELECT concat(s_quantity, ' ', s_ytd) FROM stock WHERE s_w_id = 1 AND s_i_id = 2001"),
        stock)
        << c.name;
    EXPECT_EQ(
        number("SELECT count(*) FROM orders WHERE o_w_id = 1 AND o_d_id = 7 AND o_id = ?", {next}),
        0)
        << c.name;
    EXPECT_TRUE(idle()) << c.name;
  }
}

TEST_P(Transactions, PaymentByNameTakesTheMiddleCustomerByFirstName) {
  for (const int n : {1, 2, 3, 4}) {
    const std::string name = one("SELECT c_last FROM customer WHERE c_w_id = 1 AND c_d_id = 2"
                                 " GROUP BY c_last HAVING count(*) = ? ORDER BY c_last LIMIT 1",
                                 {std::to_string(n)});
    if (name == "(none)") {
      continue;
    }
    const std::string want =
        one("SELECT c_id FROM customer WHERE c_w_id = 1 AND c_d_id = 2 AND c_last = ?"
            " ORDER BY c_first, c_id LIMIT 1 OFFSET ?",
            {name, std::to_string((n + 1) / 2 - 1)});
    PaymentInput in{1, 2, 1, 2, 1, 0, {}, 12345};
    (void)std::snprintf(in.c_last, sizeof in.c_last, "%s", name.c_str());
    const auto money = [&] {
      return row("SELECT w_ytd, d_ytd, c_balance, c_ytd_payment, c_payment_cnt"
                 " FROM warehouse, district, customer WHERE w_id = 1 AND d_w_id = 1"
                 " AND d_id = 2 AND c_w_id = 1 AND c_d_id = 2 AND c_id = ?",
                 {want});
    };
    const std::vector<double> m0 = money();
    ASSERT_EQ(m0.size(), 5U);
    const long long history =
        number("SELECT count(*) FROM history WHERE h_c_w_id = 1 AND h_c_d_id = 2"
               " AND h_c_id = ? AND h_amount = 123.45 AND h_data ="
               " (SELECT concat(w_name, '    ', d_name) FROM warehouse, district"
               "  WHERE w_id = 1 AND d_w_id = 1 AND d_id = 2)",
               {want});
    db::PaymentResult out;
    wait(s->payment(in, out));
    EXPECT_EQ(std::to_string(out.c_id), want) << n << " named " << name;
    const std::vector<double> m1 = money();
    ASSERT_EQ(m1.size(), 5U);
    EXPECT_NEAR(m1[0] - m0[0], 123.45, 1e-6); // W_YTD
    EXPECT_NEAR(m1[1] - m0[1], 123.45, 1e-6); // D_YTD
    EXPECT_NEAR(m0[2] - m1[2], 123.45, 1e-6); // C_BALANCE
    EXPECT_NEAR(m1[3] - m0[3], 123.45, 1e-6); // C_YTD_PAYMENT
    EXPECT_EQ(m1[4] - m0[4], 1);              // C_PAYMENT_CNT
    EXPECT_EQ(
        number("SELECT count(*) FROM history WHERE h_c_w_id = 1 AND h_c_d_id = 2 AND h_c_id = ?"
               " AND h_amount = 123.45 AND h_data = (SELECT concat(w_name, '    ', d_name)"
               " FROM warehouse, district WHERE w_id = 1 AND d_w_id = 1 AND d_id = 2)",
               {want}),
        history + 1);
  }
}

TEST_P(Transactions, APaymentThatFindsNoCustomerChangesNothing) {
  PaymentInput by_number{1, 9, 1, 9, 0, 3001, {}, 500};
  PaymentInput by_name{1, 9, 1, 9, 1, 0, {}, 500};
  (void)std::snprintf(by_name.c_last, sizeof by_name.c_last, "NOSUCHNAME");
  for (const PaymentInput &in : {by_number, by_name}) {
    const auto state = [&] {
      return one("SELECT concat(w_ytd, ' ', d_ytd, ' ', (SELECT count(*) FROM history))"
                 " FROM warehouse, district WHERE w_id = 1 AND d_w_id = 1 AND d_id = 9");
    };
    const std::string before = state();
    db::PaymentResult out;
    EXPECT_THROW(wait(s->payment(in, out)), db::Error) << in.by_name;
    EXPECT_EQ(state(), before) << in.by_name;
    EXPECT_TRUE(idle());
  }
}

TEST_P(Transactions, PaymentPrependsToABadCreditCustomersDataCutAt500) {
  for (const std::string credit : {"BC", "GC"}) {
    const std::string c = one("SELECT min(c_id) FROM customer WHERE c_w_id = 1 AND c_d_id = 3"
                              " AND c_credit = ?",
                              {credit});
    (void)sql->rows("UPDATE customer SET c_data = repeat('x', 500) WHERE c_w_id = 1"
                    " AND c_d_id = 3 AND c_id = ?",
                    {c});
    PaymentInput in{2, 4, 1, 3, 0, std::stoi(c), {}, 1234}; // a remote payment: 12.34 through 2/4
    db::PaymentResult out;
    wait(s->payment(in, out));
    const std::string prefix = c + " 3 1 4 2 12.34 ";
    const std::string want =
        credit == "BC" ? (prefix + std::string(500, 'x')).substr(0, 500) : std::string(500, 'x');
    EXPECT_EQ(one("SELECT c_data FROM customer WHERE c_w_id = 1 AND c_d_id = 3 AND c_id = ?", {c}),
              want)
        << credit;
    EXPECT_EQ(out.data, credit == "BC" ? want.substr(0, 200) : "") << credit;
  }
}

TEST_P(Transactions, ALostCommitStillWaitingOnALockIsSettledOnlyOnceItsProcessHasEnded) {
  const std::unique_ptr<Sql> holder = sql_connection(GetParam());
  (void)holder->rows("START TRANSACTION", {});
  (void)holder->rows("UPDATE district SET d_ytd = d_ytd WHERE d_w_id = 2 AND d_id = 10", {});
  const PaymentInput in{2, 10, 2, 10, 0, 17, {}, 4321};
  db::PaymentResult out;
  const auto [proof, pid, failed] =
      send_unanswered([&](db::Session &lost) { return lost.payment(in, out); },
                      [&](const db::Proof &, int backend) { return waiting_on_lock(backend); });
  ASSERT_EQ(failed, "");
  const db::Settled settled = s->settle(proof, pid, nullptr); // the holder never lets go meanwhile
  (void)holder->rows("COMMIT", {});
  std::this_thread::sleep_for(std::chrono::milliseconds(300)); // time to commit, had it lived
  const bool there = committed(proof);
  EXPECT_EQ(settled, there ? db::Settled::committed : db::Settled::not_committed);
  EXPECT_NE(settled, db::Settled::unknown);
}

TEST_P(Transactions, DeliveryTakesEachDistrictsOldestOrderAndSkipsAnEmptyOne) {
  (void)sql->rows("DELETE FROM new_order WHERE no_w_id = 2 AND no_d_id = 4", {});
  for (const bool answered : {true, false}) {
    SCOPED_TRACE(answered ? "answered" : "its answer lost");
    const std::string oldest =
        one("SELECT min(no_o_id) FROM new_order WHERE no_w_id = 2 AND no_d_id = 1");
    const std::string customer =
        one("SELECT o_c_id FROM orders WHERE o_w_id = 2 AND o_d_id = 1 AND o_id = ?", {oldest});
    const std::string sum = one(
        "SELECT sum(ol_amount) FROM order_line WHERE ol_w_id = 2 AND ol_d_id = 1 AND ol_o_id = ?",
        {oldest});
    const auto account = [&] {
      return row("SELECT c_balance, c_delivery_cnt FROM customer"
                 " WHERE c_w_id = 2 AND c_d_id = 1 AND c_id = ?",
                 {customer});
    };
    const std::vector<double> a0 = account();
    ASSERT_EQ(a0.size(), 2U);
    db::DeliveryResult out;
    if (answered) {
      wait(s->delivery({2, 7}, out));
    } else {
      // What is tested is the settling: a Delivery the server itself refused is reported
      // and sent again, and every outcome is held against the database.
      const DeliveryInput in{2, 7};
      db::Settled settled = db::Settled::unknown;
      for (int attempt = 0; attempt < 3 && settled != db::Settled::committed; ++attempt) {
        const auto [proof, pid, failed] =
            send_unanswered([&](db::Session &lost) { return lost.delivery(in, out); },
                            [&](const db::Proof &p, int) { return p.type >= 0 && committed(p); });
        if (failed == "answered") { // it committed before it could be cut off: out holds it
          settled = db::Settled::committed;
          break;
        }
        settled = s->settle(proof, pid, &out);
        EXPECT_EQ(settled, committed(proof) ? db::Settled::committed : db::Settled::not_committed);
        if (settled != db::Settled::committed) {
          std::cerr << "the unanswered Delivery did not commit (" << failed << "): again\n";
        }
      }
      ASSERT_EQ(settled, db::Settled::committed);
    }
    EXPECT_EQ(out.delivered, 9);
    EXPECT_EQ(out.skipped, 1);
    EXPECT_EQ(out.o_id[3], 0);
    EXPECT_EQ(std::to_string(out.o_id[0]), oldest);
    EXPECT_EQ(
        number("SELECT count(*) FROM new_order WHERE no_w_id = 2 AND no_d_id = 1 AND no_o_id = ?",
               {oldest}),
        0);
    EXPECT_EQ(one("SELECT o_carrier_id FROM orders WHERE o_w_id = 2 AND o_d_id = 1 AND o_id = ?",
                  {oldest}),
              "7");
    EXPECT_EQ(
        number("SELECT count(*) FROM order_line WHERE ol_w_id = 2 AND ol_d_id = 1 AND ol_o_id = ?"
               " AND ol_delivery_d IS NULL",
               {oldest}),
        0);
    const std::vector<double> a1 = account();
    ASSERT_EQ(a1.size(), 2U);
    EXPECT_NEAR(a1[0] - a0[0], std::stod(sum), 1e-6);
    EXPECT_EQ(a1[1] - a0[1], 1);
  }
}

TEST_P(Transactions, OrderStatusShowsTheCustomersLastOrder) {
  db::NewOrderResult placed;
  wait(s->new_order(order(1, 5, 77, {{3001, 1, 2}, {3002, 1, 3}, {3003, 1, 4}}), placed));
  OrderStatusInput in{1, 5, 0, 77, {}};
  db::OrderStatusResult out;
  wait(s->order_status(in, out));
  EXPECT_EQ(out.c_id, 77);
  EXPECT_EQ(out.o_id, placed.o_id);
  EXPECT_EQ(out.lines, 3);
}

TEST_P(Transactions, StockLevelCountsDistinctLowItemsOfTheLast20Orders) {
  const std::string next = one("SELECT d_next_o_id FROM district WHERE d_w_id = 1 AND d_id = 6");
  const auto lines = sql->rows(
      "SELECT ol_i_id, s_quantity FROM order_line JOIN stock ON s_w_id = 1 AND s_i_id = ol_i_id"
      " WHERE ol_w_id = 1 AND ol_d_id = 6 AND ol_o_id >= ? AND ol_o_id < ?",
      {std::to_string(std::stoll(next) - 20), next});
  for (const int threshold : {10, 15, 20}) {
    std::set<long long> low;
    for (const auto &line : lines) {
      if (std::stoll(line[1]) < threshold) {
        low.insert(std::stoll(line[0]));
      }
    }
    db::StockLevelResult out;
    wait(s->stock_level({1, 6, threshold}, out));
    EXPECT_EQ(out.low_stock, static_cast<int>(low.size())) << threshold;
  }
}

TEST_P(Transactions, CountersAndSumsPastTheStandardsWidthsStillAddUp) {
  // Each at the largest value of its width in the standard.
  for (const char *update :
       {"UPDATE stock SET s_ytd = 99999999, s_order_cnt = 9999, s_remote_cnt = 9999"
        " WHERE s_w_id = 2 AND s_i_id = 1500",
        "UPDATE customer SET c_balance = 9999999999.99, c_delivery_cnt = 9999,"
        " c_payment_cnt = 9999, c_ytd_payment = 9999999999.99 WHERE c_w_id = 2 AND c_d_id = 9",
        "UPDATE warehouse SET w_ytd = 9999999999.99 WHERE w_id = 2",
        "UPDATE district SET d_ytd = 9999999999.99 WHERE d_w_id = 2 AND d_id = 9"}) {
    (void)sql->rows(update, {});
  }
  db::NewOrderResult placed;
  NewOrderInput in{1, 8, 11, 1, 2, {}};
  in.line[0] = {1500, 2, 4};
  wait(s->new_order(in, placed));
  db::PaymentResult paid;
  wait(s->payment(PaymentInput{2, 9, 2, 9, 0, 5, {}, 100}, paid));
  db::DeliveryResult delivered;
  wait(s->delivery({2, 3}, delivered));
  EXPECT_EQ(one("SELECT concat(s_ytd, ' ', s_order_cnt, ' ', s_remote_cnt) FROM stock"
                " WHERE s_w_id = 2 AND s_i_id = 1500"),
            "100000003 10000 10000");
  EXPECT_EQ(one("SELECT concat(c_payment_cnt, ' ', c_ytd_payment) FROM customer"
                " WHERE c_w_id = 2 AND c_d_id = 9 AND c_id = 5"),
            "10000 10000000000.99");
  EXPECT_EQ(one("SELECT concat(w_ytd, ' ', d_ytd) FROM warehouse, district"
                " WHERE w_id = 2 AND d_w_id = 2 AND d_id = 9"),
            "10000000000.99 10000000000.99");
  ASSERT_NE(delivered.o_id[8], 0);
  EXPECT_EQ(number("SELECT count(*) FROM customer WHERE c_w_id = 2 AND c_d_id = 9"
                   " AND c_delivery_cnt = 10000 AND c_balance > 9999999999.99"),
            1);
}

TEST(Procedures, InstallingOverFunctionsOfTheKitsNamesThatDifferIsRefusedAndChangesNothing) {
  pg::Connection conn(first_line(TPCC_DSN_FILE));
  (void)PQsetNoticeProcessor(
      conn.get(), [](void *, const char *) {}, nullptr);
  conn.exec("DROP SCHEMA IF EXISTS elsewhere CASCADE");
  conn.exec("CREATE SCHEMA elsewhere");
  conn.exec("SET search_path = elsewhere, public");
  const auto definitions = [&conn] {
    return std::string(pg::text(
        conn.exec(
            "SELECT count(*) || ' ' || coalesce(string_agg(md5(pg_get_functiondef(oid)), ' '"
            " ORDER BY oid), '') FROM pg_proc WHERE pronamespace = 'elsewhere'::regnamespace"),
        0, 0));
  };
  const char *const differing[] = {
      "CREATE FUNCTION tpcc_stock_level(integer, integer, integer) RETURNS bigint"
      " LANGUAGE sql AS 'SELECT 0::bigint'",
      "CREATE FUNCTION tpcc_stock_level(integer, integer, integer) RETURNS integer"
      " LANGUAGE sql AS 'SELECT 0'",
      "CREATE FUNCTION tpcc_delivery(text) RETURNS integer LANGUAGE sql AS 'SELECT 0'",
  };
  for (const char *sql : differing) {
    SCOPED_TRACE(sql);
    conn.exec(sql);
    const std::string before = definitions();
    EXPECT_THROW(pg_schema::install_procedures(conn), pg::Error);
    EXPECT_EQ(definitions(), before);
    conn.exec("DROP FUNCTION IF EXISTS elsewhere.tpcc_stock_level, elsewhere.tpcc_delivery");
  }
  pg_schema::install_procedures(conn); // where there are none: all six
  const std::string installed = definitions();
  EXPECT_EQ(installed.substr(0, 2), "6 ");
  pg_schema::install_procedures(conn); // over the same ones: nothing changes
  EXPECT_EQ(definitions(), installed);
  conn.exec("DROP FUNCTION elsewhere.tpcc_payment");
  pg_schema::install_procedures(conn); // one missing: put back beside the others
  EXPECT_EQ(definitions().substr(0, 2), "6 ");
  conn.exec("DROP SCHEMA elsewhere CASCADE");
}

TEST(Procedures, MariadbRefusesToRunOverProceduresOfTheKitsNamesThatDiffer) {
  my::Connection conn(my::parse_uri(first_line(TPCC_MY_DSN_FILE)));
  const auto definitions = [&conn] {
    return std::string(conn.exec("SELECT count(*), group_concat(routine_comment ORDER BY 1)"
                                 " FROM information_schema.ROUTINES WHERE routine_schema ="
                                 " DATABASE() AND routine_name LIKE 'tpcc\\_%'")[0]
                           .text(0, 1));
  };
  const std::string installed = definitions();
  conn.exec("DROP PROCEDURE tpcc_stock_level");
  conn.exec("CREATE PROCEDURE tpcc_stock_level(p_w INT, p_d INT, p_t INT) SELECT 0");
  const std::string differing = definitions();
  EXPECT_THROW(my_schema::install_procedures(conn), my::Error);
  EXPECT_EQ(definitions(), differing);
  conn.exec("DROP PROCEDURE tpcc_stock_level");
  my_schema::install_procedures(conn); // one missing: put back beside the others
  EXPECT_EQ(definitions(), installed);
}

INSTANTIATE_TEST_SUITE_P(EachDatabase, Transactions,
                         testing::Values(Kind{"postgresql_plain", false, db::Mode::plain},
                                         Kind{"postgresql_procedures", false, db::Mode::procedures},
                                         Kind{"mariadb_plain", true, db::Mode::plain},
                                         Kind{"mariadb_procedures", true, db::Mode::procedures}),
                         [](const testing::TestParamInfo<Kind> &kind) {
                           return std::string(kind.param.name);
                         });

} // namespace
