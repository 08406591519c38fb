// stop - ask the workload processes sharing the control segment to shut down.
//
// Sets the shutdown flag in the System V shared-memory segment under key 1234,
// creating the segment if it does not exist, and prints a banner.  The peers
// act on the flag at their own pace; nothing is waited for or read back.

#include "shutdown_flag.h"

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>

#include <sys/ipc.h>
#include <sys/shm.h>

namespace {

constexpr char BANNER[] = "*******************************\n"
                          "*** set shutdown flag => ok ***\n"
                          "*******************************\n";

} // namespace

int main() {
  const int id = shmget(SHM_KEY, SHM_SIZE, IPC_CREAT | SHM_MODE);
  if (id == -1) {
    (void)std::fputs("shmget error\n", stderr);
    return 1;
  }
  void *segment = shmat(id, nullptr, 0);
  if (reinterpret_cast<std::intptr_t>(segment) == -1) {
    (void)std::fputs("shmat error\n", stderr);
    return 1;
  }

  // One aligned 32-bit store, so a peer never sees a torn flag; the segment is
  // page-aligned and the offset a multiple of 4.
  auto *flag =
      reinterpret_cast<std::int32_t *>(static_cast<char *>(segment) + SHUTDOWN_FLAG_OFFSET);
  std::atomic_ref<std::int32_t>(*flag).store(SHUTDOWN_REQUESTED, std::memory_order_release);
  (void)shmdt(segment); // its result changes nothing now

  // The exit status reports the request, which stands once the flag is set; a
  // banner that cannot be written (standard output closed, full, or a pipe
  // whose reader has gone) is not a failure to shut the peers down.
  (void)std::signal(SIGPIPE, SIG_IGN);
  (void)std::fputs(BANNER, stdout);
  return 0;
}
