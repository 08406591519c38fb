// report.h - the report of a run, made from the recorder's measured part and
// the run's facts: JSON, the one form every other is made from, and the text a
// person reads.
#ifndef TPCC_DRIVER_REPORT_H
#define TPCC_DRIVER_REPORT_H

#include "recorder.h"

#include <nlohmann/json.hpp>

#include <string>
#include <utility>
#include <vector>

namespace report {

// Fills in the rates, shares, percentiles and verdict (verdict.h) of a report whose facts
// and measured part are there; a merged report is finished the same way.
void finish(nlohmann::json &r);

// The report as text, for standard output.
std::string text(const nlohmann::json &r);

// How the run sent its transactions: "plain SQL" or "PL/pgSQL procedures".
const char *sql_name(const nlohmann::json &r);
// Each server the run's connections went to, with the connections first opened on it, and
// those reopened on another ("" for a report that does not say).
std::string servers(const nlohmann::json &r);

// The server's mean execution time per transaction of each type, as a line of text, or why
// it is not known.
std::string server_times(const nlohmann::json &r);

// Each server of the run with what it said of itself (Database::server()), by where it is: a
// merged report's hosts' servers, once each; a report that lists none, its one "server", where
// "".
std::vector<std::pair<std::string, nlohmann::json>> servers_with_settings(const nlohmann::json &r);

// The server, its settings that shape results, and what it and the machine did over the
// interval, as lines of text ("" for a report without them).
std::string server_text(const nlohmann::json &r);

// v with that many decimals, as the report's text writes numbers.
std::string fixed(double v, int decimals);

// Writes the report to path under a temporary name, renamed when whole; false with errno.
bool write_file(const nlohmann::json &r, const std::string &path);
// The same for any text.
bool write_text(const std::string &body, const std::string &path);

} // namespace report

#endif
