// Each transaction's effect on a loaded two-warehouse database, against the
// rules it must follow.  Every test works on warehouses, districts, items and
// customers of its own, so they hold in any order.
#include "transactions.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <set>
#include <string>

namespace {

std::string dsn() {
  std::ifstream in(TPCC_DSN_FILE);
  std::string line;
  std::getline(in, line);
  return line;
}

class Transactions : public testing::Test {
protected:
  tx::Session s{dsn()};
  // The first field of the first row of sql.
  std::string one(const std::string &sql, const std::vector<std::string> &params = {}) {
    const pg::Result r = s.conn.exec(sql, params);
    return PQntuples(r.get()) == 0 ? "(none)" : pg::text(r, 0, 0);
  }
  long long number(const std::string &sql, const std::vector<std::string> &params = {}) {
    return std::stoll(one(sql, params));
  }
};

NewOrderInput order(int w, int d, int c, std::vector<NewOrderLine> lines) {
  NewOrderInput in{w, d, c, static_cast<int32_t>(lines.size()), 2, {}};
  std::copy(lines.begin(), lines.end(), in.line);
  return in;
}

TEST_F(Transactions, NewOrderAppliesEachLineToItsStock) {
  struct Case {
    const char *name;
    int item, quantity_before;
    std::vector<std::pair<int, int>> lines; // quantity, supplying warehouse
    long long quantity_after, ytd, order_cnt, remote_cnt;
  } cases[] = {
      {"at least 10 left", 1001, 50, {{5, 1}}, 45, 5, 1, 0},
      {"exactly 10 left", 1002, 15, {{5, 1}}, 10, 5, 1, 0},
      {"under 10: restocked by 91", 1003, 12, {{5, 1}}, 98, 5, 1, 0},
      {"one item on two lines, each on its own", 1004, 15, {{3, 1}, {4, 1}}, 99, 7, 2, 0},
      {"a remote supplier counts remote", 1005, 50, {{5, 2}}, 45, 5, 1, 1},
  };
  for (const Case &c : cases) {
    const int supply = c.lines[0].second;
    const std::vector<std::string> key = {std::to_string(supply), std::to_string(c.item)};
    s.conn.exec("UPDATE stock SET s_quantity = $3 WHERE s_w_id = $1 AND s_i_id = $2",
                {key[0], key[1], std::to_string(c.quantity_before)});
    const std::string before =
        one("SELECT s_ytd || ' ' || s_order_cnt || ' ' || s_remote_cnt FROM stock"
            " WHERE s_w_id = $1 AND s_i_id = $2",
            key);
    const long long next_o_id =
        number("SELECT d_next_o_id FROM district WHERE d_w_id = 1 AND d_id = 1");
    std::vector<NewOrderLine> lines;
    for (const auto &[quantity, w] : c.lines) {
      lines.push_back({c.item, w, quantity});
    }
    tx::NewOrderResult out;
    tx::new_order(s, order(1, 1, 42, lines), out);
    ASSERT_FALSE(out.rolled_back) << c.name;
    EXPECT_EQ(out.o_id, next_o_id) << c.name;
    EXPECT_EQ(number("SELECT d_next_o_id FROM district WHERE d_w_id = 1 AND d_id = 1"),
              next_o_id + 1);
    long long ytd = 0, count = 0, remote = 0;
    ASSERT_EQ(std::sscanf(before.c_str(), "%lld %lld %lld", &ytd, &count, &remote), 3);
    EXPECT_EQ(one("SELECT s_quantity || ' ' || s_ytd || ' ' || s_order_cnt || ' ' || s_remote_cnt"
                  " FROM stock WHERE s_w_id = $1 AND s_i_id = $2",
                  key),
              std::to_string(c.quantity_after) + " " + std::to_string(ytd + c.ytd) + " " +
                  std::to_string(count + c.order_cnt) + " " + std::to_string(remote + c.remote_cnt))
        << c.name;
    const std::vector<std::string> o = {std::to_string(out.o_id)};
    EXPECT_EQ(
        one("SELECT o_c_id || ' ' || o_ol_cnt || ' ' || o_all_local || ' ' ||"
            " (o_carrier_id IS NULL) FROM orders WHERE o_w_id = 1 AND o_d_id = 1 AND o_id = $1",
            o),
        "42 " + std::to_string(c.lines.size()) + (c.remote_cnt != 0 ? " 0" : " 1") + " true")
        << c.name;
    EXPECT_EQ(
        number("SELECT count(*) FROM new_order WHERE no_w_id = 1 AND no_d_id = 1 AND no_o_id = $1",
               o),
        1);
    // Each line: its number in input order, quantity x price, the district's S_DIST.
    EXPECT_EQ(number("SELECT count(*) FROM order_line JOIN item ON i_id = ol_i_id"
                     " JOIN stock ON s_w_id = ol_supply_w_id AND s_i_id = ol_i_id"
                     " WHERE ol_w_id = 1 AND ol_d_id = 1 AND ol_o_id = $1 AND ol_delivery_d IS NULL"
                     " AND ol_amount = ol_quantity * i_price AND ol_dist_info = s_dist_01",
                     o),
              static_cast<long long>(c.lines.size()))
        << c.name;
    EXPECT_EQ(one("SELECT string_agg(ol_quantity::text, ',' ORDER BY ol_number) FROM order_line"
                  " WHERE ol_w_id = 1 AND ol_d_id = 1 AND ol_o_id = $1",
                  o),
              c.lines.size() == 2 ? "3,4" : std::to_string(c.lines[0].first))
        << c.name;
  }
}

TEST_F(Transactions, AnUnusedItemRollsBackTheWholeNewOrder) {
  const std::string next = one("SELECT d_next_o_id FROM district WHERE d_w_id = 1 AND d_id = 7");
  const std::string stock =
      one("SELECT s_quantity || ' ' || s_ytd FROM stock WHERE s_w_id = 1 AND s_i_id = 2001");
  NewOrderInput in = order(1, 7, 9, {{2001, 1, 5}, {TPCC_UNUSED_ITEM, 1, 1}});
  in.rbk = 1;
  tx::NewOrderResult out;
  tx::new_order(s, in, out);
  EXPECT_TRUE(out.rolled_back);
  EXPECT_EQ(one("SELECT d_next_o_id FROM district WHERE d_w_id = 1 AND d_id = 7"), next);
  EXPECT_EQ(one("SELECT s_quantity || ' ' || s_ytd FROM stock WHERE s_w_id = 1 AND s_i_id = 2001"),
            stock);
  EXPECT_EQ(
      number("SELECT count(*) FROM orders WHERE o_w_id = 1 AND o_d_id = 7 AND o_id = $1", {next}),
      0);
  EXPECT_EQ(PQtransactionStatus(s.conn.get()), PQTRANS_IDLE);
}

TEST_F(Transactions, PaymentByNameTakesTheMiddleCustomerByFirstName) {
  for (const int n : {1, 2, 3, 4}) {
    const std::string name = one("SELECT c_last FROM customer WHERE c_w_id = 1 AND c_d_id = 2"
                                 " GROUP BY c_last HAVING count(*) = $1 ORDER BY c_last LIMIT 1",
                                 {std::to_string(n)});
    if (name == "(none)") {
      continue;
    }
    const std::string want =
        one("SELECT c_id FROM customer WHERE c_w_id = 1 AND c_d_id = 2 AND c_last = $1"
            " ORDER BY c_first, c_id OFFSET $2 LIMIT 1",
            {name, std::to_string((n + 1) / 2 - 1)});
    PaymentInput in{1, 2, 1, 2, 1, 0, {}, 12345};
    (void)std::snprintf(in.c_last, sizeof in.c_last, "%s", name.c_str());
    const auto money = [&] {
      return one(
          "SELECT w_ytd || ' ' || d_ytd || ' ' || c_balance || ' ' || c_ytd_payment || ' ' ||"
          " c_payment_cnt FROM warehouse, district, customer WHERE w_id = 1 AND d_w_id = 1"
          " AND d_id = 2 AND c_w_id = 1 AND c_d_id = 2 AND c_id = $1",
          {want});
    };
    double w0 = 0, d0 = 0, b0 = 0, y0 = 0, n0 = 0, w1 = 0, d1 = 0, b1 = 0, y1 = 0, n1 = 0;
    ASSERT_EQ(std::sscanf(money().c_str(), "%lf %lf %lf %lf %lf", &w0, &d0, &b0, &y0, &n0), 5);
    const long long history =
        number("SELECT count(*) FROM history WHERE h_c_w_id = 1 AND h_c_d_id = 2"
               " AND h_c_id = $1 AND h_amount = 123.45 AND h_data ="
               " (SELECT w_name || '    ' || d_name FROM warehouse, district"
               "  WHERE w_id = 1 AND d_w_id = 1 AND d_id = 2)",
               {want});
    tx::PaymentResult out;
    tx::payment(s, in, out);
    EXPECT_EQ(std::to_string(out.c_id), want) << n << " named " << name;
    ASSERT_EQ(std::sscanf(money().c_str(), "%lf %lf %lf %lf %lf", &w1, &d1, &b1, &y1, &n1), 5);
    EXPECT_NEAR(w1 - w0, 123.45, 1e-6);
    EXPECT_NEAR(d1 - d0, 123.45, 1e-6);
    EXPECT_NEAR(b0 - b1, 123.45, 1e-6);
    EXPECT_NEAR(y1 - y0, 123.45, 1e-6);
    EXPECT_EQ(n1 - n0, 1);
    EXPECT_EQ(
        number("SELECT count(*) FROM history WHERE h_c_w_id = 1 AND h_c_d_id = 2 AND h_c_id = $1"
               " AND h_amount = 123.45 AND h_data = (SELECT w_name || '    ' || d_name"
               " FROM warehouse, district WHERE w_id = 1 AND d_w_id = 1 AND d_id = 2)",
               {want}),
        history + 1);
  }
}

TEST_F(Transactions, PaymentPrependsToABadCreditCustomersDataCutAt500) {
  for (const std::string credit : {"BC", "GC"}) {
    const std::string c = one("SELECT min(c_id) FROM customer WHERE c_w_id = 1 AND c_d_id = 3"
                              " AND c_credit = $1",
                              {credit});
    s.conn.exec("UPDATE customer SET c_data = repeat('x', 500) WHERE c_w_id = 1 AND c_d_id = 3"
                " AND c_id = $1",
                {c});
    PaymentInput in{2, 4, 1, 3, 0, std::stoi(c), {}, 1234}; // a remote payment: 12.34 through 2/4
    tx::PaymentResult out;
    tx::payment(s, in, out);
    const std::string prefix = c + " 3 1 4 2 12.34 ";
    const std::string want =
        credit == "BC" ? (prefix + std::string(500, 'x')).substr(0, 500) : std::string(500, 'x');
    EXPECT_EQ(one("SELECT c_data FROM customer WHERE c_w_id = 1 AND c_d_id = 3 AND c_id = $1", {c}),
              want)
        << credit;
    EXPECT_EQ(out.data, credit == "BC" ? want.substr(0, 200) : "") << credit;
  }
}

TEST_F(Transactions, DeliveryTakesEachDistrictsOldestOrderAndSkipsAnEmptyOne) {
  s.conn.exec("DELETE FROM new_order WHERE no_w_id = 2 AND no_d_id = 4");
  const std::string oldest =
      one("SELECT min(no_o_id) FROM new_order WHERE no_w_id = 2 AND no_d_id = 1");
  const std::string customer =
      one("SELECT o_c_id FROM orders WHERE o_w_id = 2 AND o_d_id = 1 AND o_id = $1", {oldest});
  const std::string sum = one(
      "SELECT sum(ol_amount) FROM order_line WHERE ol_w_id = 2 AND ol_d_id = 1 AND ol_o_id = $1",
      {oldest});
  const auto account = [&] {
    return one("SELECT (c_balance * 100)::bigint || ' ' || c_delivery_cnt FROM customer"
               " WHERE c_w_id = 2 AND c_d_id = 1 AND c_id = $1",
               {customer});
  };
  long long balance0 = 0, count0 = 0, balance1 = 0, count1 = 0;
  ASSERT_EQ(std::sscanf(account().c_str(), "%lld %lld", &balance0, &count0), 2);
  tx::DeliveryResult out;
  tx::delivery(s, {2, 7}, out);
  EXPECT_EQ(out.delivered, 9);
  EXPECT_EQ(out.skipped, 1);
  EXPECT_EQ(out.o_id[3], 0);
  EXPECT_EQ(std::to_string(out.o_id[0]), oldest);
  EXPECT_EQ(
      number("SELECT count(*) FROM new_order WHERE no_w_id = 2 AND no_d_id = 1 AND no_o_id = $1",
             {oldest}),
      0);
  EXPECT_EQ(one("SELECT o_carrier_id FROM orders WHERE o_w_id = 2 AND o_d_id = 1 AND o_id = $1",
                {oldest}),
            "7");
  EXPECT_EQ(
      number("SELECT count(*) FROM order_line WHERE ol_w_id = 2 AND ol_d_id = 1 AND ol_o_id = $1"
             " AND ol_delivery_d IS NULL",
             {oldest}),
      0);
  ASSERT_EQ(std::sscanf(account().c_str(), "%lld %lld", &balance1, &count1), 2);
  EXPECT_EQ(balance1 - balance0, std::llround(std::stod(sum) * 100));
  EXPECT_EQ(count1 - count0, 1);
}

TEST_F(Transactions, OrderStatusShowsTheCustomersLastOrder) {
  tx::NewOrderResult placed;
  tx::new_order(s, order(1, 5, 77, {{3001, 1, 2}, {3002, 1, 3}, {3003, 1, 4}}), placed);
  OrderStatusInput in{1, 5, 0, 77, {}};
  tx::OrderStatusResult out;
  tx::order_status(s, in, out);
  EXPECT_EQ(out.c_id, 77);
  EXPECT_EQ(out.o_id, placed.o_id);
  EXPECT_EQ(out.lines, 3);
}

TEST_F(Transactions, StockLevelCountsDistinctLowItemsOfTheLast20Orders) {
  const std::string next = one("SELECT d_next_o_id FROM district WHERE d_w_id = 1 AND d_id = 6");
  const pg::Result lines = s.conn.exec(
      "SELECT ol_i_id, s_quantity FROM order_line JOIN stock ON s_w_id = 1 AND s_i_id = ol_i_id"
      " WHERE ol_w_id = 1 AND ol_d_id = 6 AND ol_o_id >= $1::int - 20 AND ol_o_id < $1::int",
      {next});
  for (const int threshold : {10, 15, 20}) {
    std::set<long long> low;
    for (int row = 0; row < PQntuples(lines.get()); ++row) {
      if (pg::integer(lines, row, 1) < threshold) {
        low.insert(pg::integer(lines, row, 0));
      }
    }
    tx::StockLevelResult out;
    tx::stock_level(s, {1, 6, threshold}, out);
    EXPECT_EQ(out.low_stock, static_cast<int>(low.size())) << threshold;
  }
}

} // namespace
