// engine.cpp - the run on any database behind db.h; see engine.h.
#include "engine.h"

#include "durability.h"
#include "metrics.h"
#include "page.h"
#include "prometheus.h"
#include "report.h"
#include "terminals.h"

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

#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

// The command reports and exits from its main thread only.
// NOLINTBEGIN(concurrency-mt-unsafe)

namespace {

using Clock = std::chrono::steady_clock;
using engine::Plan;
using nlohmann::json;

[[noreturn]] void fail(const std::string &message, int status = 1) {
  (void)std::fprintf(stderr, "tpcc-run: %s\n", message.c_str());
  std::exit(status);
}

volatile std::sig_atomic_t g_signal = 0;
extern "C" void on_signal(int s) {
  g_signal = s;
}

// ---- the run's clock: µs since its terminals started ----

// The run's zero, set once when everything is ready and before any thread reads the clock:
// connecting, preparing and the --check snapshot are not part of the ramp-up.
Clock::time_point g_start = Clock::now();
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
  db::Proof proof;
  int old_pid;                // on the first server, 0 when it was on another
  std::string delivery_line;  // a delivery's line of the result file, "" for other types
  int64_t delivery_queued_us; // and its job, for the line that settles it
  DeliveryInput delivery_in;
};

struct Run {
  Plan o;
  std::vector<db::Database *> servers; // the connections go to each in turn
  db::Database *database = nullptr;    // the first: what the run reads and checks there
  std::vector<int64_t> opened;         // the connections first opened on each server
  std::atomic<int64_t> moved{0};       // connections reopened on another server
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
  int64_t wall_start_us = 0;           // the Unix time of the run's clock's 0, µs
  double setup_s = 0;                  // from Plan::began to the clock's 0
  std::vector<std::string> identities; // of each server: equal ones are one server
  std::vector<json> settings;          // what each server said of itself
  // The result file's lines of deliveries whose outcome --check settled, and their new text.
  std::vector<std::pair<std::string, std::string>> settled_lines;
  std::vector<std::string> failed_files; // "path: why", one for each output not written whole
  std::unique_ptr<metrics::Series> series;
  json facts; // what the metrics file names the run by
  bool metrics_file_failed = false;
};

// How often a transaction runs again after a conflict before it counts as failed: enough for
// the nodes of a cluster that all write one warehouse, where each try can lose to another
// node's commit.
constexpr int kRetries = 100;

// A worker's connection, reopened when it is lost on the next server that answers: with
// backoff, for up to 30 s.
class Worker {
public:
  Worker(Run &run, size_t server)
      : run_(run), session_(run.servers[server]->session(run.o.sql)), server_(server) {}
  db::Session &session() { return *session_; }
  // Hands the connection, and each one it reopens, to the event loop of reactor.
  void attach(Reactor *reactor) {
    reactor_ = reactor;
    if (session_ != nullptr) { // none once the server stayed gone
      session_->attach(reactor);
    }
  }

  // Runs body (a transaction on the session) until it succeeds, retrying conflicts; the
  // completion's outcome, retries and SQLSTATE are filled in.  A commit whose answer was
  // lost with the connection counts as whatever the database says it was.
  template <typename Body>
  Task<> attempt(report::Completion &c, Body body, db::DeliveryResult *delivered = nullptr) {
    for (;;) {
      try {
        co_await body();
        co_return;
      } catch (const db::Error &e) {
        if (e.unavailable()) { // nothing committed: again, on the next server
          if (reopen(e.what(), 1) && c.retries < kRetries) {
            ++c.retries;
            continue;
          }
          c.outcome = report::Outcome::failed;
          c.sqlstate = e.code();
          co_return;
        }
        if (e.lost()) {
          lose(e, c, delivered);
          co_return;
        }
        try {
          session_->reset();
        } catch (const db::Error &) {
          (void)reopen(e.what(), 0);
        }
        if (!connected() || !e.conflict() || c.retries == kRetries) {
          c.outcome = report::Outcome::failed;
          c.sqlstate = e.code();
          co_return;
        }
        ++c.retries;
      }
    }
    co_return;
  }

  // The proof and server process of the last transaction whose outcome stayed unknown.
  std::pair<db::Proof, int> lost() const { return lost_; }

private:
  // A lost connection: reopened, and the commit that may have been under way settled.  One
  // now on another server is left to settle after the run, when the old server's last commit
  // is over either way.
  void lose(const db::Error &e, report::Completion &c, db::DeliveryResult *delivered) {
    const db::Proof proof = session_->pending;
    const int old_pid = session_->server_id();
    const size_t old_server = server_;
    const bool reopened = reopen(e.what(), 0);
    c.outcome = report::Outcome::failed;
    c.sqlstate = e.code().empty() ? "08006" : e.code();
    if (proof.type < 0) {
      return;
    }
    const db::Settled settled = reopened && server_ == old_server
                                    ? settle(proof, old_pid, delivered)
                                    : db::Settled::unknown;
    if (settled == db::Settled::committed) {
      c.outcome = report::Outcome::committed;
    } else if (settled == db::Settled::unknown) {
      c.outcome = report::Outcome::unknown;
      lost_ = {proof, old_server == 0 ? old_pid : 0};
    }
  }
  db::Settled settle(const db::Proof &proof, int old_pid, db::DeliveryResult *delivered) {
    try {
      return session_->settle(proof, old_pid, delivered);
    } catch (const db::Error &) {
      return db::Settled::unknown;
    }
  }
  // Tries the servers in turn, from this one (first 0) or the next (first 1) on.
  bool reopen(const std::string &why, size_t first) {
    session_.reset();
    const size_t n = run_.servers.size();
    const int64_t deadline = now_us() + 30'000'000;
    for (int64_t wait_ms = 100; !run_.server_gone; wait_ms = std::min<int64_t>(wait_ms * 2, 2000)) {
      std::string refused;
      for (size_t k = first; k < first + n; ++k) {
        const size_t server = (server_ + k) % n;
        try {
          session_ = run_.servers[server]->session(run_.o.sql);
          session_->attach(reactor_);
          run_.moved += server != server_ ? 1 : 0;
          server_ = server;
          return true;
        } catch (const db::Error &e) {
          refused = e.what(); // which names the server
        }
      }
      if (now_us() + wait_ms * 1000 > deadline) {
        if (!run_.server_gone.exchange(true)) {
          run_.server_gone_message = std::string(why) + "; reconnecting: " + refused;
        }
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
    }
    session_.reset();
    return false;
  }

  Run &run_;
  std::unique_ptr<db::Session> session_;
  size_t server_;
  Reactor *reactor_ = nullptr;
  std::pair<db::Proof, int> lost_;

public:
  bool connected() const { return session_ != nullptr; }
};

void keep_unsettled(Run &run, const Worker &w, const report::Completion &c,
                    std::string delivery_line = "", const DeliveryJob *job = nullptr) {
  const auto [proof, pid] = w.lost();
  const std::lock_guard<std::mutex> lock(run.unsettled_mutex);
  run.unsettled.push_back({c, proof, pid, std::move(delivery_line),
                           job != nullptr ? job->queued_us : 0,
                           job != nullptr ? job->in : DeliveryInput{}});
}

bool remote_payment(const PaymentInput &in) {
  return in.c_w_id != in.w_id;
}

Task<> run_transaction(Run &run, Worker &w, Slot &s, report::Completion &c) {
  switch (s.type) {
  case TX_NEW_ORDER: {
    db::NewOrderResult out;
    co_await w.attempt(c, [&] { return w.session().new_order(s.in.new_order, out); });
    const NewOrderInput &in = s.in.new_order;
    c.outcome = c.outcome == report::Outcome::committed && out.rolled_back
                    ? report::Outcome::rolled_back
                    : c.outcome;
    c.lines = c.outcome == report::Outcome::rolled_back ? 0 : in.ol_cnt;
    for (int l = 0; l < c.lines; ++l) { // a rolled-back order supplied nothing
      c.remote_lines += in.line[l].supply_w_id != in.w_id ? 1 : 0;
    }
    break;
  }
  case TX_PAYMENT: {
    db::PaymentResult out;
    co_await w.attempt(c, [&] { return w.session().payment(s.in.payment, out); });
    c.amount_cents = s.in.payment.h_amount_cents;
    c.remote = remote_payment(s.in.payment);
    c.by_name = s.in.payment.by_name != 0;
    break;
  }
  case TX_ORDER_STATUS: {
    db::OrderStatusResult out;
    co_await w.attempt(c, [&] { return w.session().order_status(s.in.order_status, out); });
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
    db::StockLevelResult out;
    co_await w.attempt(c, [&] { return w.session().stock_level(s.in.stock_level, out); });
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
  Reactor reactor;
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
std::string delivery_line(const Run &run, const DeliveryJob &job, int64_t done_us,
                          const char *outcome, int retries, const db::DeliveryResult *r) {
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
  return line;
}

void write_line(Run &run, const std::string &line) {
  if (run.deliveries_file == nullptr) {
    return;
  }
  const std::lock_guard<std::mutex> lock(run.deliveries_file_mutex);
  (void)std::fprintf(run.deliveries_file, "%s\n", line.c_str());
}

void write_delivery(Run &run, const DeliveryJob &job, int64_t done_us, const char *outcome,
                    int retries, const db::DeliveryResult *r) {
  if (run.deliveries_file != nullptr) {
    write_line(run, delivery_line(run, job, done_us, outcome, retries, r));
  }
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
    db::DeliveryResult out;
    report::Completion c;
    wait(w.attempt(
        c, [&] { return w.session().delivery(job.in, out); }, &out));
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
    if (c.outcome != report::Outcome::unknown) {
      write_delivery(run, job, done, "failed", c.retries, nullptr);
      continue;
    }
    std::string line = delivery_line(run, job, done, "unknown", c.retries, nullptr);
    write_line(run, line);
    keep_unsettled(run, w, c, std::move(line), &job);
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

// What the run needs of the database's facts, or the reason it cannot go.
db::Facts inspect(db::Database &database, const Plan &o) {
  const db::Facts f = database.inspect();
  if (!f.missing_table.empty()) {
    fail("the database has no table '" + f.missing_table + "' of the kit: tpcc-load makes it");
  }
  const int64_t wanted = o.warehouses > 0 ? o.warehouses : f.warehouses;
  if (f.warehouses == 0 || f.warehouses < wanted || o.last > wanted) {
    fail("the database has " + std::to_string(f.warehouses) + " warehouses, fewer than the " +
         std::to_string(std::max(wanted, o.last)) +
         " asked for: tpcc-load --warehouses N makes them");
  }
  if (f.c_loads_differ) {
    fail("the parts of the load recorded in tpcc_load have different C-Loads");
  }
  if (!f.narrow_columns.empty()) {
    std::string list;
    for (const std::string &c : f.narrow_columns) {
      list.append(list.empty() ? "" : ", ").append(c);
    }
    (void)std::fprintf(stderr,
                       "tpcc-run: warning: these columns can overflow in a long run, failing its"
                       " transactions: %s (the schema of tpcc-load %s makes them wide enough)\n",
                       list.c_str(), TPCC_VERSION);
  }
  db::Facts out = f;
  out.warehouses = wanted;
  return out;
}

// Sets the run's C constants; returns C-Load.
uint32_t choose_c(const Plan &o, const db::Facts &db) {
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
  const Plan &o = run.o;
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

// Closes an output file; one that could not be written whole is named in failed_files, so
// that the report is still made and the run then fails.
void close_output(Run &run, std::FILE *f, const std::string &path) {
  if (f == nullptr) {
    return;
  }
  const bool written = std::ferror(f) == 0;
  if (std::fclose(f) != 0) {
    run.failed_files.push_back(path + ": " + std::strerror(errno));
  } else if (!written) {
    run.failed_files.push_back(path + ": a write to it failed, so it is not whole");
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

// Rewrites --metrics-file with the figures so far; says so once when it cannot, and returns
// false with errno.
bool write_metrics_file(Run &run, int64_t now) {
  if (run.o.metrics_file.empty()) {
    return true;
  }
  const json server = run.series != nullptr ? run.series->last_period(now) : json();
  const std::string text = prometheus::exposition(run.facts, run.recorder->recent(now),
                                                  static_cast<double>(now) / 1e6, server);
  if (report::write_text(text, run.o.metrics_file)) {
    return true;
  }
  const int error = errno;
  if (!run.metrics_file_failed) {
    run.metrics_file_failed = true;
    (void)std::fprintf(stderr, "tpcc-run: %s: %s (the run goes on without it)\n",
                       run.o.metrics_file.c_str(), std::strerror(error));
  }
  errno = error;
  return false;
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
      (void)write_metrics_file(run, now);
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
  const Plan &o = run.o;
  json r = {{"tool", "tpcc-run"},
            {"version", TPCC_VERSION},
            {"mode", o.standard ? "standard" : "throughput"},
            {"sql", db::mode_name(o.sql)},
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
            {"setup_s", std::round(run.setup_s * 1000) / 1000},
            {"ramp_up_s", o.ramp_up},
            {"duration_s", o.duration},
            {"interval_start_unix", static_cast<double>(interval_start_unix_us) / 1e6}};
  if (o.standard) {
    r["time_scale"] = o.time_scale;
  }
  return r;
}

// Where the server's time went, per transaction type, between two readings of its statistics.
json server_time(const db::ServerTime &before, const db::ServerTime &after) {
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

json read_server(db::Database &database) {
  try {
    return database.server();
  } catch (const db::Error &e) {
    return {{"unavailable", std::string("the server's settings could not be read: ") + e.what()}};
  }
}

// The index of the first server with the same identity as server i: i itself, or an earlier
// connection string that reaches the same server.
size_t first_alike(const Run &run, size_t i) {
  size_t j = 0;
  while (run.identities[j] != run.identities[i]) {
    ++j;
  }
  return j;
}

// The server's and the machine's counters, one source for each server however many connection
// strings reach it, unless --no-metrics.
std::unique_ptr<metrics::Source> metrics_source(Run &run, const std::string &self) {
  if (run.o.no_metrics) {
    return nullptr;
  }
  std::vector<std::unique_ptr<metrics::Source>> sources;
  for (size_t i = 0; i < run.servers.size(); ++i) {
    if (first_alike(run, i) == i) {
      const int64_t pid = run.o.server_pids.empty() ? 0 : run.o.server_pids.at(i);
      sources.push_back(run.servers[i]->metrics(self, static_cast<int>(pid)));
    }
  }
  return sources.size() == 1 ? std::move(sources[0]) : metrics::sum(std::move(sources));
}

// Starts reading the source every second; says which figures it will not give.
std::unique_ptr<metrics::Sampler> start_sampler(Run &run, std::unique_ptr<metrics::Source> source) {
  if (source == nullptr) {
    return nullptr;
  }
  auto sampler = std::make_unique<metrics::Sampler>(std::move(source), now_us, *run.series);
  const json summary = sampler->summary(); // the loop below must not outlive it
  for (const json &m : summary.at("missing")) {
    (void)std::fprintf(stderr, "tpcc-run: metrics: %s; those figures are left out\n",
                       m.get<std::string>().c_str());
  }
  return sampler;
}

// Which server each connection string reaches, and what it says of itself.
void describe_servers(Run &run) {
  for (db::Database *server : run.servers) {
    try {
      run.identities.push_back(server->identity());
    } catch (const db::Error &e) {
      fail("cannot tell which server " + server->where() + " is: " + e.what());
    }
    run.settings.push_back(read_server(*server));
  }
}

// Where the connections went: each server, what it said of itself and the connections first
// opened on it.
json servers_json(const Run &run) {
  json list = json::array();
  for (size_t i = 0; i < run.servers.size(); ++i) {
    json s = {{"where", run.servers[i]->where()},
              {"connections", run.opened[i]},
              {"server", run.settings[i]}};
    const size_t alike = first_alike(run, i);
    if (alike != i) {
      s["same_server_as_dsn"] = alike + 1;
    }
    list.push_back(s);
  }
  return {{"list", list}, {"moved", run.moved.load()}};
}

json metrics_json(const Run &run, const metrics::Sampler *sampler) {
  if (sampler == nullptr) {
    return {{"unavailable", "--no-metrics"}};
  }
  json m = sampler->summary();
  m.update(run.series->json());
  return m;
}

db::ServerTime read_server_time(db::Database &database) {
  try {
    return database.server_time();
  } catch (const db::Error &e) {
    return {std::string("the server's statistics could not be read: ") + e.what(), {}, {}};
  }
}

// What --check holds the database to: its figures before the run, and the other drivers of
// the range connected then.
struct Acknowledgement {
  durability::Snapshot before{};
  std::vector<std::string> others;
};

// Why some server does not show other drivers' connections, "" when every one does.
std::string names_unseen(const Run &run) {
  for (db::Database *server : run.servers) {
    try {
      const std::string why = server->names_unseen();
      if (!why.empty()) {
        return why + (run.servers.size() > 1 ? " on " + server->where() : "");
      }
    } catch (const db::Error &) {
      if (server == run.database) {
        throw;
      }
    }
  }
  return "";
}

// The names of the connections on every server that answers.
std::vector<std::string> connection_names(const Run &run) {
  std::vector<std::string> names;
  for (db::Database *server : run.servers) {
    try {
      for (std::string &name : server->connection_names()) {
        names.push_back(std::move(name));
      }
    } catch (const db::Error &) {
      if (server == run.database) {
        throw;
      }
    }
  }
  return names;
}

// Asks the database, now that the run's server processes have ended, what became of each
// transaction whose outcome stayed unknown, and records the answers.
void settle_unsettled(Run &run) {
  if (run.unsettled.empty()) {
    return;
  }
  const std::unique_ptr<db::Session> fresh = run.database->session(db::Mode::plain);
  for (Unsettled &u : run.unsettled) {
    db::DeliveryResult d;
    db::Settled settled = db::Settled::unknown;
    try {
      settled = fresh->settle(u.proof, u.old_pid, &d);
    } catch (const db::Error &) {
      continue;
    }
    if (settled == db::Settled::unknown) {
      continue;
    }
    const bool committed = settled == db::Settled::committed;
    if (u.c.type == TX_DELIVERY) {
      run.recorder->settle_delivery(u.c, committed, d.delivered, d.skipped);
      const DeliveryJob job{u.delivery_in, u.delivery_queued_us};
      run.settled_lines.emplace_back(
          u.delivery_line, delivery_line(run, job, u.c.end_us, committed ? "committed" : "failed",
                                         u.c.retries, committed ? &d : nullptr));
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
    const std::string unseen = names_unseen(run);
    if (!unseen.empty()) {
      return {{"judged", false}, {"why", "other drivers cannot be seen (" + unseen + ")"}};
    }
    for (const std::string &other :
         durability::other_drivers(connection_names(run), first, last, self)) {
      ack.others.push_back(other);
    }
    if (!ack.others.empty()) {
      return {{"judged", false},
              {"why", "another driver of these warehouses was connected (" + ack.others[0] + ")"}};
    }
    return durability::judge(ack.before, run.database->snapshot(first, last),
                             run.recorder->whole_run());
  } catch (const db::Error &e) {
    return {{"judged", false}, {"why", std::string("the server did not answer: ") + e.what()}};
  }
}

constexpr std::array<int, 11> kRunConditions = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 12};

// The conditions on each server (a cluster's nodes each hold the whole database), as the
// report's "consistency": each server's conditions and their violations, or why it did not
// answer.
json consistency(const Run &run) {
  const Plan &o = run.o;
  json all = json::array();
  for (size_t i = 0; i < run.servers.size(); ++i) {
    if (first_alike(run, i) != i) {
      continue; // checked through an earlier connection string
    }
    db::Database *server = run.servers[i];
    json one = {{"where", server->where()}};
    try {
      long long violations = 0;
      json list = json::array();
      for (const db::Condition &c :
           server->check(static_cast<int>(o.first), static_cast<int>(o.last))) {
        if (std::find(kRunConditions.begin(), kRunConditions.end(), c.number) !=
            kRunConditions.end()) {
          list.push_back({{"number", c.number}, {"rule", c.rule}, {"violations", c.violations}});
          violations += c.violations;
        }
      }
      one["conditions"] = list;
      one["violations"] = violations;
    } catch (const db::Error &e) {
      one["unavailable"] = e.what();
    }
    all.push_back(one);
  }
  return all;
}

// Prints each server's conditions as --check found them.
void print_consistency(const Run &run, const json &checked) {
  for (const json &one : checked) {
    const std::string where = one.at("where").get<std::string>();
    const std::string on = run.servers.size() > 1 ? " on " + where : "";
    if (one.contains("unavailable")) {
      std::printf("\nconsistency%s: not checked, the server did not answer: %s\n", on.c_str(),
                  one.at("unavailable").get<std::string>().c_str());
      continue;
    }
    std::printf("\nconsistency of warehouses %lld-%lld after the run%s:\n",
                static_cast<long long>(run.o.first), static_cast<long long>(run.o.last),
                on.c_str());
    std::vector<db::Condition> conditions;
    for (const json &c : one.at("conditions")) {
      conditions.push_back({c.at("number").get<int>(), c.at("rule").get<std::string>(),
                            c.at("violations").get<long long>()});
    }
    (void)db::print_conditions(conditions, {kRunConditions.begin(), kRunConditions.end()}, stdout);
  }
}

// Everything the run is before it starts: the database's facts, C, the defaults, the names
// of its connections and, for --check, the acknowledgement's start.
struct Prepared {
  db::Facts facts;
  uint32_t c_load = 0;
  std::string self; // the name every connection carries
  Acknowledgement ack;
};

Prepared prepare(Run &run) {
  Plan &o = run.o;
  db::Database &database = *run.database;
  Prepared p;
  try {
    p.facts = inspect(database, o);
    if (o.sql == db::Mode::procedures) {
      database.install_procedures();
    }
  } catch (const db::Error &e) {
    fail(e.what());
  }
  p.c_load = choose_c(o, p.facts);
  o.warehouses = p.facts.warehouses;
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
  const auto first = static_cast<int>(o.first);
  const auto last = static_cast<int>(o.last);
  p.self = durability::application_name(first, last);
  for (db::Database *server : run.servers) {
    server->name_connections(p.self);
  }
  if (o.check) {
    try {
      p.ack.before = database.snapshot(first, last);
      p.ack.others = durability::other_drivers(connection_names(run), first, last, p.self);
    } catch (const db::Error &e) {
      fail(e.what());
    }
  }
  return p;
}

int32_t *attach_flag(const Plan &o) {
  if (o.no_flag) {
    return nullptr;
  }
  int32_t *flag = AttachShutdownFlag();
  if (flag == nullptr) {
    fail(std::string("cannot attach the shutdown flag (key 1234): ") + std::strerror(errno) +
         " (--no-flag runs without it)");
  }
  ClearShutdownFlag(flag);
  return flag;
}

// The terminals' workers first, then the delivery workers, one per four terminals' workers
// and at most one per warehouse.
std::vector<std::unique_ptr<Worker>> open_workers(Run &run) {
  const Plan &o = run.o;
  const size_t delivery_workers =
      static_cast<size_t>(std::clamp<int64_t>((o.connections + 3) / 4, 1, o.last - o.first + 1));
  const size_t n = static_cast<size_t>(o.connections) + delivery_workers;
  std::vector<std::unique_ptr<Worker>> workers(n);
  run.opened.assign(run.servers.size(), 0);
  for (size_t i = 0; i < n; ++i) {
    ++run.opened[i % run.servers.size()];
  }
  // Each connection costs round trips of its own: opened a few at a time, a far server's
  // latency is paid once per batch rather than once per connection.
  std::atomic<size_t> next{0};
  std::mutex refused_mutex;
  std::string refused;
  std::vector<std::thread> openers;
  for (size_t t = 0; t < std::min<size_t>(n, 16); ++t) {
    openers.emplace_back([&] {
      for (size_t i; (i = next++) < n;) {
        try {
          workers[i] = std::make_unique<Worker>(run, i % run.servers.size());
        } catch (const std::exception &e) {
          const std::lock_guard<std::mutex> lock(refused_mutex);
          refused = refused.empty() ? e.what() : refused;
          next = n;
        }
      }
    });
  }
  for (std::thread &t : openers) {
    t.join();
  }
  if (!refused.empty()) {
    fail("cannot connect: " + refused);
  }
  for (size_t i = 0; i < delivery_workers; ++i) {
    run.deliveries.push_back(std::make_unique<DeliveryQueue>());
  }
  return workers;
}

// Ends the terminals, then gives the deliveries queued a minute to finish.
void wind_down(Run &run, std::vector<std::thread> &terminal_threads,
               std::vector<std::thread> &delivery_threads) {
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
}

// From the start of the workers to the end of the drain; returns what ended the run.
std::string drive(Run &run, std::vector<std::unique_ptr<Worker>> &workers, const int32_t *flag) {
  const auto terminals = static_cast<size_t>(run.o.connections);
  std::vector<std::thread> terminal_threads = start_terminals(run, workers, terminals);
  std::vector<std::thread> delivery_threads;
  for (size_t i = terminals; i < workers.size(); ++i) {
    Worker &w = *workers[i];
    DeliveryQueue &q = *run.deliveries[i - terminals];
    delivery_threads.emplace_back([&run, &w, &q] { delivery_worker(run, w, q); });
  }
  const std::string ended_by = course(run, flag);
  run.recorder->end_interval(now_us());
  run.series->end_interval(now_us());
  wind_down(run, terminal_threads, delivery_threads);
  return run.server_gone ? "error" : ended_by;
}

// Puts the settled deliveries' outcomes in the result file in place of "unknown".
void rewrite_settled(Run &run) {
  const std::string &path = run.o.deliveries;
  struct stat st {};
  if (run.settled_lines.empty() || path.empty() || stat(path.c_str(), &st) != 0 ||
      !S_ISREG(st.st_mode)) {
    return; // a pipe or a device keeps what was written to it
  }
  std::ifstream in(path);
  if (!in) {
    run.failed_files.push_back(path + ": cannot be read again to record the settled deliveries");
    return;
  }
  std::string body;
  for (std::string line; std::getline(in, line);) {
    for (const auto &[was, now] : run.settled_lines) {
      if (line == was) {
        line = now;
        break;
      }
    }
    body += line + "\n";
  }
  if (in.bad()) {
    run.failed_files.push_back(path + ": cannot be read again to record the settled deliveries");
  } else if (!report::write_text(body, path)) {
    run.failed_files.push_back(path + ": " + std::strerror(errno));
  }
}

uint64_t interval_completions(const json &r) {
  uint64_t n = 0;
  for (const char *key : report::kTypeKeys) {
    n += r.at("transactions").at(key).at("count").get<uint64_t>();
  }
  return n;
}

// The exit status the report's files and figures give.
int verdict(const Run &run, const json &r) {
  const Plan &o = run.o;
  int status = 0;
  const auto failed = [&status](const std::string &line) {
    (void)std::fprintf(stderr, "tpcc-run: %s\n", line.c_str());
    status = 1;
  };
  if (run.server_gone) {
    failed("the server stayed gone: " + run.server_gone_message);
  }
  for (const std::string &file : run.failed_files) {
    failed(file);
  }
  if (!o.report.empty() && !report::write_file(r, o.report)) {
    failed(o.report + ": " + std::strerror(errno));
  }
  if (!engine::write_page(r, o.report, o.html)) {
    failed(o.html + ": " + std::strerror(errno));
  }
  if (interval_completions(r) == 0) {
    failed("no transaction completed in the measurement interval of " +
           report::fixed(r.at("interval_s").get<double>(), 1) + " s: there is nothing to report");
  }
  if (r.at("failures_pct").get<double>() > 1) {
    failed(report::fixed(r.at("failures_pct").get<double>(), 2) + " % of the transactions failed");
  }
  return status;
}

// --check's part of the status: the conditions and the durability judgement.
int checked(const json &r, int status) {
  for (const json &one : r.at("consistency")) {
    if (one.contains("unavailable") && &one == &r.at("consistency").front()) {
      (void)std::fprintf(stderr, "tpcc-run: the check failed: %s\n",
                         one.at("unavailable").get<std::string>().c_str());
      status = status == 0 ? 1 : status;
    }
    if (one.value("violations", 0LL) != 0) {
      status = 3;
    }
  }
  const json judgement = r.value("durability", json::object());
  for (const std::string &line : durability::differences(judgement)) {
    (void)std::fprintf(stderr, "tpcc-run: %s\n", line.c_str());
  }
  return judgement.value("pass", true) ? status : 3;
}

// Sets the run's clock to 0: its terminals start now.
void start_clock(Run &run) {
  g_start = Clock::now();
  run.wall_start_us = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  run.setup_s = std::chrono::duration<double>(g_start - run.o.began).count();
}

// What --check adds to the report: the durability judgement, the conditions on each server.
void check_after(Run &run, Prepared &p, json &r) {
  r["durability"] = settle_and_judge(run, p.ack, p.self);
  rewrite_settled(run);
  r["consistency"] = consistency(run);
}

} // namespace

namespace engine {

bool write_page(const json &r, const std::string &report, const std::string &html) {
  if (html.empty()) {
    return true;
  }
  const size_t slash = report.rfind('/');
  const std::string name = report.empty() ? "tpcc-run" : report.substr(slash + 1);
  return report::write_text(page::html({{name, r}}, ""), html);
}

int run(const Plan &plan, const std::vector<db::Database *> &servers) {
  Run run;
  run.o = plan;
  run.servers = servers;
  run.database = servers.at(0);
  db::Database &database = *run.database;
  Prepared p = prepare(run);
  const Plan &o = run.o;
  int32_t *flag = attach_flag(o);
  std::FILE *samples =
      open_output(o.samples, "terminal,type,start_us,response_us,outcome,retries\n");
  run.deliveries_file = open_output(
      o.deliveries,
      "queued,completed,w_id,o_carrier_id,outcome,retries,d1,d2,d3,d4,d5,d6,d7,d8,d9,d10\n");
  std::vector<std::unique_ptr<Worker>> workers = open_workers(run);
  for (const int s : {SIGINT, SIGTERM}) {
    (void)std::signal(s, on_signal);
  }
  (void)std::signal(SIGPIPE, SIG_IGN);
  describe_servers(run);
  const db::ServerTime server_before = read_server_time(database);
  std::unique_ptr<metrics::Source> source = metrics_source(run, p.self);
  make_terminals(run);

  start_clock(run);
  const int64_t ramp_us = o.ramp_up * 1'000'000;
  run.recorder = std::make_unique<report::Recorder>(ramp_us, o.duration * 1'000'000, samples);
  run.series =
      std::make_unique<metrics::Series>(report::kPeriodUs, ramp_us, o.duration * 1'000'000);
  std::unique_ptr<metrics::Sampler> sampler = start_sampler(run, std::move(source));
  run.facts = facts(run, p.c_load, run.wall_start_us + ramp_us);
  const std::string ended_by = drive(run, workers, flag);
  if (sampler != nullptr) {
    sampler->stop();
  }
  if (!write_metrics_file(run, now_us())) {
    run.failed_files.push_back(run.o.metrics_file + ": " + std::strerror(errno));
  }
  if (flag != nullptr) {
    (void)DetachShutdownFlag(flag);
  }
  close_output(run, samples, o.samples);
  close_output(run, run.deliveries_file, o.deliveries);

  json r = run.facts;
  r["ended_by"] = ended_by;
  r["server_time"] = server_time(server_before, read_server_time(database));
  r["foreign_keys"] = p.facts.foreign_keys;
  r["server"] = run.settings.at(0);
  r["servers"] = servers_json(run);
  r["metrics"] = metrics_json(run, sampler.get());
  if (o.check) {
    check_after(run, p, r);
  }
  r.update(run.recorder->json());
  report::finish(r);
  (void)std::fputs(report::text(r).c_str(), stdout);
  if (o.check) {
    print_consistency(run, r.at("consistency"));
  }
  (void)std::fflush(stdout);
  const int status = verdict(run, r);
  return o.check ? checked(r, status) : status;
}

} // namespace engine

// NOLINTEND(concurrency-mt-unsafe)
