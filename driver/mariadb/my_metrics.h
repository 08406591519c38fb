// my_metrics.h - MariaDB's side of a run's metrics: its global status
// counters and what the run's connections are doing, read over a connection
// of their own.
#ifndef TPCC_DRIVER_MY_METRICS_H
#define TPCC_DRIVER_MY_METRICS_H

#include "metrics.h"
#include "my.h"

#include <memory>
#include <string>

namespace my_metrics {

// Reads the server of uri; the states counted are those of the connections whose
// program_name is run_name.  server_pid names the server's main process on this machine (0:
// found from its pid file when the connection is a local socket or loopback).
std::unique_ptr<metrics::Source> source(const my::Uri &uri, const std::string &run_name,
                                        int server_pid);

} // namespace my_metrics

#endif
