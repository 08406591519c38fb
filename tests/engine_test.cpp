// The run engine against a database that lives in this process: its clock, what it makes of a
// setup slower than the ramp-up, a run that completes nothing, an output it cannot write, and
// one server reached through two connection strings.
#include "db.h"
#include "engine.h"
#include "metrics.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include <unistd.h>

namespace {

using nlohmann::json;
using std::chrono::milliseconds;

// What the fake database holds, as --check's snapshot counts it.
struct Held {
  std::atomic<long long> orders{0}, lines{0}, payments{0}, cents{0};
  std::atomic<long long> commits{0}; // every transaction, as a server's statistics count them
};

// How the fake server misbehaves.
struct Faults {
  std::atomic<bool> payments_conflict{false}; // every Payment a deadlock
  std::atomic<int> deliveries_to_lose{0};     // this many lose their answer, then commit
  std::atomic<int> settles{0};                // settle() asked so far
};

class FakeSession : public db::Session {
public:
  FakeSession(Held &held, milliseconds each, Faults &faults)
      : held_(held), each_(each), faults_(faults) {}
  Task<> new_order(const NewOrderInput &in, db::NewOrderResult &out) override {
    pause();
    out.o_id = static_cast<int>(++held_.orders);
    held_.lines += in.ol_cnt;
    ++held_.commits;
    co_return;
  }
  Task<> payment(const PaymentInput &in, db::PaymentResult &) override {
    pause();
    if (faults_.payments_conflict) {
      throw db::Error("deadlock detected", "40P01", db::Error::Kind::conflict);
    }
    ++held_.payments;
    held_.cents += in.h_amount_cents;
    ++held_.commits;
    co_return;
  }
  Task<> order_status(const OrderStatusInput &, db::OrderStatusResult &) override {
    pause();
    co_return;
  }
  Task<> delivery(const DeliveryInput &in, db::DeliveryResult &out) override {
    if (faults_.deliveries_to_lose-- > 0) { // committed, and the answer lost with the server
      pending = {TX_DELIVERY, in.w_id, 0, "2026-12-11 00:00:00.000000"};
      throw db::Error("server closed the connection", "", db::Error::Kind::lost);
    }
    out.skipped = 10; // no undelivered order: every district skipped
    co_return;
  }
  Task<> stock_level(const StockLevelInput &, db::StockLevelResult &) override {
    pause();
    co_return;
  }
  void reset() override {}
  void attach(Reactor *) override {}
  int server_id() const override { return 1; }
  // The lost deliveries' outcome is known only once the run is over.
  db::Settled settle(const db::Proof &, int, db::DeliveryResult *delivered) override {
    if (faults_.settles++ == 0) {
      return db::Settled::unknown;
    }
    delivered->o_id[0] = 7;
    delivered->delivered = 1;
    delivered->skipped = 9;
    return db::Settled::committed;
  }

private:
  void pause() const { std::this_thread::sleep_for(each_); }
  Held &held_;
  milliseconds each_;
  Faults &faults_;
};

class FakeSource : public metrics::Source {
public:
  explicit FakeSource(Held &held) : held_(held) {}
  void read(metrics::Reading &r) override {
    r.counters["xact_commit"] = static_cast<double>(held_.commits.load());
  }
  std::vector<std::string> missing() const override { return {}; }
  int local_pid() override { return 0; }
  double size_bytes() override { return -1; }

private:
  Held &held_;
};

class FakeDatabase : public db::Database {
public:
  explicit FakeDatabase(Held &held) : held_(held) {}
  milliseconds snapshot_takes{0}, transaction_takes{0};
  std::string id = "the one server";
  Faults faults;

  const char *product() const override { return "PostgreSQL"; }
  std::string where() const override { return "fake"; }
  std::string identity() override { return id; }
  void name_connections(const std::string &) override {}
  std::unique_ptr<db::Session> session(db::Mode) override {
    return std::make_unique<FakeSession>(held_, transaction_takes, faults);
  }
  db::Facts inspect() override {
    db::Facts f;
    f.warehouses = 1;
    f.c_load = 100;
    return f;
  }
  void install_procedures() override {}
  db::Snapshot snapshot(int, int) override {
    std::this_thread::sleep_for(snapshot_takes);
    return {held_.orders, held_.lines, held_.orders, held_.payments, held_.cents, 0};
  }
  std::vector<std::string> connection_names() override { return {}; }
  std::vector<db::Condition> check(int, int) override { return {}; }
  nlohmann::json server() override {
    return {{"product", "PostgreSQL"},
            {"version", "15"},
            {"settings", {{"fsync", "on"}, {"synchronous_commit", "on"}}}};
  }
  db::ServerTime server_time() override { return {"not in a fake", {}, {}}; }
  std::unique_ptr<metrics::Source> metrics(const std::string &, int) override {
    return std::make_unique<FakeSource>(held_);
  }

private:
  Held &held_;
};

class Engine : public ::testing::Test {
protected:
  void SetUp() override {
    char dir[] = "/tmp/engine_test.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    // Standard mode: each transaction a task of its own.  In throughput mode a terminal's
    // transactions chain on one task, and this database answers each at once: without the
    // tail calls that an unoptimised build does not make, that chain outgrows the stack.
    plan_.standard = true;
    plan_.time_scale = 0.001;
    plan_.ramp_up = 1;
    plan_.duration = 2;
    plan_.connections = 2;
    plan_.no_flag = true;
    plan_.quiet = true;
    plan_.no_metrics = true;
    plan_.report = dir_ + "/run.json";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  json report() const {
    std::ifstream in(plan_.report);
    return json::parse(in);
  }
  std::string dir_;
  engine::Plan plan_;
  Held held_;
};

TEST_F(Engine, SetupSlowerThanTheRampUpIsNeitherInTheIntervalNorInAnyResponseTime) {
  FakeDatabase database(held_);
  database.snapshot_takes = milliseconds(1500);
  plan_.check = true;
  plan_.ramp_up = 0;
  ASSERT_EQ(engine::run(plan_, {&database}), 0);
  const json r = report();
  EXPECT_GE(r.at("setup_s").get<double>(), 1.5);
  EXPECT_GT(r.at("transactions").at("new_order").at("count").get<int>(), 0);
  EXPECT_LT(r.at("transactions").at("new_order").at("max_ms").get<double>(), 500);
  EXPECT_DOUBLE_EQ(r.at("interval_s").get<double>(), 2);
  EXPECT_TRUE(r.at("durability").at("pass").get<bool>()) << r.at("durability").dump();
}

TEST_F(Engine, ARunWhoseIntervalCompletesNothingFails) {
  FakeDatabase database(held_);
  database.transaction_takes = milliseconds(2500);
  plan_.ramp_up = 0;
  plan_.duration = 1;
  EXPECT_EQ(engine::run(plan_, {&database}), 1);
  EXPECT_EQ(report().at("tpmC"), 0); // and the report is still there
}

TEST_F(Engine, AnOutputThatCannotBeWrittenFailsTheRunAfterTheReportIsWritten) {
  FakeDatabase database(held_);
  plan_.samples = "/dev/full";
  EXPECT_EQ(engine::run(plan_, {&database}), 1);
  EXPECT_GT(report().at("transactions").at("payment").at("count").get<int>(), 0);
}

TEST_F(Engine, RetriesOfFailedTransactionsCountAndSettledDeliveriesReachTheResultFile) {
  FakeDatabase database(held_);
  database.faults.payments_conflict = true;
  database.faults.deliveries_to_lose = 1;
  plan_.check = true;
  plan_.ramp_up = 0;
  plan_.deliveries = dir_ + "/deliveries.csv";
  EXPECT_EQ(engine::run(plan_, {&database}), 3); // the lost delivery's order is not in the fake
  const json payment = report().at("transactions").at("payment");
  ASSERT_GT(payment.at("failures").get<int>(), 0);
  EXPECT_EQ(payment.at("retries").get<int>(), 100 * payment.at("failures").get<int>());
  std::ifstream in(plan_.deliveries);
  const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(file.find(",unknown,"), std::string::npos) << file;
  EXPECT_NE(file.find(",committed,0,7,skipped,"), std::string::npos) << file;
  EXPECT_EQ(report().at("whole_run").at("unknown"), 0);
}

TEST_F(Engine, OneServerBehindTwoConnectionStringsIsSampledOnce) {
  FakeDatabase one(held_);
  FakeDatabase again(held_);
  plan_.no_metrics = false;
  ASSERT_EQ(engine::run(plan_, {&one, &again}), 0);
  const long long before = held_.commits;
  const json deltas = report().at("metrics").at("interval").at("deltas");
  // Every commit of the interval counted once, not once per connection string.
  EXPECT_GT(deltas.at("xact_commit").get<double>(), 0.4 * static_cast<double>(before));
  EXPECT_LE(deltas.at("xact_commit").get<double>(), static_cast<double>(before));
  const json servers = report().at("servers").at("list");
  EXPECT_EQ(servers.at(1).at("same_server_as_dsn"), 1);
}

} // namespace
