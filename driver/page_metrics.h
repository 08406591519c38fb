// page_metrics.h - the report page's view of what the server and the machine
// did: checkpoints on the throughput chart, charts of waits, I/O and CPU on
// the same time axis, and the server's settings.
#ifndef TPCC_DRIVER_PAGE_METRICS_H
#define TPCC_DRIVER_PAGE_METRICS_H

#include "chart.h"

#include <string>
#include <vector>

namespace page {

// Marks each run's checkpoints on a chart whose time runs in units of unit seconds; the
// legend's entry for them, or none when no run had one.
std::vector<LegendEntry> mark_checkpoints(Chart &chart, const std::vector<Run> &runs, double unit);

// The page's section on the server and the machine.
std::string metrics_section(const std::vector<Run> &runs);

} // namespace page

#endif
