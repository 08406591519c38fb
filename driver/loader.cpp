// loader.cpp - the load on any database behind load::Target; see loader.h.
#include "loader.h"

#include "command_line.h"

#include <tpcc/support.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include <unistd.h>

// The command reports and exits from its main thread only.
// NOLINTBEGIN(concurrency-mt-unsafe)

namespace load {

namespace {

[[noreturn]] void fail(const std::string &message) {
  (void)std::fprintf(stderr, "tpcc-load: %s\n", message.c_str());
  std::exit(1);
}

struct Unit {
  int table;
  int32_t w_id;
};

struct Data {
  const Plan &o;
  TpccLoad load;
  std::vector<Unit> units;
  std::atomic<size_t> next{0};
  std::atomic<uint64_t> bytes{0};
  std::vector<std::atomic<int>> tables_done; // per warehouse of the range
  std::atomic<int32_t> warehouses_done{0};
  std::atomic<bool> failed{false};
  std::mutex failure_mutex;
  std::string failure;
  Data(const Plan &plan, const TpccLoad &l)
      : o(plan), load(l), tables_done(static_cast<size_t>(plan.last - plan.first + 1)) {}

  void fail(const std::string &why) {
    const std::lock_guard<std::mutex> lock(failure_mutex);
    if (!failed.exchange(true)) {
      failure = why;
    }
  }
};

class UnitRows : public Rows {
public:
  UnitRows(Data &data, const Unit &u, std::vector<char> &buf) : data_(data), u_(u), buf_(buf) {}
  std::string_view next() override {
    if (data_.failed || chunk_ == TpccChunkCount(u_.table)) {
      return {};
    }
    const size_t n = TpccGenerateChunk(&data_.load, u_.table, u_.w_id, chunk_++, buf_.data(),
                                       buf_.size(), nullptr);
    data_.bytes += n;
    return {buf_.data(), n};
  }
  bool abandoned() const override { return data_.failed; }

private:
  Data &data_;
  Unit u_;
  std::vector<char> &buf_;
  int32_t chunk_ = 0;
};

// One connection's work: the next unit not yet taken, until none is left or one failed.
void loader(Target &target, Data &data) {
  std::unique_ptr<Writer> writer;
  try {
    writer = target.writer();
  } catch (const db::Error &e) {
    data.fail(std::string("cannot connect: ") + e.what());
    return;
  }
  size_t bound = 0;
  for (int t = 0; t < TPCC_TABLES; ++t) {
    bound = std::max(bound, TpccChunkBound(t));
  }
  std::vector<char> buf(bound);
  for (size_t i; !data.failed && (i = data.next++) < data.units.size();) {
    const Unit &u = data.units[i];
    try {
      UnitRows rows(data, u, buf);
      writer->write(u.table, rows);
    } catch (const db::Error &e) {
      data.fail(std::string(TpccTableName(u.table)) +
                (u.table == TPCC_ITEM ? "" : ", warehouse " + std::to_string(u.w_id)) + ": " +
                e.what());
      return;
    }
    if (u.table != TPCC_ITEM &&
        ++data.tables_done[static_cast<size_t>(u.w_id - data.o.first)] == TPCC_TABLES - 1) {
      ++data.warehouses_done;
    }
  }
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void show_progress(const Data &data, double elapsed, bool last) {
  const int32_t done = data.warehouses_done;
  const auto total = static_cast<int32_t>(data.o.last - data.o.first + 1);
  const double rate = elapsed > 0 ? static_cast<double>(data.bytes) / 1e6 / elapsed : 0;
  const long left = done == 0 ? 0 : std::lround(elapsed / done * (total - done));
  (void)std::fprintf(stderr, "\rtpcc-load: %d of %d warehouses, %.0f MB/s, %ld:%02ld left   ", done,
                     total, rate, left / 60, left % 60);
  if (last) {
    (void)std::fputc('\n', stderr);
  }
}

// Loads the range's rows; returns the data phase's seconds.
double load_data(const Plan &o, const std::vector<Target *> &targets, const TpccLoad &load) {
  Data data(o, load);
  if (o.first == 1) {
    data.units.push_back({TPCC_ITEM, 1});
  }
  for (auto w = static_cast<int32_t>(o.first); w <= o.last; ++w) {
    for (int t = 0; t < TPCC_TABLES; ++t) {
      if (t != TPCC_ITEM) {
        data.units.push_back({t, w});
      }
    }
  }
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int64_t k = 0; k < o.connections; ++k) {
    Target &target = *targets[static_cast<size_t>(k) % targets.size()];
    threads.emplace_back([&target, &data] { loader(target, data); });
  }
  const bool shown = !o.quiet && isatty(STDERR_FILENO) != 0;
  while (shown && !data.failed && data.warehouses_done < o.last - o.first + 1) {
    show_progress(data, seconds_since(start), false);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  for (std::thread &t : threads) {
    t.join();
  }
  if (data.failed) {
    if (shown) {
      (void)std::fputc('\n', stderr);
    }
    fail(data.failure);
  }
  const double seconds = seconds_since(start);
  if (shown) {
    show_progress(data, seconds, true);
  }
  std::printf("tpcc-load: warehouses %lld-%lld, %llu bytes in %.2f s (data phase)\n",
              static_cast<long long>(o.first), static_cast<long long>(o.last),
              static_cast<unsigned long long>(data.bytes.load()), seconds);
  return seconds;
}

// Waits until the parts recorded in tpcc_load cover every warehouse.
void wait_for_parts(Target &target, const Plan &o) {
  for (bool said = false;;) {
    const long long loaded = target.recorded_warehouses();
    if (loaded >= o.warehouses) {
      return;
    }
    if (!said && !o.quiet) {
      (void)std::fprintf(stderr,
                         "tpcc-load: waiting for the other parts (%lld of %lld warehouses "
                         "loaded) before adding the keys\n",
                         loaded, static_cast<long long>(o.warehouses));
      said = true;
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
  }
}

int keys_and_check(Target &target, const Plan &o) {
  if (!o.whole()) {
    wait_for_parts(target, o);
  }
  const auto start = std::chrono::steady_clock::now();
  target.add_keys(o.foreign_keys);
  std::printf("tpcc-load: keys, indexes%s and statistics in %.2f s\n",
              o.foreign_keys ? ", foreign keys" : "", seconds_since(start));
  if (!o.check) {
    return 0;
  }
  const std::vector<db::Condition> conditions = target.check();
  std::vector<int> all;
  all.reserve(conditions.size());
  for (const db::Condition &c : conditions) {
    all.push_back(c.number);
  }
  return db::print_conditions(conditions, all, stdout) == 0 ? 0 : 3;
}

} // namespace

int run(const Plan &plan, const std::vector<Target *> &targets) {
  Target &target = *targets.at(0);
  const TpccLoad load =
      command_line::make_load(plan.seed, plan.c_load, plan.timestamp, target.null_text());
  try {
    target.make_schema(plan);
    (void)load_data(plan, targets, load);
    target.record(plan, load);
    std::printf("C-Load: %u\n", static_cast<unsigned>(load.c_load));
    (void)std::fflush(stdout);
    return plan.keys ? keys_and_check(target, plan) : 0;
  } catch (const db::Error &e) {
    fail(e.what());
  }
}

} // namespace load

// NOLINTEND(concurrency-mt-unsafe)
