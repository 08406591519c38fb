/*
 * shutdown_flag.h - the peers' side of the stop command's shutdown request.
 *
 * stop sets a 32-bit flag in a System V shared-memory segment; a workload
 * process (a peer) attaches the same segment at start, clears the flag when a
 * run begins, polls it while working and detaches at the end.  The segment
 * belongs to one host and one IPC namespace.
 *
 * A peer reaches its own bytes 0-7 and 12-75 from the flag's address:
 *   unsigned char *segment = (unsigned char *)flag - SHUTDOWN_FLAG_OFFSET;
 * Needs C99; no pointer may be NULL except DetachShutdownFlag's, which reports it.
 *
 * Threads: any number of threads may poll one attachment, and any thread may
 * attach or clear; detach once no thread polls it any more.  The pointer is
 * the caller's from AttachShutdownFlag until DetachShutdownFlag.
 */
#ifndef TPCC_SHUTDOWN_FLAG_H
#define TPCC_SHUTDOWN_FLAG_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The control segment, as stop opens it: key, size, creation mode, where the flag
 * lies and the value that asks for a shutdown.  Bytes 0-7 and 12-75 are the peers'. */
#define SHM_KEY 1234
#define SHM_SIZE 76
#define SHM_MODE 0666
#define SHUTDOWN_FLAG_OFFSET 8
#define SHUTDOWN_REQUESTED 1

/* Opens the segment as stop does (creating it if absent), attaches it read-write and
 * returns the flag's address; changes no byte.  NULL with errno from shmget or shmat. */
int32_t *AttachShutdownFlag(void);

/* 1 if *flag (from AttachShutdownFlag) asks for a shutdown, else 0: one 32-bit acquire load. */
static inline int ShutdownRequested(const int32_t *flag) {
  return __atomic_load_n(flag, __ATOMIC_ACQUIRE) == SHUTDOWN_REQUESTED ? 1 : 0;
}

/* Stores 0 in the flag (bytes 8-11, one 32-bit release store) for the next run; NULL aborts. */
void ClearShutdownFlag(int32_t *flag);

/* Detaches flag's segment; flag is unusable after.  0, or -1 with errno (EINVAL for NULL). */
int DetachShutdownFlag(int32_t *flag);

#ifdef __cplusplus
}
#endif

#endif /* TPCC_SHUTDOWN_FLAG_H */
