/*
 * peer - how a workload process watches for a shutdown request.
 *
 * Attaches the control segment under key 1234 (creating it as stop does when
 * it is absent), polls the 32-bit shutdown flag at byte offset 8 and exits 0
 * when it reads 1.  The load is atomic: stop's store may land at any moment,
 * and a plain load could be hoisted out of the loop or torn by the compiler.
 */
#include <stdint.h>
#include <stdio.h>
#include <time.h>

#include <sys/ipc.h>
#include <sys/shm.h>

enum { SHM_KEY = 1234, SHM_SIZE = 76, SHM_MODE = 0666, SHUTDOWN_FLAG_OFFSET = 8 };
enum { POLL_NANOSECONDS = 5 * 1000 * 1000 };

int main(void) {
  const int id = shmget(SHM_KEY, SHM_SIZE, IPC_CREAT | SHM_MODE);
  if (id == -1) {
    (void)fputs("shmget error\n", stderr);
    return 1;
  }
  char *segment = shmat(id, NULL, SHM_RDONLY);
  if ((intptr_t)segment == -1) {
    (void)fputs("shmat error\n", stderr);
    return 1;
  }

  const int32_t *flag = (const int32_t *)(segment + SHUTDOWN_FLAG_OFFSET);
  const struct timespec pause = {0, POLL_NANOSECONDS};
  while (__atomic_load_n(flag, __ATOMIC_ACQUIRE) != 1) {
    (void)nanosleep(&pause, NULL);
  }
  (void)shmdt(segment);
  (void)puts("peer: shutdown requested");
  return 0;
}
