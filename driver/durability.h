// durability.h - whether the database holds what a run acknowledged: what the
// warehouses of a run's range changed during it, against the run's whole_run
// counts, figure by figure.  A server that acknowledged commits and lost them
// (a crash with commits not made durable, a disk that lies) shows as fewer
// rows than acknowledged.  Judged only where this process was the only driver
// of those warehouses.
#ifndef TPCC_DRIVER_DURABILITY_H
#define TPCC_DRIVER_DURABILITY_H

#include "db.h"
#include "report.h"

#include <nlohmann/json.hpp>

#include <array>
#include <string>
#include <vector>

namespace durability {

constexpr int kFigures = 6;
// What the figures count, as a sentence names them: "New-Orders", "order lines" ...
extern const std::array<const char *, kFigures> kNames;

// The figures on warehouses first..last, in one snapshot, as the database takes it.
using Snapshot = db::Snapshot;
static_assert(std::tuple_size_v<Snapshot> == kFigures);

// The application name this process's connections carry, naming the range it drives and
// unique to this run wherever it runs.
std::string application_name(int first, int last);
// Of the names of the connections to a database, the other drivers' that drive any of the
// warehouses first..last.
std::vector<std::string> other_drivers(const std::vector<std::string> &names, int first, int last,
                                       const std::string &self);

// The judgement, as the report's "durability": each figure's change against what the run
// acknowledged, and "pass" unless the database holds fewer, or more than the transactions of
// unknown outcome can explain.
nlohmann::json judge(const Snapshot &before, const Snapshot &after, const report::WholeRun &run);

// One line per figure that differs, as a person reads it; none when all agree.
std::vector<std::string> differences(const nlohmann::json &judgement);

} // namespace durability

#endif
