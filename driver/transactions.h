// transactions.h - the five TPC-C transactions on the kit's PostgreSQL schema.
//
// Each runs on one session in one round trip: in plain SQL through prepared
// statements and pipelines, or as one call of the kit's function for it.  Every write stamps its
// rows with a time no other transaction of this process uses, so that a commit whose answer is lost
// with the connection can be found, or not, afterwards. A failure throws pg::Error; the session
// then holds no open transaction unless the connection itself is gone.
#ifndef TPCC_DRIVER_TRANSACTIONS_H
#define TPCC_DRIVER_TRANSACTIONS_H

#include "pg.h"
#include "task.h"

#include <tpcc/inputs.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

namespace tx {

// A query for the rows a write transaction made: none unless it committed.
struct Proof {
  const char *statement = nullptr; // a prepared one; nullptr when no commit is under way
  std::vector<std::string> params;
  // Fills in the transaction's results from those rows, where the report needs them.
  std::function<void(const pg::Result &)> found;
};

// How the transactions reach the server: as the kit's statements, or as one call each of
// the kit's functions (database::install_procedures).
enum class Mode { plain, procedures };
const char *mode_name(Mode mode); // "plain", "procedures"

// A connection with the statements prepared, and the proof of the write transaction whose
// commit is under way.
struct Session {
  explicit Session(const std::string &conninfo, Mode mode = Mode::plain);
  pg::Connection conn;
  Mode mode;
  int backend_pid; // the server process serving conn
  Proof pending;
  // Rolls back what a failed transaction left open; for a connection that still works.
  void reset();
};

struct NewOrderLineResult { // what the terminal shows of a line
  std::string i_name;
  long long price_cents = 0;  // I_PRICE
  int s_quantity = 0;         // S_QUANTITY once this line has taken from it
  char brand_generic = 'G';   // B when item and stock are ORIGINAL
  long long amount_cents = 0; // OL_AMOUNT
};
struct NewOrderResult {
  bool rolled_back = false; // an item number that is no item: the server rolled it all back
  int o_id = 0;             // 0 when rolled back
  int lines = 0;
  long long amount_cents = 0; // the sum of OL_AMOUNT
  double total = 0;           // with discount and taxes, as the terminal shows it
  std::vector<NewOrderLineResult> line;
};
struct PaymentResult {
  int c_id = 0;
  long long balance_cents = 0;
  std::string credit, data; // C_CREDIT, and C_DATA's first 200 characters for "BC"
};
struct OrderStatusResult {
  int c_id = 0, o_id = 0, lines = 0;
  long long balance_cents = 0;
};
struct DeliveryResult {
  std::array<int, 10> o_id{}; // per district, 0 where it was skipped
  int delivered = 0, skipped = 0;
};
struct StockLevelResult {
  int low_stock = 0;
};

// Each is a task (task.h): awaited on a connection with a reactor it suspends for its
// round trips; wait() runs it through on one without.  The arguments must outlive it.
Task<> new_order(Session &s, const NewOrderInput &in, NewOrderResult &out);
Task<> payment(Session &s, const PaymentInput &in, PaymentResult &out);
Task<> order_status(Session &s, const OrderStatusInput &in, OrderStatusResult &out);
Task<> delivery(Session &s, const DeliveryInput &in, DeliveryResult &out);
Task<> stock_level(Session &s, const StockLevelInput &in, StockLevelResult &out);

enum class Settled { committed, not_committed, unknown };

// After a lost connection: whether the transaction of proof committed, asked on a new session
// once the old one's server process (old_pid) has ended, so that its commit is over either way.
// A process still there after 5 s (waiting on a lock, say) is ended; one that outlives that by
// 25 s leaves the outcome unknown.  If it committed, the proof's found has filled in its results.
// Throws pg::Error when the session fails: the outcome is unknown then too.
Settled settle(Session &fresh, const Proof &proof, int old_pid);

// A delivery's results from its proof's rows.
DeliveryResult delivered_orders(const pg::Result &rows);

} // namespace tx

#endif
