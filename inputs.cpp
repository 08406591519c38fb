// The terminal's schedule and inputs: deck, transaction inputs, keying and
// think times.  See inputs.h for the contract of each function.  Every draw
// is RandomNumber's or NURand's, inlined with its constant range.

#include "inputs.h"

#include "misuse.h"
#include "random_draws.h"
#include "support.h"

#include <cmath>
#include <cstring>

namespace {

using namespace tpcc_detail; // the library's private helpers

constexpr int kCards = 23;
constexpr int kTypes = 5;
constexpr unsigned char kFreshDeck[kCards] = {
    TX_NEW_ORDER, TX_NEW_ORDER, TX_NEW_ORDER,    TX_NEW_ORDER, TX_NEW_ORDER,  TX_NEW_ORDER,
    TX_NEW_ORDER, TX_NEW_ORDER, TX_NEW_ORDER,    TX_NEW_ORDER, TX_PAYMENT,    TX_PAYMENT,
    TX_PAYMENT,   TX_PAYMENT,   TX_PAYMENT,      TX_PAYMENT,   TX_PAYMENT,    TX_PAYMENT,
    TX_PAYMENT,   TX_PAYMENT,   TX_ORDER_STATUS, TX_DELIVERY,  TX_STOCK_LEVEL};
constexpr double kKeyingSeconds[kTypes] = {18, 3, 2, 2, 2};
constexpr double kThinkMeanSeconds[kTypes] = {12, 12, 10, 5, 5};

int checked_type(const char *function, int type) {
  if (type < 0 || type >= kTypes) {
    die_bad_value(function, "type", type);
  }
  return type;
}

// Another warehouse than home, uniform over the W - 1 others.
int32_t remote_warehouse(Terminal *t) {
  const int32_t r = uniform(&t->seed, 1, t->warehouses - 1);
  return r < t->w_id ? r : r + 1;
}

// A customer by last name (60%) or by number; both the Payment and the
// Order-Status rule.
void draw_customer(Terminal *t, int32_t *by_name, int32_t *c_id, char *c_last) {
  const bool name = uniform(&t->seed, 1, 100) <= 60;
  *by_name = name ? 1 : 0;
  if (name) {
    *c_id = 0;
    Lastname(nurand(&t->seed, 255, 0, 999), c_last);
  } else {
    *c_id = nurand(&t->seed, 1023, 1, 3000);
    std::memset(c_last, 0, 16);
  }
}

void shuffle(Terminal *t) {
  for (int32_t i = kCards - 1; i > 0; --i) {
    const int32_t j = uniform(&t->seed, 0, i);
    const unsigned char card = t->deck[i];
    t->deck[i] = t->deck[j];
    t->deck[j] = card;
  }
  t->next_card = 0;
}

} // namespace

extern "C" {

void InitTerminal(Terminal *t, int32_t warehouses, int32_t w_id, int32_t d_id, unsigned int seed) {
  if (warehouses < 1) {
    die_bad_value("InitTerminal", "warehouses", warehouses);
  }
  if (w_id < 1 || w_id > warehouses) {
    die_bad_value("InitTerminal", "w_id", w_id);
  }
  if (d_id < 1 || d_id > 10) {
    die_bad_value("InitTerminal", "d_id", d_id);
  }
  t->warehouses = warehouses;
  t->w_id = w_id;
  t->d_id = d_id;
  t->seed = seed;
  std::memcpy(t->deck, kFreshDeck, sizeof t->deck);
  t->next_card = kCards;
}

int DealTransaction(Terminal *t) {
  if (t->next_card >= kCards) {
    shuffle(t);
  }
  return t->deck[t->next_card++];
}

void DrawNewOrder(Terminal *t, NewOrderInput *in) {
  in->w_id = t->w_id;
  in->d_id = uniform(&t->seed, 1, 10);
  in->c_id = nurand(&t->seed, 1023, 1, 3000);
  in->ol_cnt = uniform(&t->seed, 5, 15);
  in->rbk = uniform(&t->seed, 1, 100);
  for (int32_t i = 0; i < in->ol_cnt; ++i) {
    NewOrderLine &line = in->line[i];
    line.i_id = nurand(&t->seed, 8191, 1, 100000);
    const bool remote = uniform(&t->seed, 1, 100) == 1 && t->warehouses > 1;
    line.supply_w_id = remote ? remote_warehouse(t) : t->w_id;
    line.quantity = uniform(&t->seed, 1, 10);
  }
  if (in->rbk == 1) {
    in->line[in->ol_cnt - 1].i_id = TPCC_UNUSED_ITEM;
  }
}

void DrawPayment(Terminal *t, PaymentInput *in) {
  in->w_id = t->w_id;
  in->d_id = uniform(&t->seed, 1, 10);
  const bool remote = uniform(&t->seed, 1, 100) > 85 && t->warehouses > 1;
  if (remote) {
    in->c_d_id = uniform(&t->seed, 1, 10);
    in->c_w_id = remote_warehouse(t);
  } else {
    in->c_d_id = in->d_id;
    in->c_w_id = t->w_id;
  }
  draw_customer(t, &in->by_name, &in->c_id, in->c_last);
  in->h_amount_cents = uniform(&t->seed, 100, 500000);
}

void DrawOrderStatus(Terminal *t, OrderStatusInput *in) {
  in->w_id = t->w_id;
  in->d_id = uniform(&t->seed, 1, 10);
  draw_customer(t, &in->by_name, &in->c_id, in->c_last);
}

void DrawDelivery(Terminal *t, DeliveryInput *in) {
  in->w_id = t->w_id;
  in->o_carrier_id = uniform(&t->seed, 1, 10);
}

void DrawStockLevel(Terminal *t, StockLevelInput *in) {
  in->w_id = t->w_id;
  in->d_id = t->d_id;
  in->threshold = uniform(&t->seed, 10, 20);
}

double KeyingTime(int type) {
  return kKeyingSeconds[checked_type("KeyingTime", type)];
}

double ThinkTime(Terminal *t, int type) {
  const double mean = kThinkMeanSeconds[checked_type("ThinkTime", type)];
  const double r = (uniform(&t->seed, 0, 2147483646) + 1.0) / 2147483647.0;
  const double seconds = (0.0 - std::log(r)) * mean; // r = 1 gives 0, not -0
  return seconds < 10 * mean ? seconds : 10 * mean;
}

} // extern "C"
