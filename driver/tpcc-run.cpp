// tpcc-run - the TPC-C driver on PostgreSQL.
//
// Terminals deal their transactions from inputs.h.  In throughput mode each of
// the C connections runs its own terminal back to back, a few event-loop
// threads keeping them all busy; in standard mode the terminals wait in one
// timer queue for the next due and C worker threads, a connection each, take
// the due ones; deliveries go to delivery workers,
// one per group of warehouses, which run them in the background.  Every
// completion goes to one recorder, and the report is made from it; beside
// them a sampler reads the server's and the machine's counters every second.
#include "command_line.h"
#include "database.h"
#include "durability.h"
#include "metrics.h"
#include "page.h"
#include "pg_metrics.h"
#include "prometheus.h"
#include "report.h"
#include "terminals.h"
#include "transactions.h"

#include <tpcc/inputs.h>
#include <tpcc/shutdown_flag.h>
#include <tpcc/support.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <fstream>
#include <memory>
#include <queue>
#include <thread>
#include <tuple>

#include <getopt.h>
#include <sched.h>
#include <unistd.h>

// The command reports and exits from its main thread only.
// NOLINTBEGIN(concurrency-mt-unsafe)

namespace {

using command_line::usage_error;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

constexpr const char *kUsage =
    "usage: tpcc-run [--dsn CONNINFO] [--warehouses N] [--range A-B] [--connections C]\n"
    "                [--standard [--time-scale F]] [--ramp-up S] [--duration S] [--seed S]\n"
    "                [--c-load C] [--c-run C] [--report FILE] [--html FILE] [--samples FILE]\n"
    "                [--deliveries FILE] [--procedures] [--check] [--progress S] [--no-flag]\n"
    "                [--no-metrics] [--metrics-file FILE] [--server-pid PID] [--quiet]\n"
    "       tpcc-run --merge [--report FILE] [--html FILE] REPORT.json...\n";

constexpr const char *kHelp =
    "Run the TPC-C transactions against a PostgreSQL database that tpcc-load made.\n"
    "\n"
    "  -d, --dsn CONNINFO    libpq connection string or URI (default: the PG* environment)\n"
    "  -w, --warehouses N    the database's warehouses (default: all it has)\n"
    "  -r, --range A-B       drive only these warehouses (default: all)\n"
    "  -c, --connections C   connections and worker threads (default: 2 x the CPUs)\n"
    "  -S, --standard        10 terminals per warehouse with keying and think times\n"
    "      --time-scale F    0 < F <= 1: shorten those times (the run is not reportable)\n"
    "  -u, --ramp-up S       seconds before the measurement interval (default 10)\n"
    "  -t, --duration S      seconds of the measurement interval (default 60)\n"
    "  -s, --seed S          the terminals' seeds and C-Run come from it (default 1)\n"
    "      --c-load C        the C-Load of a database without tpcc_load (from load.env)\n"
    "      --c-run C         the run's C for C_LAST, checked against C-Load\n"
    "  -o, --report FILE     the report as JSON\n"
    "      --html FILE       the report as a page with charts (as tpcc-report draws it)\n"
    "      --samples FILE    one CSV line per transaction\n"
    "      --deliveries FILE the delivery result file (default: beside the --report)\n"
    "      --procedures      each transaction one call of the kit's PL/pgSQL function for\n"
    "                        it, installed when missing (default: the kit's statements)\n"
    "      --check           after the run: settle unknown outcomes, the consistency\n"
    "                        conditions and durability (exit 3 if either fails)\n"
    "      --no-metrics      do not sample the server's statistics and the machine's /proc\n"
    "      --metrics-file FILE  rewrite FILE every 10 s with the run's figures in\n"
    "                        Prometheus' text format (node_exporter's textfile collector)\n"
    "      --server-pid PID  the server's main process, when it runs here but the\n"
    "                        connection does not show it (its CPU and I/O in the report)\n"
    "  -p, --progress S      a progress line every S seconds, 0 for none (default 10)\n"
    "      --no-flag         run without the shutdown flag that stop sets\n"
    "  -q, --quiet           no progress\n"
    "      --merge           print and write the report of the whole of several hosts' runs\n"
    "  -h, --help            this text\n"
    "  -V, --version         the version\n"
    "\n"
    "Exit status: 0 done, 1 a failure (or over 1 % failed transactions), 2 a usage error,\n"
    "3 a consistency condition violated or acknowledged commits missing.\n";

struct Options {
  std::string dsn;
  int64_t warehouses = 0, first = 0, last = 0, connections = 0;
  bool standard = false;
  double time_scale = 1;
  int64_t ramp_up = 10, duration = 60;
  uint64_t seed = 1;
  int64_t c_load = -1, c_run = -1;
  std::string report, html, samples, deliveries;
  bool check = false, no_flag = false, quiet = false, merge = false, no_metrics = false;
  std::string metrics_file;
  int64_t server_pid = 0;
  tx::Mode sql = tx::Mode::plain;
  int64_t progress = 10;
  std::vector<std::string> merge_files;
};

enum : int {
  kTimeScale = 256,
  kCLoad,
  kCRun,
  kHtml,
  kSamples,
  kDeliveries,
  kCheck,
  kNoFlag,
  kMerge,
  kProcedures,
  kNoMetrics,
  kMetricsFile,
  kServerPid
};

Options parse(int argc, char **argv) {
  static const option kLong[] = {{"dsn", required_argument, nullptr, 'd'},
                                 {"warehouses", required_argument, nullptr, 'w'},
                                 {"range", required_argument, nullptr, 'r'},
                                 {"connections", required_argument, nullptr, 'c'},
                                 {"standard", no_argument, nullptr, 'S'},
                                 {"time-scale", required_argument, nullptr, kTimeScale},
                                 {"ramp-up", required_argument, nullptr, 'u'},
                                 {"duration", required_argument, nullptr, 't'},
                                 {"seed", required_argument, nullptr, 's'},
                                 {"c-load", required_argument, nullptr, kCLoad},
                                 {"c-run", required_argument, nullptr, kCRun},
                                 {"report", required_argument, nullptr, 'o'},
                                 {"html", required_argument, nullptr, kHtml},
                                 {"samples", required_argument, nullptr, kSamples},
                                 {"deliveries", required_argument, nullptr, kDeliveries},
                                 {"check", no_argument, nullptr, kCheck},
                                 {"progress", required_argument, nullptr, 'p'},
                                 {"no-flag", no_argument, nullptr, kNoFlag},
                                 {"quiet", no_argument, nullptr, 'q'},
                                 {"merge", no_argument, nullptr, kMerge},
                                 {"procedures", no_argument, nullptr, kProcedures},
                                 {"no-metrics", no_argument, nullptr, kNoMetrics},
                                 {"metrics-file", required_argument, nullptr, kMetricsFile},
                                 {"server-pid", required_argument, nullptr, kServerPid},
                                 {"help", no_argument, nullptr, 'h'},
                                 {"version", no_argument, nullptr, 'V'},
                                 {nullptr, 0, nullptr, 0}};
  Options o;
  opterr = 0;
  int c = 0;
  while ((c = getopt_long(argc, argv, ":d:w:r:c:Su:t:s:o:p:qhV", kLong, nullptr)) != -1) {
    switch (c) {
    case 'd':
      o.dsn = optarg;
      break;
    case 'w':
      o.warehouses = command_line::number("--warehouses", optarg, 1, INT32_MAX);
      break;
    case 'r':
      std::tie(o.first, o.last) = command_line::range(optarg);
      break;
    case 'c':
      o.connections = command_line::number("--connections", optarg, 1, 4096);
      break;
    case 'S':
      o.standard = true;
      break;
    case kTimeScale: {
      char *end = nullptr;
      o.time_scale = std::strtod(optarg, &end);
      if (*end != '\0' || !(o.time_scale > 0 && o.time_scale <= 1)) {
        usage_error(std::string("--time-scale: '") + optarg + "' is not a number in (0, 1]");
      }
      break;
    }
    case 'u':
      o.ramp_up = command_line::number("--ramp-up", optarg, 0, 604800);
      break;
    case 't':
      o.duration = command_line::number("--duration", optarg, 1, 604800);
      break;
    case 's':
      o.seed = static_cast<uint64_t>(command_line::number("--seed", optarg, 0, UINT64_MAX));
      break;
    case kCLoad:
      o.c_load = command_line::number("--c-load", optarg, 0, 255);
      break;
    case kCRun:
      o.c_run = command_line::number("--c-run", optarg, 0, 255);
      break;
    case 'o':
      o.report = optarg;
      break;
    case kHtml:
      o.html = optarg;
      break;
    case kSamples:
      o.samples = optarg;
      break;
    case kDeliveries:
      o.deliveries = optarg;
      break;
    case kCheck:
      o.check = true;
      break;
    case 'p':
      o.progress = command_line::number("--progress", optarg, 0, 86400);
      break;
    case kNoFlag:
      o.no_flag = true;
      break;
    case 'q':
      o.quiet = true;
      break;
    case kMerge:
      o.merge = true;
      break;
    case kProcedures:
      o.sql = tx::Mode::procedures;
      break;
    case kNoMetrics:
      o.no_metrics = true;
      break;
    case kMetricsFile:
      o.metrics_file = optarg;
      break;
    case kServerPid:
      o.server_pid = command_line::number("--server-pid", optarg, 1, INT32_MAX);
      break;
    default:
      command_line::common_option(c, kUsage, kHelp, TPCC_VERSION, argv);
    }
  }
  for (; optind < argc; ++optind) {
    if (!o.merge) {
      usage_error(std::string("unexpected argument '") + argv[optind] + "'");
    }
    o.merge_files.emplace_back(argv[optind]);
  }
  if (o.merge && o.merge_files.empty()) {
    usage_error("--merge needs the reports to merge");
  }
  if (o.server_pid > 0 && o.no_metrics) {
    usage_error("--server-pid goes without --no-metrics");
  }
  if (o.time_scale != 1 && !o.standard) {
    usage_error("--time-scale goes with --standard");
  }
  if (o.c_run >= 0 && o.c_load >= 0 &&
      IsValidRunCValue(static_cast<uint32_t>(o.c_load), static_cast<uint32_t>(o.c_run)) == 0) {
    usage_error("--c-run " + std::to_string(o.c_run) + " is not a valid C-Run for C-Load " +
                std::to_string(o.c_load) + " (their difference must be 65..119, not 96 or 112)");
  }
  return o;
}

[[noreturn]] void fail(const std::string &message, int status = 1) {
  (void)std::fprintf(stderr, "tpcc-run: %s\n", message.c_str());
  std::exit(status);
}

volatile std::sig_atomic_t g_signal = 0;
extern "C" void on_signal(int s) {
  g_signal = s;
}

// ---- the run's clock: µs since it began ----

const Clock::time_point g_start = Clock::now();
int64_t now_us() {
  return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - g_start).count();
}

// ---- terminals and the timer queue ----

union Inputs {
  NewOrderInput new_order;
  PaymentInput payment;
  OrderStatusInput order_status;
  DeliveryInput delivery;
  StockLevelInput stock_level;
};

struct Slot {
  Terminal terminal;
  int type = 0;
  Inputs in{};
  int64_t due_us = 0;
  int64_t keying_us = 0; // before the dealt transaction
};

// Deals the terminal's next transaction and draws its inputs.
void deal(Slot &s) {
  s.type = DealTransaction(&s.terminal);
  switch (s.type) {
  case TX_NEW_ORDER:
    DrawNewOrder(&s.terminal, &s.in.new_order);
    break;
  case TX_PAYMENT:
    DrawPayment(&s.terminal, &s.in.payment);
    break;
  case TX_ORDER_STATUS:
    DrawOrderStatus(&s.terminal, &s.in.order_status);
    break;
  case TX_DELIVERY:
    DrawDelivery(&s.terminal, &s.in.delivery);
    break;
  default:
    DrawStockLevel(&s.terminal, &s.in.stock_level);
    break;
  }
}

class Scheduler {
public:
  void push(int slot, int64_t due_us) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      queue_.emplace(due_us, slot);
    }
    ready_.notify_one();
  }
  // The next due terminal, waiting for it; -1 once stopped.
  int next() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (stopped_) {
        return -1;
      }
      if (!queue_.empty()) {
        const auto [due, slot] = queue_.top();
        if (due <= now_us()) {
          queue_.pop();
          return slot;
        }
        ready_.wait_until(lock, g_start + std::chrono::microseconds(due));
      } else {
        ready_.wait(lock);
      }
    }
  }
  void stop() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stopped_ = true;
    }
    ready_.notify_all();
  }
  bool stopped() const { return stopped_; }

private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::priority_queue<std::pair<int64_t, int>, std::vector<std::pair<int64_t, int>>, std::greater<>>
      queue_;
  std::atomic<bool> stopped_{false};
};

// ---- the run ----

struct DeliveryJob {
  DeliveryInput in;
  int64_t queued_us;
};

struct DeliveryQueue {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<DeliveryJob> jobs;
};

// A transaction whose connection was lost with its commit under way, and that the database
// could not yet say the outcome of.
struct Unsettled {
  report::Completion c; // as recorded
  tx::Proof proof;
  int old_pid;
};

struct Run {
  Options o;
  std::vector<Slot> slots;
  Scheduler scheduler;
  std::unique_ptr<report::Recorder> recorder;
  std::vector<std::unique_ptr<DeliveryQueue>> deliveries;
  std::atomic<bool> draining{false};
  std::atomic<int64_t> drain_deadline_us{INT64_MAX};
  std::atomic<bool> server_gone{false};
  std::string server_gone_message;
  std::mutex deliveries_file_mutex;
  std::FILE *deliveries_file = nullptr;
  std::mutex unsettled_mutex;
  std::vector<Unsettled> unsettled;
  int64_t wall_start_us = 0; // the Unix time of the run's clock's 0, µs
  std::unique_ptr<metrics::Series> series;
  json facts; // what the metrics file names the run by
  bool metrics_file_failed = false;
};

// A worker's connection, reopened when it is lost: with backoff, for up to 30 s.
class Worker {
public:
  explicit Worker(Run &run)
      : run_(run), session_(std::make_unique<tx::Session>(run.o.dsn, run.o.sql)) {}
  tx::Session &session() { return *session_; }
  // Hands the connection, and each one it reopens, to the event loop of reactor.
  void attach(pg::Reactor *reactor) {
    reactor_ = reactor;
    session_->conn.set_reactor(reactor);
  }

  // Runs body (a transaction on the session) until it succeeds, retrying conflicts; the
  // completion's outcome, retries and SQLSTATE are filled in.  A commit whose answer was
  // lost with the connection counts as whatever the database says it was.
  template <typename Body>
  Task<> attempt(report::Completion &c, Body body) {
    for (;;) {
      try {
        co_await body();
        co_return;
      } catch (const pg::Error &e) {
        if (e.lost()) {
          const tx::Proof proof = session_->pending;
          const int old_pid = session_->backend_pid;
          const bool reopened = reopen(e.what());
          c.outcome = report::Outcome::failed;
          c.sqlstate = e.sqlstate().empty() ? "08006" : e.sqlstate();
          if (proof.statement != nullptr) { // its commit may have happened
            const tx::Settled settled = reopened ? settle(proof, old_pid) : tx::Settled::unknown;
            if (settled == tx::Settled::committed) {
              c.outcome = report::Outcome::committed;
            } else if (settled == tx::Settled::unknown) {
              c.outcome = report::Outcome::unknown;
              lost_ = {proof, old_pid};
            }
          }
          co_return;
        }
        try {
          session_->reset();
        } catch (const pg::Error &) {
          (void)reopen(e.what());
        }
        if (!connected() || !e.conflict() || c.retries == 10) {
          c.outcome = report::Outcome::failed;
          c.sqlstate = e.sqlstate();
          co_return;
        }
        ++c.retries;
      }
    }
    co_return;
  }

  // The proof and server process of the last transaction whose outcome stayed unknown.
  std::pair<tx::Proof, int> lost() const { return lost_; }

private:
  tx::Settled settle(const tx::Proof &proof, int old_pid) {
    try {
      return tx::settle(*session_, proof, old_pid);
    } catch (const pg::Error &) {
      return tx::Settled::unknown;
    }
  }
  bool reopen(const std::string &why) {
    session_.reset();
    const int64_t deadline = now_us() + 30'000'000;
    for (int64_t wait_ms = 100; !run_.server_gone; wait_ms = std::min<int64_t>(wait_ms * 2, 2000)) {
      try {
        session_ = std::make_unique<tx::Session>(run_.o.dsn, run_.o.sql);
        session_->conn.set_reactor(reactor_);
        return true;
      } catch (const pg::Error &e) {
        if (now_us() + wait_ms * 1000 > deadline) {
          if (!run_.server_gone.exchange(true)) {
            run_.server_gone_message = std::string(why) + "; reconnecting: " + e.what();
          }
          break;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
    }
    session_.reset();
    return false;
  }

  Run &run_;
  std::unique_ptr<tx::Session> session_;
  pg::Reactor *reactor_ = nullptr;
  std::pair<tx::Proof, int> lost_;

public:
  bool connected() const { return session_ != nullptr; }
};

void keep_unsettled(Run &run, const Worker &w, const report::Completion &c) {
  const auto [proof, pid] = w.lost();
  const std::lock_guard<std::mutex> lock(run.unsettled_mutex);
  run.unsettled.push_back({c, proof, pid});
}

bool remote_payment(const PaymentInput &in) {
  return in.c_w_id != in.w_id;
}

Task<> run_transaction(Run &run, Worker &w, Slot &s, report::Completion &c) {
  switch (s.type) {
  case TX_NEW_ORDER: {
    tx::NewOrderResult out;
    co_await w.attempt(c, [&] { return tx::new_order(w.session(), s.in.new_order, out); });
    const NewOrderInput &in = s.in.new_order;
    c.outcome = c.outcome == report::Outcome::committed && out.rolled_back
                    ? report::Outcome::rolled_back
                    : c.outcome;
    c.lines = c.outcome == report::Outcome::rolled_back ? 0 : in.ol_cnt;
    for (int l = 0; l < in.ol_cnt; ++l) {
      c.remote_lines += in.line[l].supply_w_id != in.w_id ? 1 : 0;
    }
    break;
  }
  case TX_PAYMENT: {
    tx::PaymentResult out;
    co_await w.attempt(c, [&] { return tx::payment(w.session(), s.in.payment, out); });
    c.amount_cents = s.in.payment.h_amount_cents;
    c.remote = remote_payment(s.in.payment);
    c.by_name = s.in.payment.by_name != 0;
    break;
  }
  case TX_ORDER_STATUS: {
    tx::OrderStatusResult out;
    co_await w.attempt(c, [&] { return tx::order_status(w.session(), s.in.order_status, out); });
    c.by_name = s.in.order_status.by_name != 0;
    break;
  }
  case TX_DELIVERY: { // queued, and answered at once
    const auto k = static_cast<size_t>(s.in.delivery.w_id - run.o.first) % run.deliveries.size();
    DeliveryQueue &q = *run.deliveries[k];
    {
      const std::lock_guard<std::mutex> lock(q.mutex);
      q.jobs.push_back({s.in.delivery, c.start_us});
    }
    q.ready.notify_one();
    break;
  }
  default: {
    tx::StockLevelResult out;
    co_await w.attempt(c, [&] { return tx::stock_level(w.session(), s.in.stock_level, out); });
    break;
  }
  }
  co_return;
}

// The CPUs this process may use.
int cpu_count() {
  cpu_set_t cpus;
  return sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 1;
}

// Seconds as µs of the run's clock, scaled for tests.
int64_t scaled_us(const Run &run, double seconds) {
  return run.o.standard ? static_cast<int64_t>(seconds * run.o.time_scale * 1e6) : 0;
}

// Runs the terminal's dealt transaction and deals its next; false once the server stayed gone.
Task<bool> serve(Run &run, Worker &w, int slot) {
  Slot &s = run.slots[static_cast<size_t>(slot)];
  report::Completion c;
  c.terminal = slot + 1;
  c.type = s.type;
  c.start_us = std::min(s.due_us, now_us());
  co_await run_transaction(run, w, s, c);
  c.end_us = now_us();
  c.keying_us = s.keying_us;
  c.think_us = scaled_us(run, ThinkTime(&s.terminal, s.type));
  run.recorder->record(c);
  if (c.outcome == report::Outcome::unknown) {
    keep_unsettled(run, w, c);
  }
  if (!w.connected()) {
    run.scheduler.stop(); // the server stayed gone: the run ends
    co_return false;
  }
  deal(s);
  s.keying_us = scaled_us(run, KeyingTime(s.type));
  s.due_us = c.end_us + c.think_us + s.keying_us;
  co_return true;
}

// Standard mode: whichever terminal is due next, from the queue all workers share.
void queued_terminals_worker(Run &run, Worker &w) {
  for (int slot; (slot = run.scheduler.next()) >= 0;) {
    if (!wait(serve(run, w, slot))) {
      return;
    }
    run.scheduler.push(slot, run.slots[static_cast<size_t>(slot)].due_us);
  }
}

// Throughput mode: a worker's own terminal back to back.
Task<> own_terminal(Run &run, Worker &w, int slot) {
  bool more = true;
  while (more && !run.scheduler.stopped()) {
    more = co_await serve(run, w, slot);
  }
  co_return;
}

// Throughput mode: one thread keeps its workers' connections busy, each with
// its own terminal, resuming whichever transaction's results came in.
void terminal_loop(Run &run, const std::vector<std::pair<Worker *, int>> &workers) {
  pg::Reactor reactor;
  std::vector<Task<>> terminals;
  for (const auto &[w, slot] : workers) {
    w->attach(&reactor);
    terminals.push_back(own_terminal(run, *w, slot));
  }
  for (Task<> &t : terminals) {
    t.start();
  }
  while (
      !std::all_of(terminals.begin(), terminals.end(), [](const Task<> &t) { return t.done(); })) {
    reactor.poll(100);
  }
  for (const auto &[w, slot] : workers) {
    w->attach(nullptr);
  }
}

// Wall-clock time of a time on the run's clock, as UTC with microseconds.
std::string wall_clock(const Run &run, int64_t us) {
  const int64_t unix_us = run.wall_start_us + us;
  const time_t seconds = unix_us / 1'000'000;
  tm utc{};
  (void)gmtime_r(&seconds, &utc);
  char text[48];
  const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  (void)std::snprintf(text + n, sizeof text - n, ".%06lldZ",
                      static_cast<long long>(unix_us % 1'000'000));
  return text;
}

// One line of the delivery result file: queued and completed, its warehouse and carrier, what
// became of it, and per district the order delivered or why none was.
void write_delivery(Run &run, const DeliveryJob &job, int64_t done_us, const char *outcome,
                    int retries, const tx::DeliveryResult *r) {
  if (run.deliveries_file == nullptr) {
    return;
  }
  std::string line = wall_clock(run, job.queued_us) + "," +
                     (done_us < 0 ? std::string() : wall_clock(run, done_us)) + "," +
                     std::to_string(job.in.w_id) + "," + std::to_string(job.in.o_carrier_id) + "," +
                     outcome + "," + std::to_string(retries);
  for (size_t d = 0; d < 10; ++d) {
    line += ',';
    if (r != nullptr) {
      line += r->o_id[d] == 0 ? std::string("skipped") : std::to_string(r->o_id[d]);
    }
  }
  const std::lock_guard<std::mutex> lock(run.deliveries_file_mutex);
  (void)std::fprintf(run.deliveries_file, "%s\n", line.c_str());
}

// The next job of the queue, waiting for one; false once the drain is over or the worker's
// server stayed gone, every job left counted as never run.
bool next_delivery(Run &run, const Worker &w, DeliveryQueue &q, DeliveryJob &job) {
  std::unique_lock<std::mutex> lock(q.mutex);
  for (;;) {
    q.ready.wait_for(lock, std::chrono::milliseconds(100),
                     [&] { return !q.jobs.empty() || run.draining; });
    const bool over = now_us() > run.drain_deadline_us || !w.connected();
    if (!q.jobs.empty() && !over) {
      job = q.jobs.front();
      q.jobs.pop_front();
      return true;
    }
    if (run.draining || over) {
      for (const DeliveryJob &left : q.jobs) {
        run.recorder->record_dropped_delivery(left.queued_us);
        write_delivery(run, left, -1, "never_ran", 0, nullptr);
      }
      q.jobs.clear();
      return false;
    }
  }
}

void delivery_worker(Run &run, Worker &w, DeliveryQueue &q) {
  DeliveryJob job{};
  while (next_delivery(run, w, q, job)) {
    tx::DeliveryResult out;
    report::Completion c;
    wait(w.attempt(c, [&] { return tx::delivery(w.session(), job.in, out); }));
    const int64_t done = now_us();
    if (c.outcome == report::Outcome::committed) {
      run.recorder->record_delivery(job.queued_us, done, out.delivered, out.skipped, c.retries);
      write_delivery(run, job, done, "committed", c.retries, &out);
      continue;
    }
    c.type = TX_DELIVERY;
    c.start_us = job.queued_us;
    c.end_us = done;
    run.recorder->record(c);
    write_delivery(run, job, done, c.outcome == report::Outcome::unknown ? "unknown" : "failed",
                   c.retries, nullptr);
    if (c.outcome == report::Outcome::unknown) {
      keep_unsettled(run, w, c);
    }
  }
}

// The threads of the terminals: in standard mode one per worker, taking due
// terminals from the queue; in throughput mode a few event loops, each keeping
// its share of the workers busy (one loop per 16 connections, at most one per CPU).
std::vector<std::thread> start_terminals(Run &run, std::vector<std::unique_ptr<Worker>> &workers,
                                         size_t count) {
  std::vector<std::thread> threads;
  if (run.o.standard) {
    for (size_t i = 0; i < count; ++i) {
      Worker &w = *workers[i];
      threads.emplace_back([&run, &w] { queued_terminals_worker(run, w); });
    }
    return threads;
  }
  const size_t loops = std::min((count + 15) / 16, static_cast<size_t>(cpu_count()));
  std::vector<std::vector<std::pair<Worker *, int>>> shares(std::max<size_t>(loops, 1));
  for (size_t i = 0; i < count; ++i) {
    shares[i % shares.size()].emplace_back(workers[i].get(), static_cast<int>(i));
  }
  for (const auto &share : shares) {
    threads.emplace_back([&run, share] { terminal_loop(run, share); });
  }
  return threads;
}

// ---- before the run: the database, C and the flag ----

struct Database {
  int64_t warehouses = 0;
  int64_t c_load = -1;
  bool foreign_keys = true;
};

Database inspect(pg::Connection &conn, const Options &o) {
  const std::string missing = database::missing_table(conn);
  if (!missing.empty()) {
    fail("the database has no table '" + missing + "' of the kit: tpcc-load makes it");
  }
  Database db;
  db.warehouses = pg::integer(conn.exec("SELECT count(*) FROM warehouse"), 0, 0);
  const int64_t wanted = o.warehouses > 0 ? o.warehouses : db.warehouses;
  if (db.warehouses == 0 || db.warehouses < wanted || o.last > wanted) {
    fail("the database has " + std::to_string(db.warehouses) + " warehouses, fewer than the " +
         std::to_string(std::max(wanted, o.last)) +
         " asked for: tpcc-load --warehouses N makes them");
  }
  db.warehouses = wanted;
  db.foreign_keys = database::has_foreign_keys(conn);
  const std::vector<std::string> narrow = database::narrow_columns(conn);
  if (!narrow.empty()) {
    std::string list;
    for (const std::string &c : narrow) {
      list.append(list.empty() ? "" : ", ").append(c);
    }
    (void)std::fprintf(stderr,
                       "tpcc-run: warning: these columns can overflow in a long run, failing its"
                       " transactions: %s (the schema of tpcc-load %s makes them wide enough)\n",
                       list.c_str(), TPCC_VERSION);
  }
  if (pg::text(conn.exec("SELECT to_regclass('tpcc_load') IS NULL"), 0, 0)[0] == 'f') {
    const pg::Result r = conn.exec("SELECT DISTINCT c_load FROM tpcc_load");
    if (PQntuples(r.get()) > 1) {
      fail("the parts of the load recorded in tpcc_load have different C-Loads");
    }
    if (PQntuples(r.get()) == 1) {
      db.c_load = pg::integer(r, 0, 0);
    }
  }
  return db;
}

// Sets the run's C constants; returns C-Load.
uint32_t choose_c(const Options &o, const Database &db) {
  if (db.c_load >= 0 && o.c_load >= 0 && o.c_load != db.c_load) {
    fail("--c-load " + std::to_string(o.c_load) + " is not the C-Load " +
         std::to_string(db.c_load) + " recorded in tpcc_load");
  }
  const int64_t c_load = db.c_load >= 0 ? db.c_load : o.c_load;
  if (c_load < 0) {
    fail("the database records no C-Load (no tpcc_load row, as after loading tpcc-gen's files): "
         "give --c-load from its load.env");
  }
  auto seed = static_cast<unsigned int>((o.seed ^ (o.seed >> 32U)) * 2654435761U + 1);
  SetRunCValues(&seed, static_cast<uint32_t>(c_load));
  if (o.c_run >= 0) {
    if (IsValidRunCValue(static_cast<uint32_t>(c_load), static_cast<uint32_t>(o.c_run)) == 0) {
      fail("--c-run " + std::to_string(o.c_run) + " is not a valid C-Run for C-Load " +
           std::to_string(c_load) + " (their difference must be 65..119, not 96 or 112)");
    }
    C_255 = static_cast<uint32_t>(o.c_run);
  }
  return static_cast<uint32_t>(c_load);
}

void make_terminals(Run &run) {
  const Options &o = run.o;
  const int64_t n = o.standard ? 10 * (o.last - o.first + 1) : o.connections;
  run.slots.resize(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i) {
    const terminals::Place p = terminals::place(o.standard, o.first, o.last, i);
    Slot &s = run.slots[static_cast<size_t>(i)];
    InitTerminal(&s.terminal, static_cast<int32_t>(o.warehouses), p.w_id, p.d_id,
                 terminals::seed(o.seed, p));
    deal(s);
    s.keying_us = scaled_us(run, KeyingTime(s.type));
    s.due_us = s.keying_us;
    if (o.standard) {
      run.scheduler.push(static_cast<int>(i), s.due_us);
    }
  }
}

int default_connections() {
  return 2 * cpu_count();
}

std::FILE *open_output(const std::string &path, const char *header) {
  if (path.empty()) {
    return nullptr;
  }
  std::FILE *f = std::fopen(path.c_str(), "w");
  if (f == nullptr) {
    fail(path + ": " + std::strerror(errno));
  }
  (void)std::fputs(header, f);
  return f;
}

void close_output(std::FILE *f, const std::string &path) {
  if (f != nullptr && (std::ferror(f) != 0 || std::fclose(f) != 0)) {
    fail(path + ": " + std::strerror(errno));
  }
}

// ---- the run's course ----

void show_progress(Run &run, int64_t elapsed_us) {
  const report::Recorder::Recent r = run.recorder->recent(elapsed_us);
  uint64_t all = 0;
  for (const uint64_t n : r.count) {
    all += n;
  }
  const double per_minute = 60e6 / static_cast<double>(r.period_us);
  (void)std::fprintf(
      stderr, "tpcc-run: %lld s, tpmC %.0f, tpm %.0f, New-Order p90 %.1f ms, failures %llu\n",
      static_cast<long long>(elapsed_us / 1'000'000),
      static_cast<double>(r.count[TX_NEW_ORDER]) * per_minute,
      static_cast<double>(all) * per_minute, r.new_order_p90_ms,
      static_cast<unsigned long long>(r.failures));
}

// Rewrites --metrics-file with the figures so far; says so once when it cannot.
void write_metrics_file(Run &run, int64_t now) {
  if (run.o.metrics_file.empty()) {
    return;
  }
  const json server = run.series != nullptr ? run.series->last_period(now) : json();
  const std::string text = prometheus::exposition(run.facts, run.recorder->recent(now),
                                                  static_cast<double>(now) / 1e6, server);
  if (!report::write_text(text, run.o.metrics_file) && !run.metrics_file_failed) {
    run.metrics_file_failed = true;
    (void)std::fprintf(stderr, "tpcc-run: %s: %s (the run goes on without it)\n",
                       run.o.metrics_file.c_str(), std::strerror(errno));
  }
}

// Waits out ramp-up and interval, or what ends them first; returns what ended the run.
std::string course(Run &run, const int32_t *flag) {
  const int64_t end_us = (run.o.ramp_up + run.o.duration) * 1'000'000;
  const int64_t every_us = run.o.quiet ? 0 : run.o.progress * 1'000'000;
  int64_t next_progress = every_us;
  int64_t period = 0;
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const int64_t now = now_us();
    if (now / report::kPeriodUs != period) {
      period = now / report::kPeriodUs;
      write_metrics_file(run, now);
    }
    if (run.server_gone) {
      return "error";
    }
    if (g_signal != 0) {
      return "signal";
    }
    if (flag != nullptr && ShutdownRequested(flag) != 0) {
      return "stop";
    }
    if (now >= end_us) {
      return "duration";
    }
    if (every_us > 0 && now >= next_progress) {
      show_progress(run, now);
      next_progress += every_us;
    }
  }
}

json facts(const Run &run, uint32_t c_load, int64_t interval_start_unix_us) {
  const Options &o = run.o;
  json r = {{"tool", "tpcc-run"},
            {"version", TPCC_VERSION},
            {"mode", o.standard ? "standard" : "throughput"},
            {"sql", tx::mode_name(o.sql)},
            {"warehouses", o.warehouses},
            {"range", {o.first, o.last}},
            {"terminals", run.slots.size()},
            {"connections", o.connections},
            {"delivery_workers", run.deliveries.size()},
            {"seed", o.seed},
            {"c_load", c_load},
            {"c_run", C_255},
            {"c_1023", C_1023},
            {"c_8191", C_8191},
            {"ramp_up_s", o.ramp_up},
            {"duration_s", o.duration},
            {"interval_start_unix", static_cast<double>(interval_start_unix_us) / 1e6}};
  if (o.standard) {
    r["time_scale"] = o.time_scale;
  }
  return r;
}

// Where the server's time went, per transaction type, between two readings of its statistics.
json server_time(const database::ServerTime &before, const database::ServerTime &after) {
  if (!after.unavailable.empty() || !before.unavailable.empty()) {
    return {{"unavailable", before.unavailable.empty() ? after.unavailable : before.unavailable}};
  }
  json r = {{"source", "pg_stat_statements, all sessions of the database, the whole run"}};
  for (size_t t = 0; t < before.exec_ms.size(); ++t) {
    const double n = after.transactions[t] - before.transactions[t];
    const double ms = after.exec_ms[t] - before.exec_ms[t];
    r["transactions"][report::kTypeKeys[t]] = {{"counted", std::round(n)},
                                               {"exec_ms_avg", n >= 1 ? ms / n : 0}};
  }
  return r;
}

json read_server(pg::Connection &conn) {
  try {
    return pg_metrics::server(conn);
  } catch (const pg::Error &e) {
    return {{"unavailable", std::string("the server's settings could not be read: ") + e.what()}};
  }
}

// Starts reading the server's and the machine's counters, unless --no-metrics; says which
// figures the server or the machine will not give.
std::unique_ptr<metrics::Sampler> start_sampler(Run &run, const std::string &self) {
  if (run.o.no_metrics) {
    return nullptr;
  }
  auto sampler = std::make_unique<metrics::Sampler>(
      pg_metrics::source(run.o.dsn, self, static_cast<int>(run.o.server_pid)), now_us, *run.series);
  for (const json &m : sampler->summary().at("missing")) {
    (void)std::fprintf(stderr, "tpcc-run: metrics: %s; those figures are left out\n",
                       m.get<std::string>().c_str());
  }
  return sampler;
}

json metrics_json(const Run &run, const metrics::Sampler *sampler) {
  if (sampler == nullptr) {
    return {{"unavailable", "--no-metrics"}};
  }
  json m = sampler->summary();
  m.update(run.series->json());
  return m;
}

database::ServerTime read_server_time(pg::Connection &conn) {
  try {
    return database::server_time(conn);
  } catch (const pg::Error &e) {
    return {std::string("the server's statistics could not be read: ") + e.what(), {}, {}};
  }
}

// What --check holds the database to: its figures before the run, and the other drivers of
// the range connected then.
struct Acknowledgement {
  durability::Snapshot before{};
  std::vector<std::string> others;
};

// Asks the database, now that the run's server processes have ended, what became of each
// transaction whose outcome stayed unknown, and records the answers.
void settle_unsettled(Run &run) {
  if (run.unsettled.empty()) {
    return;
  }
  tx::Session fresh(run.o.dsn);
  for (Unsettled &u : run.unsettled) {
    tx::DeliveryResult d;
    if (u.c.type == TX_DELIVERY) {
      u.proof.found = [&d](const pg::Result &rows) { d = tx::delivered_orders(rows); };
    }
    tx::Settled settled = tx::Settled::unknown;
    try {
      settled = tx::settle(fresh, u.proof, u.old_pid);
    } catch (const pg::Error &) {
      continue;
    }
    if (settled == tx::Settled::unknown) {
      continue;
    }
    const bool committed = settled == tx::Settled::committed;
    if (u.c.type == TX_DELIVERY) {
      run.recorder->settle_delivery(u.c, committed, d.delivered, d.skipped);
    } else {
      run.recorder->settle(u.c, committed);
    }
  }
}

// The report's "durability": the range's change in the database against what the run
// acknowledged, when no other driver was seen on it.
json settle_and_judge(Run &run, Acknowledgement &ack, const std::string &self) {
  const auto first = static_cast<int>(run.o.first);
  const auto last = static_cast<int>(run.o.last);
  try {
    settle_unsettled(run);
    pg::Connection conn(run.o.dsn);
    for (const std::string &other : durability::other_drivers(conn, first, last, self)) {
      ack.others.push_back(other);
    }
    if (!ack.others.empty()) {
      return {{"judged", false},
              {"why", "another driver of these warehouses was connected (" + ack.others[0] + ")"}};
    }
    return durability::judge(ack.before, durability::take(conn, first, last),
                             run.recorder->whole_run());
  } catch (const pg::Error &e) {
    return {{"judged", false}, {"why", std::string("the server did not answer: ") + e.what()}};
  }
}

int run_check(pg::Connection &conn, const Options &o) {
  const std::vector<database::Condition> conditions =
      database::check(conn, static_cast<int>(o.first), static_cast<int>(o.last));
  std::printf("\nconsistency of warehouses %lld-%lld after the run:\n",
              static_cast<long long>(o.first), static_cast<long long>(o.last));
  return database::print_conditions(conditions, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 12}, stdout) == 0
             ? 0
             : 3;
}

// The page of --html, if asked for; false with errno.
bool write_page(const json &r, const Options &o) {
  if (o.html.empty()) {
    return true;
  }
  const size_t slash = o.report.rfind('/');
  const std::string name = o.report.empty() ? "tpcc-run" : o.report.substr(slash + 1);
  return report::write_text(page::html({{name, r}}, ""), o.html);
}

int merge_reports(const Options &o) {
  std::vector<json> parts;
  for (const std::string &file : o.merge_files) {
    std::ifstream in(file);
    if (!in) {
      fail(file + ": " + std::strerror(errno));
    }
    try {
      parts.push_back(json::parse(in));
      if (parts.back().value("tool", "") != "tpcc-run") {
        fail(file + ": not a report of tpcc-run");
      }
    } catch (const json::exception &e) {
      fail(file + ": not a report of tpcc-run (" + e.what() + ")");
    }
  }
  json r;
  try {
    r = report::merge(parts);
  } catch (const std::exception &e) {
    fail(std::string("cannot merge: ") + e.what());
  }
  (void)std::fputs(report::text(r).c_str(), stdout);
  if (!o.report.empty() && !report::write_file(r, o.report)) {
    fail(o.report + ": " + std::strerror(errno));
  }
  if (!write_page(r, o)) {
    fail(o.html + ": " + std::strerror(errno));
  }
  return 0;
}

} // namespace

namespace {

int run_main(int argc, char **argv) {
  Run run;
  run.o = parse(argc, argv);
  Options &o = run.o;
  if (o.merge) {
    return merge_reports(o);
  }
  std::unique_ptr<pg::Connection> control;
  try {
    control = std::make_unique<pg::Connection>(o.dsn);
  } catch (const pg::Error &e) {
    fail(std::string("cannot connect: ") + e.what());
  }
  Database db;
  uint32_t c_load = 0;
  try {
    db = inspect(*control, o);
    if (o.sql == tx::Mode::procedures) {
      database::install_procedures(*control);
    }
  } catch (const pg::Error &e) {
    fail(e.what());
  }
  c_load = choose_c(o, db);
  o.warehouses = db.warehouses;
  if (o.first == 0) {
    o.first = 1;
    o.last = o.warehouses;
  }
  o.connections = o.connections > 0 ? o.connections : default_connections();
  if (o.deliveries.empty() && !o.report.empty()) { // the result file goes beside the report
    const bool json_name = o.report.size() > 5 && o.report.ends_with(".json");
    o.deliveries = o.report.substr(0, o.report.size() - (json_name ? 5 : 0)) + ".deliveries.csv";
  }
  // Every connection from here on names the range it drives, for the durability check.
  const std::string self =
      durability::application_name(static_cast<int>(o.first), static_cast<int>(o.last));
  (void)setenv("PGAPPNAME", self.c_str(), 1);
  Acknowledgement ack;
  if (o.check) {
    try {
      ack.before = durability::take(*control, static_cast<int>(o.first), static_cast<int>(o.last));
      ack.others = durability::other_drivers(*control, static_cast<int>(o.first),
                                             static_cast<int>(o.last), self);
    } catch (const pg::Error &e) {
      fail(e.what());
    }
  }
  int32_t *flag = nullptr;
  if (!o.no_flag) {
    flag = AttachShutdownFlag();
    if (flag == nullptr) {
      fail(std::string("cannot attach the shutdown flag (key 1234): ") + std::strerror(errno) +
           " (--no-flag runs without it)");
    }
    ClearShutdownFlag(flag);
  }
  std::FILE *samples =
      open_output(o.samples, "terminal,type,start_us,response_us,outcome,retries\n");
  run.deliveries_file = open_output(
      o.deliveries,
      "queued,completed,w_id,o_carrier_id,outcome,retries,d1,d2,d3,d4,d5,d6,d7,d8,d9,d10\n");
  const auto workers_wanted = static_cast<size_t>(o.connections);
  const size_t delivery_workers =
      static_cast<size_t>(std::clamp<int64_t>((o.connections + 3) / 4, 1, o.last - o.first + 1));
  std::vector<std::unique_ptr<Worker>> workers;
  try {
    for (size_t i = 0; i < workers_wanted + delivery_workers; ++i) {
      workers.push_back(std::make_unique<Worker>(run));
    }
  } catch (const pg::Error &e) {
    fail(std::string("cannot connect: ") + e.what());
  }
  for (size_t i = 0; i < delivery_workers; ++i) {
    run.deliveries.push_back(std::make_unique<DeliveryQueue>());
  }
  for (const int s : {SIGINT, SIGTERM}) {
    (void)std::signal(s, on_signal);
  }
  (void)std::signal(SIGPIPE, SIG_IGN);

  const int64_t ramp_us = o.ramp_up * 1'000'000;
  run.wall_start_us = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count() -
                      now_us();
  run.recorder = std::make_unique<report::Recorder>(ramp_us, o.duration * 1'000'000, samples);
  run.series =
      std::make_unique<metrics::Series>(report::kPeriodUs, ramp_us, o.duration * 1'000'000);
  const json server = read_server(*control);
  const database::ServerTime server_before = read_server_time(*control);
  std::unique_ptr<metrics::Sampler> sampler = start_sampler(run, self);
  make_terminals(run);
  run.facts = facts(run, c_load, run.wall_start_us + ramp_us);
  std::vector<std::thread> terminal_threads = start_terminals(run, workers, workers_wanted);
  std::vector<std::thread> delivery_threads;
  for (size_t i = workers_wanted; i < workers.size(); ++i) {
    Worker &w = *workers[i];
    DeliveryQueue &q = *run.deliveries[i - workers_wanted];
    delivery_threads.emplace_back([&run, &w, &q] { delivery_worker(run, w, q); });
  }
  const std::string ended_by = course(run, flag);
  run.recorder->end_interval(now_us());
  run.series->end_interval(now_us());
  run.scheduler.stop();
  for (std::thread &t : terminal_threads) {
    t.join();
  }
  run.drain_deadline_us = now_us() + 60'000'000;
  run.draining = true;
  for (const auto &q : run.deliveries) {
    q->ready.notify_all();
  }
  for (std::thread &t : delivery_threads) {
    t.join();
  }
  if (sampler != nullptr) {
    sampler->stop();
  }
  write_metrics_file(run, now_us());
  if (flag != nullptr) {
    (void)DetachShutdownFlag(flag);
  }
  close_output(samples, o.samples);
  close_output(run.deliveries_file, o.deliveries);

  json r = run.facts;
  r["ended_by"] = run.server_gone ? "error" : ended_by;
  r["server_time"] = server_time(server_before, read_server_time(*control));
  r["foreign_keys"] = db.foreign_keys;
  r["server"] = server;
  r["metrics"] = metrics_json(run, sampler.get());
  if (o.check && !run.server_gone) {
    r["durability"] = settle_and_judge(run, ack, self);
  }
  r.update(run.recorder->json());
  report::finish(r);
  (void)std::fputs(report::text(r).c_str(), stdout);
  (void)std::fflush(stdout);
  int status = 0;
  if (run.server_gone) {
    (void)std::fprintf(stderr, "tpcc-run: the server stayed gone: %s\n",
                       run.server_gone_message.c_str());
    status = 1;
  }
  if (!o.report.empty() && !report::write_file(r, o.report)) {
    (void)std::fprintf(stderr, "tpcc-run: %s: %s\n", o.report.c_str(), std::strerror(errno));
    status = 1;
  }
  if (!write_page(r, o)) {
    (void)std::fprintf(stderr, "tpcc-run: %s: %s\n", o.html.c_str(), std::strerror(errno));
    status = 1;
  }
  if (r.at("failures_pct").get<double>() > 1) {
    (void)std::fprintf(stderr, "tpcc-run: %.2f %% of the transactions failed\n",
                       r.at("failures_pct").get<double>());
    status = 1;
  }
  if (o.check) {
    try {
      pg::Connection conn(o.dsn);
      status = status == 0 ? run_check(conn, o) : status;
    } catch (const pg::Error &e) {
      fail(std::string("the check failed: ") + e.what());
    }
    for (const std::string &line : durability::differences(r.at("durability"))) {
      (void)std::fprintf(stderr, "tpcc-run: %s\n", line.c_str());
    }
    status = r.at("durability").value("pass", true) ? status : 3;
  }
  return status;
}

} // namespace

int main(int argc, char **argv) {
  command_line::program = "tpcc-run";
  try {
    return run_main(argc, argv);
  } catch (const std::exception &e) { // the report's own arithmetic: a fault of the driver
    fail(e.what());
  }
}

// NOLINTEND(concurrency-mt-unsafe)
