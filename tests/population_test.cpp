// The generated population against the rules of each column, its
// determinism, and tpcc-gen's handling of bad input and failing files.

#include "child_io.h"
#include <tpcc/population.h>
#include <tpcc/support.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <sys/resource.h>

namespace {

using Row = std::vector<std::string>;
const TpccLoad kLoad = {20261208, 117, "2026-12-08 15:04:05", ""};
constexpr int32_t kW = 3;

std::string chunk(const TpccLoad &load, int table, int32_t w, int32_t c, int64_t *rows = nullptr) {
  std::string text(TpccChunkBound(table), '\0');
  text.resize(TpccGenerateChunk(&load, table, w, c, text.data(), text.size(), rows));
  return text;
}

std::vector<Row> table_rows(int table) {
  std::vector<Row> rows;
  for (int32_t c = 0; c < TpccChunkCount(table); ++c) {
    std::istringstream lines(chunk(kLoad, table, kW, c));
    for (std::string line; std::getline(lines, line);) {
      Row row;
      std::istringstream fields(line);
      for (std::string f; std::getline(fields, f, ',');) {
        row.push_back(f);
      }
      if (line.back() == ',') {
        row.emplace_back();
      }
      rows.push_back(row);
    }
  }
  return rows;
}

// One column's rule: a kind and, for numbers, the range in the unit written.
enum Kind {
  kInt,
  kIntOrNull,
  kLetters,
  kDigits,
  kFixed,
  kCents,
  kTenThousandths,
  kZip,
  kStamp,
  kStampOrNull
};
struct Rule {
  Kind kind;
  int64_t lo, hi;
  std::string fixed = {};
};

bool holds(const Rule &r, const std::string &v) {
  const auto all = [&v](const char *set) { return v.find_first_not_of(set) == std::string::npos; };
  const auto n = static_cast<int64_t>(v.size());
  const auto in = [&r](int64_t x) { return x >= r.lo && x <= r.hi; };
  const auto decimals = [&](size_t places) {
    const size_t dot = v.find('.');
    return dot != std::string::npos && v.size() - dot - 1 == places &&
           in(std::stoll(v.substr(0, dot) + v.substr(dot + 1)));
  };
  switch (r.kind) {
  case kIntOrNull:
    return v.empty() || holds({kInt, r.lo, r.hi}, v);
  case kInt:
    return !v.empty() && all("0123456789") && in(std::stoll(v));
  case kLetters:
    return all("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") && in(n);
  case kDigits:
    return all("0123456789") && in(n);
  case kFixed:
    return v == r.fixed;
  case kCents:
    return decimals(2);
  case kTenThousandths:
    return v.rfind("0.", 0) == 0 && decimals(4);
  case kZip:
    return n == 9 && all("0123456789") && v.substr(4) == "11111";
  case kStamp:
    return v == kLoad.timestamp;
  default:
    return v.empty() || v == kLoad.timestamp;
  }
}

const Rule kId{kInt, 1, 100000};
const Rule kWarehouse{kFixed, 0, 0, std::to_string(kW)};
const Rule kDistrict{kInt, 1, 10};
const std::vector<Rule> kAddress = {
    {kLetters, 10, 20}, {kLetters, 10, 20}, {kLetters, 10, 20}, {kLetters, 2, 2}, {kZip, 0, 0}};

std::vector<Rule> join(std::initializer_list<std::vector<Rule>> parts) {
  std::vector<Rule> all;
  for (const auto &p : parts) {
    all.insert(all.end(), p.begin(), p.end());
  }
  return all;
}

struct TableRules {
  int table;
  int64_t rows;
  std::vector<Rule> columns;
};

const std::vector<TableRules> &all_rules() {
  static const std::vector<TableRules> rules = {
      {TPCC_WAREHOUSE, 1,
       join({{kWarehouse, {kLetters, 6, 10}},
             kAddress,
             {{kTenThousandths, 0, 2000}, {kFixed, 0, 0, "300000.00"}}})},
      {TPCC_DISTRICT, 10,
       join({{kDistrict, kWarehouse, {kLetters, 6, 10}},
             kAddress,
             {{kTenThousandths, 0, 2000}, {kFixed, 0, 0, "30000.00"}, {kFixed, 0, 0, "3001"}}})},
      {TPCC_CUSTOMER, 30000,
       join({{{kInt, 1, 3000},
              kDistrict,
              kWarehouse,
              {kLetters, 8, 16},
              {kFixed, 0, 0, "OE"},
              {kLetters, 9, 15}},
             kAddress,
             {{kDigits, 16, 16},
              {kStamp, 0, 0},
              {kLetters, 2, 2},
              {kFixed, 0, 0, "50000.00"},
              {kTenThousandths, 0, 5000},
              {kFixed, 0, 0, "-10.00"},
              {kFixed, 0, 0, "10.00"},
              {kFixed, 0, 0, "1"},
              {kFixed, 0, 0, "0"},
              {kLetters, 300, 500}}})},
      {TPCC_HISTORY,
       30000,
       {{kInt, 1, 3000},
        kDistrict,
        kWarehouse,
        kDistrict,
        kWarehouse,
        {kStamp, 0, 0},
        {kFixed, 0, 0, "10.00"},
        {kLetters, 12, 24}}},
      {TPCC_ORDERS,
       30000,
       {{kInt, 1, 3000},
        kDistrict,
        kWarehouse,
        {kInt, 1, 3000},
        {kStamp, 0, 0},
        {kIntOrNull, 1, 10},
        {kInt, 5, 15},
        {kFixed, 0, 0, "1"}}},
      {TPCC_NEW_ORDER, 9000, {{kInt, 2101, 3000}, kDistrict, kWarehouse}},
      {TPCC_ORDER_LINE,
       -1,
       {{kInt, 1, 3000},
        kDistrict,
        kWarehouse,
        {kInt, 1, 15},
        kId,
        kWarehouse,
        {kStampOrNull, 0, 0},
        {kFixed, 0, 0, "5"},
        {kCents, 0, 999999},
        {kLetters, 24, 24}}},
      {TPCC_ITEM,
       100000,
       {kId, {kInt, 1, 10000}, {kLetters, 14, 24}, {kCents, 100, 10000}, {kLetters, 26, 50}}},
      {TPCC_STOCK, 100000,
       join({{kId, kWarehouse, {kInt, 10, 100}},
             std::vector<Rule>(10, {kLetters, 24, 24}),
             {{kFixed, 0, 0, "0"}, {kFixed, 0, 0, "0"}, {kFixed, 0, 0, "0"}, {kLetters, 26, 50}}})},
  };
  return rules;
}

TEST(Population, EveryColumnFollowsItsRule) {
  for (const TableRules &t : all_rules()) {
    SCOPED_TRACE(TpccTableName(t.table));
    const std::vector<Row> rows = table_rows(t.table);
    if (t.rows >= 0) {
      ASSERT_EQ(static_cast<int64_t>(rows.size()), t.rows);
      ASSERT_EQ(TpccTableRows(t.table), t.rows);
    }
    for (size_t i = 0; i < rows.size(); ++i) {
      ASSERT_EQ(rows[i].size(), t.columns.size()) << "row " << i;
      for (size_t c = 0; c < t.columns.size(); ++c) {
        ASSERT_TRUE(holds(t.columns[c], rows[i][c]))
            << "row " << i << " column " << c << ": '" << rows[i][c] << "'";
      }
    }
  }
}

TEST(Population, TheRulesAcrossRowsHold) {
  const auto customers = table_rows(TPCC_CUSTOMER);
  std::map<std::string, int> bad_credit;
  char name[16];
  for (size_t i = 0; i < customers.size(); ++i) {
    const Row &c = customers[i];
    ASSERT_EQ(c[0], std::to_string(i % 3000 + 1)); // primary-key order
    const int id = std::stoi(c[0]);
    if (id <= 1000) {
      ASSERT_EQ(c[5], Lastname(id - 1, name));
    }
    bad_credit[c[1]] += c[13] == "BC" ? 1 : 0;
    ASSERT_TRUE(c[13] == "BC" || c[13] == "GC");
  }
  for (const auto &[district, count] : bad_credit) {
    EXPECT_EQ(count, 300) << "district " << district;
  }
  // ORIGINAL on exactly 10% of the items and of a warehouse's stock.
  for (const auto &[table, column] : {std::pair{TPCC_ITEM, 4}, std::pair{TPCC_STOCK, 16}}) {
    int original = 0;
    for (const Row &r : table_rows(table)) {
      original += r[static_cast<size_t>(column)].find("ORIGINAL") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(original, 10000) << TpccTableName(table);
  }
  // O_C_ID a permutation per district; carrier, delivery and amount by O_ID.
  const auto orders = table_rows(TPCC_ORDERS);
  std::map<std::string, std::set<std::string>> customers_of;
  std::map<std::string, int> lines_of;
  for (const Row &o : orders) {
    customers_of[o[1]].insert(o[3]);
    ASSERT_EQ(o[5].empty(), std::stoi(o[0]) >= 2101);
    lines_of[o[1] + "/" + o[0]] = std::stoi(o[6]);
  }
  for (const auto &[district, ids] : customers_of) {
    EXPECT_EQ(ids.size(), 3000U) << "district " << district;
  }
  std::map<std::string, int> counted;
  for (const Row &l : table_rows(TPCC_ORDER_LINE)) {
    const bool delivered = std::stoi(l[0]) < 2101;
    ASSERT_EQ(l[6].empty(), !delivered);
    ASSERT_EQ(l[8] == "0.00", delivered);
    ASSERT_EQ(l[3], std::to_string(++counted[l[1] + "/" + l[0]]));
  }
  EXPECT_EQ(counted, lines_of);
}

// Text of the whole job written to a memory file.
std::string write_tables(const TpccLoad &load, int32_t first, int32_t last, int threads) {
  const int fd = memfd_create("tables", 0);
  TpccJob job{first, last, {}, threads, nullptr, nullptr};
  for (int &f : job.fd) {
    f = -1;
  }
  job.fd[TPCC_ITEM] = job.fd[TPCC_ORDER_LINE] = job.fd[TPCC_DISTRICT] = fd;
  int64_t rows[TPCC_TABLES];
  uint64_t bytes[TPCC_TABLES];
  int failed = 0;
  EXPECT_EQ(TpccWriteTables(&load, &job, rows, bytes, &failed), 0);
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR),
            static_cast<off_t>(bytes[TPCC_ITEM] + bytes[TPCC_ORDER_LINE] + bytes[TPCC_DISTRICT]));
  lseek(fd, 0, SEEK_SET);
  return read_all(fd);
}

TEST(Population, DependsOnTheLoadAloneNeverOnThreadsOrOrder) {
  // ITEM first, then per warehouse its tables in order, each in chunk order.
  std::string expected;
  for (int32_t c = 0; c < TpccChunkCount(TPCC_ITEM); ++c) {
    expected += chunk(kLoad, TPCC_ITEM, 0, c);
  }
  for (int32_t w = 2; w <= 4; ++w) {
    expected += chunk(kLoad, TPCC_DISTRICT, w, 0);
    std::string lines;
    for (int32_t c = TpccChunkCount(TPCC_ORDER_LINE) - 1; c >= 0; --c) { // made in reverse
      lines.insert(0, chunk(kLoad, TPCC_ORDER_LINE, w, c));
    }
    expected += lines;
  }
  for (const int threads : {1, 2, 5}) {
    EXPECT_EQ(write_tables(kLoad, 2, 4, threads), expected) << threads << " threads";
  }
  // Each part of the load changes the rows it should.
  TpccLoad other = kLoad;
  other.seed += 1;
  EXPECT_NE(chunk(other, TPCC_STOCK, kW, 0), chunk(kLoad, TPCC_STOCK, kW, 0));
  other = kLoad;
  other.c_load = 118;
  EXPECT_NE(chunk(other, TPCC_CUSTOMER, kW, 5), chunk(kLoad, TPCC_CUSTOMER, kW, 5));
  EXPECT_EQ(chunk(other, TPCC_STOCK, kW, 0), chunk(kLoad, TPCC_STOCK, kW, 0));
  EXPECT_NE(chunk(kLoad, TPCC_STOCK, kW + 1, 0), chunk(kLoad, TPCC_STOCK, kW, 0));
  std::strcpy(other.null_text, "NULL");
  EXPECT_NE(chunk(other, TPCC_ORDERS, kW, 0).find(",NULL,"), std::string::npos);
}

// The same load must give the same database from one release to the next:
// hosts that load parts of one database may run different builds.  These
// are the FNV-1a digests of each table of warehouse kW as the kit has made
// it since the generator was written; a change to any draw changes them.
TEST(Population, TheTextIsTheSameFromReleaseToRelease) {
  constexpr uint64_t kDigest[TPCC_TABLES] = {
      0xa0759d8120ecdce9ULL, 0xd02ac0d3c5093fd5ULL, 0xbd00bcce4eec38c1ULL,
      0xf434a44734d453c7ULL, 0x9963da1faf48c598ULL, 0x2ff2180ed1330ce7ULL,
      0x8df976d034af5430ULL, 0x580249698ca6ddd9ULL, 0x77e084a4935c6c27ULL};
  for (int table = 0; table < TPCC_TABLES; ++table) {
    uint64_t h = 14695981039346656037ULL;
    for (int32_t c = 0; c < TpccChunkCount(table); ++c) {
      for (const char ch : chunk(kLoad, table, kW, c)) {
        h = (h ^ static_cast<unsigned char>(ch)) * 1099511628211ULL;
      }
    }
    EXPECT_EQ(h, kDigest[table]) << TpccTableName(table);
  }
}

// ---- the command ----

namespace fs = std::filesystem;

struct Gen : ::testing::Test {
  void SetUp() override {
    char name[] = "/tmp/tpcc-gen-test-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir = name;
  }
  void TearDown() override { fs::remove_all(dir); }
  Outcome gen(std::vector<const char *> args, const ChildSetup &setup = {}) {
    args.insert(args.begin(), {"--quiet", "--timestamp", "2026-12-08 15:04:05"});
    return run(TPCC_GEN_PATH, args, setup);
  }
  std::vector<std::string> files() const {
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(dir)) {
      names.push_back(e.path().filename());
    }
    return names;
  }
  std::string dir;
};

TEST_F(Gen, BadInputIsAUsageErrorAndWritesNothing) {
  const std::string out = dir + "/db";
  const std::vector<std::vector<const char *>> cases = {
      {"-w", "0", "-o", out.c_str()},
      {"-w", "x", "-o", out.c_str()},
      {"-w", "2", "-o", out.c_str(), "--range", "2-3"},
      {"-w", "2", "-o", out.c_str(), "--range", "0-1"},
      {"-w", "2", "-o", out.c_str(), "--tables", "stock,orderz"},
      {"-w", "2", "-o", "-", "--tables", "stock,item"},
      {"-w", "2", "-o", "-"},
      {"-w", "2"},
      {"-w", "2", "-o", out.c_str(), "--c-load", "256"},
      {"-w", "2", "-o", out.c_str(), "--timestamp", "2026-13-01 00:00:00"},
      {"-w", "2", "-o", out.c_str(), "--null", "a,b"},
      {"-w", "2", "-o", out.c_str(), "--bogus"},
  };
  for (const auto &args : cases) {
    const Outcome r = gen(args);
    SCOPED_TRACE(r.err);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
    EXPECT_EQ(r.err.rfind("tpcc-gen: ", 0), 0U);
    EXPECT_FALSE(fs::exists(out));
  }
}

TEST_F(Gen, FailingFilesLeaveNothingThatLooksComplete) {
  // An existing file stays as it was without --force, and is replaced with it.
  { std::ofstream(dir + "/stock.csv") << "mine\n"; }
  const std::vector<const char *> args = {
      "-w", "1", "-o", dir.c_str(), "-t", "warehouse,stock", "--c-load", "117"};
  Outcome r = gen(args);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(dir + "/stock.csv: already exists"), std::string::npos) << r.err;
  EXPECT_EQ(files(), std::vector<std::string>{"stock.csv"});
  std::vector<const char *> forced = args;
  forced.push_back("--force");
  r = gen(forced);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "C-Load: 117\n");
  const TpccLoad made = {1, 117, "2026-12-08 15:04:05", ""};
  std::string stock;
  for (int32_t c = 0; c < TpccChunkCount(TPCC_STOCK); ++c) {
    stock += chunk(made, TPCC_STOCK, 1, c);
  }
  std::ifstream file(dir + "/stock.csv");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), stock);
  std::ifstream env(dir + "/load.env");
  const std::string recorded(std::istreambuf_iterator<char>(env), {});
  EXPECT_NE(recorded.find("\nstock_rows=100000\nstock_bytes=" + std::to_string(stock.size())),
            std::string::npos)
      << recorded;
  fs::remove_all(dir);
  fs::create_directory(dir);

  // A full disk: the file and the reason named, no file left at all.
  r = gen({"-w", "2", "-o", dir.c_str()}, [] {
    (void)signal(SIGXFSZ, SIG_IGN);
    const rlimit small = {1 << 20, 1 << 20};
    (void)setrlimit(RLIMIT_FSIZE, &small);
  });
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(".csv: File too large"), std::string::npos) << r.err;
  EXPECT_TRUE(files().empty());
  // A directory that cannot be made, and standard output that cannot take it.
  r = gen({"-w", "1", "-o", "/dev/null/db"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "tpcc-gen: /dev/null/db: Not a directory\n");
  r = gen({"-w", "1", "-o", "-", "-t", "district"}, [] {
    const int full = open("/dev/full", O_WRONLY);
    (void)dup2(full, STDOUT_FILENO);
  });
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "tpcc-gen: standard output: No space left on device\n");
}

} // namespace
