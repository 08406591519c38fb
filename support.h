/*
 * support.h - TPC-C workload support functions.
 *
 * Random values (uniform and NURand) drawn from caller-owned seeds, customer
 * last names, a cached local timestamp and clock differences.  The module
 * allocates nothing and keeps no state shared between threads: seeds and
 * buffers belong to the caller.
 *
 * Misuse that cannot yield a sound result (an unknown A, an empty range, a
 * last-name number outside 0..999) is a programming error: the function
 * writes one line naming itself and the values to standard error and ends
 * the process with abort().
 */
#ifndef TPCC_SUPPORT_H
#define TPCC_SUPPORT_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

struct timespec; /* POSIX; declared here too for strict ISO C builds */

/* Run-time constants C of NURand for A = 255, 1023 and 8191; start at 1, 2, 3.
 * Read afresh on every call; assigning one while other threads draw is the
 * caller's affair. */
extern uint32_t C_255;
extern uint32_t C_1023;
extern uint32_t C_8191;

/* Uniform value in [min, max] from one rand_r() draw on *seed.  Any min <= max
 * works, INT32_MIN..INT32_MAX included; min > max aborts.  Thread-safe with a
 * seed per thread. */
int32_t RandomNumber(unsigned int *seed, int32_t min, int32_t max);

/* Current C for A (255, 1023 or 8191); any other A aborts.  Draws nothing. */
uint32_t GetCValue(int32_t A);

/* TPC-C NURand(A, x, y) in [x, y] from two rand_r() draws on *seed: the first
 * picks [0, A], the second [x, y].  A must be 255, 1023 or 8191 and x <= y,
 * or it aborts before drawing.  Thread-safe with a seed per thread. */
int32_t NURand(unsigned int *seed, int32_t A, int32_t x, int32_t y);

/* Last-name syllables "BAR" .. "EING", indexed by decimal digit.  Read-only. */
extern const char *const gName[10];

/* Writes the last name for num (0..999, else aborts) into name, which must
 * hold 16 bytes; writes only the name and its NUL.  Returns name.  Reentrant. */
char *Lastname(int32_t num, char *name);

/* Writes the local time of the current second, "YYYY-MM-DD hh:mm:ss", into buf:
 * at most len characters and a NUL, so buf holds len + 1 bytes.  Returns the
 * length of the whole text, or -1 (buf set to "") if the clock cannot be
 * converted to local time.  Thread-safe; converts at most once per second
 * per thread. */
int gettimestamp(char *buf, size_t len);

/* Microseconds from *start to *end, nanoseconds included; negative when end
 * is earlier.  Pure and reentrant. */
double GetTimespecDiff(const struct timespec *start, const struct timespec *end);

/* Microseconds between the whole seconds of *start and *end; nanoseconds are
 * not read.  Pure and reentrant. */
double GetTimespecDiff2(const struct timespec *start, const struct timespec *end);

#ifdef __cplusplus
}
#endif

#endif /* TPCC_SUPPORT_H */
