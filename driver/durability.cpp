// durability.cpp - the database against the run's acknowledgements; see durability.h.
#include "durability.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

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
  // A process id repeats across hosts and containers; 64 random bits do not.
  std::random_device random;
  const uint64_t token = (static_cast<uint64_t>(random()) << 32U) ^ random();
  char hex[17];
  (void)std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(token));
  return "tpcc-run " + std::to_string(first) + "-" + std::to_string(last) + " " + hex;
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

// How far each figure may differ from what was acknowledged, [least, most], given the
// transactions whose outcome is unknown: each may have committed or not.  A New-Order adds
// its order, its lines and its NEW-ORDER row; a Payment its history row and its amount; a
// Delivery delivers up to ten orders, removing their NEW-ORDER rows.
std::array<std::pair<long long, long long>, kFigures> leeway(const report::WholeRun &w) {
  const auto n = [](uint64_t v) { return static_cast<long long>(v); };
  return {{{0, n(w.unknown_new_orders)},
           {0, n(w.unknown_order_lines)},
           {-10 * n(w.unknown_deliveries), n(w.unknown_new_orders)},
           {0, n(w.unknown_payments)},
           {0, w.unknown_payment_cents},
           {0, 10 * n(w.unknown_deliveries)}}};
}

json judge(const Snapshot &before, const Snapshot &after, const report::WholeRun &run) {
  const std::array<long long, kFigures> want = acknowledged(run);
  const auto bounds = leeway(run);
  json figures = json::array();
  bool pass = true;
  for (size_t i = 0; i < kFigures; ++i) {
    const long long held = after[i] - before[i];
    const long long least = want[i] + bounds[i].first;
    const long long most = want[i] + bounds[i].second;
    pass = pass && held >= least && held <= most;
    json f = {{"figure", kNames[i]}, {"acknowledged", want[i]}, {"held", held}};
    if (least != most) {
      f["least"] = least;
      f["most"] = most;
    }
    figures.push_back(f);
  }
  return {{"judged", true},
          {"pass", pass},
          {"unknown", static_cast<long long>(run.unknown)},
          {"figures", figures}};
}

std::vector<std::string> differences(const json &judgement) {
  std::vector<std::string> out;
  bool lost = false; // NEW-ORDER rows that lost deliveries left behind are no accounting fault
  for (const json &f : judgement.value("figures", json::array())) {
    lost = lost ||
           f.at("held").get<long long>() < f.value("least", f.at("acknowledged").get<long long>());
  }
  for (const json &f : judgement.value("figures", json::array())) {
    const long long held = f.at("held").get<long long>();
    const long long want = f.at("acknowledged").get<long long>();
    const long long least = f.value("least", want);
    const long long most = f.value("most", want);
    const std::string name = f.at("figure").get<std::string>();
    if (held < least) {
      out.push_back("the database holds " + std::to_string(want - held) + " fewer " + name +
                    " than were acknowledged" +
                    (least < want ? " (the transactions of unknown outcome explain at most " +
                                        std::to_string(want - least) + ")"
                                  : "") +
                    ": commits were lost");
    } else if (held > most) {
      out.push_back("the database holds " + std::to_string(held - want) + " more " + name +
                    " than were acknowledged" +
                    (most > want ? " (the transactions of unknown outcome explain at most " +
                                       std::to_string(most - want) + ")"
                                 : "") +
                    (lost ? "" : ": the report does not count all that committed"));
    } else if (held != want) {
      out.push_back("the database holds " +
                    std::to_string(held > want ? held - want : want - held) +
                    (held > want ? " more " : " fewer ") + name +
                    " than were acknowledged, within what the transactions of unknown outcome"
                    " may have done");
    }
  }
  return out;
}

} // namespace durability
