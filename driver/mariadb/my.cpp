// my.cpp - MariaDB Connector/C behind RAII; see my.h.
#include "my.h"

#include <errmsg.h>
#include <mysqld_error.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <poll.h>
#include <stdexcept>
#include <sys/epoll.h>
#include <system_error>

namespace my {

db::Error::Kind Error::kind(unsigned number) {
  switch (number) {
  case ER_LOCK_DEADLOCK:
  case ER_LOCK_WAIT_TIMEOUT:
    return Kind::conflict;
  case ER_UNKNOWN_COM_ERROR: // Galera: "WSREP has not yet prepared node for application use"
    return Kind::unavailable;
  case 0:
  case CR_CONNECTION_ERROR:
  case CR_CONN_HOST_ERROR:
  case CR_SERVER_GONE_ERROR:
  case CR_SERVER_LOST:
  case CR_SERVER_LOST_EXTENDED:
  case ER_CONNECTION_KILLED:
  case ER_SERVER_SHUTDOWN:
  case ER_NORMAL_SHUTDOWN:
  case CR_COMMANDS_OUT_OF_SYNC: // the client lost its place in what the server sent
    return Kind::lost;
  default:
    return Kind::other;
  }
}

namespace {

int hex(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

std::string decoded(const std::string &s, const char *part) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out.push_back(s[i]);
      continue;
    }
    const int hi = i + 2 < s.size() ? hex(s[i + 1]) : -1;
    const int lo = hi >= 0 ? hex(s[i + 2]) : -1;
    if (lo < 0) {
      throw std::invalid_argument(std::string("a '%' in the ") + part +
                                  " that is not followed by two hexadecimal digits");
    }
    out.push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  return out;
}

size_t scheme_length(const std::string &s) {
  for (const char *scheme : {"mysql://", "mariadb://"}) {
    if (s.starts_with(scheme)) {
      return std::char_traits<char>::length(scheme);
    }
  }
  return 0;
}

// host[:port], the host an IPv6 address in brackets or a name.
void parse_host(const std::string &s, Uri &u) {
  size_t colon = s.rfind(':');
  if (s.starts_with("[")) {
    const size_t close = s.find(']');
    if (close == std::string::npos) {
      throw std::invalid_argument("an IPv6 host without its ']'");
    }
    u.host = s.substr(1, close - 1);
    colon = close + 1 < s.size() ? close + 1 : std::string::npos;
    if (colon != std::string::npos && s[colon] != ':') {
      throw std::invalid_argument("'" + s.substr(colon) + "' after the IPv6 host");
    }
  } else {
    u.host = decoded(s.substr(0, colon), "host");
  }
  if (colon == std::string::npos) {
    return;
  }
  const std::string port = s.substr(colon + 1);
  char *end = nullptr;
  const long p = std::strtol(port.c_str(), &end, 10);
  if (port.empty() || *end != '\0' || p < 1 || p > 65535) {
    throw std::invalid_argument("the port '" + port + "' is not a number in 1..65535");
  }
  u.port = static_cast<unsigned>(p);
}

void parse_query(const std::string &q, Uri &u) {
  size_t start = 0;
  while (start <= q.size()) {
    const size_t amp = std::min(q.find('&', start), q.size());
    const std::string pair = q.substr(start, amp - start);
    const size_t eq = pair.find('=');
    const std::string key = pair.substr(0, eq);
    if (key != "socket" || eq == std::string::npos) {
      throw std::invalid_argument("unknown parameter '" + pair + "' (the one known: socket=PATH)");
    }
    u.socket = decoded(pair.substr(eq + 1), "socket");
    start = amp + 1;
  }
}

} // namespace

bool is_uri(const std::string &s) {
  return scheme_length(s) > 0;
}

Uri parse_uri(const std::string &s) {
  const size_t scheme = scheme_length(s);
  if (scheme == 0) {
    throw std::invalid_argument("not a mysql:// or mariadb:// URI");
  }
  Uri u;
  std::string rest = s.substr(scheme);
  const size_t question = rest.find('?');
  if (question != std::string::npos) {
    parse_query(rest.substr(question + 1), u);
    rest.resize(question);
  }
  const size_t slash = rest.find('/');
  if (slash != std::string::npos) {
    u.database = decoded(rest.substr(slash + 1), "database");
    rest.resize(slash);
  }
  const size_t at = rest.rfind('@');
  if (at != std::string::npos) {
    const std::string userinfo = rest.substr(0, at);
    const size_t colon = userinfo.find(':');
    u.user = decoded(userinfo.substr(0, colon), "user");
    if (colon != std::string::npos) {
      u.password = decoded(userinfo.substr(colon + 1), "password");
    }
    rest = rest.substr(at + 1);
  }
  parse_host(rest, u);
  if (u.host.empty() && u.socket.empty()) {
    throw std::invalid_argument("no host, and no ?socket=PATH");
  }
  if (u.database.empty()) {
    throw std::invalid_argument("no database: add /NAME after the host");
  }
  return u;
}

Result::Result(MYSQL_RES *r) : res_(r) {
  if (r == nullptr) {
    return;
  }
  rows_.reserve(mysql_num_rows(r));
  for (MYSQL_ROW row = nullptr; (row = mysql_fetch_row(r)) != nullptr;) {
    rows_.push_back(row);
  }
}

long long Result::integer(size_t row, unsigned col) const {
  const char *s = text(row, col);
  return s != nullptr ? std::strtoll(s, nullptr, 10) : 0;
}

long long Result::cents(size_t row, unsigned col) const {
  const char *s = text(row, col);
  return s != nullptr ? db::cents(s) : 0;
}

double Result::real(size_t row, unsigned col) const {
  const char *s = text(row, col);
  return s != nullptr ? std::strtod(s, nullptr) : 0;
}

Connection::Connection(const Uri &uri, const std::string &name, bool local_infile) {
  static std::once_flag library;
  std::call_once(library, [] { (void)mysql_library_init(0, nullptr, nullptr); });
  mysql_ = mysql_init(nullptr);
  if (mysql_ == nullptr) {
    throw Error("out of memory", 0);
  }
  const unsigned int on = 1;
  (void)mysql_options(mysql_, MYSQL_OPT_NONBLOCK, nullptr);
  (void)mysql_options(mysql_, MYSQL_OPT_LOCAL_INFILE, local_infile ? &on : nullptr);
  if (!name.empty()) {
    (void)mysql_optionsv(mysql_, MYSQL_OPT_CONNECT_ATTR_ADD, "program_name", name.c_str());
  }
  const auto text = [](const std::string &s) { return s.empty() ? nullptr : s.c_str(); };
  if (mysql_real_connect(mysql_, text(uri.host), text(uri.user), text(uri.password),
                         uri.database.c_str(), uri.port, text(uri.socket),
                         CLIENT_MULTI_STATEMENTS | CLIENT_FOUND_ROWS) == nullptr) {
    const std::string message =
        (uri.socket.empty() ? uri.host : uri.socket) + ": " + mysql_error(mysql_);
    const unsigned number = mysql_errno(mysql_);
    mysql_close(mysql_);
    throw Error(message, number);
  }
}

Connection::~Connection() {
  if (reactor_ != nullptr) {
    reactor_->forget(*this);
  }
  if (res_ != nullptr) {
    mysql_free_result(res_);
  }
  mysql_close(mysql_);
}

void Connection::fail() const {
  throw Error(mysql_error(mysql_), mysql_errno(mysql_));
}

void Connection::begin(const std::string &sql) {
  results_.clear();
  error_ = 0;
  step_ = Step::query;
  step(mysql_real_query_start(&ret_, mysql_, sql.data(), sql.size()));
}

void Connection::wait_for(int status) {
  status_ = status;
  socket_ = mysql_get_socket(mysql_);
  wanted_ = ((status & MYSQL_WAIT_READ) != 0 ? EPOLLIN : 0U) |
            ((status & MYSQL_WAIT_WRITE) != 0 ? EPOLLOUT : 0U) |
            ((status & MYSQL_WAIT_EXCEPT) != 0 ? EPOLLPRI : 0U);
}

// The next result set, once the last is stored: its status, or 0 when there is none.
int Connection::store_next() {
  if (mysql_more_results(mysql_) == 0) {
    step_ = Step::done;
    return 0;
  }
  step_ = Step::next;
  return mysql_next_result_start(&ret_, mysql_);
}

// Goes on from a step that returned status until one has to wait, or the query is done.
void Connection::step(int status) {
  while (status == 0 && step_ != Step::done) {
    const bool failed = (step_ == Step::query && ret_ != 0) || (step_ == Step::next && ret_ > 0) ||
                        (step_ == Step::store && res_ == nullptr && mysql_field_count(mysql_) != 0);
    if (failed) {
      error_ = mysql_errno(mysql_) != 0 ? mysql_errno(mysql_) : CR_UNKNOWN_ERROR;
      error_message_ = mysql_error(mysql_);
      step_ = Step::done;
    } else if (step_ == Step::store) {
      results_.emplace_back(std::exchange(res_, nullptr));
      status = store_next();
    } else if (step_ == Step::next && ret_ < 0) {
      step_ = Step::done;
    } else if (mysql_field_count(mysql_) == 0) { // no rows to store: on to the next result
      results_.emplace_back();
      status = store_next();
    } else {
      step_ = Step::store;
      status = mysql_store_result_start(&res_, mysql_);
    }
  }
  wait_for(status);
}

bool Connection::advance() {
  switch (step_) {
  case Step::query:
    step(mysql_real_query_cont(&ret_, mysql_, status_));
    break;
  case Step::store:
    step(mysql_store_result_cont(&res_, mysql_, status_));
    break;
  case Step::next:
    step(mysql_next_result_cont(&ret_, mysql_, status_));
    break;
  case Step::done:
    break;
  }
  return step_ == Step::done;
}

std::vector<Result> Connection::finish() {
  if (error_ != 0) {
    throw Error(error_message_, error_);
  }
  return std::move(results_);
}

std::vector<Result> Connection::exec(const std::string &sql) {
  begin(sql);
  while (step_ != Step::done) {
    pollfd ready{socket_, static_cast<short>(wanted_), 0};
    const int timeout = (status_ & MYSQL_WAIT_TIMEOUT) != 0
                            ? static_cast<int>(mysql_get_timeout_value_ms(mysql_))
                            : -1;
    if (poll(&ready, 1, timeout) < 0 && errno != EINTR) {
      throw Error("poll: " + std::generic_category().message(errno), 0);
    }
    (void)advance();
  }
  return finish();
}

bool Connection::Query::await_ready() {
  if (c_.reactor_ == nullptr) {
    return true;
  }
  c_.begin(sql_);
  return c_.step_ == Step::done;
}

std::vector<Result> Connection::Query::await_resume() {
  return c_.reactor_ == nullptr ? c_.exec(sql_) : c_.finish();
}

void set_where_known(Connection &c, const std::string &assignment) {
  try {
    (void)c.exec("SET SESSION " + assignment);
  } catch (const Error &e) {
    if (e.lost()) {
      throw;
    }
  }
}

std::string quote(const Connection &c, const std::string &s) {
  std::string out(s.size() * 2 + 3, '\0');
  out[0] = '\'';
  const unsigned long n = mysql_real_escape_string(c.get(), out.data() + 1, s.data(),
                                                   static_cast<unsigned long>(s.size()));
  out[n + 1] = '\'';
  out.resize(n + 2);
  return out;
}

} // namespace my
