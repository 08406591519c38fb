// pg.h - the little of libpq the driver and the loader need, owned by RAII:
// a connection, a result, errors that carry the server's SQLSTATE, and
// pipelines of prepared statements that cost one round trip each.
#ifndef TPCC_DRIVER_PG_H
#define TPCC_DRIVER_PG_H

#include "db.h"
#include "reactor.h"

#include <libpq-fe.h>

#include <coroutine>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace pg {

// What the server or libpq said, with the SQLSTATE ("" when the connection itself failed).
class Error : public db::Error {
public:
  Error(const std::string &message, const std::string &sqlstate)
      : db::Error(message, sqlstate, kind(sqlstate)) {}
  const std::string &sqlstate() const { return code(); }

private:
  // A deadlock or serialization failure may run again; class 08, an admin shutdown or
  // libpq's own loss ("") mean the connection is gone.
  static Kind kind(const std::string &s) {
    if (s == "40001" || s == "40P01") {
      return Kind::conflict;
    }
    const bool lost =
        s.empty() || s.compare(0, 2, "08") == 0 || s == "57P01" || s == "57P02" || s == "57P03";
    return lost ? Kind::lost : Kind::other;
  }
};

struct ResultFree {
  void operator()(PGresult *r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultFree>;

// A result's field as text, and as numbers; NULL reads as "" and 0.
inline const char *text(const Result &r, int row, int col) {
  return PQgetvalue(r.get(), row, col);
}
long long integer(const Result &r, int row, int col);
// A numeric with at most two decimals, in hundredths, exactly.
long long cents(const Result &r, int row, int col);
double real(const Result &r, int row, int col);

class Connection final : private Reactor::Waiter {
public:
  // Connects with a libpq connection string or URI ("" for the PG* environment); throws Error.
  explicit Connection(const std::string &conninfo);
  Connection(const Connection &) = delete;
  Connection &operator=(const Connection &) = delete;
  ~Connection();

  PGconn *get() const { return conn_; }
  bool ok() const { return PQstatus(conn_) == CONNECTION_OK; }

  // Runs sql (one or more commands, simple protocol) outside a pipeline; throws Error.
  Result exec(const std::string &sql);
  // Runs one command with text parameters outside a pipeline; throws Error.
  Result exec(const std::string &sql, const std::vector<std::string> &params);
  // Prepares name as sql outside a pipeline; throws Error.
  void prepare(const std::string &name, const std::string &sql);

  // A parameter's text, borrowed: it must outlive the send that takes it.
  class Param {
  public:
    // Implicit, so that a call lists its parameters as they are.
    // cppcheck-suppress noExplicitConstructor
    Param(const std::string &text) : text_(text.c_str()) {} // NOLINT(google-explicit-constructor)
    // cppcheck-suppress noExplicitConstructor
    Param(const char *text) : text_(text) {} // NOLINT(google-explicit-constructor)
    const char *c_str() const { return text_; }

  private:
    const char *text_;
  };
  // Queues prepared statement name with text parameters (at most 16) in the pipeline.
  void send(const char *name, std::initializer_list<Param> params);
  void send(const char *name, const std::vector<std::string> &params);
  // Queues sql, a command without parameters (BEGIN, COMMIT), in the pipeline.
  void send_sql(const char *sql);
  // Ends the pipeline and returns each queued statement's result in order; throws the
  // first statement's error once every result is read, so the connection stays usable.
  std::vector<Result> sync();

  // The same as an awaitable: co_await conn.synced() suspends until the results are in
  // when the connection has a reactor, and waits in place when it has none.
  class Synced {
  public:
    explicit Synced(Connection &c) : c_(c) {}
    bool await_ready();
    void await_suspend(std::coroutine_handle<> awaiting) { c_.reactor_->watch(c_, awaiting); }
    std::vector<Result> await_resume();

  private:
    Connection &c_;
    std::vector<Result> results_;
    bool in_place_ = false;
  };
  Synced synced() { return Synced(*this); }
  // The loop that resumes this connection's coroutines (nullptr: none, wait in place).
  void set_reactor(Reactor *reactor) { reactor_ = reactor; }

private:
  [[noreturn]] void fail(const PGresult *r) const;
  void enter_pipeline();
  void send_prepared(const char *name, int count, const char *const *values);
  // The steps of sync: send the sync, read what has arrived (true once the sync's own
  // result is in, or the connection failed), and end the pipeline with its results.
  void start_sync();
  bool advance() override;
  std::vector<Result> end_sync();

  PGconn *conn_;
  int queued_ = 0;
  int expected_ = 0;
  int nulls_ = 0;
  bool broken_ = false;
  std::vector<Result> arrived_;
  Reactor *reactor_ = nullptr;
};

// An array literal of integers for a parameter: {1,2,3}.
std::string int_array(const std::vector<long long> &values);

} // namespace pg

#endif
