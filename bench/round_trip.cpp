// round_trip - the least CPU a libpq client spends per round trip on this
// machine: C threads, one connection each, a prepared one-row SELECT of
// CUSTOMER per round trip, in pipeline mode with a sync as tpcc-run sends
// its statements.  The floor under tpcc-run's own CPU per round trip.
// --one-thread drives every connection from one thread with non-blocking
// sockets and epoll, so that one wake-up may serve several answers.
// --rows=N makes the server also count N rows per round trip, so that its
// answers take as long as a transaction's.
//   round_trip CONNECTIONS SECONDS [--one-thread] [--rows=N]   (server from PG* variables)
#include <libpq-fe.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <sys/epoll.h>
#include <sys/resource.h>

namespace {

std::atomic<bool> g_stop{false};
std::atomic<long> g_trips{0};
// What each round trip asks the server beyond its one row; set before any thread starts.
std::string g_work;

[[noreturn]] void die(PGconn *conn) {
  (void)std::fprintf(stderr, "round_trip: %s", PQerrorMessage(conn));
  std::_Exit(1); // from any client thread: the measurement is void
}

PGconn *connect_prepared() {
  PGconn *conn = PQconnectdb("");
  if (PQstatus(conn) != CONNECTION_OK) {
    die(conn);
  }
  const std::string sql = "SELECT c_balance, c_data" + g_work +
                          " FROM customer WHERE c_w_id = 1 AND c_d_id = $1 AND c_id = $2";
  PGresult *prepared = PQprepare(conn, "q", sql.c_str(), 2, nullptr);
  if (PQresultStatus(prepared) != PGRES_COMMAND_OK) {
    die(conn);
  }
  PQclear(prepared);
  return conn;
}

void send_one(PGconn *conn, long n) {
  const std::string district = std::to_string(n % 10 + 1);
  const std::string customer = std::to_string(n % 3000 + 1);
  const char *values[2] = {district.c_str(), customer.c_str()};
  if (PQsendQueryPrepared(conn, "q", 2, values, nullptr, nullptr, 0) == 0 ||
      PQpipelineSync(conn) == 0 || PQflush(conn) < 0) {
    die(conn);
  }
}

void client() {
  PGconn *conn = connect_prepared();
  long n = 0;
  for (; !g_stop; ++n) {
    if (PQenterPipelineMode(conn) == 0) {
      die(conn);
    }
    send_one(conn, n);
    for (PGresult *r; (r = PQgetResult(conn)) != nullptr;) { // the row, then the end
      PQclear(r);
    }
    PQclear(PQgetResult(conn)); // the sync
    if (PQexitPipelineMode(conn) == 0) {
      die(conn);
    }
  }
  g_trips += n;
  PQfinish(conn);
}

// Reads what has arrived; true when the sync ended the round trip.
bool drain(PGconn *conn) {
  if (PQconsumeInput(conn) == 0) {
    die(conn);
  }
  while (PQisBusy(conn) == 0) {
    PGresult *r = PQgetResult(conn);
    if (r == nullptr) {
      continue; // the end of the row's results
    }
    const bool synced = PQresultStatus(r) == PGRES_PIPELINE_SYNC;
    PQclear(r);
    if (synced) {
      return true;
    }
  }
  return false;
}

void event_loop(long connections) {
  std::vector<PGconn *> conns;
  const int poller = epoll_create1(0);
  for (long i = 0; i < connections; ++i) {
    PGconn *conn = connect_prepared();
    if (PQsetnonblocking(conn, 1) != 0 || PQenterPipelineMode(conn) == 0) {
      die(conn);
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = static_cast<uint64_t>(i);
    (void)epoll_ctl(poller, EPOLL_CTL_ADD, PQsocket(conn), &ev);
    conns.push_back(conn);
    send_one(conn, i);
  }
  long n = 0;
  std::vector<epoll_event> ready(static_cast<size_t>(connections));
  while (!g_stop) {
    const int k = epoll_wait(poller, ready.data(), static_cast<int>(connections), 100);
    for (int j = 0; j < k; ++j) {
      PGconn *conn = conns[ready[static_cast<size_t>(j)].data.u64];
      if (drain(conn)) {
        ++n;
        send_one(conn, n);
      }
    }
  }
  g_trips += n;
  for (PGconn *conn : conns) {
    PQfinish(conn);
  }
}

double seconds(const timeval &t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char **argv) {
  bool one_thread = false;
  bool usage = argc < 3;
  for (int i = 3; i < argc; ++i) {
    const std::string option = argv[i];
    char *end = nullptr;
    if (option == "--one-thread") {
      one_thread = true;
    } else if (option.rfind("--rows=", 0) == 0 && std::strtol(argv[i] + 7, &end, 10) > 0 &&
               *end == '\0') {
      g_work = ", (SELECT count(*) FROM generate_series(1, " + option.substr(7) + "))";
    } else {
      usage = true;
    }
  }
  if (usage) {
    (void)std::fprintf(stderr, "usage: round_trip CONNECTIONS SECONDS [--one-thread] [--rows=N]\n");
    return 2;
  }
  const long connections = std::strtol(argv[1], nullptr, 10);
  const long duration = std::strtol(argv[2], nullptr, 10);
  if (connections < 1 || connections > 1000 || duration < 1) {
    (void)std::fprintf(stderr, "round_trip: CONNECTIONS 1-1000 and SECONDS >= 1\n");
    return 2;
  }
  std::vector<std::thread> threads;
  threads.reserve(static_cast<size_t>(connections));
  for (long i = 0; i < connections && !one_thread; ++i) {
    threads.emplace_back(client);
  }
  if (one_thread) {
    threads.emplace_back(event_loop, connections);
  }
  std::this_thread::sleep_for(std::chrono::seconds(duration));
  g_stop = true;
  for (std::thread &t : threads) {
    t.join();
  }
  rusage self{};
  (void)getrusage(RUSAGE_SELF, &self);
  const double cpu = seconds(self.ru_utime) + seconds(self.ru_stime);
  const long trips = g_trips;
  std::printf("%ld connections%s: %ld round trips, client CPU %.2f s (kernel %.2f s), %.1f us per "
              "round trip\n",
              connections, one_thread ? " on one thread" : "", trips, cpu, seconds(self.ru_stime),
              trips > 0 ? cpu * 1e6 / static_cast<double>(trips) : 0.0);
  return 0;
}
