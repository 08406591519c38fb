// tpcc-load - the initial TPC-C database, generated straight into PostgreSQL.
//
// Creates the kit's tables, streams every chunk of the population into
// COPY ... FROM STDIN over K connections (each table of each warehouse one
// COPY, so one transaction), records the load in tpcc_load, then adds the
// keys, analyzes and checks the twelve consistency conditions.
#include "command_line.h"
#include "postgresql/pg.h"
#include "postgresql/schema.h"

#include <tpcc/population.h>
#include <tpcc/support.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

#include <getopt.h>
#include <sched.h>
#include <unistd.h>

// The command reports and exits from its main thread only.
// NOLINTBEGIN(concurrency-mt-unsafe)

namespace {

using command_line::usage_error;

constexpr const char *kUsage =
    "usage: tpcc-load [--dsn CONNINFO] --warehouses N [--range A-B] [--seed S] [--c-load C]\n"
    "                 [--timestamp 'YYYY-MM-DD hh:mm:ss'] [--connections K] [--no-keys]\n"
    "                 [--no-foreign-keys] [--no-check] [--drop] [--quiet]\n";

constexpr const char *kHelp =
    "Generate the initial TPC-C database straight into PostgreSQL.\n"
    "\n"
    "  -d, --dsn CONNINFO    libpq connection string or URI (default: the PG* environment)\n"
    "  -w, --warehouses N    the database's warehouse count (required)\n"
    "  -r, --range A-B       load only these warehouses of the N (ITEM goes with warehouse 1)\n"
    "  -s, --seed S          0..18446744073709551615 (default 1)\n"
    "  -c, --c-load C        the C of C_LAST, 0..255 (default: drawn from the seed)\n"
    "  -T, --timestamp TIME  every timestamp of the load (default: now)\n"
    "  -j, --connections K   connections loading at once (default: the CPUs)\n"
    "      --no-keys         leave keys, ANALYZE and the check to another part of the load\n"
    "      --no-foreign-keys add the keys but not the references, which the server would\n"
    "                        check for every row a transaction writes\n"
    "      --no-check        add the keys but skip the consistency check\n"
    "      --drop            drop the kit's tables and functions first, if they exist\n"
    "  -q, --quiet           no progress line\n"
    "  -h, --help            this text\n"
    "  -V, --version         the version\n"
    "\n"
    "Exit status: 0 done, 1 a failure, 2 a usage error, 3 a consistency condition violated.\n";

struct Options {
  std::string dsn;
  int64_t warehouses = 0, first = 0, last = 0, connections = 0;
  uint64_t seed = 1;
  int64_t c_load = -1;
  std::string timestamp;
  bool keys = true, check = true, drop = false, quiet = false, foreign_keys = true;
};

enum : int { kNoKeys = 256, kNoCheck, kDrop, kNoForeignKeys };

Options parse(int argc, char **argv) {
  static const option kLong[] = {{"dsn", required_argument, nullptr, 'd'},
                                 {"warehouses", required_argument, nullptr, 'w'},
                                 {"range", required_argument, nullptr, 'r'},
                                 {"seed", required_argument, nullptr, 's'},
                                 {"c-load", required_argument, nullptr, 'c'},
                                 {"timestamp", required_argument, nullptr, 'T'},
                                 {"connections", required_argument, nullptr, 'j'},
                                 {"no-keys", no_argument, nullptr, kNoKeys},
                                 {"no-foreign-keys", no_argument, nullptr, kNoForeignKeys},
                                 {"no-check", no_argument, nullptr, kNoCheck},
                                 {"drop", no_argument, nullptr, kDrop},
                                 {"quiet", no_argument, nullptr, 'q'},
                                 {"help", no_argument, nullptr, 'h'},
                                 {"version", no_argument, nullptr, 'V'},
                                 {nullptr, 0, nullptr, 0}};
  Options o;
  opterr = 0;
  int c = 0;
  while ((c = getopt_long(argc, argv, ":d:w:r:s:c:T:j:qhV", kLong, nullptr)) != -1) {
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
    case 's':
      o.seed = static_cast<uint64_t>(command_line::number("--seed", optarg, 0, UINT64_MAX));
      break;
    case 'c':
      o.c_load = command_line::number("--c-load", optarg, 0, 255);
      break;
    case 'T':
      o.timestamp = optarg;
      if (TpccIsTimestamp(optarg) == 0) {
        usage_error(std::string("--timestamp: '") + optarg + "' is not YYYY-MM-DD hh:mm:ss");
      }
      break;
    case 'j':
      o.connections = command_line::number("--connections", optarg, 1, 1024);
      break;
    case kNoForeignKeys:
      o.foreign_keys = false;
      break;
    case kNoKeys:
      o.keys = false;
      break;
    case kNoCheck:
      o.check = false;
      break;
    case kDrop:
      o.drop = true;
      break;
    case 'q':
      o.quiet = true;
      break;
    default:
      command_line::common_option(c, kUsage, kHelp, TPCC_VERSION, argv);
    }
  }
  if (optind < argc) {
    usage_error(std::string("unexpected argument '") + argv[optind] + "'");
  }
  if (o.warehouses == 0) {
    usage_error("--warehouses is required");
  }
  if (o.first == 0) {
    o.first = 1;
    o.last = o.warehouses;
  } else if (o.last > o.warehouses) {
    usage_error("--range: " + std::to_string(o.first) + "-" + std::to_string(o.last) +
                " is outside 1-" + std::to_string(o.warehouses));
  }
  if (o.drop && (o.first != 1 || o.last != o.warehouses)) {
    usage_error("--drop goes with a whole load, not a part of one");
  }
  if (o.connections == 0) {
    cpu_set_t cpus;
    o.connections = sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 1;
  }
  return o;
}

[[noreturn]] void fail(const std::string &message, int status = 1) {
  (void)std::fprintf(stderr, "tpcc-load: %s\n", message.c_str());
  std::exit(status);
}

bool whole(const Options &o) {
  return o.first == 1 && o.last == o.warehouses;
}

const char *const kLoadTable =
    "CREATE TABLE IF NOT EXISTS tpcc_load (version text NOT NULL, warehouses integer NOT NULL,"
    " first_w integer NOT NULL, last_w integer NOT NULL, seed numeric(20) NOT NULL,"
    " c_load integer NOT NULL, load_timestamp timestamp NOT NULL,"
    " finished_at timestamptz NOT NULL DEFAULT now())";

// The tables, made or found: a whole load makes them (refusing existing ones unless --drop);
// a part makes what the first part to come has not, and refuses warehouses already there.
void make_schema(pg::Connection &conn, const Options &o) {
  conn.exec("BEGIN");
  conn.exec("SELECT pg_advisory_xact_lock(1234)"); // the parts of a load, one at a time
  if (o.drop) {
    conn.exec("DROP TABLE IF EXISTS warehouse, district, customer, history, orders, new_order,"
              " order_line, item, stock, tpcc_load CASCADE");
    pg_schema::drop_procedures(conn);
  }
  if (whole(o)) {
    for (const std::string &t : db::tables()) {
      if (pg::text(conn.exec("SELECT to_regclass($1) IS NOT NULL", {t}), 0, 0)[0] == 't') {
        fail("table '" + t + "' exists already (--drop replaces the kit's tables)");
      }
    }
  }
  const std::string missing = pg_schema::missing_table(conn);
  if (missing.empty()) {
    const pg::Result r = conn.exec("SELECT count(*) FROM warehouse WHERE w_id BETWEEN $1 AND $2",
                                   {std::to_string(o.first), std::to_string(o.last)});
    if (pg::integer(r, 0, 0) != 0) {
      fail("warehouses " + std::to_string(o.first) + "-" + std::to_string(o.last) +
           " hold rows already");
    }
  } else {
    std::string schema = pg_schema::kSchemaSql;
    for (size_t at = 0; (at = schema.find("CREATE TABLE ", at)) != std::string::npos; at += 13) {
      schema.insert(at + 13, "IF NOT EXISTS ");
    }
    conn.exec(schema);
  }
  conn.exec(kLoadTable);
  conn.exec("COMMIT");
  pg_schema::install_procedures(conn); // for tpcc-run --procedures
}

// ---- the data: each table of each warehouse (and ITEM) one COPY ----

struct Unit {
  int table;
  int32_t w_id;
};

struct Data {
  const Options &o;
  TpccLoad load;
  std::vector<Unit> units;
  std::atomic<size_t> next{0};
  std::atomic<uint64_t> bytes{0};
  std::vector<std::atomic<int>> tables_done; // per warehouse of the range
  std::atomic<int32_t> warehouses_done{0};
  std::atomic<bool> failed{false};
  std::mutex failure_mutex;
  std::string failure;
  Data(const Options &options, const TpccLoad &l)
      : o(options), load(l), tables_done(static_cast<size_t>(options.last - options.first + 1)) {}
};

void copy_unit(pg::Connection &conn, Data &data, const Unit &u, std::vector<char> &buf) {
  const std::string sql =
      std::string("COPY ") + TpccTableName(u.table) + " FROM STDIN WITH (FORMAT csv)";
  const pg::Result started(PQexec(conn.get(), sql.c_str()));
  if (PQresultStatus(started.get()) != PGRES_COPY_IN) {
    throw pg::Error(PQerrorMessage(conn.get()), "");
  }
  bool sent = true;
  for (int32_t chunk = 0; sent && chunk < TpccChunkCount(u.table) && !data.failed; ++chunk) {
    const size_t n =
        TpccGenerateChunk(&data.load, u.table, u.w_id, chunk, buf.data(), buf.size(), nullptr);
    sent = PQputCopyData(conn.get(), buf.data(), static_cast<int>(n)) == 1;
    data.bytes += n;
  }
  // Ending with an error message rolls the COPY back: another unit failed first.
  if (PQputCopyEnd(conn.get(), data.failed ? "the load failed elsewhere" : nullptr) != 1) {
    sent = false;
  }
  const pg::Result done(PQgetResult(conn.get()));
  while (pg::Result(PQgetResult(conn.get())) != nullptr) {
  }
  if (!sent || PQresultStatus(done.get()) != PGRES_COMMAND_OK) {
    const char *primary = PQresultErrorField(done.get(), PG_DIAG_MESSAGE_PRIMARY);
    throw pg::Error(primary != nullptr ? primary : PQerrorMessage(conn.get()), "");
  }
}

void loader(const std::string &dsn, Data &data) {
  std::unique_ptr<pg::Connection> conn;
  try {
    conn = std::make_unique<pg::Connection>(dsn);
  } catch (const pg::Error &e) {
    const std::lock_guard<std::mutex> lock(data.failure_mutex);
    data.failure = data.failure.empty() ? std::string("cannot connect: ") + e.what() : data.failure;
    data.failed = true;
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
      copy_unit(*conn, data, u, buf);
    } catch (const pg::Error &e) {
      const std::lock_guard<std::mutex> lock(data.failure_mutex);
      if (!data.failed.exchange(true)) {
        data.failure = std::string(TpccTableName(u.table)) +
                       (u.table == TPCC_ITEM ? "" : ", warehouse " + std::to_string(u.w_id)) +
                       ": " + e.what();
      }
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
double load_data(const Options &o, const TpccLoad &load) {
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
    threads.emplace_back([&o, &data] { loader(o.dsn, data); });
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
void wait_for_parts(pg::Connection &conn, const Options &o) {
  for (bool said = false;;) {
    const pg::Result r = conn.exec("SELECT coalesce(sum(last_w - first_w + 1), 0) FROM tpcc_load");
    const long long loaded = pg::integer(r, 0, 0);
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

int keys_and_check(pg::Connection &conn, const Options &o) {
  if (!whole(o)) {
    wait_for_parts(conn, o);
  }
  const auto start = std::chrono::steady_clock::now();
  conn.exec(pg_schema::kKeysSql);
  if (o.foreign_keys) {
    conn.exec(pg_schema::kForeignKeysSql);
  }
  conn.exec("ANALYZE");
  std::printf("tpcc-load: keys, indexes%s and ANALYZE in %.2f s\n",
              o.foreign_keys ? ", foreign keys" : "", seconds_since(start));
  if (!o.check) {
    return 0;
  }
  const std::vector<db::Condition> conditions = pg_schema::check(conn);
  std::vector<int> all;
  all.reserve(conditions.size());
  for (const db::Condition &c : conditions) {
    all.push_back(c.number);
  }
  return db::print_conditions(conditions, all, stdout) == 0 ? 0 : 3;
}

} // namespace

int main(int argc, char **argv) {
  command_line::program = "tpcc-load";
  const Options o = parse(argc, argv);
  const TpccLoad load = command_line::make_load(o.seed, o.c_load, o.timestamp, "");
  std::unique_ptr<pg::Connection> conn;
  try {
    conn = std::make_unique<pg::Connection>(o.dsn);
  } catch (const pg::Error &e) {
    fail(std::string("cannot connect: ") + e.what());
  }
  try {
    (void)PQsetNoticeProcessor(
        conn->get(), [](void *, const char *) {}, nullptr);
    make_schema(*conn, o);
    (void)load_data(o, load);
    conn->exec("INSERT INTO tpcc_load VALUES ($1, $2, $3, $4, $5, $6, $7)",
               {TPCC_VERSION, std::to_string(o.warehouses), std::to_string(o.first),
                std::to_string(o.last), std::to_string(load.seed), std::to_string(load.c_load),
                load.timestamp});
    std::printf("C-Load: %u\n", static_cast<unsigned>(load.c_load));
    (void)std::fflush(stdout);
    return o.keys ? keys_and_check(*conn, o) : 0;
  } catch (const pg::Error &e) {
    fail(e.what());
  }
}

// NOLINTEND(concurrency-mt-unsafe)
