// transactions.h - the five TPC-C transactions on the kit's MariaDB schema.
//
// Each is one multi-statement text per round trip: New-Order takes two (its
// reads and locks, then its writes and COMMIT, computed from what the first
// returned), the others one; or, in procedures mode, one CALL each.  A failure throws my::Error;
// the session then holds no open transaction unless the connection itself is gone.
#ifndef TPCC_DRIVER_MY_TRANSACTIONS_H
#define TPCC_DRIVER_MY_TRANSACTIONS_H

#include "db.h"
#include "my.h"
#include "task.h"

#include <string>

namespace my_tx {

class Session : public db::Session {
public:
  Session(const my::Uri &uri, const std::string &name, db::Mode mode = db::Mode::plain);
  my::Connection conn;
  db::Mode mode;

  Task<> new_order(const NewOrderInput &in, db::NewOrderResult &out) override;
  Task<> payment(const PaymentInput &in, db::PaymentResult &out) override;
  Task<> order_status(const OrderStatusInput &in, db::OrderStatusResult &out) override;
  Task<> delivery(const DeliveryInput &in, db::DeliveryResult &out) override;
  Task<> stock_level(const StockLevelInput &in, db::StockLevelResult &out) override;
  void reset() override;
  void attach(Reactor *reactor) override { conn.set_reactor(reactor); }
  int server_id() const override { return static_cast<int>(conn.id()); }
  db::Settled settle(const db::Proof &proof, int old_id, db::DeliveryResult *delivered) override;

  // Whether the rows of proof's transaction are there; a delivery's fill in delivered.
  bool found(const db::Proof &proof, db::DeliveryResult *delivered = nullptr);

private:
  // Runs sql_ in one round trip; a failure leaves no transaction open unless the connection
  // itself is gone.
  Task<std::vector<my::Result>> round_trip();
  Task<std::vector<my::Result>> one_by_one();
  Task<> finish_new_order(const NewOrderInput &in, std::vector<my::Result> &read,
                          db::NewOrderResult &out);
  // The transactions as one CALL each of the kit's procedures.
  Task<> call_new_order(const NewOrderInput &in, db::NewOrderResult &out);
  Task<> call_payment(const PaymentInput &in, db::PaymentResult &out);
  Task<> call_delivery(const DeliveryInput &in, db::DeliveryResult &out);
  std::string sql_;       // the text of the round trip under way, which must outlive it
  std::string statement_; // one_by_one()'s statement under way
  bool cluster_ = false;  // a Galera node
};

} // namespace my_tx

#endif
