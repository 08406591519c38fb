// pg.h - the little of libpq the driver and the loader need, owned by RAII:
// a connection, a result, errors that carry the server's SQLSTATE, and
// pipelines of prepared statements that cost one round trip each.
#ifndef TPCC_DRIVER_PG_H
#define TPCC_DRIVER_PG_H

#include <libpq-fe.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace pg {

// What the server or libpq said, with the SQLSTATE ("" when the connection itself failed).
class Error : public std::runtime_error {
public:
  Error(const std::string &message, std::string sqlstate)
      : std::runtime_error(message), sqlstate_(std::move(sqlstate)) {}
  const std::string &sqlstate() const { return sqlstate_; }
  // A deadlock or serialization failure: the transaction may run again.
  bool conflict() const { return sqlstate_ == "40001" || sqlstate_ == "40P01"; }
  // The connection is gone (SQLSTATE class 08, an admin shutdown, or libpq's own loss).
  bool lost() const {
    return sqlstate_.empty() || sqlstate_.compare(0, 2, "08") == 0 || sqlstate_ == "57P01" ||
           sqlstate_ == "57P02" || sqlstate_ == "57P03";
  }

private:
  std::string sqlstate_;
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

class Connection {
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

  // Queues prepared statement name with text parameters in the pipeline.
  void send(const char *name, const std::vector<std::string> &params);
  // Queues sql, a command without parameters (BEGIN, COMMIT), in the pipeline.
  void send_sql(const char *sql);
  // Ends the pipeline and returns each queued statement's result in order; throws the
  // first statement's error once every result is read, so the connection stays usable.
  std::vector<Result> sync();

private:
  [[noreturn]] void fail(const PGresult *r) const;
  void enter_pipeline();
  PGconn *conn_;
  int queued_ = 0;
};

// An array literal of integers for a parameter: {1,2,3}.
std::string int_array(const std::vector<long long> &values);

} // namespace pg

#endif
