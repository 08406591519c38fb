// metrics.h - what the server and the machine did while a run went on: their
// cumulative counters and what the run's backends were waiting on, read every
// second on the run's clock and folded into the periods of the report's
// series.  A database gives its side through Source; the machine's side comes
// from /proc.  Nothing here knows SQL.
#ifndef TPCC_DRIVER_METRICS_H
#define TPCC_DRIVER_METRICS_H

#include <nlohmann/json.hpp>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace metrics {

constexpr int64_t kSampleUs = 1'000'000;

// One reading: counters that only grow while the server runs (a restart may reset them to
// zero), and how many of the run's backends were doing what at that moment ("CPU", or the
// wait, as "Type:Event").  Counters named "checkpoints_KIND" count checkpoints, and
// "checkpoint_write_ms" and "checkpoint_sync_ms" the time they took, when the server says.
struct Reading {
  int64_t t_us = 0;
  std::map<std::string, double> counters;
  std::map<std::string, double> waits;
};

// A database's side.  Its calls come from the sampler's thread alone.
class Source {
public:
  Source() = default;
  Source(const Source &) = delete;
  Source &operator=(const Source &) = delete;
  virtual ~Source() = default;
  // Adds what the server counts to r; throws std::runtime_error when it cannot be read now.
  virtual void read(Reading &r) = 0;
  // What the server would not give, one line each, from the first reading on.
  virtual std::vector<std::string> missing() const = 0;
  // The server's main process on this machine, or 0 when it runs elsewhere.
  virtual int local_pid() = 0;
  // Each server's main process on this machine, 0 for one elsewhere or not answering now:
  // several for the nodes of a cluster.
  virtual std::vector<int> local_pids() { return {local_pid()}; }
  // The database's size in bytes, or -1 when it cannot be read.
  virtual double size_bytes() = 0;
};

// One source for the servers of one database (the nodes of a cluster): their counters and
// waits added up, each server's counters by what they grew (growth()), so that a server that
// restarts adds what it did since.  A server that cannot be read counts with what it had, so
// that the sums go on growing; the whole fails only when none can be read.  The database's
// size is the first one's.
std::unique_ptr<Source> sum(std::vector<std::unique_ptr<Source>> parts);

// The machine's side, from /proc: its CPUs' time by kind, this process's CPU, and for the
// servers that run here (a pid > 0), their processes' CPU and I/O added up, and the disk
// the first one's data is on.
class Machine {
public:
  explicit Machine(int server_pid) : Machine(std::vector<int>{server_pid}) {}
  explicit Machine(const std::vector<int> &server_pids);
  void read(Reading &r);
  // Whether a server's main process has ended (a restart), and the ones that took their
  // places (pids as given to the constructor): their processes' figures go on adding to the
  // same counters.  Whether none is lost any more.
  bool lost_server() const;
  bool follow(const std::vector<int> &server_pids);
  size_t servers() const { return servers_.size(); }
  int cpus() const { return cpus_; }
  const std::string &disk() const { return disk_; }
  const std::vector<std::string> &missing() const { return missing_; }

private:
  struct Process {
    unsigned long long start = 0; // since boot, to tell a reused pid
    double read_bytes = 0, write_bytes = 0;
  };
  struct Server {
    int pid = 0; // 0: elsewhere, or lost
    bool lost = false;
    std::map<int, Process> processes; // at the last reading
    double cpu_s = 0, cpu_base = 0;   // see read_server()
    double read = 0, write = 0;       // summed over every process seen
  };
  void find_disk(int pid);
  void read_server(Server &s);
  std::vector<Server> servers_;
  int cpus_ = 1;
  std::string disk_; // "" when the data is on no block device or the servers are elsewhere
  unsigned disk_major_ = 0, disk_minor_ = 0;
  bool io_readable_ = true;
  std::vector<std::string> missing_;
};

// The parent of process pid when both run program (as /proc names it), else 0: how a
// database's side finds its server's main process from its own connection's.
int parent_running(int pid, const std::string &program);

// What a counter grew by from one reading to the next: a counter that went back was reset
// (the server restarted) and counts from zero; never negative.
double growth(double before, double after);

// The readings folded into the series' periods and the measurement interval.
// Its calls may come from any thread.
class Series {
public:
  Series(int64_t period_us, int64_t interval_start_us, int64_t interval_us);
  void add(const Reading &r);
  void end_interval(int64_t now_us);
  // {"interval": {...}, "periods": [...], "checkpoints": [...], "samples": n}; each part holds
  // "seconds", "deltas" (each counter's growth) and "waits" (mean backends per sample); each
  // checkpoint "t_s" (when it began), "kind", and once it has ended "ended_s" and "sync_s".
  nlohmann::json json() const;
  // The last whole period before now_us, as json() writes a period, or null.
  nlohmann::json last_period(int64_t now_us) const;
  int64_t period_us() const { return period_us_; }

private:
  struct Part {
    double seconds = 0;
    int samples = 0;
    std::map<std::string, double> deltas, waits;
    void add(const Reading &before, const Reading &after);
    nlohmann::json json() const;
  };
  mutable std::mutex mutex_;
  int64_t period_us_, interval_start_us_, interval_us_;
  std::vector<Part> periods_;
  Part interval_;
  struct Checkpoint {
    double began_s, ended_s; // ended_s -1: not yet
    std::string kind;
    double sync_s;
  };
  void note_checkpoints(const Reading &before, const Reading &after, int64_t middle_us);
  std::vector<Checkpoint> checkpoints_;
  size_t open_checkpoint_ = 0; // the first that has not ended
  Reading last_;
  int samples_ = 0;
};

// Figures a person reads, from a part of json(): rates per second, shares in percent.
struct Figures {
  double seconds = 0;
  double checkpoints = 0, checkpoints_timed = 0;
  double checkpoint_write_s = -1, checkpoint_sync_s = -1; // of those that ended; -1: not known
  double wal_mb_s = 0, fpi_pct = 0, hit_pct = -1;         // -1: no blocks read or hit
  double deadlocks = 0, temp_mb_s = 0;
  double cert_failures = -1, bf_aborts = -1;      // a cluster's conflicts; -1: not a cluster
  double driver_cpu_pct = 0, server_cpu_pct = -1; // of one CPU; -1: not measured
  double user_pct = 0, system_pct = 0, iowait_pct = 0, steal_pct = 0; // of all CPUs
  double disk_read_mb_s = -1, disk_write_mb_s = -1;                   // -1: not measured
  std::vector<std::pair<std::string, double>> waits;                  // most first
};
Figures figures(const nlohmann::json &part);

// Reads every second until stopped; a failed reading is left out, and the next one spans
// the gap.
class Sampler {
public:
  Sampler(std::unique_ptr<Source> source, std::function<int64_t()> now, Series &series);
  Sampler(const Sampler &) = delete;
  Sampler &operator=(const Sampler &) = delete;
  ~Sampler();
  void stop();
  // What the report's "metrics" holds besides the series; call after stop().
  nlohmann::json summary() const;

private:
  void loop();
  void sample();
  void failed(const std::string &why);
  std::unique_ptr<Source> source_;
  std::function<int64_t()> now_;
  Series &series_;
  std::unique_ptr<Machine> machine_;
  double size_start_ = -1, size_end_ = -1;
  int failed_ = 0;
  std::string last_failure_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

} // namespace metrics

#endif
