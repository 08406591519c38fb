// durability.cpp - the database against the run's acknowledgements; see durability.h.
#include "durability.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

using nlohmann::json;

namespace durability {

const std::array<const char *, kFigures> kNames = {"New-Orders",     "order lines",
                                                   "NEW-ORDER rows", "Payments",
                                                   "cents of W_YTD", "delivered orders"};

namespace {

// What the run acknowledged of each figure.
std::array<long long, kFigures> acknowledged(const report::WholeRun &w) {
  const auto n = [](uint64_t v) { return static_cast<long long>(v); };
  return {n(w.new_order_committed),
          n(w.order_lines_committed),
          n(w.new_order_committed) - n(w.districts_delivered),
          n(w.payment_committed),
          w.payment_amount_cents,
          n(w.districts_delivered)};
}

} // namespace

std::string application_name(int first, int last) {
  return "tpcc-run " + std::to_string(first) + "-" + std::to_string(last) + " " +
         std::to_string(getpid());
}

std::vector<std::string> other_drivers(const std::vector<std::string> &names, int first, int last,
                                       const std::string &self) {
  std::vector<std::string> out;
  for (const std::string &n : names) {
    const char *name = n.c_str();
    if (n == self || !n.starts_with("tpcc-run ")) {
      continue;
    }
    char *end = nullptr;
    const long a = std::strtol(name + std::strlen("tpcc-run "), &end, 10);
    const bool ranged = *end == '-';
    const long b = ranged ? std::strtol(end + 1, &end, 10) : 0;
    // Another driver of unknown range may drive any warehouse.
    if (!ranged || (a <= last && first <= b)) {
      out.emplace_back(name);
    }
  }
  return out;
}

json judge(const Snapshot &before, const Snapshot &after, const report::WholeRun &run) {
  const std::array<long long, kFigures> want = acknowledged(run);
  const auto unknown = static_cast<long long>(run.unknown);
  json figures = json::array();
  bool pass = true;
  for (size_t i = 0; i < kFigures; ++i) {
    const long long held = after[i] - before[i];
    // A transaction of unknown outcome may have committed, adding to what was acknowledged.
    pass = pass && (unknown > 0 ? held >= want[i] : held == want[i]);
    figures.push_back({{"figure", kNames[i]}, {"acknowledged", want[i]}, {"held", held}});
  }
  return {{"judged", true}, {"pass", pass}, {"unknown", unknown}, {"figures", figures}};
}

std::vector<std::string> differences(const json &judgement) {
  std::vector<std::string> out;
  bool lost = false; // NEW-ORDER rows that lost deliveries left behind are no accounting fault
  for (const json &f : judgement.value("figures", json::array())) {
    lost = lost || f.at("held").get<long long>() < f.at("acknowledged").get<long long>();
  }
  for (const json &f : judgement.value("figures", json::array())) {
    const long long held = f.at("held").get<long long>();
    const long long want = f.at("acknowledged").get<long long>();
    const std::string name = f.at("figure").get<std::string>();
    if (held < want) {
      out.push_back("the database holds " + std::to_string(want - held) + " fewer " + name +
                    " than were acknowledged: commits were lost");
    } else if (held > want) {
      out.push_back("the database holds " + std::to_string(held - want) + " more " + name +
                    " than were acknowledged" +
                    (judgement.value("unknown", 0LL) > 0
                         ? ", within what the transactions of unknown outcome may have done"
                     : lost ? ""
                            : ": the report does not count all that committed"));
    }
  }
  return out;
}

} // namespace durability
