// page.h - a run's report as one self-contained HTML page (inline SVG and CSS,
// nothing fetched), or the reports of several runs side by side.
#ifndef TPCC_DRIVER_PAGE_H
#define TPCC_DRIVER_PAGE_H

#include "histogram.h"

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>
#include <vector>

namespace page {

// Checks that r is a report of tpcc-run this page can draw; throws
// std::runtime_error saying what is wrong.
void validate(const nlohmann::json &r);

// Reads and checks a report file; throws std::runtime_error saying what is wrong
// (the caller names the file).
nlohmann::json read(const std::string &path);

struct Run {
  std::string name; // shown in legends and tables, escaped on the page
  nlohmann::json report;
};

// The page of one run, or of the first run compared with the others; title empty for
// the default one.  The runs must have passed validate().
std::string html(const std::vector<Run> &runs, const std::string &title);

// Text made safe for HTML element content and attribute values.
std::string escape(std::string_view s);

// An axis: the values from lo to hi, with ticks at round values between them.
struct Axis {
  double lo = 0, hi = 1;
  std::vector<double> ticks;
  bool log = false;
};
// From 0 to a round value at or above max (at least 1 when max <= 0), 4 to 11 ticks
// spaced 1, 2 or 5 times a power of ten.
Axis linear_axis(double max);
// Whole decades covering [lo, hi] (0 < lo <= hi), a tick at each.
Axis log_axis(double lo, double hi);

// A histogram as the share of its values (%) in bins of equal width on a log scale:
// bin i covers [lo_ms * 10^(i/per_decade), lo_ms * 10^((i+1)/per_decade)); values below
// fall in the first bin, values above in the last.  The 90th percentile is its mark.
struct Distribution {
  double lo_ms = 0;
  int per_decade = 0;
  std::vector<double> pct;
  double p90_ms = 0;
};
Distribution distribution(const Histogram &h, double lo_ms, double hi_ms, int per_decade);

} // namespace page

#endif
