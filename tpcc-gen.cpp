// tpcc-gen - generate the initial TPC-C database as CSV files.
//
// Writes DIR/<table>.csv for the chosen tables and warehouses and DIR/load.env
// recording what was made, or one table to standard output.  Every file is
// written under a temporary name and takes its own only when all of them are
// whole; on failure or interruption nothing that looks complete is left.

#include "command_line.h"

#include <tpcc/population.h>
#include <tpcc/support.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <tuple>
#include <vector>

#include <fcntl.h>
#include <getopt.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

// The command reports and exits from its own thread only: the workers live
// inside TpccWriteTables.
// NOLINTBEGIN(concurrency-mt-unsafe)

namespace {

using command_line::usage_error;

constexpr const char *kUsage =
    "usage: tpcc-gen -w N -o DIR|- [-r FIRST-LAST] [-t TABLE[,TABLE...]] [-s SEED]\n"
    "                [-c C_LOAD] [-T 'YYYY-MM-DD hh:mm:ss'] [-j THREADS] [-n NULL] [-f] [-q]\n";

constexpr const char *kHelp =
    "Generate the initial TPC-C database as CSV, one file per table.\n"
    "\n"
    "  -w, --warehouses N     the database's warehouse count (required)\n"
    "  -o, --out DIR|-        write DIR/<table>.csv and DIR/load.env, or one table to\n"
    "                         standard output (required)\n"
    "  -r, --range FIRST-LAST only these warehouses of the N (ITEM goes with warehouse 1)\n"
    "  -t, --tables LIST      comma-separated, of: warehouse district customer history\n"
    "                         orders new_order order_line item stock (default: all)\n"
    "  -s, --seed N           0..18446744073709551615 (default 1)\n"
    "  -c, --c-load N         the C of C_LAST, 0..255 (default: drawn from the seed)\n"
    "  -T, --timestamp TIME   every timestamp of the load (default: now)\n"
    "  -j, --threads N        worker threads (default: the cores this process may use)\n"
    "  -n, --null TEXT        how a NULL is written (default: an empty field)\n"
    "  -f, --force            overwrite existing files\n"
    "  -q, --quiet            no progress line\n"
    "  -h, --help             this text\n"
    "  -V, --version          the version\n"
    "\n"
    "Exit status: 0 done, 1 a file or the system failed, 2 a usage error.\n";

struct Options {
  int64_t warehouses = 0;
  int64_t first = 0, last = 0;
  std::string out;
  std::vector<bool> tables = std::vector<bool>(TPCC_TABLES, false);
  bool tables_given = false;
  uint64_t seed = 1;
  int64_t c_load = -1;
  std::string timestamp;
  int64_t threads = 0;
  std::string null_text;
  bool force = false;
  bool quiet = false;
};

[[noreturn]] void fail(const std::string &what, int error) {
  (void)std::fprintf(stderr, "tpcc-gen: %s: %s\n", what.c_str(), std::strerror(error));
  std::exit(1);
}

void parse_tables(Options &o, const char *list) {
  std::string rest = list;
  o.tables_given = true;
  for (;;) {
    const size_t comma = rest.find(',');
    const std::string name = rest.substr(0, comma);
    const int table = TpccTableByName(name.c_str());
    if (table < 0) {
      usage_error("--tables: unknown table '" + name + "'");
    }
    o.tables[static_cast<size_t>(table)] = true;
    if (comma == std::string::npos) {
      return;
    }
    rest.erase(0, comma + 1);
  }
}

Options parse(int argc, char **argv) {
  static const option kLong[] = {{"warehouses", required_argument, nullptr, 'w'},
                                 {"out", required_argument, nullptr, 'o'},
                                 {"range", required_argument, nullptr, 'r'},
                                 {"tables", required_argument, nullptr, 't'},
                                 {"seed", required_argument, nullptr, 's'},
                                 {"c-load", required_argument, nullptr, 'c'},
                                 {"timestamp", required_argument, nullptr, 'T'},
                                 {"threads", required_argument, nullptr, 'j'},
                                 {"null", required_argument, nullptr, 'n'},
                                 {"force", no_argument, nullptr, 'f'},
                                 {"quiet", no_argument, nullptr, 'q'},
                                 {"help", no_argument, nullptr, 'h'},
                                 {"version", no_argument, nullptr, 'V'},
                                 {nullptr, 0, nullptr, 0}};
  Options o;
  opterr = 0;
  int c = 0;
  while ((c = getopt_long(argc, argv, ":w:o:r:t:s:c:T:j:n:fqhV", kLong, nullptr)) != -1) {
    switch (c) {
    case 'w':
      o.warehouses = command_line::number("--warehouses", optarg, 1, INT32_MAX);
      break;
    case 'o':
      o.out = optarg;
      break;
    case 'r':
      std::tie(o.first, o.last) = command_line::range(optarg);
      break;
    case 't':
      parse_tables(o, optarg);
      break;
    case 's':
      o.seed = static_cast<uint64_t>(command_line::number("--seed", optarg, 0, UINT64_MAX));
      break;
    case 'c':
      o.c_load = command_line::number("--c-load", optarg, 0, 255);
      break;
    case 'T':
      o.timestamp = optarg;
      if (TpccIsTimestamp(o.timestamp.c_str()) == 0) {
        usage_error("--timestamp: '" + o.timestamp + "' is not YYYY-MM-DD hh:mm:ss");
      }
      break;
    case 'j':
      o.threads = command_line::number("--threads", optarg, 1, 1024);
      break;
    case 'n':
      o.null_text = optarg;
      if (o.null_text.size() > 15 || o.null_text.find_first_of(",\"\\\r\n") != std::string::npos) {
        usage_error("--null: at most 15 characters, none of them a comma, quote, backslash or "
                    "line break");
      }
      break;
    case 'f':
      o.force = true;
      break;
    case 'q':
      o.quiet = true;
      break;
    default:
      command_line::common_option(c, kUsage, kHelp, TPCC_VERSION, argv);
    }
  }
  return o;
}

// The choices that depend on each other, checked before anything is written.
void settle(Options &o, int argc) {
  if (optind < argc) {
    usage_error("unexpected argument");
  }
  if (o.warehouses == 0 || o.out.empty()) {
    usage_error("--warehouses and --out are required");
  }
  if (o.first == 0) {
    o.first = 1;
    o.last = o.warehouses;
  } else if (o.last > o.warehouses) {
    usage_error("--range: " + std::to_string(o.first) + "-" + std::to_string(o.last) +
                " is outside 1-" + std::to_string(o.warehouses));
  }
  if (!o.tables_given) {
    o.tables.assign(TPCC_TABLES, true);
    o.tables[TPCC_ITEM] = o.first == 1;
  }
  int chosen = 0;
  for (const bool t : o.tables) {
    chosen += t ? 1 : 0;
  }
  if (o.out == "-" && chosen != 1) {
    usage_error("--out - writes one table: name it with --tables");
  }
  if (o.threads == 0) {
    cpu_set_t cpus;
    o.threads = sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 1;
  }
}

// ---- files under temporary names ----

constexpr int kFiles = TPCC_TABLES + 1; // the tables and load.env
char pending[kFiles][4096];             // temporary names not yet renamed, for the signal handler

void remove_pending() {
  for (char *path : pending) {
    if (path[0] != '\0') {
      (void)unlink(path);
      path[0] = '\0';
    }
  }
}

extern "C" void on_signal(int signal) {
  remove_pending();
  (void)std::signal(signal, SIG_DFL);
  (void)std::raise(signal);
}

[[noreturn]] void fail_cleanly(const std::string &what, int error) {
  remove_pending();
  fail(what, error);
}

// Opens a new temporary file beside path, readable as a created file would be.
int open_pending(int slot, const std::string &path) {
  const size_t slash = path.rfind('/');
  const std::string temp = path.substr(0, slash + 1) + "." + path.substr(slash + 1) + ".XXXXXX";
  if (temp.size() >= sizeof pending[slot]) {
    fail_cleanly(path, ENAMETOOLONG);
  }
  std::vector<char> name(temp.begin(), temp.end());
  name.push_back('\0');
  const int fd = mkstemp(name.data());
  if (fd == -1) {
    fail_cleanly(path, errno);
  }
  std::memcpy(pending[slot], name.data(), name.size());
  const mode_t mask = umask(0);
  umask(mask);
  if (fchmod(fd, 0666 & ~mask) != 0) {
    fail_cleanly(path, errno);
  }
  return fd;
}

void finish_pending(int fd, const std::string &path) {
  if (fsync(fd) != 0 || close(fd) != 0) {
    fail_cleanly(path, errno);
  }
}

void rename_pending(int slot, const std::string &path) {
  if (rename(pending[slot], path.c_str()) != 0) {
    fail_cleanly(path, errno);
  }
  pending[slot][0] = '\0';
}

// ---- progress on a terminal ----

struct Progress {
  timespec start{};
  double last_shown = -1;
};

double seconds_since(const timespec &start) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec - start.tv_sec) +
         static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

extern "C" void show_progress(void *arg, int32_t done, int32_t total, uint64_t bytes) {
  auto &p = *static_cast<Progress *>(arg);
  const double elapsed = seconds_since(p.start);
  if (done != total && elapsed - p.last_shown < 0.2) {
    return;
  }
  p.last_shown = elapsed;
  const double rate = elapsed > 0 ? static_cast<double>(bytes) / 1e6 / elapsed : 0;
  const long left = std::lround(elapsed / done * (total - done));
  (void)std::fprintf(stderr, "\rtpcc-gen: %d of %d warehouses, %.0f MB/s, %ld:%02ld left   ", done,
                     total, rate, left / 60, left % 60);
  if (done == total) {
    (void)std::fputc('\n', stderr);
  }
}

// ---- the two ways out ----

TpccJob make_job(const Options &o, Progress *progress) {
  TpccJob job{};
  job.first = static_cast<int32_t>(o.first);
  job.last = static_cast<int32_t>(o.last);
  job.threads = static_cast<int>(o.threads);
  std::fill(job.fd, job.fd + TPCC_TABLES, -1);
  if (progress != nullptr) {
    job.progress = show_progress;
    job.progress_arg = progress;
    clock_gettime(CLOCK_MONOTONIC, &progress->start);
  }
  return job;
}

void write_to_stdout(const Options &o, const TpccLoad &load, Progress *progress) {
  TpccJob job = make_job(o, progress);
  for (int t = 0; t < TPCC_TABLES; ++t) {
    job.fd[t] = o.tables[static_cast<size_t>(t)] ? STDOUT_FILENO : -1;
  }
  int64_t rows[TPCC_TABLES];
  uint64_t bytes[TPCC_TABLES];
  int failed = -1;
  if (TpccWriteTables(&load, &job, rows, bytes, &failed) != 0) {
    fail("standard output", errno);
  }
  (void)std::fprintf(stderr, "tpcc-gen: C-Load %u\n", static_cast<unsigned>(load.c_load));
}

std::string manifest(const Options &o, const TpccLoad &load, const int64_t rows[],
                     const uint64_t bytes[]) {
  std::string text = "# what tpcc-gen wrote here; a shell can source it\n";
  const auto add = [&text](const std::string &key, const std::string &value) {
    text.append(key).append("=").append(value).append("\n");
  };
  std::string tables;
  for (int t = 0; t < TPCC_TABLES; ++t) {
    if (o.tables[static_cast<size_t>(t)]) {
      tables.append(tables.empty() ? "" : " ").append(TpccTableName(t));
    }
  }
  add("version", TPCC_VERSION);
  add("warehouses", std::to_string(o.warehouses));
  add("first", std::to_string(o.first));
  add("last", std::to_string(o.last));
  add("seed", std::to_string(load.seed));
  add("c_load", std::to_string(load.c_load));
  add("timestamp", std::string("'") + load.timestamp + "'");
  add("null", std::string("'") + load.null_text + "'");
  add("tables", "'" + tables + "'");
  for (int t = 0; t < TPCC_TABLES; ++t) {
    if (o.tables[static_cast<size_t>(t)]) {
      add(std::string(TpccTableName(t)) + "_rows", std::to_string(rows[t]));
      add(std::string(TpccTableName(t)) + "_bytes", std::to_string(bytes[t]));
    }
  }
  return text;
}

// Makes dir and any missing parents, as mkdir -p does.
void make_directories(const std::string &dir) {
  for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
    const std::string part = dir.substr(0, slash);
    if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
      fail(part, errno);
    }
    if (slash == std::string::npos) {
      return;
    }
  }
}

void write_to_directory(const Options &o, const TpccLoad &load, Progress *progress) {
  make_directories(o.out);
  std::vector<std::string> paths(kFiles);
  for (int t = 0; t < kFiles; ++t) {
    const bool wanted = t == TPCC_TABLES || o.tables[static_cast<size_t>(t)];
    paths[static_cast<size_t>(t)] =
        wanted
            ? o.out + "/" + (t == TPCC_TABLES ? "load.env" : TpccTableName(t) + std::string(".csv"))
            : "";
    struct stat st {};
    if (wanted && !o.force && lstat(paths[static_cast<size_t>(t)].c_str(), &st) == 0) {
      (void)std::fprintf(stderr, "tpcc-gen: %s: already exists (--force overwrites it)\n",
                         paths[static_cast<size_t>(t)].c_str());
      std::exit(1);
    }
  }
  for (const int s : {SIGINT, SIGTERM, SIGHUP}) {
    (void)std::signal(s, on_signal);
  }
  TpccJob job = make_job(o, progress);
  for (int t = 0; t < TPCC_TABLES; ++t) {
    if (o.tables[static_cast<size_t>(t)]) {
      job.fd[t] = open_pending(t, paths[static_cast<size_t>(t)]);
    }
  }
  int64_t rows[TPCC_TABLES];
  uint64_t bytes[TPCC_TABLES];
  int failed = -1;
  if (TpccWriteTables(&load, &job, rows, bytes, &failed) != 0) {
    fail_cleanly(failed >= 0 ? paths[static_cast<size_t>(failed)] : o.out, errno);
  }
  for (int t = 0; t < TPCC_TABLES; ++t) {
    if (job.fd[t] != -1) {
      finish_pending(job.fd[t], paths[static_cast<size_t>(t)]);
    }
  }
  const std::string env = manifest(o, load, rows, bytes);
  const int fd = open_pending(TPCC_TABLES, paths[TPCC_TABLES]);
  if (write(fd, env.data(), env.size()) != static_cast<ssize_t>(env.size())) {
    fail_cleanly(paths[TPCC_TABLES], errno == 0 ? EIO : errno);
  }
  finish_pending(fd, paths[TPCC_TABLES]);
  for (int t = 0; t < kFiles; ++t) { // load.env last: once it is there, all is
    if (pending[t][0] != '\0') {
      rename_pending(t, paths[static_cast<size_t>(t)]);
    }
  }
  (void)std::printf("C-Load: %u\n", static_cast<unsigned>(load.c_load));
}

} // namespace

int main(int argc, char **argv) {
  command_line::program = "tpcc-gen";
  Options o = parse(argc, argv);
  settle(o, argc);
  const TpccLoad load = command_line::make_load(o.seed, o.c_load, o.timestamp, o.null_text);
  Progress progress;
  Progress *shown = !o.quiet && isatty(STDERR_FILENO) != 0 ? &progress : nullptr;
  if (o.out == "-") {
    write_to_stdout(o, load, shown);
  } else {
    write_to_directory(o, load, shown);
  }
  return 0;
}

// NOLINTEND(concurrency-mt-unsafe)
