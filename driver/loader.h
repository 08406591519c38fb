// loader.h - the initial database, generated straight into a database by
// any number of connections at once, on any database behind Target: the
// work of each connection, progress and failures here; each database's SQL
// behind the interface.
//
// Every chunk of the population goes to the database as it is made, and no
// file is written: each table of each warehouse (and ITEM) is one unit, one
// transaction on one connection.
#ifndef TPCC_DRIVER_LOADER_H
#define TPCC_DRIVER_LOADER_H

#include "db.h"

#include <tpcc/population.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace load {

// What tpcc-load's options ask of a load.
struct Plan {
  int64_t warehouses = 0, first = 0, last = 0, connections = 0;
  uint64_t seed = 1;
  int64_t c_load = -1;
  std::string timestamp;
  bool keys = true, check = true, drop = false, quiet = false, foreign_keys = true;
  bool whole() const { return first == 1 && last == warehouses; }
};

// One unit's rows as CSV, chunk by chunk, made as they are asked for.
class Rows {
public:
  virtual ~Rows() = default;
  // The next chunk, or an empty view when there are no more (or the load failed elsewhere,
  // and the unit is to be abandoned: see abandoned()).
  virtual std::string_view next() = 0;
  virtual bool abandoned() const = 0;
};

// A connection that writes units; throws db::Error.
class Writer {
public:
  virtual ~Writer() = default;
  // Writes the rows of table (TPCC_ITEM, ...) in one transaction; one abandoned is rolled
  // back.
  virtual void write(int table, Rows &rows) = 0;
};

// A database's side of a load.  Every call but writer() comes from the main thread, on one
// control connection; each writer from a thread of its own.  Each throws db::Error.
class Target {
public:
  Target() = default;
  Target(const Target &) = delete;
  Target &operator=(const Target &) = delete;
  virtual ~Target() = default;
  // How the database reads a NULL in CSV.
  virtual const char *null_text() const = 0;
  // The tables, made or found: a whole load makes them (refusing existing ones unless
  // plan.drop); a part makes what the first part to come has not, and refuses warehouses
  // already there.  A refusal throws db::Error.
  virtual void make_schema(const Plan &plan) = 0;
  virtual std::unique_ptr<Writer> writer() = 0;
  // Records the part loaded in tpcc_load.
  virtual void record(const Plan &plan, const TpccLoad &load) = 0;
  // The warehouses that the parts recorded in tpcc_load cover.
  virtual long long recorded_warehouses() = 0;
  // The keys (and the references when foreign_keys), then fresh statistics.
  virtual void add_keys(bool foreign_keys) = 0;
  virtual std::vector<db::Condition> check() = 0;
};

// Loads plan into targets, the servers of one database: the connections write through each
// in turn, and the first does the rest.  Prints what it did and returns the exit status
// (tpcc-load(1)); a failure is one line on standard error and exit(1).
int run(const Plan &plan, const std::vector<Target *> &targets);

} // namespace load

#endif
