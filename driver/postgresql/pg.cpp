// pg.cpp - libpq behind RAII; see pg.h.
#include "pg.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>
#include <utility>

namespace pg {

namespace {

// libpq's message on one line: its line breaks and indents become single spaces.
std::string trimmed(const char *message) {
  std::string s;
  for (const char *p = message != nullptr ? message : ""; *p != '\0'; ++p) {
    const bool space = *p == '\n' || *p == '\t' || *p == ' ';
    if (!space) {
      s.push_back(*p);
    } else if (!s.empty() && s.back() != ' ') {
      s.push_back(' ');
    }
  }
  while (!s.empty() && s.back() == ' ') {
    s.pop_back();
  }
  return s;
}

const char *field(const PGresult *r, int code) {
  const char *value = PQresultErrorField(r, code);
  return value != nullptr ? value : "";
}

} // namespace

long long integer(const Result &r, int row, int col) {
  return std::strtoll(PQgetvalue(r.get(), row, col), nullptr, 10);
}

long long cents(const Result &r, int row, int col) {
  return db::cents(PQgetvalue(r.get(), row, col));
}

double real(const Result &r, int row, int col) {
  return std::strtod(PQgetvalue(r.get(), row, col), nullptr);
}

Connection::Connection(const std::string &conninfo) : conn_(PQconnectdb(conninfo.c_str())) {
  if (conn_ == nullptr) {
    throw Error("out of memory", "");
  }
  if (PQstatus(conn_) != CONNECTION_OK) {
    std::string message = trimmed(PQerrorMessage(conn_));
    PQfinish(conn_);
    conn_ = nullptr;
    throw Error(message, "");
  }
}

Connection::~Connection() {
  if (reactor_ != nullptr) {
    reactor_->forget(*this);
  }
  if (conn_ != nullptr) {
    PQfinish(conn_);
  }
}

void Connection::fail(const PGresult *r) const {
  if (r == nullptr || PQstatus(conn_) == CONNECTION_BAD) {
    const char *message = r != nullptr ? PQresultErrorMessage(r) : PQerrorMessage(conn_);
    throw Error(trimmed(*message != '\0' ? message : PQerrorMessage(conn_)),
                r != nullptr ? field(r, PG_DIAG_SQLSTATE) : "");
  }
  throw Error(trimmed(field(r, PG_DIAG_MESSAGE_PRIMARY)), field(r, PG_DIAG_SQLSTATE));
}

Result Connection::exec(const std::string &sql) {
  Result r(PQexec(conn_, sql.c_str()));
  const ExecStatusType status = PQresultStatus(r.get());
  if (r == nullptr || (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)) {
    fail(r.get());
  }
  return r;
}

Result Connection::exec(const std::string &sql, const std::vector<std::string> &params) {
  std::vector<const char *> values;
  values.reserve(params.size());
  for (const std::string &p : params) {
    values.push_back(p.c_str());
  }
  Result r(PQexecParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(),
                        nullptr, nullptr, 0));
  const ExecStatusType status = PQresultStatus(r.get());
  if (r == nullptr || (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)) {
    fail(r.get());
  }
  return r;
}

void Connection::prepare(const std::string &name, const std::string &sql) {
  Result r(PQprepare(conn_, name.c_str(), sql.c_str(), 0, nullptr));
  if (r == nullptr || PQresultStatus(r.get()) != PGRES_COMMAND_OK) {
    fail(r.get());
  }
}

void Connection::enter_pipeline() {
  if (PQpipelineStatus(conn_) == PQ_PIPELINE_OFF && PQenterPipelineMode(conn_) != 1) {
    fail(nullptr);
  }
}

void Connection::send_sql(const char *sql) {
  enter_pipeline();
  if (PQsendQueryParams(conn_, sql, 0, nullptr, nullptr, nullptr, nullptr, 0) != 1) {
    fail(nullptr);
  }
  ++queued_;
}

void Connection::send(const char *name, std::initializer_list<Param> params) {
  const char *values[16];
  if (params.size() > std::size(values)) {
    throw Error(std::string(name) + ": too many parameters", "");
  }
  int n = 0;
  for (const Param &p : params) {
    values[n++] = p.c_str();
  }
  send_prepared(name, n, values);
}

void Connection::send(const char *name, const std::vector<std::string> &params) {
  std::vector<const char *> values;
  values.reserve(params.size());
  for (const std::string &p : params) {
    values.push_back(p.c_str());
  }
  send_prepared(name, static_cast<int>(values.size()), values.data());
}

void Connection::send_prepared(const char *name, int count, const char *const *values) {
  enter_pipeline();
  if (PQsendQueryPrepared(conn_, name, count, values, nullptr, nullptr, 0) != 1) {
    fail(nullptr);
  }
  ++queued_;
}

void Connection::start_sync() {
  expected_ = queued_;
  queued_ = 0;
  nulls_ = 0;
  broken_ = false;
  arrived_.clear();
  arrived_.reserve(static_cast<size_t>(expected_));
  if (PQpipelineSync(conn_) != 1) {
    fail(nullptr);
  }
}

bool Connection::advance() {
  if (PQconsumeInput(conn_) != 1) {
    broken_ = true;
    return true;
  }
  // Each statement's result is followed by a NULL; the sync's own result ends it.
  while (PQisBusy(conn_) == 0) {
    PGresult *r = PQgetResult(conn_);
    if (r == nullptr) {
      if (PQstatus(conn_) == CONNECTION_BAD || ++nulls_ > expected_ + 2) {
        broken_ = true;
        return true;
      }
      continue;
    }
    if (PQresultStatus(r) == PGRES_PIPELINE_SYNC) {
      PQclear(r);
      return true;
    }
    arrived_.emplace_back(r);
  }
  return false;
}

std::vector<Result> Connection::end_sync() {
  if (broken_) {
    fail(nullptr);
  }
  (void)PQexitPipelineMode(conn_);
  std::vector<Result> results = std::move(arrived_);
  arrived_.clear();
  for (const Result &r : results) {
    if (PQresultStatus(r.get()) == PGRES_FATAL_ERROR) {
      fail(r.get());
    }
  }
  return results;
}

std::vector<Result> Connection::sync() {
  start_sync();
  while (!advance()) {
    pollfd ready{PQsocket(conn_), POLLIN, 0};
    if (poll(&ready, 1, -1) < 0 && errno != EINTR) {
      fail(nullptr);
    }
  }
  return end_sync();
}

bool Connection::Synced::await_ready() {
  if (c_.reactor_ != nullptr) {
    c_.start_sync();
    c_.socket_ = PQsocket(c_.conn_);
    c_.wanted_ = EPOLLIN;
    return false;
  }
  results_ = c_.sync();
  in_place_ = true;
  return true;
}

std::vector<Result> Connection::Synced::await_resume() {
  return in_place_ ? std::move(results_) : c_.end_sync();
}

std::string int_array(const std::vector<long long> &values) {
  std::string s(values.size() * 21 + 2, '\0');
  char *p = s.data();
  *p++ = '{';
  for (const long long v : values) {
    p = std::to_chars(p, s.data() + s.size(), v).ptr;
    *p++ = ',';
  }
  p[values.empty() ? 0 : -1] = '}';
  s.resize(static_cast<size_t>(p - s.data()) + (values.empty() ? 1 : 0));
  return s;
}

} // namespace pg
