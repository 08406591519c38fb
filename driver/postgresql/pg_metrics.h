// pg_metrics.h - PostgreSQL's side of a run's metrics: its statistics views
// and settings, read over a connection of their own.
#ifndef TPCC_DRIVER_PG_METRICS_H
#define TPCC_DRIVER_PG_METRICS_H

#include "metrics.h"
#include "pg.h"

#include <memory>
#include <string>

namespace pg_metrics {

// The server's product, version and the settings that shape a run's results.
nlohmann::json server(pg::Connection &conn);

// Reads the database of conninfo; the waits counted are those of the backends whose
// application_name is run_name.  server_pid names the server's main process on this machine
// (0: found from the connection when the server is local).
std::unique_ptr<metrics::Source> source(const std::string &conninfo, const std::string &run_name,
                                        int server_pid);

} // namespace pg_metrics

#endif
