// terminals.h - where each terminal of a run sits in the whole database, and
// the seed of its inputs, which follows from that place and the run's seed
// alone: every terminal of every host draws inputs of its own, while hosts
// that drive other ranges with the same options share the run's C-Run.
#ifndef TPCC_DRIVER_TERMINALS_H
#define TPCC_DRIVER_TERMINALS_H

#include <cstdint>

namespace terminals {

struct Place {
  int w_id, d_id;
  int64_t rank; // 0 for the first terminal on this district, 1 for the next ...
};

// Terminal i of a run on warehouses first..last: in standard mode the ten of each warehouse
// in turn, one per district; in throughput mode spread over the warehouses, then districts.
Place place(bool standard, int64_t first, int64_t last, int64_t i);

// The seed of the inputs of the terminal at place p in a run of seed.
unsigned int seed(uint64_t run_seed, const Place &p);

} // namespace terminals

#endif
