/*
 * support.h - TPC-C workload support functions.
 *
 * Random values (uniform and NURand) drawn from caller-owned seeds, customer
 * last names, a cached local timestamp and clock differences.
 *
 * Ownership: the module allocates nothing; every seed and buffer belongs to
 * the caller, sized as the function's comment says.
 *
 * Threads: every function is safe to call from many threads at once, each
 * with its own seed and buffers.  gettimestamp keeps one cache per thread and
 * converts the clock to local time at most once per second per thread; where
 * the local time does not exist it writes "" and returns -1.  Assigning the C
 * constants while other threads draw is the caller's affair.
 *
 * Needs C99.  No pointer argument may be NULL.
 *
 * Misuse that has no sound result (an A other than 255, 1023 or 8191, an
 * empty range, a last-name number outside 0..999, a load-time C above 255) is
 * a programming error: one line goes to standard error, such as
 * "NURand: unexpected value (511) of A used", and abort() is called.  The line
 * names the function, except GetCValue's, which reads "NURand: ..." as the
 * lookup NURand makes.
 *
 * A uniform value is min + (one 31-bit rand_r draw mod the span): exact for
 * every span up to 2^31, which holds every TPC-C range.  A wider span reaches
 * only its first 2^31 values, and a span near 2^31 is skewed: 0..1500000000
 * gives 65% of its values in the lower half.
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

/* NURand's run-time constants C for A = 255, 1023, 8191: 1, 2, 3 at start, read on every call. */
extern uint32_t C_255;
extern uint32_t C_1023;
extern uint32_t C_8191;

/* Sets C_255, C_1023, C_8191 for loading a database: each uniform in [0, A], drawn in that
 * order from *seed.  Not safe while other threads draw. */
void SetLoadCValues(unsigned int *seed);

/* Sets the C constants for a measurement run on data loaded with C_255 = c_load (0..255, else
 * aborts): C_255 uniform over the values IsValidRunCValue accepts, then C_1023 and C_8191
 * uniform in [0, A], drawn in that order from *seed.  Not safe while other threads draw. */
void SetRunCValues(unsigned int *seed, uint32_t c_load);

/* 1 when c_load and c_run are at most 255 and differ by 65..119 but not by 96 or 112, else 0. */
int IsValidRunCValue(uint32_t c_load, uint32_t c_run);

/* min + (one rand_r() on *seed) mod (max - min + 1), in [min, max]: uniform for spans up to
 * 2^31 (see above); any min <= max, else aborts. */
int32_t RandomNumber(unsigned int *seed, int32_t min, int32_t max);

/* Current C for A = 255, 1023 or 8191; any other A aborts.  Draws nothing. */
uint32_t GetCValue(int32_t A);

/* TPC-C NURand in [x, y]: draws [0, A], then [x, y]; a bad A or x > y aborts before drawing. */
int32_t NURand(unsigned int *seed, int32_t A, int32_t x, int32_t y);

/* The last-name syllables "BAR" to "EING", indexed by decimal digit; read-only. */
extern const char *const gName[10];

/* Writes the name of num (0..999, else aborts) and its NUL, no more, to name[16]; returns name. */
char *Lastname(int32_t num, char *name);

/* Local "YYYY-MM-DD hh:mm:ss" cut at len, and a NUL, into buf[len + 1]; returns length or -1.
 * len counts the characters, not the NUL: gettimestamp(buf, sizeof buf - 1). */
int gettimestamp(char *buf, size_t len);

/* Microseconds from *start to *end, nanoseconds included; negative if end is earlier. */
double GetTimespecDiff(const struct timespec *start, const struct timespec *end);

/* Microseconds between the whole seconds of *start and *end; the nanoseconds are not read. */
double GetTimespecDiff2(const struct timespec *start, const struct timespec *end);

#ifdef __cplusplus
}
#endif

#endif /* TPCC_SUPPORT_H */
