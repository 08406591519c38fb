// Each support function beside the baseline it is measured against, in the
// same run; the summary at the end gives the ratios, which are what counts on
// a shared, noisy machine.

#include <tpcc/inputs.h>
#include <tpcc/population.h>
#include <tpcc/shutdown_flag.h>
#include <tpcc/support.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

// Lastname numbers in a fixed pseudo-random order, so neither side gains
// from a predictable branch or a warm path through one name.
const std::array<int32_t, 1024> kNums = [] {
  std::array<int32_t, 1024> nums{};
  unsigned seed = 1;
  for (auto &n : nums) {
    n = rand_r(&seed) % 1000;
  }
  return nums;
}();

void BM_rand_r(benchmark::State &state) {
  unsigned seed = 1;
  for (auto _ : state) {
    benchmark::DoNotOptimize(rand_r(&seed));
  }
}

void BM_RandomNumber(benchmark::State &state) {
  unsigned seed = 1;
  for (auto _ : state) {
    benchmark::DoNotOptimize(RandomNumber(&seed, 1, 3000));
  }
}

void BM_two_rand_r(benchmark::State &state) {
  unsigned seed = 1;
  for (auto _ : state) {
    benchmark::DoNotOptimize(rand_r(&seed));
    benchmark::DoNotOptimize(rand_r(&seed));
  }
}

// The work of RandomNumber and NURand behind a call, with nothing checked:
// what any library function that calls rand_r and reduces its draws costs.
// The benchmarks hide their arguments, so that the compiler cannot specialise
// the functions on them.
[[gnu::noinline]] int32_t draw_reduced(unsigned *seed, int32_t lo, uint32_t span) {
  return lo + static_cast<int32_t>(static_cast<uint32_t>(rand_r(seed)) % span);
}

[[gnu::noinline]] int32_t two_draws_reduced(unsigned *seed, uint32_t a_mask, uint32_t c, int32_t lo,
                                            uint32_t span) {
  const uint32_t a = static_cast<uint32_t>(rand_r(seed)) & a_mask;
  const uint32_t u = static_cast<uint32_t>(lo) + static_cast<uint32_t>(rand_r(seed)) % span;
  return lo + static_cast<int32_t>(((a | u) + c) % span);
}

void BM_draw_reduced_call(benchmark::State &state) {
  unsigned seed = 1;
  int32_t lo = 1;
  uint32_t span = 3000;
  benchmark::DoNotOptimize(lo);
  benchmark::DoNotOptimize(span);
  for (auto _ : state) {
    benchmark::DoNotOptimize(draw_reduced(&seed, lo, span));
  }
}

void BM_two_draws_reduced_call(benchmark::State &state) {
  unsigned seed = 1;
  uint32_t a_mask = 1023;
  uint32_t c = C_1023;
  int32_t lo = 1;
  uint32_t span = 3000;
  benchmark::DoNotOptimize(a_mask);
  benchmark::DoNotOptimize(c);
  benchmark::DoNotOptimize(lo);
  benchmark::DoNotOptimize(span);
  for (auto _ : state) {
    benchmark::DoNotOptimize(two_draws_reduced(&seed, a_mask, c, lo, span));
  }
}

void BM_NURand(benchmark::State &state) {
  unsigned seed = 1;
  for (auto _ : state) {
    benchmark::DoNotOptimize(NURand(&seed, 1023, 1, 3000));
  }
}

void BM_strcpy_strcat(benchmark::State &state) {
  char name[16];
  std::size_t i = 0;
  for (auto _ : state) {
    const int32_t num = kNums[i++ % kNums.size()];
    std::strcpy(name, gName[num / 100]);
    std::strcat(name, gName[num / 10 % 10]);
    std::strcat(name, gName[num % 10]);
    benchmark::DoNotOptimize(name);
    benchmark::ClobberMemory();
  }
}

void BM_Lastname(benchmark::State &state) {
  char name[16];
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(Lastname(kNums[i++ % kNums.size()], name));
    benchmark::ClobberMemory();
  }
}

void BM_time_and_copy(benchmark::State &state) {
  static char text[20] = "2024-03-07 09:05:01";
  char buf[20];
  benchmark::DoNotOptimize(text);
  for (auto _ : state) {
    benchmark::DoNotOptimize(std::time(nullptr));
    std::memcpy(buf, text, sizeof buf);
    benchmark::DoNotOptimize(buf);
    benchmark::ClobberMemory();
  }
}

// The same work behind a function call, as any library function must be:
// the floor for gettimestamp.
[[gnu::noinline]] void time_and_copy(char *buf, const char *text) {
  benchmark::DoNotOptimize(std::time(nullptr));
  std::memcpy(buf, text, 20);
}

void BM_time_and_copy_call(benchmark::State &state) {
  static char text[20] = "2024-03-07 09:05:01";
  char buf[20];
  benchmark::DoNotOptimize(text);
  for (auto _ : state) {
    time_and_copy(buf, text);
    benchmark::DoNotOptimize(buf);
    benchmark::ClobberMemory();
  }
}

void BM_localtime_and_format(benchmark::State &state) {
  char buf[64];
  for (auto _ : state) {
    const time_t now = std::time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    (void)std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900,
                        local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    benchmark::DoNotOptimize(buf);
    benchmark::ClobberMemory();
  }
}

void BM_gettimestamp(benchmark::State &state) {
  char buf[20];
  for (auto _ : state) {
    benchmark::DoNotOptimize(gettimestamp(buf, sizeof buf - 1));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}

// A poll of the shutdown flag against the bare load it stands for.  The flag
// is a plain variable here: a benchmark must not attach the machine's segment.
void BM_atomic_load(benchmark::State &state) {
  int32_t flag = 0;
  int32_t *watched = &flag;
  benchmark::DoNotOptimize(watched);
  for (auto _ : state) {
    benchmark::DoNotOptimize(__atomic_load_n(watched, __ATOMIC_ACQUIRE));
  }
}

// What a poll must do at the least: the load, and the comparison with 1.
void BM_load_compared(benchmark::State &state) {
  int32_t flag = 0;
  int32_t *watched = &flag;
  benchmark::DoNotOptimize(watched);
  for (auto _ : state) {
    benchmark::DoNotOptimize(__atomic_load_n(watched, __ATOMIC_ACQUIRE) == 1 ? 1 : 0);
  }
}

// Arithmetic written out to a few MB on one or two threads, as the
// population's text is: how far the machine itself lets two threads scale,
// the ceiling for any code's.
void BM_spin(benchmark::State &state) {
  std::vector<uint32_t> out(std::size_t{1} << 20);
  std::size_t at = 0;
  uint32_t x[4] = {1, 2, 3, 4}; // independent, so the core's width counts, not one chain's latency
  for (auto _ : state) {
    for (int i = 0; i < 16; ++i) {
      for (uint32_t &v : x) {
        v = v * 1103515245U + 12345U;
        out[at++ % out.size()] = v ^ (v >> 16U);
      }
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_ShutdownRequested(benchmark::State &state) {
  int32_t flag = 0;
  int32_t *watched = &flag;
  benchmark::DoNotOptimize(watched);
  for (auto _ : state) {
    benchmark::DoNotOptimize(ShutdownRequested(watched));
  }
}

// One terminal step: deal, draw the dealt transaction's inputs, think time.
void terminal_step(Terminal &t) {
  union {
    NewOrderInput new_order;
    PaymentInput payment;
    OrderStatusInput order_status;
    DeliveryInput delivery;
    StockLevelInput stock_level;
  } in;
  const int type = DealTransaction(&t);
  switch (type) {
  case TX_NEW_ORDER:
    DrawNewOrder(&t, &in.new_order);
    break;
  case TX_PAYMENT:
    DrawPayment(&t, &in.payment);
    break;
  case TX_ORDER_STATUS:
    DrawOrderStatus(&t, &in.order_status);
    break;
  case TX_DELIVERY:
    DrawDelivery(&t, &in.delivery);
    break;
  default:
    DrawStockLevel(&t, &in.stock_level);
    break;
  }
  benchmark::DoNotOptimize(in);
  benchmark::DoNotOptimize(ThinkTime(&t, type));
}

constexpr std::size_t kSteps = std::size_t{23} * 256;

// The rand_r calls each of the first kSteps steps makes, found by walking the
// seed from its value before the step to its value after.
const std::vector<int> kStepDraws = [] {
  std::vector<int> draws;
  Terminal t;
  InitTerminal(&t, 10, 3, 3, 1);
  for (std::size_t i = 0; i < kSteps; ++i) {
    unsigned walked = t.seed;
    terminal_step(t);
    int n = 0;
    while (walked != t.seed) {
      (void)rand_r(&walked);
      ++n;
    }
    draws.push_back(n);
  }
  return draws;
}();

void BM_TerminalStep(benchmark::State &state) {
  Terminal t;
  std::size_t i = 0;
  for (auto _ : state) {
    if (i++ % kSteps == 0) {
      InitTerminal(&t, 10, 3, 3, 1);
    }
    terminal_step(t);
  }
}

void BM_rand_r_per_step(benchmark::State &state) {
  unsigned seed = 1;
  std::size_t i = 0;
  for (auto _ : state) {
    for (int n = kStepDraws[i++ % kSteps]; n > 0; --n) {
      benchmark::DoNotOptimize(rand_r(&seed));
    }
  }
}

// What any terminal step must do: the same draws, each reduced to a range,
// and the logarithm of its negative-exponential think time.
void BM_step_work(benchmark::State &state) {
  unsigned seed = 1;
  std::size_t i = 0;
  for (auto _ : state) {
    uint32_t r = 0;
    for (int n = kStepDraws[i++ % kSteps]; n > 0; --n) {
      r = static_cast<uint32_t>(rand_r(&seed));
      benchmark::DoNotOptimize(r % 3000U);
    }
    benchmark::DoNotOptimize(std::log((r + 1.0) / 2147483648.0));
  }
}

// CPU seconds of every thread of the process: time the host gave another
// guest (steal) does not count, as it does on the wall clock.
double process_cpu_seconds() {
  struct rusage usage {};
  (void)getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval &t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The load and the warehouses that both population benchmarks make.
const TpccLoad kBenchLoad = {1, 117, "2026-12-08 15:04:05", ""};
constexpr int32_t kBenchWarehouses = 8;

// Eight warehouses' whole population, the eight tables of a warehouse as CSV,
// written to /dev/null by one or more worker threads.  A load makes one call
// for all its warehouses: enough of them here that the call's own start
// (threads, chunk buffers' first pages) and end weigh no more than in a load.
void BM_Population(benchmark::State &state) {
  const double cpu_start = process_cpu_seconds();
  const int sink = open("/dev/null", O_WRONLY | O_CLOEXEC);
  TpccJob job{1, kBenchWarehouses, {}, static_cast<int>(state.range(0)), nullptr, nullptr};
  for (int table = 0; table < TPCC_TABLES; ++table) {
    job.fd[table] = table == TPCC_ITEM ? -1 : sink;
  }
  int64_t rows[TPCC_TABLES];
  uint64_t bytes[TPCC_TABLES];
  int failed = 0;
  uint64_t total = 0;
  for (auto _ : state) {
    if (TpccWriteTables(&kBenchLoad, &job, rows, bytes, &failed) != 0) {
      state.SkipWithError("write failed");
    }
    for (const uint64_t b : bytes) {
      total += b;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(total));
  state.counters["cpu_bytes_per_second"] =
      static_cast<double>(total) / (process_cpu_seconds() - cpu_start);
  close(sink);
}

// The same warehouses' chunks made by TpccGenerateChunk on each thread with
// nothing shared, no writer and no order: how far this very code scales on
// the machine, the ceiling for the threads that write the tables.  (Code
// that keeps a core's units busy scales less on siblings that share them
// than the arithmetic baseline does.)
void BM_PopulationAlone(benchmark::State &state) {
  size_t bound = 0;
  for (int table = 0; table < TPCC_TABLES; ++table) {
    bound = std::max(bound, TpccChunkBound(table));
  }
  std::vector<char> buf(bound);
  uint64_t total = 0;
  int32_t w = 0;
  for (auto _ : state) {
    w = w % kBenchWarehouses + 1; // a warehouse an iteration
    for (int table = 0; table < TPCC_TABLES; ++table) {
      for (int32_t c = 0; table != TPCC_ITEM && c < TpccChunkCount(table); ++c) {
        total += TpccGenerateChunk(&kBenchLoad, table, w, c, buf.data(), buf.size(), nullptr);
      }
    }
    benchmark::DoNotOptimize(buf.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(total));
}

BENCHMARK(BM_rand_r);
BENCHMARK(BM_RandomNumber);
BENCHMARK(BM_two_rand_r);
BENCHMARK(BM_NURand);
BENCHMARK(BM_draw_reduced_call);
BENCHMARK(BM_two_draws_reduced_call);
BENCHMARK(BM_strcpy_strcat);
BENCHMARK(BM_Lastname);
BENCHMARK(BM_time_and_copy);
BENCHMARK(BM_time_and_copy_call);
BENCHMARK(BM_localtime_and_format);
BENCHMARK(BM_gettimestamp)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_atomic_load);
BENCHMARK(BM_load_compared);
BENCHMARK(BM_ShutdownRequested);
BENCHMARK(BM_spin)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_TerminalStep);
BENCHMARK(BM_rand_r_per_step);
BENCHMARK(BM_step_work);
BENCHMARK(BM_Population)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PopulationAlone)->Threads(1)->Threads(2)->UseRealTime()->Unit(benchmark::kMillisecond);

// A /proc/cpuinfo field of the first CPU ("" if there is none).
std::string cpu_field(const char *name) {
  std::FILE *f = std::fopen("/proc/cpuinfo", "r");
  char line[512];
  std::string value;
  while (f != nullptr && value.empty() && std::fgets(line, sizeof line, f) != nullptr) {
    const char *colon = std::strchr(line, ':');
    if (colon != nullptr && std::strncmp(line, name, std::strlen(name)) == 0) {
      value.assign(colon + 1 + std::strspn(colon + 1, " "));
      value.erase(value.find_last_not_of(" \n") + 1);
    }
  }
  if (f != nullptr) {
    (void)std::fclose(f);
  }
  return value;
}

std::string cpu_vendor() {
  return cpu_field("vendor_id");
}

// Keeps each run's time per call and throughput for the summary.
class RatioReporter : public benchmark::ConsoleReporter {
public:
  void ReportRuns(const std::vector<Run> &runs) override {
    // With --benchmark_repetitions, aggregates are reported after the runs.
    // A time per call and a rate are the median repetition's: on a shared
    // host noise takes time away as well as adding it (a repetition of a
    // sub-nanosecond loop once ran at half the time of the six others).
    for (const Run &run : runs) {
      const bool aggregate = run.run_type == Run::RT_Aggregate;
      const std::string name = run.run_name.str();
      if (!aggregate || run.aggregate_name == "median") {
        nanoseconds_[name] = run.GetAdjustedRealTime();
      }
      if (!aggregate) {
        repetitions_[name].push_back(run.GetAdjustedRealTime());
      }
      for (const char *rate : {"items_per_second", "bytes_per_second", "cpu_bytes_per_second"}) {
        const auto found = run.counters.find(rate);
        if (found == run.counters.end()) {
          continue;
        }
        const std::string key = std::strncmp(rate, "cpu", 3) == 0 ? name + " per cpu" : name;
        if (!aggregate || run.aggregate_name == "median") {
          throughput_[key] = found->second.value;
        }
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // Prints one line per claim, and the figures it rests on; returns the
  // number of claims missed.
  int Summarize() const {
    int missed = 0;
    const auto line = [&missed](const char *what, double ratio, double limit, bool at_most,
                                const char *unit = "x") {
      const bool holds = ratio > 0 && (at_most ? ratio <= limit : ratio >= limit);
      missed += holds ? 0 : 1;
      std::printf("%-56s %7.2f%s (%s %.2f%s) %s\n", what, ratio, unit,
                  at_most ? "at most" : "at least", limit, unit, holds ? "ok" : "MISSED");
    };
    // A time ratio that misses is judged only when both sides ran steadily: a
    // shared host sometimes runs a loop at half speed for a while, and a
    // benchmark whose repetitions fell on both sides of that has no one time.
    const auto time_line = [&](const char *what, const std::string &a, const std::string &b,
                               double limit, bool at_most) {
      const double r = ratio(a, b);
      const bool holds = at_most ? r <= limit : r >= limit;
      const double spread = std::max(this->spread(a), this->spread(b));
      if (!holds && r > 0 && spread > kSteady) {
        std::printf("%-56s %7.2fx not judged: repetitions %.2fx apart\n", what, r, spread);
      } else {
        line(what, r, limit, at_most);
      }
    };
    const auto figure = [](const char *what, double value) {
      std::printf("%-56s %7.2f\n", what, value);
    };
    const std::string ts1 = "BM_gettimestamp/real_time/threads:1";
    const std::string ts2 = "BM_gettimestamp/real_time/threads:2";
    const std::string pop1 = "BM_Population/1/real_time";
    const std::string pop2 = "BM_Population/2/real_time";
    const double machine = scaling("BM_spin/real_time/threads:2", "BM_spin/real_time/threads:1");
    const double stamps = scaling(ts2, ts1);
    const double population = scaling(pop2, pop1);
    const double alone =
        scaling("BM_PopulationAlone/real_time/threads:2", "BM_PopulationAlone/real_time/threads:1");
    std::printf("\nratios measured in this run:\n");
    // On the AMD EPYC a call costs more against the inline loop (the called baseline
    // row holds), and two threads' scaling swings further against the arithmetic
    // baseline's from run to run.  The 2.6 GHz Xeon runs these loops at its
    // full width, so each instruction gettimestamp adds to the baselines'
    // shows, and a call through the GOT costs more there than the baselines'
    // PLT call and jump: 1.8x the called baseline in every run.
    const bool amd = cpu_vendor() == "AuthenticAMD";
    time_line("gettimestamp / (time + 20-byte copy)", ts1, "BM_time_and_copy", amd ? 2.0 : 2.7,
              true);
    time_line("gettimestamp / call of (time + 20-byte copy)", ts1, "BM_time_and_copy_call",
              amd ? 1.05 : 2.0, true);
    time_line("(localtime_r + snprintf) / gettimestamp", "BM_localtime_and_format", ts1, 30, false);
    // Two threads cannot do more than twice the work of one: a baseline's
    // scaling beyond that says the host slowed its one-thread runs, and the
    // scaling is held to two instead, the most it could reach.  Time the
    // host gave other guests (steal) falls on some runs and not others: then
    // no scaling of this run can be judged.
    const auto scaling_line = [&](const char *what, double scaling, double baseline, double limit) {
      const double r = scaling / std::min(baseline, 2.0);
      if (stolen_ > kStolen) {
        std::printf("%-56s %7.2fx not judged: the host took %.0f %% of the CPUs\n", what, r,
                    100 * stolen_);
      } else {
        line(what, r, limit, false);
      }
    };
    scaling_line("gettimestamp 2-thread scaling / the machine's", stamps, machine, amd ? 0.8 : 0.9);
    time_line("NURand / call of two reduced rand_r", "BM_NURand", "BM_two_draws_reduced_call", 1.1,
              true);
    time_line("RandomNumber / call of a reduced rand_r", "BM_RandomNumber", "BM_draw_reduced_call",
              1.1, true);
    time_line("(strcpy + 2 strcat) / Lastname", "BM_strcpy_strcat", "BM_Lastname", 1.5, false);
    time_line("ShutdownRequested / inline load compared with 1", "BM_ShutdownRequested",
              "BM_load_compared", 1.2, true);
    line("population MB per CPU second, one thread", scaling(pop1 + " per cpu", "") / 1e6, 500,
         false, "");
    scaling_line("population 2-thread scaling / its chunks' alone", population, alone, 0.8);
    time_line("terminal step / its draws reduced, and one log", "BM_TerminalStep", "BM_step_work",
              1.3, true);
    std::printf("\nthe figures behind them:\n");
    figure("the machine's 2-thread scaling (counted as 2 if over)", machine);
    figure("gettimestamp throughput, 2 threads / 1 thread", stamps);
    figure("population throughput, 2 threads / 1 thread", population);
    figure("the same chunks on threads sharing nothing, 2 / 1", alone);
    figure("ShutdownRequested / bare atomic load", ratio("BM_ShutdownRequested", "BM_atomic_load"));
    figure("NURand / two bare rand_r", ratio("BM_NURand", "BM_two_rand_r"));
    figure("RandomNumber / one bare rand_r", ratio("BM_RandomNumber", "BM_rand_r"));
    figure("population MB/s on one thread, wall clock", scaling(pop1, "") / 1e6);
    figure("terminal step / its draws as bare rand_r",
           ratio("BM_TerminalStep", "BM_rand_r_per_step"));
    figure("% of the CPUs the host gave other guests (steal)", 100 * stolen_);
    return missed;
  }

private:
  // a / b, or 0 when either was not run (a filter left it out).
  static double quotient(const std::map<std::string, double> &values, const std::string &a,
                         const std::string &b) {
    return values.count(a) != 0 && values.count(b) != 0 ? values.at(a) / values.at(b) : 0.0;
  }
  double ratio(const std::string &a, const std::string &b) const {
    return quotient(nanoseconds_, a, b);
  }
  // A benchmark's median repetition over its fastest; 1 when it was not repeated.
  double spread(const std::string &name) const {
    const auto found = repetitions_.find(name);
    if (found == repetitions_.end() || found->second.size() < 3) {
      return 1.0;
    }
    std::vector<double> v = found->second;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2] / v.front();
  }
  static constexpr double kSteady = 1.3;
  static constexpr double kStolen = 0.05;

public:
  // The share of the CPUs' time the host gave other guests while the benchmarks ran.
  void set_stolen(double share) { stolen_ = share; }

private:
  double stolen_ = 0;
  // a / b, or a itself when b is "".
  double scaling(const std::string &a, const std::string &b) const {
    return b.empty() ? (throughput_.count(a) != 0 ? throughput_.at(a) : 0.0)
                     : quotient(throughput_, a, b);
  }

  std::map<std::string, double> nanoseconds_;
  std::map<std::string, double> throughput_;
  std::map<std::string, std::vector<double>> repetitions_;
};

// Seconds of CPU time the host gave other guests since boot (steal, in /proc/stat).
double stolen_seconds() {
  std::FILE *f = std::fopen("/proc/stat", "r");
  char line[512] = "";
  const bool read = f != nullptr && std::fgets(line, sizeof line, f) != nullptr;
  if (f != nullptr) {
    (void)std::fclose(f);
  }
  if (!read || std::strncmp(line, "cpu ", 4) != 0) {
    return 0;
  }
  char *p = line + 4;
  unsigned long long steal = 0;
  for (int field = 0; field < 8; ++field) { // user nice system idle iowait irq softirq steal
    steal = std::strtoull(p, &p, 10);
  }
  return static_cast<double>(steal) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double wall_seconds() {
  timespec t{};
  (void)clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The method the bounds were set with; it replaces whatever the command line says.
const char *const kCheckMethod[] = {"--benchmark_repetitions=15", "--benchmark_min_time=0.05",
                                    "--benchmark_enable_random_interleaving=true"};

} // namespace

// Exits 1 if a ratio misses its limit and --check_ratios was given.
int main(int argc, char **argv) {
  bool check = false;
  std::vector<char *> args{argv[0]};
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--check_ratios") == 0) {
      check = true;
    } else {
      if (std::strcmp(argv[i], "--help") == 0) {
        std::printf(
            "bench_support --check_ratios: time every claim beside its baseline with the "
            "method its bound was set with (15 interleaved repetitions of at least 0.05 s); "
            "exit 1 if one misses.\nGoogle Benchmark's own flags:\n");
      }
      args.push_back(argv[i]);
    }
  }
  if (check) { // the last of a flag given twice is the one that holds
    for (const char *flag : kCheckMethod) {
      args.push_back(const_cast<char *>(flag));
    }
    std::printf("--check_ratios: each benchmark 15 times for at least 0.05 s, the repetitions of "
                "all interleaved; a time or rate is the median repetition's; "
                "the bounds set on the %s; this CPU: %s\n",
                cpu_vendor() == "AuthenticAMD" ? "AMD EPYC" : "Intel Xeon",
                cpu_field("model name").c_str());
    (void)std::fflush(stdout);
  }
  int count = static_cast<int>(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&count, args.data());
  RatioReporter reporter;
  const double stolen_before = stolen_seconds();
  const double wall_before = wall_seconds();
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double cpus = static_cast<double>(sysconf(_SC_NPROCESSORS_ONLN));
  reporter.set_stolen((stolen_seconds() - stolen_before) / ((wall_seconds() - wall_before) * cpus));
  const int missed = reporter.Summarize();
  benchmark::Shutdown();
  return check && missed > 0 ? 1 : 0;
}
