// merge.h - the report of the whole of a run that several driver hosts made,
// each driving a range of its own, from their reports.
#ifndef TPCC_DRIVER_MERGE_H
#define TPCC_DRIVER_MERGE_H

#include <nlohmann/json.hpp>

#include <vector>

namespace report {

// One report of the whole from the reports of several hosts' ranges; throws
// std::runtime_error naming what does not fit.
nlohmann::json merge(const std::vector<nlohmann::json> &parts);

} // namespace report

#endif
