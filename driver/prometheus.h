// prometheus.h - a run's figures in Prometheus' text format, for
// node_exporter's textfile collector to serve while a long run goes on.
#ifndef TPCC_DRIVER_PROMETHEUS_H
#define TPCC_DRIVER_PROMETHEUS_H

#include "report.h"

#include <nlohmann/json.hpp>

#include <string>

namespace prometheus {

// facts: the report's facts (version, mode, sql, warehouses); server: the last whole period
// of the metrics' series, or null.
std::string exposition(const nlohmann::json &facts, const report::Recorder::Recent &recent,
                       double elapsed_s, const nlohmann::json &server);

} // namespace prometheus

#endif
