/* A C program using the installed library, as a workload driver would. */
#include <stdio.h>
#include <string.h>

#include <tpcc/support.h>

int main(void) {
  unsigned int seed = 1;
  char name[16];
  char stamp[20];
  const int c_id = NURand(&seed, 1023, 1, 3000);
  Lastname(NURand(&seed, 255, 0, 999), name);
  if (c_id < 1 || c_id > 3000 || strlen(name) < 9 || gettimestamp(stamp, sizeof stamp - 1) != 19) {
    fputs("consumer: unexpected result\n", stderr);
    return 1;
  }
  printf("consumer: customer %d, %s, %s\n", c_id, name, stamp);
  return 0;
}
