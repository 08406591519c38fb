// tpcc-report - the reports of tpcc-run as one HTML page: a run's figures and
// charts, or several runs side by side.
#include "command_line.h"
#include "page.h"
#include "report.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include <getopt.h>

// One thread: getopt and strerror are safe here.
// NOLINTBEGIN(concurrency-mt-unsafe)

namespace {

const char *const kUsage = "usage: tpcc-report [--out FILE.html] [--title TEXT] REPORT.json...\n";
const char *const kHelp =
    "Draw tpcc-run's reports as one self-contained HTML page: the run's facts, checks,\n"
    "figures and charts, or the first run compared with the others.\n\n"
    "  -o, --out FILE     the page (default: tpcc-report.html beside the first report)\n"
    "  -t, --title TEXT   the page's title\n"
    "  -h, --help         this text\n"
    "  -V, --version      the version\n\n"
    "Exit status: 0 written, 1 a report unreadable or the page not written, 2 a usage error.\n";

std::string beside(const std::string &file, const std::string &name) {
  const size_t slash = file.rfind('/');
  return slash == std::string::npos ? name : file.substr(0, slash + 1) + name;
}

std::string base_name(const std::string &file) {
  const size_t slash = file.rfind('/');
  return slash == std::string::npos ? file : file.substr(slash + 1);
}

} // namespace

int main(int argc, char **argv) {
  command_line::program = "tpcc-report";
  std::string out;
  std::string title;
  const option options[] = {{"out", required_argument, nullptr, 'o'},
                            {"title", required_argument, nullptr, 't'},
                            {"help", no_argument, nullptr, 'h'},
                            {"version", no_argument, nullptr, 'V'},
                            {nullptr, 0, nullptr, 0}};
  int c = 0;
  while ((c = getopt_long(argc, argv, ":o:t:hV", options, nullptr)) != -1) {
    switch (c) {
    case 'o':
      out = optarg;
      break;
    case 't':
      title = optarg;
      break;
    default:
      command_line::common_option(c, kUsage, kHelp, TPCC_VERSION, argv);
    }
  }
  if (optind == argc) {
    command_line::usage_error("no report to draw");
  }
  std::vector<page::Run> runs;
  for (int i = optind; i < argc; ++i) {
    try {
      runs.push_back({base_name(argv[i]), page::read(argv[i])});
    } catch (const std::exception &e) {
      (void)std::fprintf(stderr, "tpcc-report: %s: %s\n", argv[i], e.what());
      return 1;
    }
  }
  if (out.empty()) {
    out = beside(argv[optind], "tpcc-report.html");
  }
  std::string html;
  try {
    html = page::html(runs, title);
  } catch (const std::exception &e) { // the page's own arithmetic: a fault of the tool
    (void)std::fprintf(stderr, "tpcc-report: %s\n", e.what());
    return 1;
  }
  if (!report::write_text(html, out)) {
    (void)std::fprintf(stderr, "tpcc-report: %s: %s\n", out.c_str(), std::strerror(errno));
    return 1;
  }
  return 0;
}

// NOLINTEND(concurrency-mt-unsafe)
