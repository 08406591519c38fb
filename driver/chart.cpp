// chart.cpp - the drawing parts of the report's page; see chart.h.
#include "chart.h"

#include <cstdio>

using nlohmann::json;

namespace page {

// --- numbers as text ----------------------------------------------------------

std::string grouped(double v) { // 1234567 -> 1,234,567
  const std::string digits = fixed(v, 0);
  const size_t first = digits[0] == '-' ? 1 : 0;
  std::string s;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > first && (digits.size() - i) % 3 == 0) {
      s += ',';
    }
    s += digits[i];
  }
  return s;
}

std::string ms_text(double ms) { // a response time as a person writes it
  if (ms >= 1000) {
    return fixed(ms / 1000, ms >= 10000 ? 1 : 2) + " s";
  }
  return fixed(ms, ms >= 100 ? 0 : ms >= 10 ? 1 : 2) + " ms";
}

std::string tick_text(double v, const Axis &a) {
  if (a.log) {
    char s[32];
    (void)std::snprintf(s, sizeof s, v >= 1000 ? "%g s" : "%g ms", v >= 1000 ? v / 1000 : v);
    return s;
  }
  const double step = a.ticks.size() > 1 ? a.ticks[1] - a.ticks[0] : 1;
  if (a.hi >= 10000) {
    return fixed(v / 1000, step >= 1000 ? 0 : 1) + "k";
  }
  return fixed(v, std::max(0, -static_cast<int>(std::floor(std::log10(step) + 1e-9))));
}

// --- charts -------------------------------------------------------------------

const char *const kTypeColour[5] = {"#c0392b", "#2471a3", "#239b56", "#7d3c98", "#b9770e"};
const char *const kRunColour[] = {"#2471a3", "#c0392b", "#239b56", "#b9770e", "#7d3c98", "#5d6d7e"};
const char *const kTypeDash[5] = {"", "7 4", "2 3", "9 3 2 3", "1 4"};

std::string run_colour(size_t run) {
  return kRunColour[run % std::size(kRunColour)];
}

std::string legend(const std::vector<LegendEntry> &entries) {
  std::string s = "<div class=\"legend\">";
  for (const LegendEntry &e : entries) {
    s += "<span><svg width=\"28\" height=\"10\"><line x1=\"0\" x2=\"28\" y1=\"5\" y2=\"5\" "
         "stroke=\"" +
         e.colour + "\" stroke-width=\"" + fixed(e.width, 1) + "\"" +
         (e.dash.empty() ? "" : " stroke-dasharray=\"" + e.dash + "\"") + "/></svg>" +
         escape(e.text) + "</span>";
  }
  return s + "</div>\n";
}

std::string figure(const std::string &id, const std::string &caption, const std::string &svg,
                   const std::string &legend_html) {
  return "<figure class=\"chart\" id=\"" + id + "\"><figcaption id=\"" + id + "-caption\">" +
         escape(caption) + "</figcaption>\n" + svg + legend_html + "</figure>\n";
}

double run_end_s(const json &r) {
  const json &periods = r.at("series").at("periods");
  const double period = r.at("series").at("period_s").get<double>();
  const double last = periods.empty() ? 0 : periods.back().at("t_s").get<double>() + period;
  return std::max(last, r.at("ramp_up_s").get<double>() + r.at("interval_s").get<double>());
}

TimeScale time_scale(const std::vector<Run> &runs) {
  double end = 0;
  for (const Run &run : runs) {
    end = std::max(end, run_end_s(run.report));
  }
  return end > 600 ? TimeScale{60, "time since the run began (min)"}
                   : TimeScale{1, "time since the run began (s)"};
}

void shade_intervals(Chart &chart, const std::vector<Run> &runs, double unit) {
  for (size_t i = 0; i < runs.size(); ++i) {
    const json &r = runs[i].report;
    const double from = r.at("ramp_up_s").get<double>();
    chart.band(from / unit, (from + r.at("interval_s").get<double>()) / unit,
               runs.size() == 1 ? "#f4d03f" : run_colour(i), runs.size() == 1 ? 0.18 : 0.07);
  }
}

LegendEntry interval_entry(const std::vector<Run> &runs) {
  return runs.size() == 1
             ? LegendEntry{"#f4d03f", "", "measurement interval (shaded)", 8}
             : LegendEntry{"#999", "", "measurement intervals (shaded in the run's colour)", 8};
}

} // namespace page
