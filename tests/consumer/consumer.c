/* A C program using the installed library, as a workload driver would.  It
 * attaches the shutdown flag: run it in a private IPC namespace
 * (unshare --ipc), never beside a live benchmark. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <tpcc/inputs.h>
#include <tpcc/population.h>
#include <tpcc/shutdown_flag.h>
#include <tpcc/support.h>

int main(void) {
  unsigned int seed = 1;
  char name[16];
  char stamp[20];
  SetLoadCValues(&seed);
  const uint32_t c_load = C_255;
  SetRunCValues(&seed, c_load);
  const int c_id = NURand(&seed, 1023, 1, 3000);
  Lastname(NURand(&seed, 255, 0, 999), name);
  struct Terminal terminal;
  struct PaymentInput payment;
  InitTerminal(&terminal, 10, 3, 3, seed);
  DrawPayment(&terminal, &payment);
  struct TpccLoad load = {1, c_load, "2026-12-08 15:04:05", ""};
  const size_t bound = TpccChunkBound(TPCC_DISTRICT);
  char *district = malloc(bound);
  const size_t district_bytes =
      district == NULL ? 0 : TpccGenerateChunk(&load, TPCC_DISTRICT, 1, 0, district, bound, NULL);
  int32_t *flag = AttachShutdownFlag();
  if (flag == NULL) {
    perror("consumer: cannot attach the shutdown flag");
    return 1;
  }
  ClearShutdownFlag(flag);
  if (c_id < 1 || c_id > 3000 || strlen(name) < 9 || gettimestamp(stamp, sizeof stamp - 1) != 19 ||
      !IsValidRunCValue(c_load, C_255) || ShutdownRequested(flag) || payment.w_id != 3 ||
      district_bytes == 0 || district[district_bytes - 1] != '\n' ||
      DetachShutdownFlag(flag) != 0) {
    fputs("consumer: unexpected result\n", stderr);
    return 1;
  }
  free(district);
  printf("consumer: customer %d, %s, %s, C %u after %u\n", c_id, name, stamp, (unsigned)C_255,
         (unsigned)c_load);
  return 0;
}
