// The stop command, run as a child process, and the peers' side of its flag.
// Every test first moves this process into a fresh private IPC namespace, so
// no segment of the machine is ever seen or touched.

#include "child_io.h"

#include <tpcc/shutdown_flag.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <grp.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr key_t kKey = 1234;
constexpr std::size_t kFlagOffset = 8;
constexpr uid_t kNobody = 65534;
const char kBanner[] = "*******************************\n"
                       "*** set shutdown flag => ok ***\n"
                       "*******************************\n";

using Bytes = std::vector<unsigned char>;

std::string ipc_namespace() {
  char link[64] = {};
  const ssize_t n = readlink("/proc/self/ns/ipc", link, sizeof link - 1);
  return n > 0 ? std::string(link, static_cast<std::size_t>(n)) : std::string();
}

void write_file(const char *path, const std::string &text) {
  const int fd = open(path, O_WRONLY);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size())) << path;
  close(fd);
}

// Root gets a fresh IPC namespace for each test; anyone else first becomes
// root of a user namespace of its own.  Returns false only where neither is
// possible.
bool enter_private_ipc(bool &real_root) {
  static const bool as_root = geteuid() == 0;
  static bool in_user_namespace = false;
  real_root = as_root;
  if (!as_root && !in_user_namespace) {
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    if (unshare(CLONE_NEWUSER) != 0) {
      return false;
    }
    write_file("/proc/self/setgroups", "deny");
    write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
    write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
    in_user_namespace = true;
  }
  const std::string before = ipc_namespace();
  return unshare(CLONE_NEWIPC) == 0 && ipc_namespace() != before;
}

Outcome run_stop(const std::vector<const char *> &args = {}, const ChildSetup &setup = {}) {
  return run(STOP_PATH, args, setup);
}

int segment_id() {
  return shmget(kKey, 0, 0);
}

Bytes random_bytes(std::size_t size) {
  static std::mt19937 rng(20261208);
  Bytes bytes(size);
  for (auto &b : bytes) {
    b = static_cast<unsigned char>(rng());
  }
  return bytes;
}

void create_segment(const Bytes &contents, int mode) {
  const int id = shmget(kKey, contents.size(), IPC_CREAT | IPC_EXCL | mode);
  ASSERT_NE(id, -1) << std::strerror(errno);
  void *at = shmat(id, nullptr, 0);
  ASSERT_NE(reinterpret_cast<intptr_t>(at), -1);
  std::memcpy(at, contents.data(), contents.size());
  shmdt(at);
}

Bytes segment_bytes() {
  shmid_ds info{};
  const int id = segment_id();
  if (id == -1 || shmctl(id, IPC_STAT, &info) != 0) {
    return {};
  }
  void *at = shmat(id, nullptr, SHM_RDONLY);
  if (reinterpret_cast<intptr_t>(at) == -1) {
    return {};
  }
  const auto *begin = static_cast<const unsigned char *>(at);
  Bytes bytes(begin, begin + info.shm_segsz);
  shmdt(at);
  return bytes;
}

Bytes with_flag_set(Bytes bytes) {
  const std::int32_t one = 1;
  std::memcpy(bytes.data() + kFlagOffset, &one, sizeof one);
  return bytes;
}

// Child setups that run a program as another user.  A coverage build writes
// its counters at exit: somewhere that user may.
class OtherUser {
public:
  OtherUser() {
    if (mkdtemp(counters_) == nullptr || chmod(counters_, 01777) != 0) {
      counters_[0] = '\0';
    }
  }
  ~OtherUser() { std::filesystem::remove_all(counters_); }
  OtherUser(const OtherUser &) = delete;
  OtherUser &operator=(const OtherUser &) = delete;
  // Runs as uid, or leaves the child as it is for uid 0.
  ChildSetup as(uid_t uid) const {
    return [this, uid] {
      if (uid == 0) {
        return;
      }
      setenv("GCOV_PREFIX", counters_, 1);
      if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0) {
        _exit(125);
      }
    };
  }

private:
  char counters_[32] = "/tmp/stop-test-gcov-XXXXXX";
};

void expect_banner(const Outcome &r) {
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kBanner);
  EXPECT_EQ(r.err, "");
}

void expect_failure(const Outcome &r, const char *message) {
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, message);
}

// Makes the shmat system call fail with EINVAL in the child, after fork and
// before exec, whatever the command links with.
void deny_shmat() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_shmat, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EINVAL),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
    _exit(126);
  }
}

class Stop : public ::testing::Test {
protected:
  void SetUp() override {
    if (!enter_private_ipc(real_root_)) {
      if (std::getenv("TPCC_REQUIRE_NAMESPACES") != nullptr) {
        FAIL() << "no private IPC namespace could be entered";
      }
      GTEST_SKIP() << "no private IPC namespace can be entered here";
    }
  }
  bool real_root_ = false;
};

TEST_F(Stop, CreatesTheSegmentAndSetsOnlyTheFlag) {
  expect_banner(run_stop());

  shmid_ds info{};
  ASSERT_EQ(shmctl(segment_id(), IPC_STAT, &info), 0);
  EXPECT_EQ(info.shm_segsz, 76U);
  EXPECT_EQ(info.shm_perm.mode & 0777U, 0666U);
  EXPECT_EQ(segment_bytes(), with_flag_set(Bytes(76, 0)));
}

TEST_F(Stop, ChangesOnlyTheFlagOfAnExistingSegment) {
  struct Case {
    std::size_t size;
    std::vector<const char *> args;
  };
  const Case cases[] = {{76, {}}, {77, {"-h"}}, {4096, {"--", "x", ""}}, {1 << 20, {}}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.size);
    ASSERT_TRUE(enter_private_ipc(real_root_));
    const Bytes before = random_bytes(c.size);
    create_segment(before, 0600);
    expect_banner(run_stop(c.args));
    EXPECT_EQ(segment_bytes(), with_flag_set(before));
    expect_banner(run_stop(c.args)); // a flag already set is stored again
    EXPECT_EQ(segment_bytes(), with_flag_set(before));
  }
}

TEST_F(Stop, FailsOnASegmentItMayNotUse) {
  struct Case {
    std::size_t size;
    int mode;
    uid_t uid;
    const char *message;
  };
  const Case cases[] = {
      {1, 0666, 0, "shmget error\n"},        {75, 0666, 0, "shmget error\n"},
      {76, 0644, kNobody, "shmget error\n"}, {76, 0444, kNobody, "shmget error\n"},
      {76, 0666, kNobody, nullptr},
  };
  const OtherUser other;
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.size << " bytes, mode " << std::oct << c.mode);
    if (c.uid != 0 && !real_root_) {
      continue; // no other uid exists in a user namespace of our own
    }
    ASSERT_TRUE(enter_private_ipc(real_root_));
    const Bytes before = random_bytes(c.size);
    create_segment(before, c.mode);
    const Outcome r = run_stop({}, other.as(c.uid));
    if (c.message == nullptr) {
      expect_banner(r);
      EXPECT_EQ(segment_bytes(), with_flag_set(before));
    } else {
      expect_failure(r, c.message);
      EXPECT_EQ(segment_bytes(), before);
    }
  }
}

TEST_F(Stop, ReportsAnAttachFailure) {
  expect_failure(run_stop({}, deny_shmat), "shmat error\n");
  EXPECT_EQ(segment_bytes(), Bytes(76, 0)); // created, never written

  const Bytes before = random_bytes(100);
  ASSERT_TRUE(enter_private_ipc(real_root_));
  create_segment(before, 0666);
  expect_failure(run_stop({}, deny_shmat), "shmat error\n");
  EXPECT_EQ(segment_bytes(), before);
}

TEST_F(Stop, ReportsTheSegmentLimit) {
  write_file("/proc/sys/kernel/shmmni", "0");
  expect_failure(run_stop(), "shmget error\n");
  EXPECT_EQ(segment_id(), -1);
}

TEST_F(Stop, SetsTheFlagWhenTheBannerCannotBeWritten) {
  const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(full, 0);
  const ChildSetup gone_reader = [] {
    int ends[2];
    if (pipe(ends) != 0 || close(ends[0]) != 0 || dup2(ends[1], STDOUT_FILENO) == -1) {
      _exit(126);
    }
  };
  const ChildSetup setups[] = {[] { close(STDOUT_FILENO); }, [full] { dup2(full, STDOUT_FILENO); },
                               gone_reader};
  for (const ChildSetup &setup : setups) {
    ASSERT_TRUE(enter_private_ipc(real_root_));
    const Outcome r = run_stop({}, setup);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(segment_bytes(), with_flag_set(Bytes(76, 0)));
  }
  close(full);
}

TEST_F(Stop, ConcurrentRunsChangeOnlyTheFlag) {
  const Bytes before = random_bytes(76);
  create_segment(before, 0666);
  const int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  std::vector<pid_t> children;
  for (int i = 0; i < 64; ++i) {
    children.push_back(spawn(STOP_PATH, {}, devnull, devnull, {}));
  }
  close(devnull);
  int succeeded = 0;
  for (const pid_t pid : children) {
    succeeded += exit_status(pid) == 0 ? 1 : 0;
  }
  EXPECT_EQ(succeeded, 64);
  EXPECT_EQ(segment_bytes(), with_flag_set(before));
}

TEST_F(Stop, APeerWatchingTheFlagSeesIt) {
  int out[2];
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  const pid_t peer = spawn(PEER_PATH, {}, out[1], STDERR_FILENO, {});
  close(out[1]);
  // The peer clears the flag when it starts: stop runs once it says it watches.
  std::string said;
  char c = 0;
  while (read(out[0], &c, 1) == 1 && c != '\n') {
    said += c;
  }
  int peer_status = -1;
  EXPECT_EQ(said, "peer: watching for a shutdown request");
  EXPECT_EQ(waitpid(peer, &peer_status, WNOHANG), 0) << "the peer left before the flag was set";

  expect_banner(run_stop());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  pid_t ended = 0;
  while ((ended = waitpid(peer, &peer_status, WNOHANG)) == 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (ended == 0) {
    kill(peer, SIGKILL);
    waitpid(peer, nullptr, 0);
    FAIL() << "the peer did not see the flag within a second";
  }
  EXPECT_TRUE(WIFEXITED(peer_status) && WEXITSTATUS(peer_status) == 0);
  EXPECT_EQ(read_all(out[0]), "peer: shutdown requested\n");
}

using ShutdownFlag = Stop;

TEST_F(ShutdownFlag, AttachesAsStopDoesAndClearsOnlyTheFlag) {
  int32_t *flag = AttachShutdownFlag();
  ASSERT_NE(flag, nullptr);
  shmid_ds info{};
  ASSERT_EQ(shmctl(segment_id(), IPC_STAT, &info), 0);
  EXPECT_EQ(info.shm_segsz, 76U);
  EXPECT_EQ(info.shm_perm.mode & 0777U, 0666U);
  EXPECT_EQ(segment_bytes(), Bytes(76, 0));
  EXPECT_EQ(ShutdownRequested(flag), 0);
  expect_banner(run_stop());
  EXPECT_EQ(ShutdownRequested(flag), 1);
  EXPECT_EQ(DetachShutdownFlag(flag), 0);

  ASSERT_TRUE(enter_private_ipc(real_root_));
  const Bytes before = with_flag_set(random_bytes(100));
  create_segment(before, 0600);
  flag = AttachShutdownFlag();
  ASSERT_NE(flag, nullptr);
  EXPECT_EQ(segment_bytes(), before);
  EXPECT_EQ(ShutdownRequested(flag), 1);
  ClearShutdownFlag(flag);
  Bytes cleared = before;
  std::fill_n(cleared.begin() + kFlagOffset, 4, 0);
  EXPECT_EQ(segment_bytes(), cleared);
  EXPECT_EQ(ShutdownRequested(flag), 0);
  EXPECT_EQ(DetachShutdownFlag(flag), 0);
  EXPECT_EQ(DetachShutdownFlag(flag), -1);
  EXPECT_EQ(DetachShutdownFlag(nullptr), -1);
  EXPECT_EQ(errno, EINVAL);
}

// errno of a failed attach as uid, which is 0 or, in a child, another user.
int attach_error_as(const OtherUser &other, uid_t uid) {
  if (uid == 0) {
    return AttachShutdownFlag() == nullptr ? errno : 0;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    other.as(uid)();
    _exit(AttachShutdownFlag() == nullptr ? errno : 0);
  }
  return exit_status(pid);
}

TEST_F(ShutdownFlag, AttachFailsWhereStopFailsAndChangesNothing) {
  struct Case {
    std::size_t size;
    int mode;
    uid_t uid;
    int error;
  };
  const Case cases[] = {{75, 0666, 0, EINVAL}, {76, 0644, kNobody, EACCES}};
  const OtherUser other;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.error);
    if (c.uid != 0 && !real_root_) {
      continue; // no other uid exists in a user namespace of our own
    }
    ASSERT_TRUE(enter_private_ipc(real_root_));
    const Bytes before = random_bytes(c.size);
    create_segment(before, c.mode);
    EXPECT_EQ(attach_error_as(other, c.uid), c.error);
    EXPECT_EQ(segment_bytes(), before);
  }
}

} // namespace

namespace {

using FlagTool = Stop;

TEST_F(FlagTool, ShowsClearsAndWaitsAndSaysWhyNot) {
  struct Case {
    std::size_t size; // 0: no segment
    int mode;
    uid_t uid;
    std::vector<const char *> args;
    int status;
    const char *out; // the first line, or the whole error when status != 0
  };
  const std::string id_line = ", 100 bytes, mode 0666, owner root (uid 0)\n";
  const OtherUser other;
  const Case cases[] = {
      {0, 0, 0, {}, 1, "tpcc-flag: no segment under key 1234\n"},
      {0, 0, 0, {"clear"}, 1, "tpcc-flag: no segment under key 1234\n"},
      {0, 0, 0, {"wait"}, 1, "tpcc-flag: no segment under key 1234\n"},
      {75,
       0666,
       0,
       {"show"},
       1,
       "tpcc-flag: segment 1234 is 75 bytes, smaller than the 76 the flag needs\n"},
      {100,
       0600,
       kNobody,
       {"clear"},
       1,
       "tpcc-flag: segment 1234: Permission denied (mode 0600, owner root (uid 0))\n"},
      {100, 0666, 0, {"show"}, 0, "shutdown: requested\n"},
      {100, 0666, 0, {"clear"}, 0, ""},
      {100,
       0666,
       0,
       {"wait", "--timeout", "0.2"},
       1,
       "tpcc-flag: 1 process still attached after 0.2 s\n"},
      {100,
       0666,
       0,
       {"wait", "--timeout", "x"},
       2,
       "tpcc-flag: --timeout: 'x' is not a number of seconds (see tpcc-flag --help)\n"},
      {100, 0666, 0, {"wave"}, 2, "tpcc-flag: unknown command 'wave' (see tpcc-flag --help)\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.out);
    if (c.uid != 0 && !real_root_) {
      continue; // no other uid exists in a user namespace of our own
    }
    ASSERT_TRUE(enter_private_ipc(real_root_));
    const Bytes before = c.size == 0 ? Bytes() : with_flag_set(random_bytes(c.size));
    if (c.size != 0) {
      create_segment(before, c.mode);
    }
    // The test holds the segment attached while tpcc-flag waits.
    void *held = std::string(c.args.empty() ? "" : c.args[0]) == "wait" && c.status == 1
                     ? shmat(segment_id(), nullptr, SHM_RDONLY)
                     : nullptr;
    const Outcome r = run(FLAG_PATH, c.args, other.as(c.uid));
    if (held != nullptr) {
      shmdt(held);
    }
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(c.status == 0 ? r.out.substr(0, r.out.find('\n') + 1) : r.err, c.out);
    if (c.size == 0) {
      continue;
    }
    Bytes after = before;
    if (c.status == 0 && std::string(c.args[0]) == "clear") {
      std::fill_n(after.begin() + kFlagOffset, 4, 0);
    }
    EXPECT_EQ(segment_bytes(), after);
    if (c.status == 0) {
      const std::string id = std::to_string(segment_id());
      std::string shown = after == before ? "shutdown: requested\n" : "shutdown: not requested\n";
      shown += "attached: 0 other processes\nsegment: key 1234, id ";
      shown += id;
      shown += id_line;
      EXPECT_EQ(run(FLAG_PATH, {"show"}).out, shown);
      EXPECT_EQ(run(FLAG_PATH, {"wait"}).status, 0);
    }
  }
}

} // namespace
