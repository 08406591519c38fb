// The server's and the machine's figures: counters folded into periods
// whatever a restart does to them, the server's processes' CPU kept when they
// end, the Prometheus file's text, and a server that refuses a view losing
// that view's figures alone.
#include "metrics.h"
#include "postgresql/pg_metrics.h"
#include "prometheus.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <ctime>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

namespace {

using nlohmann::json;

metrics::Reading at(double t_s, std::map<std::string, double> counters,
                    std::map<std::string, double> waits = {}) {
  return {static_cast<int64_t>(t_s * 1e6), std::move(counters), std::move(waits)};
}

struct FoldCase {
  const char *name;
  std::vector<metrics::Reading> readings;
  double commits;          // over the whole run
  double interval_commits; // over the interval, 10 s to 20 s
  size_t checkpoints;
};

// Readings every second; a server restarted mid-run starts its counters again from zero.
TEST(Series, FoldsCountersIntoPeriodsWithoutNegativeGrowth) {
  const std::vector<FoldCase> cases = {
      {"steady",
       {at(9, {{"commits", 0}}), at(11, {{"commits", 20}}), at(21, {{"commits", 120}}),
        at(31, {{"commits", 200}})},
       200,
       120,
       0},
      {"restart resets the counter",
       {at(10, {{"commits", 500}}), at(11, {{"commits", 600}}), at(12, {{"commits", 30}}),
        at(13, {{"commits", 80}})},
       180,
       180,
       0},
      {"a checkpoint between two readings",
       {at(10, {{"commits", 0}, {"checkpoints_timed", 7}}),
        at(11, {{"commits", 1}, {"checkpoints_timed", 8}}),
        at(12, {{"commits", 2}, {"checkpoints_timed", 8}})},
       2,
       2,
       1},
  };
  for (const FoldCase &c : cases) {
    metrics::Series s(10'000'000, 10'000'000, 10'000'000);
    for (const metrics::Reading &r : c.readings) {
      s.add(r);
    }
    const json j = s.json();
    double commits = 0;
    for (const json &p : j.at("periods")) {
      for (const auto &[name, v] : p.at("deltas").items()) {
        EXPECT_GE(v.get<double>(), 0) << c.name << ": " << name;
      }
      commits += p.at("deltas").value("commits", 0.0);
    }
    EXPECT_EQ(commits, c.commits) << c.name;
    EXPECT_EQ(j.at("interval").at("deltas").value("commits", 0.0), c.interval_commits) << c.name;
    EXPECT_EQ(j.at("checkpoints").size(), c.checkpoints) << c.name;
  }
}

// A server that counts a checkpoint as it begins adds its time as it ends; one that counts it
// as it ends adds both at once.
TEST(Series, TellsWhenEachCheckpointBeganAndEnded) {
  struct Case {
    const char *name;
    std::vector<std::array<double, 3>> readings; // t, checkpoints, write ms
    double began, ended;
  };
  const std::vector<Case> cases = {
      {"counted as it begins", {{10, 1, 0}, {11, 2, 0}, {20, 2, 0}, {21, 2, 9000}}, 10.5, 20.5},
      {"counted as it ends", {{10, 1, 0}, {20, 1, 0}, {21, 2, 5000}}, 15.5, 20.5},
  };
  for (const Case &c : cases) {
    metrics::Series s(10'000'000, 0, 60'000'000);
    for (const auto &[t, n, ms] : c.readings) {
      s.add(at(
          t,
          {{"checkpoints_requested", n}, {"checkpoint_write_ms", ms}, {"checkpoint_sync_ms", 0}}));
    }
    const json checkpoints = s.json().at("checkpoints");
    ASSERT_EQ(checkpoints.size(), 1U) << c.name;
    EXPECT_DOUBLE_EQ(checkpoints[0].at("t_s").get<double>(), c.began) << c.name;
    EXPECT_DOUBLE_EQ(checkpoints[0].at("ended_s").get<double>(), c.ended) << c.name;
    EXPECT_EQ(checkpoints[0].at("kind"), "requested") << c.name;
  }
}

TEST(Series, GivesWaitsAsMeanBackendsAndRatesPerSecond) {
  metrics::Series s(10'000'000, 0, 10'000'000);
  s.add(at(0, {{"blocks_hit", 0}, {"blocks_read", 0}, {"wal_bytes", 0}}));
  s.add(at(1, {{"blocks_hit", 90}, {"blocks_read", 10}, {"wal_bytes", 1e6}}, {{"CPU", 2}}));
  s.add(at(2, {{"blocks_hit", 180}, {"blocks_read", 20}, {"wal_bytes", 3e6}}, {{"Lock:tuple", 1}}));
  const metrics::Figures f = metrics::figures(s.json().at("interval"));
  EXPECT_DOUBLE_EQ(f.hit_pct, 90);
  EXPECT_DOUBLE_EQ(f.wal_mb_s, 1.5);
  ASSERT_EQ(f.waits.size(), 2U);
  EXPECT_EQ(f.waits[0], (std::pair<std::string, double>("CPU", 1)));
  EXPECT_EQ(f.waits[1], (std::pair<std::string, double>("Lock:tuple", 0.5)));
  EXPECT_LT(f.server_cpu_pct, 0) << "a server elsewhere is not measured, not idle";
}

// Spends how_long of this process's CPU time, however long a busy machine makes that take.
void burn_cpu(std::chrono::milliseconds how_long) {
  const auto cpu_ms = [] {
    timespec t{};
    (void)clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return int64_t{t.tv_sec} * 1000 + t.tv_nsec / 1'000'000;
  };
  const int64_t end = cpu_ms() + how_long.count();
  volatile unsigned x = 0;
  while (cpu_ms() < end) {
    x = x + 1;
  }
}

// This process stands for the server: a child that works and ends must not take its CPU
// time out of the server's.
// A node that answers its readings in turn, then stops answering.
class Node : public metrics::Source {
public:
  Node(std::vector<double> commits, std::vector<std::string> missing)
      : commits_(std::move(commits)), missing_(std::move(missing)) {}
  void read(metrics::Reading &r) override {
    if (next_ == commits_.size() || commits_[next_] < 0) { // < 0: not answering this time
      next_ += next_ < commits_.size() ? 1U : 0U;
      throw std::runtime_error("node gone");
    }
    r.counters["commits"] = commits_[next_++];
    r.waits["CPU"] = 1;
  }
  std::vector<std::string> missing() const override { return missing_; }
  int local_pid() override { return 7; }
  double size_bytes() override { return 100; }

private:
  std::vector<double> commits_;
  std::vector<std::string> missing_;
  size_t next_ = 0;
};

TEST(Sum, ANodeThatStopsAnsweringCountsWithItsLastReadingAndTheSumFailsOnlyWithAll) {
  std::vector<std::unique_ptr<metrics::Source>> nodes;
  nodes.push_back(
      std::make_unique<Node>(std::vector<double>{10, 20, 30}, std::vector<std::string>{"a"}));
  nodes.push_back(
      std::make_unique<Node>(std::vector<double>{5}, std::vector<std::string>{"a", "b"}));
  const std::unique_ptr<metrics::Source> sum = metrics::sum(std::move(nodes));
  EXPECT_EQ(sum->missing(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(sum->local_pid(), 7);
  const struct { double commits, cpu; } want[] = {{15, 2}, {25, 1}, {35, 1}};
  for (const auto &w : want) {
    metrics::Reading r;
    sum->read(r);
    EXPECT_EQ(r.counters["commits"], w.commits);
    EXPECT_EQ(r.waits["CPU"], w.cpu);
  }
  metrics::Reading none;
  EXPECT_THROW(sum->read(none), std::runtime_error);
}

TEST(Sum, AServerThatRestartsOrAnswersLateAddsOnlyWhatItDidSince) {
  std::vector<std::unique_ptr<metrics::Source>> nodes;
  nodes.push_back(std::make_unique<Node>(
      std::vector<double>{1e6, 1e6 + 1000, 1e6 + 2000, 1e6 + 3000}, std::vector<std::string>{}));
  nodes.push_back(std::make_unique<Node>(std::vector<double>{1e6, -1, 10, 20}, // down, restarted
                                         std::vector<std::string>{}));
  nodes.push_back(std::make_unique<Node>(std::vector<double>{-1, 5e5, 5e5 + 5, 5e5 + 10}, // late
                                         std::vector<std::string>{}));
  const std::unique_ptr<metrics::Source> sum = metrics::sum(std::move(nodes));
  metrics::Series series(10'000'000, 0, 100'000'000);
  for (int64_t t = 0; t < 4; ++t) {
    metrics::Reading r;
    r.t_us = t * 1'000'000;
    sum->read(r);
    series.add(r);
  }
  // 3,000 on the first, 10 and 10 after its restart on the second, 10 once the third answered
  EXPECT_EQ(series.json().at("interval").at("deltas").at("commits"), 3030);
}

TEST(Machine, KeepsTheCpuOfTheServersProcessesThatEnd) {
  metrics::Machine m(getpid());
  metrics::Series s(10'000'000, 0, 60'000'000);
  const auto read = [&](double t) {
    metrics::Reading r = at(t, {});
    m.read(r);
    s.add(r);
    return r;
  };
  (void)read(0);
  const pid_t child = fork();
  if (child == 0) {
    burn_cpu(std::chrono::milliseconds(300));
    _exit(0);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  const metrics::Reading during = read(1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  const metrics::Reading after = read(2);
  ASSERT_TRUE(during.counters.contains("server_cpu_s"));
  EXPECT_GE(after.counters.at("server_cpu_s"), during.counters.at("server_cpu_s"));
  EXPECT_GE(after.counters.at("server_cpu_s"), 0.28) << "the child's 0.3 s of CPU";
  EXPECT_GT(after.counters.at("cpu_total_s"), 0);
  EXPECT_GE(s.json().at("interval").at("deltas").at("server_cpu_s").get<double>(), 0.28);
}

// The nodes of a cluster on this machine: their CPU is added up, a node that ends counts
// with what it had, and the one that takes its place adds to the same sum.
TEST(Machine, AddsUpTheServersAndFollowsOneThatTakesALostOnesPlace) {
  const auto server = [] { // burns 0.3 s of CPU once started, then idles until killed
    const pid_t pid = fork();
    if (pid == 0) {
      burn_cpu(std::chrono::milliseconds(300));
      std::this_thread::sleep_for(std::chrono::seconds(30));
      _exit(0);
    }
    return pid;
  };
  const auto end = [](pid_t pid) {
    (void)kill(pid, SIGKILL);
    int status = 0;
    (void)waitpid(pid, &status, 0);
  };
  const auto cpu = [](metrics::Machine &m) {
    metrics::Reading r;
    m.read(r);
    return r.counters.contains("server_cpu_s") ? r.counters.at("server_cpu_s") : -1;
  };
  const auto cpu_once_at_least = [&cpu](metrics::Machine &m, double seconds) {
    double now = cpu(m);
    for (int tries = 0; tries < 50 && now < seconds; ++tries) { // a busy machine is slower
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      now = cpu(m);
    }
    return now;
  };
  const pid_t a = server();
  const pid_t b = server();
  metrics::Machine m(std::vector<int>{a, 0, b}); // the middle one runs elsewhere
  EXPECT_GE(cpu(m), 0);
  const double both = cpu_once_at_least(m, 0.55);
  EXPECT_GE(both, 0.55) << "two servers' 0.3 s each";
  end(b);
  const double one_lost = cpu(m);
  EXPECT_TRUE(m.lost_server());
  EXPECT_GE(one_lost, both);
  const pid_t c = server();
  EXPECT_FALSE(m.follow({a, 0, 0})) << "no pid for the lost one yet";
  EXPECT_TRUE(m.follow({a, 0, c}));
  EXPECT_GE(cpu(m), one_lost);
  EXPECT_GE(cpu_once_at_least(m, one_lost + 0.28), one_lost + 0.28) << "the new server's on top";
  end(a);
  end(c);
}

// A server's main process that has ended is gone, though its parent has not yet waited for it.
TEST(Machine, LosesAServerThatEndedBeforeItsParentWaitedForIt) {
  const pid_t child = fork();
  if (child == 0) {
    _exit(0);
  }
  metrics::Machine m(child);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  metrics::Reading r;
  m.read(r);
  EXPECT_TRUE(m.lost_server());
  int status = 0;
  EXPECT_EQ(waitpid(child, &status, 0), child);
}

// The text format as Prometheus reads it: each family once, HELP and TYPE before its
// samples, names and labels well formed, label values escaped.
TEST(Prometheus, WritesWellFormedFamiliesWithEscapedLabels) {
  report::Recorder::Recent recent{10'000'000, {6, 6, 1, 1, 1}, 2.5, 3};
  recent.total = {60, 60, 6, 6, 6};
  const json facts = {{"version", "1.7.0"}, {"mode", "odd \"mode\"\\\n"}, {"warehouses", 2}};
  const json server = {{"seconds", 10.0},
                       {"deltas", {{"wal_bytes", 1e7}}},
                       {"waits", {{"Lock:transactionid", 0.5}}}};
  const std::string text = prometheus::exposition(facts, recent, 42, server);
  const std::regex sample(
      R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{([a-zA-Z_][a-zA-Z0-9_]*="([^"\\\n]|\\["\\n])*",?)*\})? -?[0-9.e+-]+)");
  std::set<std::string> families;
  std::string typed;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (line.starts_with("# TYPE ")) {
      typed = line.substr(7, line.find(' ', 7) - 7);
      EXPECT_TRUE(families.insert(typed).second) << "family twice: " << typed;
    } else if (!line.starts_with("# HELP ")) {
      ASSERT_TRUE(std::regex_match(line, m, sample)) << line;
      EXPECT_EQ(m[1], typed) << "a sample outside its family: " << line;
    }
  }
  EXPECT_NE(text.find(R"(mode="odd \"mode\"\\\n")"), std::string::npos) << text;
  EXPECT_NE(text.find("tpcc_transactions_per_minute{type=\"new_order\"} 36\n"), std::string::npos);
  EXPECT_NE(text.find("tpcc_server_per_second{counter=\"wal_bytes\"} 1000000\n"),
            std::string::npos);
}

std::string dsn() {
  std::ifstream in(TPCC_DSN_FILE);
  std::string line;
  std::getline(in, line);
  return line;
}

// A user the server refuses a view: that view's figures are left out, with one line naming
// it, and the rest are read.
TEST(PostgresqlMetrics, AViewRefusedLosesOnlyItsOwnFigures) {
  struct Case {
    const char *view, *lost_counter, *kept_counter;
  };
  const std::vector<Case> cases = {{"pg_stat_wal", "wal_bytes", "commits"},
                                   {"pg_stat_bgwriter", "checkpoints_timed", "wal_bytes"}};
  pg::Connection admin(dsn());
  (void)admin.exec(
      "DROP ROLE IF EXISTS tpcc_metrics_reader; CREATE ROLE tpcc_metrics_reader LOGIN");
  for (const Case &c : cases) {
    (void)admin.exec(std::string("REVOKE SELECT ON ") + c.view + " FROM PUBLIC");
    auto source = pg_metrics::source(dsn() + " user=tpcc_metrics_reader", "no such run", 0);
    metrics::Reading r;
    source->read(r);
    (void)admin.exec(std::string("GRANT SELECT ON ") + c.view + " TO PUBLIC");
    EXPECT_FALSE(r.counters.contains(c.lost_counter)) << c.view;
    EXPECT_TRUE(r.counters.contains(c.kept_counter)) << c.view;
    const std::vector<std::string> missing = source->missing();
    ASSERT_EQ(missing.size(), 1U) << c.view;
    EXPECT_TRUE(missing[0].starts_with(std::string(c.view) + ": ")) << missing[0];
    EXPECT_NE(missing[0].find("permission denied"), std::string::npos) << missing[0];
  }
  (void)admin.exec("DROP ROLE tpcc_metrics_reader");
}

} // namespace
