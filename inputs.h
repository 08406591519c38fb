/*
 * inputs.h - what a TPC-C terminal runs next, and with which inputs.
 *
 * A terminal deals its transaction types from a shuffled deck of 23 cards
 * (10 New-Order, 10 Payment, 1 Order-Status, 1 Delivery, 1 Stock-Level) and
 * draws every input, keying time and think time from its own seed, through
 * RandomNumber and NURand: the run's C constants apply, and the same seed
 * gives the same workload in every driver.  Needs C99; no pointer may be NULL.
 *
 * Threads: a terminal belongs to one thread at a time; different terminals
 * may be used from different threads at once.  Nothing allocates.
 *
 * Misuse (W < 1, w_id outside 1..W, d_id outside 1..10, an unknown
 * transaction type) writes one line naming the function and the value to
 * standard error and calls abort().
 */
#ifndef TPCC_INPUTS_H
#define TPCC_INPUTS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { TX_NEW_ORDER, TX_PAYMENT, TX_ORDER_STATUS, TX_DELIVERY, TX_STOCK_LEVEL };

/* The item number a rolled-back New-Order puts on its last line: no item has it. */
#define TPCC_UNUSED_ITEM 100001

/* One emulated terminal: its home warehouse, its own district (for Stock-Level), the
 * warehouse count, its seed and its deck.  Set up by InitTerminal; deck and next_card
 * are the deck's, not the caller's. */
struct Terminal {
  int32_t warehouses, w_id, d_id;
  unsigned int seed;
  unsigned char deck[23];
  int32_t next_card; /* 23: used up, the next deal shuffles */
};

/* Sets up t for w_id (1..warehouses) and d_id (1..10) with its seed; the first deal shuffles. */
void InitTerminal(struct Terminal *t, int32_t warehouses, int32_t w_id, int32_t d_id,
                  unsigned int seed);

/* The next card, TX_NEW_ORDER .. TX_STOCK_LEVEL; a used-up deck is shuffled first (22 draws). */
int DealTransaction(struct Terminal *t);

struct NewOrderLine {
  int32_t i_id, supply_w_id, quantity;
};
/* line[0 .. ol_cnt - 1] are set; rbk is the drawn 1..100, and 1 means the last line's i_id
 * is TPCC_UNUSED_ITEM. */
struct NewOrderInput {
  int32_t w_id, d_id, c_id, ol_cnt, rbk;
  struct NewOrderLine line[15];
};
/* By name: by_name 1, c_last the name, c_id 0; by number: by_name 0, c_last "", c_id set. */
struct PaymentInput {
  int32_t w_id, d_id, c_w_id, c_d_id, by_name, c_id;
  char c_last[16];
  int32_t h_amount_cents; /* 100 .. 500000 */
};
struct OrderStatusInput {
  int32_t w_id, d_id, by_name, c_id;
  char c_last[16];
};
struct DeliveryInput {
  int32_t w_id, o_carrier_id;
};
struct StockLevelInput {
  int32_t w_id, d_id, threshold;
};

/* Each fills *in with the next inputs of its transaction from t's seed, in the standard's
 * order of draws. */
void DrawNewOrder(struct Terminal *t, struct NewOrderInput *in);
void DrawPayment(struct Terminal *t, struct PaymentInput *in);
void DrawOrderStatus(struct Terminal *t, struct OrderStatusInput *in);
void DrawDelivery(struct Terminal *t, struct DeliveryInput *in);
void DrawStockLevel(struct Terminal *t, struct StockLevelInput *in);

/* Keying time of a TX_ type in seconds: 18, 3, 2, 2, 2.  Pure. */
double KeyingTime(int type);

/* Think time of a TX_ type in seconds, from one draw: -ln(r) x mean, r in (0, 1], at most
 * 10 x mean; means 12, 12, 10, 5, 5. */
double ThinkTime(struct Terminal *t, int type);

#ifdef __cplusplus
}
#endif

#endif /* TPCC_INPUTS_H */
