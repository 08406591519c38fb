// metrics.cpp - the server's and the machine's figures during a run; see metrics.h.
#include "metrics.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <pthread.h>
#include <sstream>
#include <system_error>

using nlohmann::json;

namespace metrics {

namespace {

double ticks_per_second() {
  static const double hz = static_cast<double>(sysconf(_SC_CLK_TCK));
  return hz > 0 ? hz : 100;
}

// The fields of /proc/PID/stat after the program's name in parentheses (the state first),
// or none when the process is gone; the name into *program when asked for.
std::vector<std::string> stat_fields(int pid, std::string *program = nullptr) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) {
    return {};
  }
  const size_t open = line.find('(');
  const size_t close = line.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) {
    return {};
  }
  if (program != nullptr) {
    *program = line.substr(open + 1, close - open - 1);
  }
  std::istringstream words(line.substr(close + 1));
  std::vector<std::string> fields;
  for (std::string w; words >> w;) {
    fields.push_back(w);
  }
  return fields;
}

// Indexes in stat_fields(): the parent, the process's CPU ticks (user, system) and those of
// its children that have ended and been waited for, and when it started.
constexpr size_t kPpid = 1, kUtime = 11, kStime = 12, kChildUtime = 13, kChildStime = 14,
                 kStartTime = 19;

// "read_bytes" and "write_bytes" of /proc/PID/io; false when it cannot be read.
bool process_io(int pid, double &read_bytes, double &write_bytes) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/io");
  std::string key;
  double value = 0;
  bool any = false;
  while (in >> key >> value) {
    if (key == "read_bytes:") {
      read_bytes = value;
      any = true;
    } else if (key == "write_bytes:") {
      write_bytes = value;
    }
  }
  return any;
}

// The process and its children: from the kernel's list of them when it keeps one, else
// from every process's parent.
std::vector<int> process_tree(int pid) {
  std::vector<int> pids = {pid};
  const std::string self = std::to_string(pid);
  std::ifstream children("/proc/" + self + "/task/" + self + "/children");
  if (children) {
    for (int child = 0; children >> child;) {
      pids.push_back(child);
    }
    return pids;
  }
  std::error_code error;
  for (const auto &entry : std::filesystem::directory_iterator("/proc", error)) {
    const std::string name = entry.path().filename();
    char *end = nullptr;
    const long child = std::strtol(name.c_str(), &end, 10);
    if (*end != '\0' || child <= 0 || child == pid) {
      continue;
    }
    const std::vector<std::string> f = stat_fields(static_cast<int>(child));
    if (f.size() > kStartTime && std::stol(f[kPpid]) == pid) {
      pids.push_back(static_cast<int>(child));
    }
  }
  return pids;
}

void read_cpu_times(Reading &r) {
  std::ifstream in("/proc/stat");
  std::string cpu;
  double v[8] = {};
  if (!(in >> cpu) || cpu != "cpu") {
    return;
  }
  for (double &x : v) {
    in >> x;
  }
  const double hz = ticks_per_second();
  const double user = v[0] + v[1];
  const double system = v[2] + v[5] + v[6];
  r.counters["cpu_user_s"] = user / hz;
  r.counters["cpu_system_s"] = system / hz;
  r.counters["cpu_iowait_s"] = v[4] / hz;
  r.counters["cpu_steal_s"] = v[7] / hz;
  r.counters["cpu_total_s"] = (user + system + v[3] + v[4] + v[7]) / hz;
}

// The line of /proc/diskstats of the device major:minor, its name and its first seven
// figures (reads, merged, sectors read, ms, writes, merged, sectors written); false if none.
bool disk_stats(unsigned major_number, unsigned minor_number, std::string &name,
                std::array<double, 7> &counts) {
  std::ifstream in("/proc/diskstats");
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    unsigned maj = 0;
    unsigned min = 0;
    if (words >> maj >> min >> name && maj == major_number && min == minor_number) {
      for (double &x : counts) {
        words >> x;
      }
      return true;
    }
  }
  return false;
}

std::string error_text(int error) {
  return std::generic_category().message(error);
}

void read_own_cpu(Reading &r) {
  rusage u{};
  if (getrusage(RUSAGE_SELF, &u) == 0) {
    const auto s = [](const timeval &t) {
      return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    r.counters["driver_cpu_s"] = s(u.ru_utime) + s(u.ru_stime);
  }
}

} // namespace

// ---- the machine ----

int parent_running(int pid, const std::string &program) {
  std::string name;
  const std::vector<std::string> f = stat_fields(pid, &name);
  if (f.size() <= kStartTime || name != program) {
    return 0;
  }
  const int parent = std::stoi(f[kPpid]);
  std::string parent_name;
  return parent > 1 && !stat_fields(parent, &parent_name).empty() && parent_name == program ? parent
                                                                                            : 0;
}

Machine::Machine(const std::vector<int> &server_pids) {
  cpus_ = std::max(1, static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)));
  for (const int pid : server_pids) {
    Server s;
    s.pid = std::max(pid, 0);
    servers_.push_back(s);
  }
  const auto here =
      std::find_if(servers_.begin(), servers_.end(), [](const Server &s) { return s.pid > 0; });
  if (here != servers_.end()) {
    find_disk(here->pid);
  }
}

// A server's main process works in its data directory.
void Machine::find_disk(int pid) {
  struct stat st {};
  const std::string cwd = "/proc/" + std::to_string(pid) + "/cwd";
  if (stat(cwd.c_str(), &st) != 0) {
    missing_.push_back("the disk's throughput: " + cwd + ": " + error_text(errno));
    return;
  }
  disk_major_ = major(st.st_dev);
  disk_minor_ = minor(st.st_dev);
  std::array<double, 7> counts{};
  if (!disk_stats(disk_major_, disk_minor_, disk_, counts)) {
    disk_.clear();
    missing_.emplace_back("the disk's throughput: the server's data is on no block device");
  }
}

void Machine::read(Reading &r) {
  read_cpu_times(r);
  read_own_cpu(r);
  bool read_any = false;
  for (Server &s : servers_) {
    if (s.pid > 0) {
      read_server(s);
      read_any = read_any || !s.lost;
    }
  }
  if (read_any) { // the lost ones count with what they had
    double &cpu = r.counters["server_cpu_s"];
    for (const Server &s : servers_) {
      cpu += s.cpu_s;
    }
    if (io_readable_) {
      double &read_bytes = r.counters["server_read_bytes"];
      double &write_bytes = r.counters["server_write_bytes"];
      for (const Server &s : servers_) {
        read_bytes += s.read;
        write_bytes += s.write;
      }
    }
  }
  if (disk_.empty()) {
    return;
  }
  std::string name;
  std::array<double, 7> f{};
  if (disk_stats(disk_major_, disk_minor_, name, f)) {
    r.counters["disk_read_bytes"] = f[2] * 512; // sectors of 512 bytes, whatever the disk's
    r.counters["disk_write_bytes"] = f[6] * 512;
  }
}

// The server's CPU: its main process's, with that of its children that have ended (which
// the kernel adds to it when they are waited for), and its live children's.  The sum only
// grows, but for a child that ends between the listing and the reading of its figures: the
// counter keeps the most it has seen, and continues from there when the server restarts.
// Its I/O: each process's growth since the last reading (what an ending child did after the
// last one is not seen).
void Machine::read_server(Server &s) {
  const std::vector<std::string> main = stat_fields(s.pid);
  if (main.empty() || main[0] == "Z" || main[0] == "X") { // ended: the sampler looks again
    s.pid = 0;
    s.lost = true;
    return;
  }
  const bool first = s.processes.empty();
  std::map<int, Process> now;
  const double hz = ticks_per_second();
  double cpu_s = 0;
  for (const int pid : process_tree(s.pid)) {
    const std::vector<std::string> f = stat_fields(pid);
    if (f.size() <= kStartTime) {
      continue;
    }
    Process p;
    p.start = std::stoull(f[kStartTime]);
    cpu_s += (std::stod(f[kUtime]) + std::stod(f[kStime])) / hz;
    if (pid == s.pid) {
      cpu_s += (std::stod(f[kChildUtime]) + std::stod(f[kChildStime])) / hz;
    }
    if (io_readable_ && !process_io(pid, p.read_bytes, p.write_bytes) && pid == s.pid) {
      io_readable_ = false;
      missing_.push_back("the server's I/O: /proc/" + std::to_string(pid) +
                         "/io: " + error_text(errno != 0 ? errno : EACCES));
    }
    const auto was = s.processes.find(pid);
    const bool known = was != s.processes.end() && was->second.start == p.start;
    if (!first) {
      const Process base = known ? was->second : Process{};
      s.read += std::max(0.0, p.read_bytes - base.read_bytes);
      s.write += std::max(0.0, p.write_bytes - base.write_bytes);
    }
    now[pid] = p;
  }
  s.processes = std::move(now);
  if (first) {
    s.cpu_base = cpu_s - s.cpu_s;
  }
  s.cpu_s = std::max(s.cpu_s, cpu_s - s.cpu_base);
}

bool Machine::lost_server() const {
  return std::any_of(servers_.begin(), servers_.end(), [](const Server &s) { return s.lost; });
}

bool Machine::follow(const std::vector<int> &server_pids) {
  for (size_t i = 0; i < servers_.size() && i < server_pids.size(); ++i) {
    Server &s = servers_[i];
    const int pid = server_pids[i];
    if (s.lost && pid > 0 && !stat_fields(pid).empty()) {
      s.pid = pid;
      s.lost = false;
      s.processes.clear(); // its processes are new: the next reading is their baseline
    }
  }
  return !lost_server();
}

// ---- the series ----

double growth(double before, double after) {
  return after >= before ? after - before : after;
}

void Series::Part::add(const Reading &before, const Reading &after) {
  seconds += static_cast<double>(after.t_us - before.t_us) / 1e6;
  ++samples;
  for (const auto &[name, value] : after.counters) {
    const auto was = before.counters.find(name);
    if (was != before.counters.end()) {
      deltas[name] += growth(was->second, value);
    }
  }
  for (const auto &[what, n] : after.waits) {
    waits[what] += n;
  }
}

json Series::Part::json() const {
  nlohmann::json w = nlohmann::json::object();
  for (const auto &[what, n] : waits) {
    w[what] = n / std::max(samples, 1);
  }
  return {{"seconds", seconds}, {"samples", samples}, {"deltas", deltas}, {"waits", w}};
}

Series::Series(int64_t period_us, int64_t interval_start_us, int64_t interval_us)
    : period_us_(period_us), interval_start_us_(interval_start_us), interval_us_(interval_us) {}

void Series::add(const Reading &r) {
  const std::lock_guard<std::mutex> lock(mutex_);
  ++samples_;
  if (samples_ > 1) {
    const int64_t middle = (last_.t_us + r.t_us) / 2;
    const auto i = static_cast<size_t>(std::max<int64_t>(middle, 0) / period_us_);
    if (i >= periods_.size()) {
      periods_.resize(i + 1);
    }
    periods_[i].add(last_, r);
    if (middle >= interval_start_us_ && middle < interval_start_us_ + interval_us_) {
      interval_.add(last_, r);
    }
    note_checkpoints(last_, r, middle);
  }
  last_ = r;
}

// A server counts a checkpoint as it begins (PostgreSQL 15) or as it ends (older ones),
// and adds the time it spent writing and syncing as it ends: a count without that time
// begins a checkpoint that the next growth of the time ends; a count with it is one that has
// ended, and began that long before.  Several in one second share the time.
void Series::note_checkpoints(const Reading &before, const Reading &after, int64_t middle_us) {
  const auto grew = [&](const std::string &name) {
    const auto a = before.counters.find(name);
    const auto b = after.counters.find(name);
    return a == before.counters.end() || b == after.counters.end() ? 0.0
                                                                   : growth(a->second, b->second);
  };
  const double t = static_cast<double>(middle_us) / 1e6;
  const double write_s = grew("checkpoint_write_ms") / 1000;
  const double sync_s = grew("checkpoint_sync_ms") / 1000;
  std::vector<std::string> counted;
  for (const auto &[name, value] : after.counters) {
    if (name.starts_with("checkpoints_")) {
      for (auto n = static_cast<long>(grew(name)); n > 0; --n) {
        counted.push_back(name.substr(12));
      }
    }
  }
  if (write_s + sync_s > 0 && open_checkpoint_ < checkpoints_.size()) {
    Checkpoint &c = checkpoints_[open_checkpoint_++];
    c.ended_s = t;
    c.sync_s = sync_s;
  } else if (write_s + sync_s > 0 && !counted.empty()) {
    const auto n = static_cast<double>(counted.size());
    for (const std::string &kind : counted) {
      checkpoints_.push_back({t - (write_s + sync_s) / n, t, kind, sync_s / n});
    }
    open_checkpoint_ = checkpoints_.size();
    return;
  }
  for (const std::string &kind : counted) {
    checkpoints_.push_back({t, -1, kind, -1});
  }
}

void Series::end_interval(int64_t now_us) {
  const std::lock_guard<std::mutex> lock(mutex_);
  interval_us_ = std::clamp<int64_t>(now_us - interval_start_us_, 0, interval_us_);
}

json Series::json() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  nlohmann::json periods = nlohmann::json::array();
  for (size_t i = 0; i < periods_.size(); ++i) {
    nlohmann::json p = periods_[i].json();
    p["t_s"] = static_cast<double>(i) * static_cast<double>(period_us_) / 1e6;
    periods.push_back(p);
  }
  nlohmann::json checkpoints = nlohmann::json::array();
  for (const Checkpoint &c : checkpoints_) {
    nlohmann::json j = {{"t_s", c.began_s}, {"kind", c.kind}};
    if (c.ended_s >= 0) {
      j["ended_s"] = c.ended_s;
      j["sync_s"] = c.sync_s;
    }
    checkpoints.push_back(j);
  }
  return {{"samples", samples_},
          {"period_s", static_cast<double>(period_us_) / 1e6},
          {"interval", interval_.json()},
          {"periods", periods},
          {"checkpoints", checkpoints}};
}

json Series::last_period(int64_t now_us) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  const int64_t i = now_us / period_us_ - 1;
  if (i < 0 || static_cast<size_t>(i) >= periods_.size()) {
    return nullptr;
  }
  return periods_[static_cast<size_t>(i)].json();
}

// ---- several servers as one ----

namespace {

class Sum : public Source {
public:
  explicit Sum(std::vector<std::unique_ptr<Source>> parts)
      : parts_(std::move(parts)), raw_(parts_.size()), grown_(parts_.size()) {}

  // Each server's counters go into the sum as what they grew by since its first reading
  // (from its first value), so that one that restarts, its counters from zero, adds its
  // growth since and never takes the sum back.
  void read(Reading &r) override {
    std::string why;
    size_t answered = 0;
    for (size_t i = 0; i < parts_.size(); ++i) {
      Reading one;
      try {
        parts_[i]->read(one);
        for (const auto &[what, n] : one.waits) {
          r.waits[what] += n;
        }
        for (const auto &[name, v] : one.counters) {
          // The sum starts from the servers' first values; one that first answers later
          // adds only what it does from then on.
          const auto was = raw_[i].find(name);
          grown_[i][name] += was != raw_[i].end() ? growth(was->second, v) : first_ ? v : 0;
        }
        raw_[i] = std::move(one.counters);
        ++answered;
      } catch (const std::exception &e) {
        why = e.what();
      }
      for (const auto &[name, v] : grown_[i]) {
        r.counters[name] += v;
      }
    }
    if (answered == 0) {
      throw std::runtime_error(why);
    }
    first_ = false;
  }
  std::vector<std::string> missing() const override {
    std::vector<std::string> all;
    for (const auto &part : parts_) {
      for (const std::string &m : part->missing()) {
        if (std::find(all.begin(), all.end(), m) == all.end()) {
          all.push_back(m);
        }
      }
    }
    return all;
  }
  int local_pid() override { return parts_[0]->local_pid(); }
  std::vector<int> local_pids() override {
    std::vector<int> pids;
    for (const auto &part : parts_) {
      try {
        pids.push_back(part->local_pid());
      } catch (const std::exception &) { // not answering now
        pids.push_back(0);
      }
    }
    return pids;
  }
  double size_bytes() override { return parts_[0]->size_bytes(); }

private:
  std::vector<std::unique_ptr<Source>> parts_;
  std::vector<std::map<std::string, double>> raw_;   // each one's last reading
  std::vector<std::map<std::string, double>> grown_; // and what it has added to the sum
  bool first_ = true;                                // no reading has been answered yet
};

} // namespace

std::unique_ptr<Source> sum(std::vector<std::unique_ptr<Source>> parts) {
  return std::make_unique<Sum>(std::move(parts));
}

// ---- what a person reads ----

Figures figures(const json &part) {
  Figures f;
  const double s = std::max(part.value("seconds", 0.0), 1e-9);
  f.seconds = s;
  const json &d = part.at("deltas");
  const auto delta = [&d](const char *name) { return d.value(name, 0.0); };
  const auto rate = [&](const char *name, double unit) {
    return d.contains(name) ? delta(name) / s / unit : -1;
  };
  for (const auto &[name, v] : d.items()) {
    f.checkpoints += name.starts_with("checkpoints_") ? v.get<double>() : 0;
  }
  f.checkpoints_timed = delta("checkpoints_timed");
  if (d.contains("checkpoint_write_ms") && d.contains("checkpoint_sync_ms")) {
    f.checkpoint_write_s = delta("checkpoint_write_ms") / 1000;
    f.checkpoint_sync_s = delta("checkpoint_sync_ms") / 1000;
  }
  f.wal_mb_s = std::max(0.0, rate("wal_bytes", 1e6));
  f.fpi_pct = delta("wal_records") > 0 ? 100 * delta("wal_fpi") / delta("wal_records") : 0;
  const double blocks = delta("blocks_hit") + delta("blocks_read");
  f.hit_pct = blocks > 0 ? 100 * delta("blocks_hit") / blocks : -1;
  f.deadlocks = delta("deadlocks");
  if (d.contains("cert_failures")) {
    f.cert_failures = delta("cert_failures");
    f.bf_aborts = delta("bf_aborts");
  }
  f.temp_mb_s = std::max(0.0, rate("temp_bytes", 1e6));
  f.driver_cpu_pct = std::max(0.0, rate("driver_cpu_s", 0.01));
  f.server_cpu_pct = rate("server_cpu_s", 0.01);
  const double total = delta("cpu_total_s");
  if (total > 0) {
    f.user_pct = 100 * delta("cpu_user_s") / total;
    f.system_pct = 100 * delta("cpu_system_s") / total;
    f.iowait_pct = 100 * delta("cpu_iowait_s") / total;
    f.steal_pct = 100 * delta("cpu_steal_s") / total;
  }
  f.disk_read_mb_s = rate("disk_read_bytes", 1e6);
  f.disk_write_mb_s = rate("disk_write_bytes", 1e6);
  for (const auto &[what, n] : part.at("waits").items()) {
    f.waits.emplace_back(what, n.get<double>());
  }
  std::stable_sort(f.waits.begin(), f.waits.end(),
                   [](const auto &a, const auto &b) { return a.second > b.second; });
  return f;
}

// ---- the sampler ----

Sampler::Sampler(std::unique_ptr<Source> source, std::function<int64_t()> now, Series &series)
    : source_(std::move(source)), now_(std::move(now)), series_(series) {
  std::vector<int> pids;
  try {
    pids = source_->local_pids();
    size_start_ = source_->size_bytes();
  } catch (const std::exception &e) {
    failed(e.what());
  }
  machine_ = std::make_unique<Machine>(pids);
  sample();
  thread_ = std::thread([this] { loop(); });
}

Sampler::~Sampler() {
  stop();
}

void Sampler::stop() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) {
      return;
    }
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
  sample();
  try {
    size_end_ = source_->size_bytes();
  } catch (const std::exception &e) {
    failed(e.what());
  }
}

void Sampler::failed(const std::string &why) {
  ++failed_;
  last_failure_ = why;
}

void Sampler::sample() {
  Reading r;
  try {
    source_->read(r);
  } catch (const std::exception &e) {
    failed(e.what());
    return;
  }
  machine_->read(r);
  if (machine_->lost_server()) {
    try {
      (void)machine_->follow(source_->local_pids());
    } catch (const std::exception &) { // not back yet: the next reading looks again
    }
  }
  r.t_us = now_();
  series_.add(r);
}

void Sampler::loop() {
  (void)pthread_setname_np(pthread_self(), "tpcc-metrics"); // for top -H and the benchmark
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    const int64_t next = (now_() / kSampleUs + 1) * kSampleUs;
    if (wake_.wait_for(lock, std::chrono::microseconds(next - now_()),
                       [this] { return stopping_; })) {
      return;
    }
    lock.unlock();
    sample();
    lock.lock();
  }
}

json Sampler::summary() const {
  std::vector<std::string> missing = source_->missing();
  for (const std::string &m : machine_->missing()) {
    missing.push_back(m);
  }
  if (machine_->lost_server()) {
    missing.emplace_back(machine_->servers() > 1
                             ? "the servers' CPU and I/O: a server's process ended during the "
                               "run, and no other took its place; its figures stop there"
                             : "the server's CPU and I/O: its process ended during the run, and "
                               "no other took its place");
  }
  json s = {{"sample_s", kSampleUs / 1'000'000},
            {"cpus", machine_->cpus()},
            {"missing", missing},
            {"failed_readings", failed_},
            {"size_bytes", {{"start", size_start_}, {"end", size_end_}}}};
  if (!machine_->disk().empty()) {
    s["disk"] = machine_->disk();
  }
  if (failed_ > 0) {
    s["last_failure"] = last_failure_;
  }
  return s;
}

} // namespace metrics
