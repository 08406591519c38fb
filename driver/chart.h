// chart.h - the drawing parts of the report's page: numbers as text, SVG
// charts with their axes, legends and figures, and the run's time axis.
#ifndef TPCC_DRIVER_CHART_H
#define TPCC_DRIVER_CHART_H

#include "page.h"
#include "report.h"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace page {

using report::fixed;

std::string grouped(double v);  // 1234567 -> 1,234,567
std::string ms_text(double ms); // a response time as a person writes it
std::string tick_text(double v, const Axis &a);

extern const char *const kTypeColour[5];
extern const char *const kTypeDash[5];
std::string run_colour(size_t run);

// A plot area with its axes; values map to SVG coordinates.
class Chart {
public:
  Chart(std::string id, double width, double height, Axis x, Axis y)
      : id_(std::move(id)), w_(width), h_(height), x_(std::move(x)), y_(std::move(y)) {}

  double px(double v) const { return left_ + (w_ - left_ - kRight) * fraction(x_, v); }
  double py(double v) const { return h_ - kBottom - (h_ - kBottom - kTop) * fraction(y_, v); }

  void band(double from, double to, const std::string &colour, double opacity) {
    from = std::clamp(from, x_.lo, x_.hi);
    to = std::clamp(to, x_.lo, x_.hi);
    body_ << "<rect class=\"band\" x=\"" << fixed(px(from), 1) << "\" y=\"" << kTop << "\" width=\""
          << fixed(px(to) - px(from), 1) << "\" height=\"" << fixed(h_ - kTop - kBottom, 1)
          << "\" fill=\"" << colour << "\" fill-opacity=\"" << opacity << "\"/>\n";
  }
  // A line through the points, broken where a point is NaN.
  void line(const std::vector<std::pair<double, double>> &points, const std::string &colour,
            double width, const std::string &dash, const std::string &title) {
    std::string d;
    bool pen = false;
    for (const auto &[x, y] : points) {
      if (std::isnan(y)) {
        pen = false;
        continue;
      }
      d += pen ? 'L' : 'M';
      d += fixed(px(x), 1);
      d += ',';
      d += fixed(py(y), 1);
      pen = true;
    }
    body_ << "<path d=\"" << d << "\" fill=\"none\" stroke=\"" << colour << "\" stroke-width=\""
          << width << "\"" << (dash.empty() ? "" : " stroke-dasharray=\"" + dash + "\"")
          << "><title>" << escape(title) << "</title></path>\n";
  }
  // A stacked bar's part: from x0 to x1, from y0 up to y1.
  void bar(double x0, double x1, double y0, double y1, const std::string &colour,
           const std::string &title) {
    body_ << "<rect class=\"bar\" x=\"" << fixed(px(x0), 1) << "\" y=\"" << fixed(py(y1), 1)
          << "\" width=\"" << fixed(px(x1) - px(x0), 1) << "\" height=\""
          << fixed(py(y0) - py(y1), 1) << "\" fill=\"" << colour << "\"><title>" << escape(title)
          << "</title></rect>\n";
  }
  // A vertical line at x, labelled in the given row from the top; id "" for none.
  void mark(double x, const std::string &colour, const std::string &dash, const std::string &label,
            int row, const std::string &id = "") {
    if (x < x_.lo || x > x_.hi) {
      return;
    }
    body_ << "<line class=\"mark\"" << (id.empty() ? "" : " id=\"" + id + "\"") << " x1=\""
          << fixed(px(x), 1) << "\" x2=\"" << fixed(px(x), 1) << "\" y1=\"" << kTop << "\" y2=\""
          << fixed(h_ - kBottom, 1) << "\" stroke=\"" << colour << "\""
          << (dash.empty() ? "" : " stroke-dasharray=\"" + dash + "\"") << "/>\n";
    const bool right_edge = px(x) > w_ - kRight - 90; // the label goes left of the line there
    body_ << "<text x=\"" << fixed(px(x) + (right_edge ? -3 : 3), 1) << "\" y=\""
          << kTop + 11 + 12 * row << "\" text-anchor=\"" << (right_edge ? "end" : "start")
          << "\" fill=\"" << colour << "\">" << escape(label) << "</text>\n";
  }

  std::string svg(const std::string &x_label, const std::string &y_label) const {
    std::ostringstream s;
    s << "<svg viewBox=\"0 0 " << w_ << " " << h_ << "\" width=\"" << w_ << "\" height=\"" << h_
      << "\" role=\"img\" aria-labelledby=\"" << id_ << "-caption\">\n";
    for (const double t : y_.ticks) {
      s << "<line class=\"grid\" x1=\"" << left_ << "\" x2=\"" << w_ - kRight << "\" y1=\""
        << fixed(py(t), 1) << "\" y2=\"" << fixed(py(t), 1) << "\"/><text class=\"tick\" x=\""
        << left_ - 5 << "\" y=\"" << fixed(py(t) + 4, 1) << "\" text-anchor=\"end\">"
        << tick_text(t, y_) << "</text>\n";
    }
    for (const double t : x_.ticks) {
      s << "<line class=\"grid\" x1=\"" << fixed(px(t), 1) << "\" x2=\"" << fixed(px(t), 1)
        << "\" y1=\"" << kTop << "\" y2=\"" << h_ - kBottom << "\"/><text class=\"tick\" x=\""
        << fixed(px(t), 1) << "\" y=\"" << h_ - kBottom + 16 << "\" text-anchor=\"middle\">"
        << tick_text(t, x_) << "</text>\n";
    }
    s << body_.str() << "<rect class=\"frame\" x=\"" << left_ << "\" y=\"" << kTop << "\" width=\""
      << w_ - left_ - kRight << "\" height=\"" << h_ - kTop - kBottom
      << "\"/>\n<text class=\"label\" x=\"" << (left_ + w_ - kRight) / 2 << "\" y=\"" << h_ - 6
      << "\" text-anchor=\"middle\">" << escape(x_label) << "</text>\n<text class=\"label\" "
      << "transform=\"rotate(-90)\" x=\"" << -(kTop + h_ - kBottom) / 2
      << "\" y=\"14\" text-anchor=\"middle\">" << escape(y_label) << "</text>\n</svg>\n";
    return s.str();
  }

private:
  static double fraction(const Axis &a, double v) {
    if (a.log) {
      v = std::max(v, a.lo);
      return (std::log10(v) - std::log10(a.lo)) / (std::log10(a.hi) - std::log10(a.lo));
    }
    return (v - a.lo) / (a.hi - a.lo);
  }
  static constexpr double kTop = 10, kRight = 16, kBottom = 40;
  std::string id_;
  double w_, h_, left_ = 64;
  Axis x_, y_;
  std::ostringstream body_;
};

struct LegendEntry {
  std::string colour, dash, text;
  double width = 2;
};
std::string legend(const std::vector<LegendEntry> &entries);
std::string figure(const std::string &id, const std::string &caption, const std::string &svg,
                   const std::string &legend_html);

// The run's end, in seconds since it began.
double run_end_s(const nlohmann::json &r);
// Time runs in seconds, or in minutes for runs longer than ten minutes.
struct TimeScale {
  double unit;
  std::string label;
};
TimeScale time_scale(const std::vector<Run> &runs);
void shade_intervals(Chart &chart, const std::vector<Run> &runs, double unit);
LegendEntry interval_entry(const std::vector<Run> &runs);

} // namespace page

#endif
