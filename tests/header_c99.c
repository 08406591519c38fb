/* Compiled as strict C99: the module's contract must be usable from C. */
#define _POSIX_C_SOURCE 200809L
#include <time.h>

#include <tpcc/inputs.h>
#include <tpcc/population.h>
#include <tpcc/support.h>

int header_c99_uses_every_name(void);

int header_c99_uses_every_name(void) {
  unsigned int seed = 1;
  char name[16];
  char stamp[20];
  struct timespec a = {0, 0};
  struct timespec b = {1, 0};
  C_255 = C_1023 = C_8191 = GetCValue(255);
  Lastname(RandomNumber(&seed, 0, 999), name);
  gettimestamp(stamp, sizeof stamp - 1);
  struct Terminal t;
  struct NewOrderInput in;
  struct TpccLoad load = {1, 117, "2026-12-08 15:04:05", ""};
  char row[256];
  InitTerminal(&t, 1, 1, 1, seed);
  DrawNewOrder(&t, &in);
  return (int)TpccGenerateChunk(&load, TPCC_WAREHOUSE, 1, 0, row, sizeof row, NULL) +
         DealTransaction(&t) + in.ol_cnt + (int)ThinkTime(&t, TX_PAYMENT) +
         NURand(&seed, 8191, 1, 3000) + (int)GetTimespecDiff(&a, &b) +
         (int)GetTimespecDiff2(&a, &b) + (gName[0][0] == 'B');
}
