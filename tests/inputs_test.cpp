// The terminal's deck and inputs against the rules written out draw by draw
// with rand_r(), in the order the rules list them.

#include "tpcc_reference.h"
#include <tpcc/inputs.h>
#include <tpcc/support.h>

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <csignal>
#include <cstring>
#include <string>

namespace {

// What one terminal draws, restated from the rules with the reference formulas.
struct Reference {
  int32_t warehouses, w_id;
  unsigned seed;

  int32_t uniform(int32_t lo, int32_t hi) { return reference_uniform(seed, lo, hi); }
  int32_t nurand(int32_t A, int32_t x, int32_t y) {
    return reference_nurand(seed, A, x, y, GetCValue(A));
  }
  int32_t remote() {
    const int32_t r = uniform(1, warehouses - 1);
    return r < w_id ? r : r + 1;
  }
  std::string customer(int32_t &by_name, int32_t &c_id) {
    by_name = uniform(1, 100) <= 60 ? 1 : 0;
    c_id = 0;
    if (by_name == 0) {
      c_id = nurand(1023, 1, 3000);
      return "";
    }
    char name[16];
    return Lastname(nurand(255, 0, 999), name);
  }
};

struct Case {
  int32_t warehouses, w_id, d_id;
  unsigned seed;
};
constexpr Case kCases[] = {{1, 1, 1, 1}, {2, 1, 10, 7}, {2, 2, 3, 99}, {10, 5, 5, 12345}};
constexpr int kDraws = 3000;
constexpr double kMean[] = {12, 12, 10, 5, 5};
constexpr double kKeying[] = {18, 3, 2, 2, 2};

// Runs draw(c, t, ref) kDraws times for a terminal of each case beside its
// reference; both must have made the same draws in the end.
template <typename Draw>
void for_each_terminal(Draw draw) {
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.seed);
    Terminal t;
    InitTerminal(&t, c.warehouses, c.w_id, c.d_id, c.seed);
    Reference ref{c.warehouses, c.w_id, c.seed};
    for (int n = 0; n < kDraws && !::testing::Test::HasFatalFailure(); ++n) {
      draw(c, t, ref, n);
    }
    EXPECT_EQ(t.seed, ref.seed);
  }
}

TEST(Inputs, NewOrderFollowsItsRule) {
  for_each_terminal([](const Case &c, Terminal &t, Reference &ref, int) {
    NewOrderInput in;
    DrawNewOrder(&t, &in);
    ASSERT_EQ(in.w_id, c.w_id);
    ASSERT_EQ(in.d_id, ref.uniform(1, 10));
    ASSERT_EQ(in.c_id, ref.nurand(1023, 1, 3000));
    ASSERT_EQ(in.ol_cnt, ref.uniform(5, 15));
    ASSERT_EQ(in.rbk, ref.uniform(1, 100));
    for (int32_t i = 0; i < in.ol_cnt; ++i) {
      SCOPED_TRACE(i);
      const int32_t i_id = ref.nurand(8191, 1, 100000);
      ASSERT_EQ(in.line[i].i_id, in.rbk == 1 && i == in.ol_cnt - 1 ? 100001 : i_id);
      const bool remote = ref.uniform(1, 100) == 1 && c.warehouses > 1;
      ASSERT_EQ(in.line[i].supply_w_id, remote ? ref.remote() : c.w_id);
      ASSERT_EQ(in.line[i].quantity, ref.uniform(1, 10));
    }
  });
}

TEST(Inputs, PaymentAndOrderStatusFollowTheirRules) {
  for_each_terminal([](const Case &c, Terminal &t, Reference &ref, int) {
    int32_t by_name = 0;
    int32_t c_id = 0;
    PaymentInput pay;
    DrawPayment(&t, &pay);
    ASSERT_EQ(pay.w_id, c.w_id);
    ASSERT_EQ(pay.d_id, ref.uniform(1, 10));
    const bool remote = ref.uniform(1, 100) > 85 && c.warehouses > 1;
    ASSERT_EQ(pay.c_d_id, remote ? ref.uniform(1, 10) : pay.d_id);
    ASSERT_EQ(pay.c_w_id, remote ? ref.remote() : c.w_id);
    ASSERT_EQ(pay.c_last, ref.customer(by_name, c_id));
    ASSERT_EQ(pay.by_name, by_name);
    ASSERT_EQ(pay.c_id, c_id);
    ASSERT_EQ(pay.h_amount_cents, ref.uniform(100, 500000));

    OrderStatusInput status;
    DrawOrderStatus(&t, &status);
    ASSERT_EQ(status.w_id, c.w_id);
    ASSERT_EQ(status.d_id, ref.uniform(1, 10));
    ASSERT_EQ(status.c_last, ref.customer(by_name, c_id));
    ASSERT_EQ(status.by_name, by_name);
    ASSERT_EQ(status.c_id, c_id);
  });
}

TEST(Inputs, DeliveryStockLevelAndTimesFollowTheirRules) {
  for_each_terminal([](const Case &c, Terminal &t, Reference &ref, int n) {
    DeliveryInput delivery;
    DrawDelivery(&t, &delivery);
    ASSERT_EQ(delivery.w_id, c.w_id);
    ASSERT_EQ(delivery.o_carrier_id, ref.uniform(1, 10));
    StockLevelInput level;
    DrawStockLevel(&t, &level);
    ASSERT_EQ(level.w_id, c.w_id);
    ASSERT_EQ(level.d_id, c.d_id);
    ASSERT_EQ(level.threshold, ref.uniform(10, 20));
    const int type = n % 5;
    const double r = (ref.uniform(0, 2147483646) + 1.0) / 2147483647.0;
    const double think = ThinkTime(&t, type);
    ASSERT_EQ(think, std::fmin(-std::log(r) * kMean[type], 10 * kMean[type]));
    ASSERT_GE(think, 0.0);
    ASSERT_EQ(KeyingTime(type), kKeying[type]);
  });
}

TEST(Inputs, EveryDealOfTwentyThreeHoldsTheWholeDeck) {
  Terminal t;
  InitTerminal(&t, 3, 2, 4, 42);
  // The first deal shuffles the fresh deck from the last card down; later
  // shuffles start from the order dealt.
  std::array<int, 23> deck{};
  std::fill(deck.begin(), deck.begin() + 10, TX_NEW_ORDER);
  std::fill(deck.begin() + 10, deck.begin() + 20, TX_PAYMENT);
  deck[20] = TX_ORDER_STATUS;
  deck[21] = TX_DELIVERY;
  deck[22] = TX_STOCK_LEVEL;
  unsigned seed = 42;
  for (int round = 0; round < 1000; ++round) {
    for (int i = 22; i > 0; --i) {
      std::swap(deck[static_cast<std::size_t>(i)],
                deck[static_cast<std::size_t>(reference_uniform(seed, 0, i))]);
    }
    std::array<int, 5> count{};
    for (const int card : deck) {
      const int dealt = DealTransaction(&t);
      ASSERT_EQ(dealt, card) << "round " << round;
      ++count[static_cast<std::size_t>(dealt)];
    }
    ASSERT_EQ(count, (std::array<int, 5>{10, 10, 1, 1, 1}));
  }
  EXPECT_EQ(t.seed, seed);
}

TEST(InputsDeathTest, MisuseEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Terminal t;
  const auto aborts = ::testing::KilledBySignal(SIGABRT);
  EXPECT_EXIT(InitTerminal(&t, 0, 1, 1, 1), aborts,
              "^InitTerminal: unexpected value \\(0\\) of warehouses used\n$");
  EXPECT_EXIT(InitTerminal(&t, 3, 4, 1, 1), aborts,
              "^InitTerminal: unexpected value \\(4\\) of w_id used\n$");
  EXPECT_EXIT(InitTerminal(&t, 3, 0, 1, 1), aborts,
              "^InitTerminal: unexpected value \\(0\\) of w_id used\n$");
  EXPECT_EXIT(InitTerminal(&t, 3, 1, 11, 1), aborts,
              "^InitTerminal: unexpected value \\(11\\) of d_id used\n$");
  EXPECT_EXIT(KeyingTime(5), aborts, "^KeyingTime: unexpected value \\(5\\) of type used\n$");
  InitTerminal(&t, 1, 1, 1, 1);
  EXPECT_EXIT(ThinkTime(&t, -1), aborts, "^ThinkTime: unexpected value \\(-1\\) of type used\n$");
}

} // namespace
