// transactions.h - the five TPC-C transactions on the kit's PostgreSQL schema.
//
// Each runs on one session in one round trip: in plain SQL through prepared
// statements and pipelines, or as one call of the kit's function for it.  A
// failure throws pg::Error; the session then holds no open transaction unless
// the connection itself is gone.
#ifndef TPCC_DRIVER_TRANSACTIONS_H
#define TPCC_DRIVER_TRANSACTIONS_H

#include "db.h"
#include "pg.h"
#include "task.h"

#include <tpcc/inputs.h>

#include <string>

namespace tx {

using db::DeliveryResult;
using db::Mode;
using db::mode_name;
using db::NewOrderLineResult;
using db::NewOrderResult;
using db::OrderStatusResult;
using db::PaymentResult;
using db::Proof;
using db::Settled;
using db::StockLevelResult;

// A connection with the statements prepared.
struct Session : db::Session {
  explicit Session(const std::string &conninfo, Mode mode = Mode::plain);
  pg::Connection conn;
  Mode mode;
  int backend_pid; // the server process serving conn

  Task<> new_order(const NewOrderInput &in, NewOrderResult &out) override;
  Task<> payment(const PaymentInput &in, PaymentResult &out) override;
  Task<> order_status(const OrderStatusInput &in, OrderStatusResult &out) override;
  Task<> delivery(const DeliveryInput &in, DeliveryResult &out) override;
  Task<> stock_level(const StockLevelInput &in, StockLevelResult &out) override;
  void reset() override;
  void attach(Reactor *reactor) override { conn.set_reactor(reactor); }
  int server_id() const override { return backend_pid; }
  Settled settle(const Proof &proof, int old_id, DeliveryResult *delivered) override;
};

// Each is a task (task.h): awaited on a connection with a reactor it suspends for its
// round trips; wait() runs it through on one without.  The arguments must outlive it.
Task<> new_order(Session &s, const NewOrderInput &in, NewOrderResult &out);
Task<> payment(Session &s, const PaymentInput &in, PaymentResult &out);
Task<> order_status(Session &s, const OrderStatusInput &in, OrderStatusResult &out);
Task<> delivery(Session &s, const DeliveryInput &in, DeliveryResult &out);
Task<> stock_level(Session &s, const StockLevelInput &in, StockLevelResult &out);

// Whether the rows of proof's transaction are there; a delivery's fill in delivered.
bool found(Session &s, const Proof &proof, DeliveryResult *delivered = nullptr);

} // namespace tx

#endif
