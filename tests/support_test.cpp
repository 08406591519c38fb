// The support module against the C library it is defined by: rand_r() for the
// random values, localtime_r() and strftime() for the timestamps.  The test
// binary interposes time(), localtime_r() and rand_r() (the module is linked
// in statically) to set the clock and to count conversions and draws.

#include "tpcc_reference.h"
#include <tpcc/shutdown_flag.h>
#include <tpcc/support.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {
thread_local bool fake_clock = false;
thread_local time_t fake_now = 0;
thread_local int conversions = 0;
thread_local bool announce_draws = false;

template <typename F>
F next_symbol(const char *name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}
} // namespace

extern "C" time_t time(time_t *clock) noexcept {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const time_t t = fake_clock ? fake_now : now.tv_sec;
  if (clock != nullptr) {
    *clock = t;
  }
  return t;
}

extern "C" struct tm *localtime_r(const time_t *clock, struct tm *out) noexcept {
  static const auto real = next_symbol<struct tm *(*)(const time_t *, struct tm *)>("localtime_r");
  ++conversions;
  return real(clock, out);
}

#ifdef TPCC_COVERAGE
// abort() skips the exit-time write of coverage counters: write them first.
extern "C" void __gcov_dump();
const bool coverage_survives_abort = [] {
  std::signal(SIGABRT, [](int) {
    __gcov_dump();
    std::signal(SIGABRT, SIG_DFL);
    std::raise(SIGABRT);
  });
  return true;
}();
#endif

extern "C" int rand_r(unsigned int *seed) noexcept {
  static const auto real = next_symbol<int (*)(unsigned int *)>("rand_r");
  if (announce_draws) {
    (void)std::fputs("draw\n", stderr);
  }
  return real(seed);
}

namespace {

struct Range {
  int32_t lo, hi;
};

constexpr Range kRanges[] = {
    {0, 0},        {7, 7},        {1, 3000},
    {0, 999},      {-5, 5},       {-3000, -1},
    {1, 100000},   {0, 1023},     {INT_MIN, INT_MAX},
    {INT_MIN, -1}, {-1, INT_MAX}, {INT_MIN + 1, INT_MAX},
};

TEST(RandomNumber, IsOneDrawReducedIntoTheRange) {
  for (const Range r : kRanges) {
    for (unsigned start : {0U, 1U, 42U, 0x9e3779b9U, UINT_MAX}) {
      unsigned seed = start;
      unsigned reference = start;
      for (int i = 0; i < 50; ++i) {
        const int32_t value = RandomNumber(&seed, r.lo, r.hi);
        ASSERT_EQ(value, reference_uniform(reference, r.lo, r.hi)) << r.lo << ".." << r.hi;
        ASSERT_EQ(seed, reference);
        ASSERT_TRUE(value >= r.lo && value <= r.hi);
      }
    }
  }
}

TEST(NURand, DrawsTheSmallRangeFirstThenTheLarge) {
  const int32_t As[] = {255, 1023, 8191};
  const uint32_t Cs[] = {0, 1, 259, 0x7fffffffU, 0xffffffffU};
  for (const int32_t A : As) {
    for (const uint32_t c : Cs) {
      C_255 = C_1023 = C_8191 = c;
      ASSERT_EQ(GetCValue(A), c);
      for (const Range r : kRanges) {
        unsigned seed = 12345U + static_cast<unsigned>(A);
        unsigned reference = seed;
        unsigned by_parts = seed;
        for (int i = 0; i < 50; ++i) {
          const int32_t value = NURand(&seed, A, r.lo, r.hi);
          ASSERT_EQ(value, reference_nurand(reference, A, r.lo, r.hi, c))
              << A << " " << c << " " << r.lo;
          ASSERT_EQ(seed, reference);
          RandomNumber(&by_parts, 0, A);
          RandomNumber(&by_parts, r.lo, r.hi);
          ASSERT_EQ(seed, by_parts);
        }
      }
    }
  }
  C_255 = 1;
  C_1023 = 2;
  C_8191 = 3;
}

TEST(NURand, UsesTheConstantsAsTheyStandNow) {
  EXPECT_EQ(GetCValue(255), 1U);
  EXPECT_EQ(GetCValue(1023), 2U);
  EXPECT_EQ(GetCValue(8191), 3U);
  unsigned seed = 7;
  unsigned parts = 7;
  const int32_t a = RandomNumber(&parts, 0, 1023);
  const int32_t u = RandomNumber(&parts, 1, 3000);
  EXPECT_EQ(NURand(&seed, 1023, 1, 3000), ((a | u) + 2) % 3000 + 1);
  C_1023 = 0;
  seed = 7;
  EXPECT_EQ(NURand(&seed, 1023, 1, 3000), (a | u) % 3000 + 1);
  C_1023 = 2;
}

TEST(MisuseDeathTest, EndsTheProcessBeforeAnyDraw) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  unsigned seed = 1;
  char name[16];
  const auto misuse = [&](auto call) {
    announce_draws = true; // a draw would add a line to the message
    call();
  };
  const auto aborts = ::testing::KilledBySignal(SIGABRT);
  EXPECT_EXIT(misuse([&] { NURand(&seed, 511, 1, 3000); }), aborts,
              "^NURand: unexpected value \\(511\\) of A used\n$");
  EXPECT_EXIT(misuse([&] { GetCValue(0); }), aborts,
              "^NURand: unexpected value \\(0\\) of A used\n$");
  EXPECT_EXIT(misuse([&] { NURand(&seed, 255, 10, 9); }), aborts,
              "^NURand: unexpected range \\(10, 9\\) used\n$");
  EXPECT_EXIT(misuse([&] { RandomNumber(&seed, 1, 0); }), aborts,
              "^RandomNumber: unexpected range \\(1, 0\\) used\n$");
  EXPECT_EXIT(misuse([&] { RandomNumber(&seed, INT_MAX, INT_MIN); }), aborts,
              "^RandomNumber: unexpected range \\(2147483647, -2147483648\\) used\n$");
  EXPECT_EXIT(misuse([&] { Lastname(1000, name); }), aborts,
              "^Lastname: unexpected value \\(1000\\) of num used\n$");
  EXPECT_EXIT(misuse([&] { Lastname(-1, name); }), aborts,
              "^Lastname: unexpected value \\(-1\\) of num used\n$");
  EXPECT_EXIT(misuse([&] { SetRunCValues(&seed, 256); }), aborts,
              "^SetRunCValues: unexpected value \\(256\\) of c_load used\n$");
  EXPECT_EXIT(misuse([] { ClearShutdownFlag(nullptr); }), aborts,
              "^ClearShutdownFlag: unexpected flag \\(NULL\\) used\n$");
}

TEST(CValues, LoadValuesAreDrawnInOrderFromTheSeed) {
  for (const unsigned start : {1U, 42U, 0x9e3779b9U}) {
    unsigned seed = start;
    unsigned reference = start;
    SetLoadCValues(&seed);
    EXPECT_EQ(C_255, static_cast<uint32_t>(RandomNumber(&reference, 0, 255)));
    EXPECT_EQ(C_1023, static_cast<uint32_t>(RandomNumber(&reference, 0, 1023)));
    EXPECT_EQ(C_8191, static_cast<uint32_t>(RandomNumber(&reference, 0, 8191)));
    EXPECT_EQ(seed, reference);
  }
  C_255 = 1;
  C_1023 = 2;
  C_8191 = 3;
}

// TPC-C 2.1.6.1: a run's C for last names lies 65 to 119 from the load's,
// neither 96 nor 112.  Every allowed value is drawn, by index, in order.
TEST(CValues, RunValuesKeepTheAuditedDistanceFromTheLoadValue) {
  for (uint32_t c_load = 0; c_load <= 256; ++c_load) {
    std::vector<uint32_t> allowed;
    for (uint32_t c_run = 0; c_run <= 255 && c_load <= 255; ++c_run) {
      for (const uint32_t delta : {c_load - c_run, c_run - c_load}) {
        if (delta >= 65 && delta <= 119 && delta != 96 && delta != 112) {
          allowed.push_back(c_run);
        }
      }
    }
    for (uint32_t c_run = 0; c_run <= 300; ++c_run) {
      const bool valid = std::find(allowed.begin(), allowed.end(), c_run) != allowed.end();
      ASSERT_EQ(IsValidRunCValue(c_load, c_run), valid ? 1 : 0) << c_load << " " << c_run;
    }
    if (c_load > 255) {
      break;
    }
    std::set<uint32_t> drawn;
    unsigned seed = c_load;
    unsigned reference = c_load;
    const auto last = static_cast<int32_t>(allowed.size()) - 1;
    for (int i = 0; i < 1500; ++i) {
      SetRunCValues(&seed, c_load);
      ASSERT_EQ(C_255, allowed[static_cast<std::size_t>(RandomNumber(&reference, 0, last))]);
      ASSERT_EQ(C_1023, static_cast<uint32_t>(RandomNumber(&reference, 0, 1023)));
      ASSERT_EQ(C_8191, static_cast<uint32_t>(RandomNumber(&reference, 0, 8191)));
      drawn.insert(C_255);
    }
    EXPECT_EQ(drawn.size(), allowed.size()) << c_load;
  }
  C_255 = 1;
  C_1023 = 2;
  C_8191 = 3;
}

TEST(Lastname, JoinsOneSyllablePerDigit) {
  const std::pair<int32_t, const char *> known[] = {{0, "BARBARBAR"},
                                                    {371, "PRICALLYOUGHT"},
                                                    {999, "EINGEINGEING"},
                                                    {178, "OUGHTCALLYATION"},
                                                    {7, "BARBARCALLY"}};
  for (const auto &[num, text] : known) {
    char name[16];
    EXPECT_STREQ(Lastname(num, name), text);
  }
  for (int32_t num = 0; num < 1000; ++num) {
    const std::string expected =
        std::string(gName[num / 100]) + gName[num / 10 % 10] + gName[num % 10];
    std::array<char, 24> buf;
    buf.fill('#');
    ASSERT_EQ(Lastname(num, buf.data()), buf.data());
    ASSERT_EQ(std::string(buf.data()), expected);
    for (std::size_t i = expected.size() + 1; i < buf.size(); ++i) {
      ASSERT_EQ(buf[i], '#') << num << ": wrote past the NUL";
    }
  }
}

std::string reference_timestamp(time_t t) {
  tm local{};
  localtime_r(&t, &local);
  char text[32];
  (void)std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

std::string timestamp_at(time_t t, std::size_t len = 19) {
  fake_clock = true;
  fake_now = t;
  std::vector<char> buf(len + 1);
  const int n = gettimestamp(buf.data(), len);
  fake_clock = false;
  // A failed conversion shows as <...>, the text it left in buf.
  return n < 0 ? std::string("<").append(buf.data()).append(">") : std::string(buf.data());
}

class Timestamp : public ::testing::Test {
protected:
  void SetUp() override {
    setenv("TZ", "UTC0", 1);
    tzset();
  }
  void TearDown() override {
    unsetenv("TZ");
    tzset();
  }
};

TEST_F(Timestamp, FormatsTheLocalTime) {
  const std::pair<time_t, const char *> known[] = {
      {0, "1970-01-01 00:00:00"},
      {1709802301, "2024-03-07 09:05:01"},
      {951782400, "2000-02-29 00:00:00"},
      {253402300799, "9999-12-31 23:59:59"},
      {253402300800, "10000-01-01 00:00:00"},
      {-62135596800, "0001-01-01 00:00:00"},
      {-62167219201, "-001-12-31 23:59:59"},
      {INT64_MAX, "<>"},
      {INT64_MIN, "<>"},
  };
  for (const auto &[t, text] : known) {
    EXPECT_EQ(timestamp_at(t, 31), text) << t;
  }
  std::thread([] {
    EXPECT_EQ(timestamp_at(INT64_MIN, 31), "<>") << "a thread's first call";
  }).join();
  setenv("TZ", "IST-5:30", 1);
  tzset();
  for (const time_t t : {time_t{0}, time_t{1709802301}, time_t{1735689599}}) {
    EXPECT_EQ(timestamp_at(t), reference_timestamp(t)) << t;
  }
}

TEST_F(Timestamp, CutsTheTextAtLen) {
  const std::string whole = "2024-03-07 09:05:01";
  for (std::size_t len = 0; len < 40; ++len) {
    fake_clock = true;
    fake_now = 1709802301;
    std::array<char, 48> buf;
    buf.fill('#');
    EXPECT_EQ(gettimestamp(buf.data(), len), 19);
    fake_clock = false;
    const std::size_t written = std::min(len, whole.size());
    EXPECT_EQ(std::string(buf.data()), whole.substr(0, written)) << len;
    EXPECT_EQ(buf[written + 1], '#') << len << ": wrote past the NUL";
  }
  std::array<char, 20> buf;
  fake_clock = true;
  EXPECT_EQ(gettimestamp(buf.data(), SIZE_MAX), 19);
  fake_clock = false;
  EXPECT_EQ(std::string(buf.data()), whole);
  // Without a local time the text is "": only its NUL is written, whatever
  // len, by the call that converts and by the next, which finds it cached.
  for (int call = 0; call < 2; ++call) {
    std::array<char, 24> none;
    none.fill('#');
    fake_clock = true;
    fake_now = INT64_MAX;
    EXPECT_EQ(gettimestamp(none.data(), SIZE_MAX), -1);
    fake_clock = false;
    EXPECT_EQ(none[0], '\0');
    EXPECT_EQ(none[1], '#') << "call " << call;
  }
}

TEST_F(Timestamp, ConvertsOncePerSecondAndThread) {
  constexpr time_t start = 1709802301;
  const std::pair<time_t, int> calls[] = {{start, 1},     {start, 0}, {start + 1, 1},
                                          {start + 1, 0}, {start, 1}, {start, 0}};
  timestamp_at(start - 100);
  for (const auto &[t, converts] : calls) {
    conversions = 0;
    EXPECT_EQ(timestamp_at(t), reference_timestamp(t));
    EXPECT_EQ(conversions, converts + 1) << t; // + 1 for the reference
  }
  std::thread([] {
    EXPECT_EQ(timestamp_at(start), "2024-03-07 09:05:01");
    EXPECT_EQ(conversions, 1) << "the first call of a thread converts";
  }).join();
}

// Threads with seeds, clocks and numbers of their own give exactly what the
// same calls give on one thread.
TEST_F(Timestamp, ThreadsShareNoResults) {
  constexpr int kThreads = 8;
  constexpr int kCalls = 4000;
  struct Results {
    std::vector<int32_t> numbers;
    std::vector<std::string> texts;
  };
  const auto work = [](int id, Results &out) {
    unsigned seed = static_cast<unsigned>(id) * 7919U;
    char name[16];
    for (int i = 0; i < kCalls; ++i) {
      out.numbers.push_back(NURand(&seed, 1023, 1, 3000));
      out.numbers.push_back(RandomNumber(&seed, -id, i));
      out.texts.emplace_back(Lastname((id * 131 + i) % 1000, name));
      out.texts.push_back(timestamp_at(1700000000 + id * 100000 + i / 16));
    }
  };
  std::vector<Results> expected(kThreads);
  std::vector<Results> actual(kThreads);
  for (int id = 0; id < kThreads; ++id) {
    work(id, expected[static_cast<std::size_t>(id)]);
  }
  std::vector<std::thread> threads;
  for (int id = 0; id < kThreads; ++id) {
    threads.emplace_back(work, id, std::ref(actual[static_cast<std::size_t>(id)]));
  }
  for (std::thread &t : threads) {
    t.join();
  }
  for (std::size_t id = 0; id < kThreads; ++id) {
    EXPECT_EQ(actual[id].numbers, expected[id].numbers) << id;
    EXPECT_EQ(actual[id].texts, expected[id].texts) << id;
  }
}

TEST(TimespecDiff, MeasuresMicrosecondsLeftToRight) {
  struct Case {
    timespec start, end;
    double diff, whole_seconds;
  };
  const Case cases[] = {
      {{5, 900000000}, {6, 100000000}, 200000.0, 1000000.0},
      {{6, 100000000}, {5, 900000000}, -200000.0, -1000000.0},
      {{7, 500000000}, {7, 500000000}, 0.0, 0.0},
      {{7, 1}, {7, 999999999}, 999999.9979999998, 0.0},
      {{3280387012, 273878287}, {3280387012, 531969374}, 258091.213, 0.0},
      {{7563276100, 507069464}, {7563276103, 846885253}, 3339815.536, 3000000.0},
      {{123456789, 987654321}, {1700000000, 123456789}, 1576543210135802.5, 1576543211000000.0},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(GetTimespecDiff(&c.start, &c.end), c.diff) << c.start.tv_sec << " " << c.end.tv_sec;
    EXPECT_EQ(GetTimespecDiff2(&c.start, &c.end), c.whole_seconds);
  }
}

} // namespace
