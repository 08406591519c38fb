// db.h - what the run engine asks of a database, and nothing of how: a
// database kind (PostgreSQL, MariaDB) implements Database and Session, and the
// engine drives every kind the same way.  The connection string picks the
// kind (open).
#ifndef TPCC_DRIVER_DB_H
#define TPCC_DRIVER_DB_H

#include "metrics.h"
#include "reactor.h"
#include "task.h"

#include <tpcc/inputs.h>

#include <nlohmann/json.hpp>

#include <array>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace load {
class Target;
}

namespace db {

// What the server or the client library said.  code is the server's own code for the error
// (an SQLSTATE, a MariaDB error number), "" when the connection itself failed.
class Error : public std::runtime_error {
public:
  enum class Kind {
    other,
    conflict,   // a deadlock, serialization failure or lock wait timeout: the transaction may
                // run again
    lost,       // the connection is gone
    unavailable // the server is up but cannot serve (a cluster node out of its cluster): nothing
                // was committed, and the transaction may run again on another server
  };
  Error(const std::string &message, std::string code, Kind kind)
      : std::runtime_error(message), code_(std::move(code)), kind_(kind) {}
  const std::string &code() const { return code_; }
  bool conflict() const { return kind_ == Kind::conflict; }
  bool lost() const { return kind_ == Kind::lost; }
  bool unavailable() const { return kind_ == Kind::unavailable; }

private:
  std::string code_;
  Kind kind_;
};

// How the transactions reach the server: as the kit's statements, or one call each of the
// kit's stored routines.
enum class Mode { plain, procedures };
const char *mode_name(Mode mode); // "plain", "procedures"

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

// What tells whether a write transaction committed: every write stamps its rows with a time
// no other transaction of this process uses, so the rows of its warehouse (and district)
// with that stamp are there if, and only if, it committed.
struct Proof {
  int type = -1; // TX_NEW_ORDER, TX_PAYMENT or TX_DELIVERY; -1 while no commit is under way
  int w_id = 0, d_id = 0;
  std::string stamp; // "YYYY-MM-DD hh:mm:ss.uuuuuu", UTC
};

// A decimal's text with at most two places ("-12.3", "45"), in hundredths, exactly; and
// hundredths as such a text ("-12.30").  Both databases read and write money so.
long long cents(const char *decimal);
std::string money(long long cents);

// A "YYYY-MM-DD hh:mm:ss.uuuuuu" in UTC that no other call in this process returns: local
// time repeats an hour when daylight saving ends, and a proof must find only its own rows.
std::string unique_timestamp();

enum class Settled { committed, not_committed, unknown };

// A connection that runs the five transactions.  Each transaction is a task (task.h): on a
// session attached to a reactor it suspends for its round trips; wait() runs it through on one
// that is not.  The arguments must outlive it.  A failure throws Error; the session then holds
// no open transaction unless the connection itself is gone.
class Session {
public:
  Session() = default;
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;
  virtual ~Session() = default;

  virtual Task<> new_order(const NewOrderInput &in, NewOrderResult &out) = 0;
  virtual Task<> payment(const PaymentInput &in, PaymentResult &out) = 0;
  virtual Task<> order_status(const OrderStatusInput &in, OrderStatusResult &out) = 0;
  virtual Task<> delivery(const DeliveryInput &in, DeliveryResult &out) = 0;
  virtual Task<> stock_level(const StockLevelInput &in, StockLevelResult &out) = 0;

  // Rolls back what a failed transaction left open; for a connection that still works.
  virtual void reset() = 0;
  // The loop that resumes this session's transactions (nullptr: none, they wait in place).
  virtual void attach(Reactor *reactor) = 0;
  // The server's process or thread serving this session.
  virtual int server_id() const = 0;

  // After a lost connection, asked on a new session: whether the transaction of proof
  // committed, once the old session's server side (old_id) has ended, so that its commit is
  // over either way.  One still there after 5 s (waiting on a lock, say) is ended; one that
  // outlives that by 25 s leaves the outcome unknown.  A delivery that committed fills in
  // delivered.  old_id 0 says the old session was on another server, which cannot be waited
  // for: the answer is then only sound once that server can commit nothing more.  Throws
  // Error when this session fails: the outcome is unknown then too.
  virtual Settled settle(const Proof &proof, int old_id, DeliveryResult *delivered) = 0;

  // The write transaction whose commit is under way, if any.
  Proof pending;
};

// A database's facts that decide whether and how a run can go.
struct Facts {
  std::string missing_table; // the first of the kit's nine tables it lacks, or ""
  long long warehouses = 0;
  long long c_load = -1; // the load's C-Load as recorded, -1 when none is
  bool c_loads_differ = false;
  bool foreign_keys = false;
  std::vector<std::string> narrow_columns; // too narrow for a long run, as "table.column type"
};

// The kit's nine tables, in the population's order.
const std::vector<std::string> &tables();

struct Condition {
  int number;
  std::string rule;
  long long violations;
};

// Prints the conditions as a table to out; returns the violations of those printed.
long long print_conditions(const std::vector<Condition> &conditions, const std::vector<int> &which,
                           std::FILE *out);

// What --check holds a range to, in one snapshot of warehouses first..last: New-Orders,
// order lines, NEW-ORDER rows, Payments, cents of W_YTD, delivered orders.
using Snapshot = std::array<long long, 6>;

// What the server spent executing each transaction type, as its statistics have counted it
// since they were reset, for all sessions.  Subtract two of them for the time between.
struct ServerTime {
  std::string unavailable;              // why there are no figures ("" when there are)
  std::array<double, 5> exec_ms{};      // per type, in the report's order
  std::array<double, 5> transactions{}; // per type: the calls that each make one
};

// One database, reached through a connection string.  Every call but session() uses one
// control connection, from one thread.
class Database {
public:
  Database() = default;
  Database(const Database &) = delete;
  Database &operator=(const Database &) = delete;
  virtual ~Database() = default;

  // "PostgreSQL", "MariaDB".
  virtual const char *product() const = 0;
  // Which server this is, for a person: "host:port", or a socket's path; no password.
  virtual std::string where() const = 0;
  // Which server this is, the same through every connection string that reaches it (another
  // address, a pooler in front), and different for every other server; throws Error.
  virtual std::string identity() = 0;
  // From here on every connection this process opens names itself so (other_drivers).
  virtual void name_connections(const std::string &name) = 0;
  // A new session for a terminal or a delivery worker; throws Error.
  virtual std::unique_ptr<Session> session(Mode mode) = 0;

  virtual Facts inspect() = 0;
  // Installs the kit's stored routines, in one transaction; refuses (throws Error, changing
  // nothing) when routines of their names are there and differ.
  virtual void install_procedures() = 0;
  virtual Snapshot snapshot(int first, int last) = 0;
  // The names of the connections there now that carry one (name_connections).
  virtual std::vector<std::string> connection_names() = 0;
  // Why this server does not show the names of other connections, "" when it does.
  virtual std::string names_unseen() { return ""; }
  // The conditions on warehouses first..last only, or on all when first is 0.
  virtual std::vector<Condition> check(int first, int last) = 0;
  // The server's product, version and the settings that shape a run's results.
  virtual nlohmann::json server() = 0;
  virtual ServerTime server_time() = 0;
  // Its side of the run's metrics, on a connection of its own; run_name as name_connections.
  virtual std::unique_ptr<metrics::Source> metrics(const std::string &run_name, int server_pid) = 0;
};

// Throws std::invalid_argument, saying what is wrong, when one of conninfos is a mysql:// or
// mariadb:// URI that is malformed (libpq judges its own strings when it connects), or when
// they are not all of one kind of database.
void validate(const std::vector<std::string> &conninfos);

// The database of a connection string: a mysql:// or mariadb:// URI is MariaDB's, anything
// else libpq's.  Throws Error when it cannot connect, std::invalid_argument when the string
// is malformed.
std::unique_ptr<Database> open(const std::string &conninfo);

// The same database as the target of a load (loader.h).
std::unique_ptr<load::Target> open_target(const std::string &conninfo);

// " (--dsn I)" naming the i-th of n servers in a message, "" when there is only one.
std::string which(size_t i, size_t n);

// Each of conninfos opened by open (open or open_target), the PG* environment's database when
// there are none; throws Error naming the one that failed.
template <typename T, typename Open>
std::vector<std::unique_ptr<T>> open_each(std::vector<std::string> conninfos, Open open) {
  if (conninfos.empty()) {
    conninfos.emplace_back();
  }
  std::vector<std::unique_ptr<T>> opened;
  for (size_t i = 0; i < conninfos.size(); ++i) {
    try {
      opened.push_back(open(conninfos[i]));
    } catch (const Error &e) {
      throw Error(e.what() + which(i, conninfos.size()), e.code(),
                  e.lost() ? Error::Kind::lost : Error::Kind::other);
    }
  }
  return opened;
}

// What open_each opened, as the pointers the engine and the loader take.
template <typename T>
std::vector<T *> pointers(const std::vector<std::unique_ptr<T>> &owned) {
  std::vector<T *> out;
  out.reserve(owned.size());
  for (const std::unique_ptr<T> &p : owned) {
    out.push_back(p.get());
  }
  return out;
}

} // namespace db

#endif
