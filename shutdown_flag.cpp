// The peers' side of the shutdown request: attach, clear and detach the flag.
// See shutdown_flag.h for the contract of each function.

#include "shutdown_flag.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <sys/ipc.h>
#include <sys/shm.h>

extern "C" {

int32_t *AttachShutdownFlag(void) {
  const int id = shmget(SHM_KEY, SHM_SIZE, IPC_CREAT | SHM_MODE);
  if (id == -1) {
    return nullptr;
  }
  void *segment = shmat(id, nullptr, 0);
  if (reinterpret_cast<std::intptr_t>(segment) == -1) {
    return nullptr;
  }
  return reinterpret_cast<int32_t *>(static_cast<char *>(segment) + SHUTDOWN_FLAG_OFFSET);
}

// NOLINTNEXTLINE(readability-non-const-parameter): the atomic store writes *flag
void ClearShutdownFlag(int32_t *flag) {
  if (flag == nullptr) {
    (void)std::fputs("ClearShutdownFlag: unexpected flag (NULL) used\n", stderr);
    std::abort();
  }
  __atomic_store_n(flag, 0, __ATOMIC_RELEASE);
}

int DetachShutdownFlag(int32_t *flag) {
  if (flag == nullptr) {
    errno = EINVAL;
    return -1;
  }
  return shmdt(reinterpret_cast<char *>(flag) - SHUTDOWN_FLAG_OFFSET);
}

} // extern "C"
