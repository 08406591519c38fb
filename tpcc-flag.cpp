// tpcc-flag - the operator's view of the shutdown flag's segment.
//
//   tpcc-flag [show]                 whether a shutdown is requested, who is attached
//   tpcc-flag clear                  store 0 in the flag, for the start of a run
//   tpcc-flag wait [--timeout S]     return once no other process is attached
//
// Unlike stop, it never creates the segment, and it says why it cannot use one.

#include <tpcc/shutdown_flag.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>
#include <string>

#include <getopt.h>
#include <pwd.h>
#include <sys/ipc.h>
#include <sys/shm.h>

// One thread only: nothing here races.
// NOLINTBEGIN(concurrency-mt-unsafe)

namespace {

constexpr const char *kUsage = "usage: tpcc-flag [show | clear | wait [--timeout SECONDS]]\n";
constexpr const char *kHelp =
    "Show, clear or wait on the shutdown flag that stop sets (System V shared\n"
    "memory, key 1234).  It never creates the segment.\n"
    "\n"
    "  show                 whether a shutdown is requested, how many other processes\n"
    "                       are attached, the segment's size, mode and owner (default)\n"
    "  clear                store 0 in the flag, as whatever starts a run must\n"
    "  wait                 return once no other process is attached\n"
    "  -t, --timeout S      give up waiting after S seconds (default: never)\n"
    "  -h, --help           this text\n"
    "  -V, --version        the version\n"
    "\n"
    "Exit status: 0 done, 1 no usable segment or the wait timed out, 2 a usage error.\n";

[[noreturn]] void usage_error(const std::string &message) {
  (void)std::fprintf(stderr, "tpcc-flag: %s (see tpcc-flag --help)\n", message.c_str());
  std::exit(2);
}

[[noreturn]] void fail(const std::string &message) {
  (void)std::fprintf(stderr, "tpcc-flag: %s\n", message.c_str());
  std::exit(1);
}

std::string owner_of(uid_t uid) {
  passwd entry{};
  passwd *found = nullptr;
  char buf[1024];
  const std::string id = "uid " + std::to_string(uid);
  return getpwuid_r(uid, &entry, buf, sizeof buf, &found) == 0 && found != nullptr
             ? std::string(found->pw_name) + " (" + id + ")"
             : id;
}

// The mode and owner of the segment under the key, from /proc/sysvipc/shm,
// which needs no permission on the segment itself.
std::string mode_and_owner() {
  FILE *table = std::fopen("/proc/sysvipc/shm", "r");
  char line[512];
  std::string found = "mode and owner unknown";
  while (table != nullptr && std::fgets(line, sizeof line, table) != nullptr) {
    // key shmid perms size cpid lpid nattch uid ...
    std::istringstream fields(line);
    long long key = 0;
    long long id = 0;
    unsigned mode = 0;
    unsigned long long size = 0;
    long long cpid = 0;
    long long lpid = 0;
    unsigned long long attached = 0;
    unsigned uid = 0;
    fields >> key >> id >> std::oct >> mode >> std::dec >> size >> cpid >> lpid >> attached >> uid;
    if (fields && key == SHM_KEY) {
      char octal[8];
      (void)std::snprintf(octal, sizeof octal, "%04o", mode & 0777U);
      found = std::string("mode ") + octal + ", owner " + owner_of(uid);
    }
  }
  if (table != nullptr) {
    (void)std::fclose(table);
  }
  return found;
}

// The system's reason, and who may use the segment when that is the reason.
[[noreturn]] void fail_on_segment(int error) {
  fail("segment 1234: " + std::string(std::strerror(error)) +
       (error == EACCES ? " (" + mode_and_owner() + ")" : ""));
}

// The segment's id and status; exits 1 with the reason when there is none to use.
int find_segment(shmid_ds &info) {
  const int id = shmget(SHM_KEY, 0, 0);
  if (id == -1 && errno == ENOENT) {
    fail("no segment under key 1234");
  }
  if (id == -1 || shmctl(id, IPC_STAT, &info) != 0) {
    fail_on_segment(errno);
  }
  if (info.shm_segsz < SHM_SIZE) {
    fail("segment 1234 is " + std::to_string(info.shm_segsz) +
         " bytes, smaller than the 76 the flag needs");
  }
  return id;
}

int32_t *attach(int id, int flags) {
  void *segment = shmat(id, nullptr, flags);
  if (reinterpret_cast<std::intptr_t>(segment) == -1) {
    fail_on_segment(errno);
  }
  return reinterpret_cast<int32_t *>(static_cast<char *>(segment) + SHUTDOWN_FLAG_OFFSET);
}

void detach(int32_t *flag) {
  (void)shmdt(reinterpret_cast<char *>(flag) - SHUTDOWN_FLAG_OFFSET);
}

int show() {
  shmid_ds info{};
  const int id = find_segment(info); // stat before attaching: the count excludes us
  int32_t *flag = attach(id, SHM_RDONLY);
  const bool requested = ShutdownRequested(flag) != 0;
  detach(flag);
  (void)std::printf("shutdown: %s\n", requested ? "requested" : "not requested");
  (void)std::printf("attached: %" PRIu64 " other process%s\n",
                    static_cast<uint64_t>(info.shm_nattch), info.shm_nattch == 1 ? "" : "es");
  (void)std::printf("segment: key 1234, id %d, %zu bytes, mode %04o, owner %s\n", id,
                    static_cast<size_t>(info.shm_segsz), info.shm_perm.mode & 0777U,
                    owner_of(info.shm_perm.uid).c_str());
  return 0;
}

int clear() {
  shmid_ds info{};
  int32_t *flag = attach(find_segment(info), 0);
  ClearShutdownFlag(flag);
  detach(flag);
  return 0;
}

double now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Polls the attach count; a segment removed in the meantime has no one left.
int wait_for_peers(double timeout) {
  shmid_ds info{};
  const int id = find_segment(info);
  const timespec pause = {0, 20L * 1000 * 1000};
  const double start = now();
  while (shmctl(id, IPC_STAT, &info) == 0 && info.shm_nattch > 0) {
    if (timeout >= 0 && now() - start >= timeout) {
      (void)std::fprintf(stderr, "tpcc-flag: %" PRIu64 " process%s still attached after %g s\n",
                         static_cast<uint64_t>(info.shm_nattch), info.shm_nattch == 1 ? "" : "es",
                         timeout);
      return 1;
    }
    (void)nanosleep(&pause, nullptr);
  }
  return 0;
}

double parse_timeout(const char *text) {
  char *end = nullptr;
  errno = 0;
  const double seconds = std::strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || !(seconds >= 0) || seconds > 1e9) {
    usage_error(std::string("--timeout: '") + text + "' is not a number of seconds");
  }
  return seconds;
}

} // namespace

int main(int argc, char **argv) {
  static const option kLong[] = {{"timeout", required_argument, nullptr, 't'},
                                 {"help", no_argument, nullptr, 'h'},
                                 {"version", no_argument, nullptr, 'V'},
                                 {nullptr, 0, nullptr, 0}};
  double timeout = -1;
  opterr = 0;
  int c = 0;
  while ((c = getopt_long(argc, argv, ":t:hV", kLong, nullptr)) != -1) {
    switch (c) {
    case 't':
      timeout = parse_timeout(optarg);
      break;
    case 'h':
      (void)std::fputs(kUsage, stdout);
      (void)std::fputs(kHelp, stdout);
      return 0;
    case 'V':
      (void)std::puts("tpcc-flag (tpcc-tools) " TPCC_VERSION);
      return 0;
    case ':':
      usage_error(std::string("option ") + argv[optind - 1] + " needs a value");
    default:
      usage_error(std::string("unknown option ") + argv[optind - 1]);
    }
  }
  const std::string command = optind < argc ? argv[optind++] : "show";
  if (optind < argc) {
    usage_error(std::string("unexpected argument '") + argv[optind] + "'");
  }
  if (timeout >= 0 && command != "wait") {
    usage_error("--timeout goes with wait");
  }
  if (command == "show") {
    return show();
  }
  if (command == "clear") {
    return clear();
  }
  if (command == "wait") {
    return wait_for_peers(timeout);
  }
  usage_error("unknown command '" + command + "'");
}

// NOLINTEND(concurrency-mt-unsafe)
