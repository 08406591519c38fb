// my.h - the little of MariaDB Connector/C the driver and the loader need,
// owned by RAII: the URI that names a server, a connection, its result sets,
// and errors that carry the server's error number.  A query is one round trip
// whatever the number of statements in its text; on a connection with an
// event loop it runs on the client's non-blocking API.
#ifndef TPCC_DRIVER_MY_H
#define TPCC_DRIVER_MY_H

#include "db.h"
#include "reactor.h"

#include <mysql.h>

#include <coroutine>
#include <memory>
#include <string>
#include <vector>

namespace my {

// What the server or the client said, with its error number (0 when the connection failed
// before the server said anything).
class Error : public db::Error {
public:
  Error(const std::string &message, unsigned number)
      : db::Error(message, number == 0 ? "" : std::to_string(number), kind(number)),
        number_(number) {}
  unsigned number() const { return number_; }

private:
  static Kind kind(unsigned number);
  unsigned number_;
};

// A mysql:// or mariadb:// URI: user[:password]@host[:port]/database[?socket=PATH], each part
// but the host optional and percent-decoded.
struct Uri {
  std::string user, password, host, database, socket;
  unsigned port = 0;
};
// Whether s names a MariaDB server, by its scheme.
bool is_uri(const std::string &s);
// Throws std::invalid_argument, saying what is wrong, when s is no such URI.
Uri parse_uri(const std::string &s);

// One result set, its rows as text (nullptr for NULL).
class Result {
public:
  Result() = default;
  explicit Result(MYSQL_RES *r);
  size_t rows() const { return rows_.size(); }
  const char *text(size_t row, unsigned col) const { return rows_[row][col]; }
  bool null(size_t row, unsigned col) const { return rows_[row][col] == nullptr; }
  long long integer(size_t row, unsigned col) const;
  // A decimal with at most two places, in hundredths, exactly.
  long long cents(size_t row, unsigned col) const;
  double real(size_t row, unsigned col) const;

private:
  struct Free {
    void operator()(MYSQL_RES *r) const { mysql_free_result(r); }
  };
  std::unique_ptr<MYSQL_RES, Free> res_;
  std::vector<MYSQL_ROW> rows_;
};

class Connection final : private Reactor::Waiter {
public:
  // Connects; local_infile lets LOAD DATA LOCAL read through the handler set on it.
  // Throws Error.
  explicit Connection(const Uri &uri, const std::string &name = "", bool local_infile = false);
  Connection(const Connection &) = delete;
  Connection &operator=(const Connection &) = delete;
  ~Connection();

  MYSQL *get() const { return mysql_; }
  // The server's id of this connection (CONNECTION_ID()).
  unsigned long id() const { return mysql_thread_id(mysql_); }

  // Runs sql, one statement or several separated by ';', and returns a result per statement
  // (empty for those without rows).  The first statement that fails ends it: the error is
  // thrown once the connection is ready for the next query.  Throws Error.
  std::vector<Result> exec(const std::string &sql);

  // The same as an awaitable: suspends until the results are in when the connection has a
  // reactor, and waits in place when it has none.  sql must outlive the wait.
  class Query {
  public:
    Query(Connection &c, const std::string &sql) : c_(c), sql_(sql) {}
    bool await_ready();
    void await_suspend(std::coroutine_handle<> awaiting) { c_.reactor_->watch(c_, awaiting); }
    std::vector<Result> await_resume();

  private:
    Connection &c_;
    const std::string &sql_;
  };
  Query query(const std::string &sql) { return Query(*this, sql); }
  void set_reactor(Reactor *reactor) { reactor_ = reactor; }

private:
  // The steps of a query on the non-blocking API: each returns the client's wait status,
  // 0 once the step is over.
  enum class Step { query, store, next, done };
  void begin(const std::string &sql);
  bool advance() override;
  void step(int status);
  int store_next();
  void wait_for(int status);
  std::vector<Result> finish();
  [[noreturn]] void fail() const;

  MYSQL *mysql_;
  Reactor *reactor_ = nullptr;
  Step step_ = Step::done;
  int status_ = 0;
  int ret_ = 0;
  MYSQL_RES *res_ = nullptr;
  std::vector<Result> results_;
  unsigned error_ = 0;
  std::string error_message_;
};

// s quoted as an SQL string literal for this connection's character set.
std::string quote(const Connection &c, const std::string &s);

// Sets a session variable ("name = value") that some servers lack (Galera's, on a server
// without it), where it is known; throws only when the connection is lost.
void set_where_known(Connection &c, const std::string &assignment);

} // namespace my

#endif
