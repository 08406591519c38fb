/*
 * peer - how a workload process watches for a shutdown request.
 *
 * Attaches the control segment (creating it as stop does when it is absent),
 * clears the flag, since this process is a whole run and a flag left set by
 * the last run's stop would end it at once, polls the flag every few
 * milliseconds and exits 0 when stop sets it.
 */
#include <stdint.h>
#include <stdio.h>
#include <time.h>

#include <tpcc/shutdown_flag.h>

enum { POLL_NANOSECONDS = 5 * 1000 * 1000 };

int main(void) {
  int32_t *flag = AttachShutdownFlag();
  if (flag == NULL) {
    perror("peer: cannot attach the shutdown flag");
    return 1;
  }
  ClearShutdownFlag(flag);
  (void)puts("peer: watching for a shutdown request");
  (void)fflush(stdout);

  const struct timespec pause = {0, POLL_NANOSECONDS};
  while (!ShutdownRequested(flag)) {
    (void)nanosleep(&pause, NULL);
  }
  (void)DetachShutdownFlag(flag);
  (void)puts("peer: shutdown requested");
  return 0;
}
