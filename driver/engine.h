// engine.h - the TPC-C run on any database behind db.h.
//
// Terminals deal their transactions from inputs.h.  In throughput mode each of
// the C connections runs its own terminal back to back, a few event-loop
// threads keeping them all busy; in standard mode the terminals wait in one
// timer queue for the next due and C worker threads, a connection each, take
// the due ones; deliveries go to delivery workers, one per group of
// warehouses, which run them in the background.  Every completion goes to one
// recorder, and the report is made from it; beside them a sampler reads the
// server's and the machine's counters every second.
#ifndef TPCC_DRIVER_ENGINE_H
#define TPCC_DRIVER_ENGINE_H

#include "db.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace engine {

// What tpcc-run's options ask of a run.
struct Plan {
  int64_t warehouses = 0, first = 0, last = 0, connections = 0; // 0: all, or the default
  bool standard = false;
  double time_scale = 1;
  int64_t ramp_up = 10, duration = 60;
  uint64_t seed = 1;
  int64_t c_load = -1, c_run = -1;
  std::string report, html, samples, deliveries;
  bool check = false, no_flag = false, quiet = false, no_metrics = false;
  std::string metrics_file;
  std::vector<int64_t> server_pids; // none, or one for each server in their order
  db::Mode sql = db::Mode::plain;
  int64_t progress = 10;
  // When the work towards the run began (connecting to its servers): the report says how long
  // it took before the terminals started.
  std::chrono::steady_clock::time_point began = std::chrono::steady_clock::now();
};

// Runs plan on servers, each a server of one database: the connections go to each in turn,
// and the first is where the run reads its facts and checks.  Prints the report and writes
// its files; returns the exit status (tpcc-run(1)).  A failure that ends it early is one line
// on standard error and exit().
int run(const Plan &plan, const std::vector<db::Database *> &servers);

// Writes report r as the page of --html to html, named after the report's file; true when
// there is no html, false with errno when it cannot be written.
bool write_page(const nlohmann::json &r, const std::string &report, const std::string &html);

} // namespace engine

#endif
