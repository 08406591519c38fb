// verdict.h - whether a run meets the rules the kit checks: each rule with the
// report's value for it and whether it passed, as the text, the JSON and the
// page all show them.  Meeting them is what the kit can say of a run; an
// audited result is more than that.
#ifndef TPCC_DRIVER_VERDICT_H
#define TPCC_DRIVER_VERDICT_H

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace verdict {

struct Check {
  std::string rule; // "Payment >= 43 % of the mix"
  bool pass = false;
  std::string value; // what the run had: "43.12 %"
};

// The checks of a finished report (report::finish has filled in its figures), in the order
// a person reads them.  A merged report is held to them host by host where a host's own
// figures decide (its ending, its servers, its durability and consistency).
std::vector<Check> checks(const nlohmann::json &r);

// The report's "verdict": {"pass": all passed, "checks": [{"check", "pass", "value"}...]}.
nlohmann::json to_json(const std::vector<Check> &checks);

// Why commits on a server of these settings ("server" as Database::server() gives it) could
// be lost in a crash, or "" when each is made durable before it is acknowledged.
std::string undurable(const nlohmann::json &server);

} // namespace verdict

#endif
