// The initial TPC-C database as CSV text: the rows of each table chunk, and
// the threads that write whole tables in order.  See population.h for the
// contract of each function.

#include "population.h"

#include "misuse.h"

#include <bit>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include <pthread.h>
#include <unistd.h>

namespace {

using namespace tpcc_detail; // the library's private helpers

constexpr int32_t kItems = 100000;
constexpr int32_t kItemsPerChunk = 10000;
constexpr int32_t kDistricts = 10;
constexpr int32_t kCustomers = 3000; // per district, as are the orders
constexpr int32_t kFirstNewOrder = 2101;
constexpr int32_t kOriginalItems = kItems / 10;
constexpr int32_t kBadCredit = kCustomers / 10;
constexpr int kTimestampLength = 19;

constexpr const char *kTableNames[TPCC_TABLES] = {"warehouse",  "district", "customer",
                                                  "history",    "orders",   "new_order",
                                                  "order_line", "item",     "stock"};

// The most bytes one row can take, with the widest warehouse number and NULL
// text; ORDER-LINE counts the 15 lines of one order as its row.
constexpr size_t kRowBound[TPCC_TABLES] = {160, 176, 768, 128, 128, 40, size_t{15} * 128, 128, 384};
constexpr int32_t kChunkRows[TPCC_TABLES] = {1,          kDistricts,     kCustomers,
                                             kCustomers, kCustomers,     900,
                                             kCustomers, kItemsPerChunk, kItemsPerChunk};
constexpr int32_t kChunks[TPCC_TABLES] = {1,
                                          1,
                                          kDistricts,
                                          kDistricts,
                                          kDistricts,
                                          kDistricts,
                                          kDistricts,
                                          kItems / kItemsPerChunk,
                                          kItems / kItemsPerChunk};

// Each random decision of a chunk comes from a stream of its own, so that a
// table's rows never depend on another table's.  ORDERS and ORDER-LINE both
// read O_OL_CNT from the order-count stream of ORDERS.
enum Purpose : uint64_t { kRowValues = 1, kSelection, kOrderLineCount, kPermutation };

// SplitMix64: 64 bits of state, passes BigCrush, a handful of operations.
struct Rng {
  uint64_t state;
  static constexpr uint64_t kGamma = 0x9e3779b97f4a7c15ULL;
  uint64_t next() { return scramble(state += kGamma); }
  // What the k-th next() from here returns, without drawing it.
  uint64_t ahead(uint64_t k) const { return scramble(state + k * kGamma); }
  void skip(uint64_t k) { state += k * kGamma; }
  static uint64_t scramble(uint64_t z) {
    z = (z ^ (z >> 30U)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27U)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31U);
  }
  // Uniform in [0, n), n >= 1, without bias (Lemire's multiply and reject).
  uint32_t below(uint32_t n) {
    uint64_t m = (next() >> 32U) * n;
    if (static_cast<uint32_t>(m) < n) {
      const uint32_t floor = (0U - n) % n;
      while (static_cast<uint32_t>(m) < floor) {
        m = (next() >> 32U) * n;
      }
    }
    return static_cast<uint32_t>(m >> 32U);
  }
  int32_t uniform(int32_t lo, int32_t hi) {
    return lo + static_cast<int32_t>(below(static_cast<uint32_t>(hi - lo + 1)));
  }
};

uint64_t mix(uint64_t z) {
  return Rng{z}.next();
}

Rng stream(const TpccLoad &load, int table, int32_t w_id, int32_t chunk, Purpose purpose) {
  uint64_t h = mix(load.seed);
  for (const uint64_t part : {static_cast<uint64_t>(table), static_cast<uint64_t>(w_id),
                              static_cast<uint64_t>(chunk), static_cast<uint64_t>(purpose)}) {
    h = mix(h ^ part);
  }
  return Rng{h};
}

constexpr const char *kSyllables[10] = {"BAR", "OUGHT", "ABLE",  "PRI",   "PRES",
                                        "ESE", "ANTI",  "CALLY", "ATION", "EING"};

// One chunk's text as it is made: values appended at p, random ones drawn
// from rng, random letters and digits taken from a pool refilled in bulk.
class Text {
public:
  Text(char *out, Rng rng, const TpccLoad &load) : p_(out), rng_(rng), load_(load) {}

  char *end() const { return p_; }
  Rng &rng() { return rng_; }

  void integer(int32_t value) { // value >= 0
    p_ = std::to_chars(p_, p_ + 10, static_cast<uint32_t>(value)).ptr;
    *p_++ = ',';
  }
  void field(const char *text, size_t n) {
    std::memcpy(p_, text, n);
    p_ += n;
    *p_++ = ',';
  }
  void literal(const char *text) { field(text, std::strlen(text)); }
  void timestamp() { field(load_.timestamp, kTimestampLength); }
  void null() { literal(load_.null_text); }
  // hundredths as "d.dd"
  void money(uint32_t cents) {
    integer(static_cast<int32_t>(cents / 100));
    p_[-1] = '.';
    zero_padded(cents % 100, 2);
    *p_++ = ',';
  }
  // ten-thousandths below 1 as "0.dddd"
  void fraction(uint32_t v) {
    *p_++ = '0';
    *p_++ = '.';
    zero_padded(v, 4);
    *p_++ = ',';
  }
  // Letters and digits, length uniform in [lo, hi]; returns where they start.
  char *letters(int32_t lo, int32_t hi) {
    const auto n = static_cast<size_t>(lo == hi ? lo : rng_.uniform(lo, hi));
    if (fill_ - pos_ < n) {
      refill();
    }
    char *start = p_;
    std::memcpy(p_, pool_ + pos_, n);
    pos_ += n;
    p_ += n;
    *p_++ = ',';
    return start;
  }
  // The same, with "ORIGINAL" over 8 of them at a random place when original.
  void letters_maybe_original(int32_t lo, int32_t hi, bool original) {
    char *start = letters(lo, hi);
    if (original) {
      const auto n = static_cast<int32_t>(p_ - 1 - start);
      // NOLINTNEXTLINE(bugprone-not-null-terminated-result): 8 letters inside the field
      std::memcpy(start + rng_.uniform(0, n - 8), "ORIGINAL", 8);
    }
  }
  void digits(int n) {
    for (; n > 4; n -= 4) {
      zero_padded(rng_.below(10000), 4);
    }
    zero_padded(rng_.below(kPowersOfTen[n]), n);
    *p_++ = ',';
  }
  void zip() {
    zero_padded(rng_.below(10000), 4);
    field("11111", 5);
  }
  void address() { // street 1, street 2, city, state, zip
    letters(10, 20);
    letters(10, 20);
    letters(10, 20);
    letters(2, 2);
    zip();
  }
  void last_name(int32_t num) {
    for (const int32_t digit : {num / 100, num / 10 % 10, num % 10}) {
      const char *s = kSyllables[digit];
      const size_t n = std::strlen(s);
      std::memcpy(p_, s, n);
      p_ += n;
    }
    *p_++ = ',';
  }
  void end_row() { p_[-1] = '\n'; }

private:
  static constexpr uint32_t kPowersOfTen[5] = {1, 10, 100, 1000, 10000};
  static constexpr size_t kPool = 4096;

  void zero_padded(uint32_t v, int n) {
    for (int i = n - 1; i >= 0; --i) {
      p_[i] = static_cast<char>('0' + v % 10);
      v /= 10;
    }
    p_ += n;
  }
  // Keeps what is left and draws words until the pool is full, each word's
  // bytes in order from the lowest: the 248 = 4 x 62 values below 248 map
  // evenly onto "0-9A-Za-z" (the byte modulo 62); the other 8 are drawn
  // again.  Two words at a time become letters;
  // they are appended one by one, so that the pool takes exactly the words
  // a byte-by-byte fill would and leaves the stream where that would.
  void refill() {
    const size_t kept = fill_ - pos_;
    std::memmove(pool_, pool_ + pos_, kept);
    size_t n = kept;
    while (n < kPool) {
      const Letters l = letters_of(rng_.ahead(1), rng_.ahead(2));
      n = append(n, l.chars[0], l.redraw[0]);
      if (n >= kPool) {
        rng_.skip(1);
        break;
      }
      n = append(n, l.chars[1], l.redraw[1]);
      rng_.skip(2);
    }
    fill_ = n;
    pos_ = 0;
  }

  // Per byte of two words, lowest first: its letter or digit, and 0x80 where
  // it is to be drawn again.  Sixteen bytes at once in vector registers.
  struct Letters {
    uint64_t chars[2], redraw[2];
  };
  static Letters letters_of(uint64_t first, uint64_t second) {
    using Words = uint64_t __attribute__((vector_size(16)));
    using Bytes = uint8_t __attribute__((vector_size(16)));
    using Signed = int8_t __attribute__((vector_size(16)));
    const auto b = reinterpret_cast<Bytes>(Words{lowest_first(first), lowest_first(second)});
    Bytes x = b;
    constexpr uint8_t kMultiples[] = {186, 124, 62};
    for (const uint8_t m : kMultiples) { // x % 62 for x < 248: less than x unless it wraps
      const Bytes less = x - m;
      x = less < x ? less : x;
    }
    const auto over = [&x](int8_t t, uint8_t add) { // x < 62: signed compares are exact
      return reinterpret_cast<Bytes>(reinterpret_cast<Signed>(x) > t) & add;
    };
    x += '0' + over(9, 'A' - '0' - 10) + over(35, 'a' - 'A' - 26);
    const auto chars = reinterpret_cast<Words>(x);
    const auto redraw = reinterpret_cast<Words>(reinterpret_cast<Bytes>((b & 0xf8U) == 0xf8U) &
                                                0x80U); // 248..255: top five bits set
    return {{lowest_first(chars[0]), lowest_first(chars[1])},
            {lowest_first(redraw[0]), lowest_first(redraw[1])}};
  }
  // A word whose lowest byte is the first in memory, whatever the machine's order.
  static uint64_t lowest_first(uint64_t w) {
    return std::endian::native == std::endian::little ? w : __builtin_bswap64(w);
  }
  // Appends at pool_ + n the chars whose redraw bit is clear; returns the new n.
  // One byte to drop (a word in five) is cut out without a branch.
  size_t append(size_t n, uint64_t chars, uint64_t redraw) {
    if ((redraw & (redraw - 1)) != 0) { // two or more: one word in forty
      for (int i = 0; i < 8; ++i, chars >>= 8U, redraw >>= 8U) {
        pool_[n] = static_cast<char>(chars & 0xffU);
        n += (redraw & 0x80U) == 0 ? 1 : 0;
      }
      return n;
    }
    const uint64_t before = ((redraw & (0 - redraw)) >> 7U) - 1; // the bytes before the one dropped
    const uint64_t kept = lowest_first((chars & before) | ((chars >> 8U) & ~before));
    std::memcpy(pool_ + n, &kept, sizeof kept);
    return n + (redraw == 0 ? 8 : 7);
  }

  char *p_;
  Rng rng_;
  const TpccLoad &load_;
  size_t pos_ = 0;
  size_t fill_ = 0;
  char pool_[kPool + 8]{};
};

// A uniformly random choice of k of the n numbers 0..n-1 (Floyd's algorithm).
class Selection {
public:
  Selection(Rng rng, int32_t k, int32_t n) {
    std::memset(bits_, 0, sizeof bits_);
    for (int32_t j = n - k; j < n; ++j) {
      const auto t = static_cast<int32_t>(rng.below(static_cast<uint32_t>(j) + 1));
      set(contains(t) ? j : t);
    }
  }
  bool contains(int32_t i) const {
    return ((bits_[static_cast<uint32_t>(i) / 64U] >> (static_cast<uint32_t>(i) % 64U)) & 1U) != 0;
  }

private:
  void set(int32_t i) {
    bits_[static_cast<uint32_t>(i) / 64U] |= 1ULL << (static_cast<uint32_t>(i) % 64U);
  }
  uint64_t bits_[(kItems + 63) / 64];
};

// NURand(255, 0, 999) with the load's C: the C_LAST of customers 1,001 on.
int32_t load_last_name(Rng &rng, uint32_t c_load) {
  const auto a = static_cast<uint32_t>(rng.uniform(0, 255));
  const auto u = static_cast<uint32_t>(rng.uniform(0, 999));
  return static_cast<int32_t>(((a | u) + c_load) % 1000);
}

void warehouse_rows(Text &t, int32_t w) {
  t.integer(w);
  t.letters(6, 10);
  t.address();
  t.fraction(t.rng().below(2001));
  t.literal("300000.00");
  t.end_row();
}

void district_rows(Text &t, int32_t w) {
  for (int32_t d = 1; d <= kDistricts; ++d) {
    t.integer(d);
    t.integer(w);
    t.letters(6, 10);
    t.address();
    t.fraction(t.rng().below(2001));
    t.literal("30000.00");
    t.literal("3001");
    t.end_row();
  }
}

void customer_rows(Text &t, const TpccLoad &load, int32_t w, int32_t d) {
  const Selection bad_credit(stream(load, TPCC_CUSTOMER, w, d, kSelection), kBadCredit, kCustomers);
  for (int32_t c = 1; c <= kCustomers; ++c) {
    t.integer(c);
    t.integer(d);
    t.integer(w);
    t.letters(8, 16);
    t.field("OE", 2);
    t.last_name(c <= 1000 ? c - 1 : load_last_name(t.rng(), load.c_load));
    t.address();
    t.digits(16);
    t.timestamp();
    t.field(bad_credit.contains(c - 1) ? "BC" : "GC", 2);
    t.literal("50000.00");
    t.fraction(t.rng().below(5001));
    t.literal("-10.00");
    t.literal("10.00");
    t.literal("1");
    t.literal("0");
    t.letters(300, 500);
    t.end_row();
  }
}

void history_rows(Text &t, int32_t w, int32_t d) {
  for (int32_t c = 1; c <= kCustomers; ++c) {
    for (const int32_t id : {c, d, w, d, w}) {
      t.integer(id);
    }
    t.timestamp();
    t.literal("10.00");
    t.letters(12, 24);
    t.end_row();
  }
}

void order_rows(Text &t, const TpccLoad &load, int32_t w, int32_t d) {
  // O_C_ID: a fresh permutation of the district's customers (Fisher-Yates).
  int16_t customer[kCustomers];
  for (int32_t i = 0; i < kCustomers; ++i) {
    customer[i] = static_cast<int16_t>(i + 1);
  }
  Rng shuffle = stream(load, TPCC_ORDERS, w, d, kPermutation);
  for (int32_t i = kCustomers - 1; i > 0; --i) {
    const uint32_t j = shuffle.below(static_cast<uint32_t>(i) + 1);
    const int16_t c = customer[i];
    customer[i] = customer[j];
    customer[j] = c;
  }
  Rng line_count = stream(load, TPCC_ORDERS, w, d, kOrderLineCount);
  for (int32_t o = 1; o <= kCustomers; ++o) {
    t.integer(o);
    t.integer(d);
    t.integer(w);
    t.integer(customer[o - 1]);
    t.timestamp();
    if (o < kFirstNewOrder) {
      t.integer(t.rng().uniform(1, 10));
    } else {
      t.null();
    }
    t.integer(line_count.uniform(5, 15));
    t.literal("1");
    t.end_row();
  }
}

int64_t new_order_rows(Text &t, int32_t w, int32_t d) {
  for (int32_t o = kFirstNewOrder; o <= kCustomers; ++o) {
    t.integer(o);
    t.integer(d);
    t.integer(w);
    t.end_row();
  }
  return kCustomers - kFirstNewOrder + 1;
}

int64_t order_line_rows(Text &t, const TpccLoad &load, int32_t w, int32_t d) {
  Rng line_count = stream(load, TPCC_ORDERS, w, d, kOrderLineCount);
  int64_t rows = 0;
  for (int32_t o = 1; o <= kCustomers; ++o) {
    const int32_t lines = line_count.uniform(5, 15);
    const bool delivered = o < kFirstNewOrder;
    for (int32_t number = 1; number <= lines; ++number) {
      for (const int32_t id : {o, d, w, number}) {
        t.integer(id);
      }
      t.integer(t.rng().uniform(1, kItems));
      t.integer(w);
      if (delivered) {
        t.timestamp();
      } else {
        t.null();
      }
      t.literal("5");
      t.money(delivered ? 0 : static_cast<uint32_t>(t.rng().uniform(1, 999999)));
      t.letters(24, 24);
      t.end_row();
    }
    rows += lines;
  }
  return rows;
}

void item_rows(Text &t, const TpccLoad &load, int32_t chunk) {
  const Selection original(stream(load, TPCC_ITEM, 0, 0, kSelection), kOriginalItems, kItems);
  const int32_t first = chunk * kItemsPerChunk;
  for (int32_t i = first; i < first + kItemsPerChunk; ++i) {
    t.integer(i + 1);
    t.integer(t.rng().uniform(1, 10000));
    t.letters(14, 24);
    t.money(static_cast<uint32_t>(t.rng().uniform(100, 10000)));
    t.letters_maybe_original(26, 50, original.contains(i));
    t.end_row();
  }
}

void stock_rows(Text &t, const TpccLoad &load, int32_t w, int32_t chunk) {
  const Selection original(stream(load, TPCC_STOCK, w, 0, kSelection), kOriginalItems, kItems);
  const int32_t first = chunk * kItemsPerChunk;
  for (int32_t i = first; i < first + kItemsPerChunk; ++i) {
    t.integer(i + 1);
    t.integer(w);
    t.integer(t.rng().uniform(10, 100));
    for (int dist = 0; dist < 10; ++dist) {
      t.letters(24, 24);
    }
    t.field("0,0,0", 5);
    t.letters_maybe_original(26, 50, original.contains(i));
    t.end_row();
  }
}

// The whole of a load's text fields is checked where it enters.
void check_load(const char *function, const TpccLoad &load) {
  if (load.c_load > 255) {
    die_bad_value(function, "c_load", load.c_load);
  }
  if (TpccIsTimestamp(load.timestamp) == 0) {
    die_bad_value(function, "timestamp length",
                  static_cast<long long>(strnlen(load.timestamp, sizeof load.timestamp)));
  }
  const size_t n = strnlen(load.null_text, sizeof load.null_text);
  if (n == sizeof load.null_text || std::strpbrk(load.null_text, ",\"\\\r\n") != nullptr) {
    die_bad_value(function, "null_text length", static_cast<long long>(n));
  }
}

void check_table(const char *function, int table) {
  if (table < 0 || table >= TPCC_TABLES) {
    die_bad_value(function, "table", table);
  }
}

int64_t generate(Text &t, const TpccLoad &load, int table, int32_t w, int32_t chunk) {
  const int32_t d = chunk + 1;
  switch (table) {
  case TPCC_WAREHOUSE:
    warehouse_rows(t, w);
    break;
  case TPCC_DISTRICT:
    district_rows(t, w);
    break;
  case TPCC_CUSTOMER:
    customer_rows(t, load, w, d);
    break;
  case TPCC_HISTORY:
    history_rows(t, w, d);
    break;
  case TPCC_ORDERS:
    order_rows(t, load, w, d);
    break;
  case TPCC_NEW_ORDER:
    return new_order_rows(t, w, d);
  case TPCC_ORDER_LINE:
    return order_line_rows(t, load, w, d);
  case TPCC_ITEM:
    item_rows(t, load, chunk);
    break;
  default:
    stock_rows(t, load, w, chunk);
    break;
  }
  return kChunkRows[table];
}

// ---- writing whole tables on threads ----

struct Piece {
  int table;
  int32_t w_id, chunk;
};

// A chunk on its way from a worker to the writer.  Slot i % count carries
// piece i; a worker takes it once the writer has written piece i - count.
struct Slot {
  char *buf;
  bool ready;
  size_t length;
  int64_t rows;
};

class Plan {
public:
  explicit Plan(const TpccJob &job) : first_(job.first), job_(&job) {
    for (int table = 0; table < TPCC_TABLES; ++table) {
      if (job.fd[table] == -1) {
        continue;
      }
      if (table == TPCC_ITEM) {
        item_pieces_ = kChunks[table];
      } else {
        per_warehouse_ += kChunks[table];
      }
      bound_ = TpccChunkBound(table) > bound_ ? TpccChunkBound(table) : bound_;
    }
    // cppcheck-suppress redundantAssignment ; read, not overwritten
    pieces_ = item_pieces_ + int64_t{per_warehouse_} * (job.last - job.first + 1);
  }
  int64_t pieces() const { return pieces_; }
  size_t bound() const { return bound_; }
  // ITEM first, then each warehouse's tables in order, each table's chunks in order.
  Piece operator[](int64_t i) const {
    if (i < item_pieces_) {
      return {TPCC_ITEM, 0, static_cast<int32_t>(i)};
    }
    const int64_t j = i - item_pieces_;
    auto k = static_cast<int32_t>(j % per_warehouse_);
    const auto w_id = static_cast<int32_t>(first_ + j / per_warehouse_);
    int table = 0;
    for (; table < TPCC_TABLES; ++table) {
      if (table == TPCC_ITEM || !selected(table)) {
        continue;
      }
      if (k < kChunks[table]) {
        break;
      }
      k -= kChunks[table];
    }
    return {table, w_id, k};
  }
  // The warehouse piece i completes, or 0.
  int32_t completes(int64_t i) const {
    const int64_t j = i - item_pieces_ + 1;
    return j > 0 && j % per_warehouse_ == 0 ? static_cast<int32_t>(j / per_warehouse_) : 0;
  }

private:
  bool selected(int table) const { return job_->fd[table] != -1; }
  int32_t first_;
  const TpccJob *job_;
  int64_t item_pieces_ = 0;
  int32_t per_warehouse_ = 0;
  int64_t pieces_ = 0;
  size_t bound_ = 0;
};

struct Shared {
  const TpccLoad *load = nullptr;
  const Plan *plan = nullptr;
  Slot *slots = nullptr;
  int64_t slot_count = 0;
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t filled = PTHREAD_COND_INITIALIZER;  // a slot is ready: the writer waits
  pthread_cond_t emptied = PTHREAD_COND_INITIALIZER; // a slot was written, or stop: workers wait
  int64_t next_piece = 0;
  int64_t written = 0; // pieces the writer has written
  bool stop = false;
};

void *work(void *arg) {
  auto &s = *static_cast<Shared *>(arg);
  pthread_mutex_lock(&s.lock);
  while (!s.stop && s.next_piece < s.plan->pieces()) {
    const int64_t i = s.next_piece++;
    Slot &slot = s.slots[i % s.slot_count];
    while (!s.stop && i - s.written >= s.slot_count) {
      pthread_cond_wait(&s.emptied, &s.lock);
    }
    if (s.stop) {
      break;
    }
    pthread_mutex_unlock(&s.lock);
    const Piece p = (*s.plan)[i];
    slot.length =
        TpccGenerateChunk(s.load, p.table, p.w_id, p.chunk, slot.buf, s.plan->bound(), &slot.rows);
    pthread_mutex_lock(&s.lock);
    slot.ready = true;
    pthread_cond_signal(&s.filled);
  }
  pthread_mutex_unlock(&s.lock);
  return nullptr;
}

// Writes all of buf, resuming after a signal or a short write.
bool write_all(int fd, const char *buf, size_t n) {
  while (n > 0) {
    const ssize_t done = write(fd, buf, n);
    if (done < 0 && errno == EINTR) {
      continue;
    }
    if (done <= 0) {
      errno = done == 0 ? EIO : errno;
      return false;
    }
    buf += done;
    n -= static_cast<size_t>(done);
  }
  return true;
}

// Writes the pieces in order as the workers finish them; the failed table, or -1.
int write_pieces(Shared &s, const TpccJob &job, int64_t rows[], uint64_t bytes[]) {
  uint64_t total = 0;
  for (int64_t i = 0; i < s.plan->pieces(); ++i) {
    Slot &slot = s.slots[i % s.slot_count];
    pthread_mutex_lock(&s.lock);
    while (!slot.ready) {
      pthread_cond_wait(&s.filled, &s.lock);
    }
    pthread_mutex_unlock(&s.lock);
    const int table = (*s.plan)[i].table;
    if (!write_all(job.fd[table], slot.buf, slot.length)) {
      return table;
    }
    rows[table] += slot.rows;
    bytes[table] += slot.length;
    total += slot.length;
    pthread_mutex_lock(&s.lock);
    slot.ready = false;
    ++s.written;
    pthread_cond_broadcast(&s.emptied);
    pthread_mutex_unlock(&s.lock);
    const int32_t done = s.plan->completes(i);
    if (done != 0 && job.progress != nullptr) {
      job.progress(job.progress_arg, done, job.last - job.first + 1, total);
    }
  }
  return -1;
}

void check_job(const TpccJob &job) {
  if (job.first < 1 || job.last < job.first) {
    die_bad_value("TpccWriteTables", "first", job.first);
  }
  if (job.threads < 1) {
    die_bad_value("TpccWriteTables", "threads", job.threads);
  }
}

} // namespace

extern "C" {

int TpccIsTimestamp(const char *text) {
  constexpr char kShape[] = "dddd-dd-dd dd:dd:dd";
  for (int i = 0; i <= kTimestampLength; ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) {
      return 0;
    }
  }
  const auto field = [text](int at) { return (text[at] - '0') * 10 + text[at + 1] - '0'; };
  const int month = field(5);
  const int day = field(8);
  return month >= 1 && month <= 12 && day >= 1 && day <= 31 && field(11) <= 23 && field(14) <= 59 &&
                 field(17) <= 59
             ? 1
             : 0;
}

int TpccWriteTables(const TpccLoad *load, const TpccJob *job, int64_t rows[TPCC_TABLES],
                    uint64_t bytes[TPCC_TABLES], int *failed) {
  check_load("TpccWriteTables", *load);
  check_job(*job);
  std::memset(rows, 0, sizeof(int64_t) * TPCC_TABLES);
  std::memset(bytes, 0, sizeof(uint64_t) * TPCC_TABLES);
  *failed = -1;
  const Plan plan(*job);
  if (plan.pieces() == 0) {
    return 0;
  }
  const int threads = job->threads;
  Shared s;
  s.load = load;
  s.plan = &plan;
  s.slot_count = 2 * int64_t{threads};
  auto *slots = static_cast<Slot *>(std::calloc(static_cast<size_t>(s.slot_count), sizeof(Slot)));
  auto *workers =
      static_cast<pthread_t *>(std::calloc(static_cast<size_t>(threads), sizeof(pthread_t)));
  int started = 0;
  int error = slots == nullptr || workers == nullptr ? ENOMEM : 0;
  for (int64_t i = 0; error == 0 && i < s.slot_count; ++i) {
    slots[i].buf = static_cast<char *>(std::malloc(plan.bound()));
    error = slots[i].buf == nullptr ? ENOMEM : 0;
  }
  s.slots = slots;
  while (error == 0 && started < threads) {
    error = pthread_create(&workers[started], nullptr, work, &s);
    started += error == 0 ? 1 : 0;
  }
  if (error == 0) {
    *failed = write_pieces(s, *job, rows, bytes);
    error = *failed == -1 ? 0 : errno;
  }
  pthread_mutex_lock(&s.lock);
  s.stop = true;
  pthread_cond_broadcast(&s.emptied);
  pthread_mutex_unlock(&s.lock);
  for (int i = 0; i < started; ++i) {
    pthread_join(workers[i], nullptr);
  }
  for (int64_t i = 0; slots != nullptr && i < s.slot_count; ++i) {
    std::free(slots[i].buf);
  }
  std::free(slots);
  std::free(workers);
  errno = error;
  return error == 0 ? 0 : -1;
}

const char *TpccTableName(int table) {
  return table >= 0 && table < TPCC_TABLES ? kTableNames[table] : nullptr;
}

int TpccTableByName(const char *name) {
  for (int table = 0; table < TPCC_TABLES; ++table) {
    if (std::strcmp(name, kTableNames[table]) == 0) {
      return table;
    }
  }
  return -1;
}

int64_t TpccTableRows(int table) {
  check_table("TpccTableRows", table);
  return table == TPCC_ORDER_LINE ? -1 : int64_t{kChunkRows[table]} * kChunks[table];
}

int32_t TpccChunkCount(int table) {
  check_table("TpccChunkCount", table);
  return kChunks[table];
}

size_t TpccChunkBound(int table) {
  check_table("TpccChunkBound", table);
  return kRowBound[table] * static_cast<size_t>(kChunkRows[table]);
}

size_t TpccGenerateChunk(const TpccLoad *load, int table, int32_t w_id, int32_t chunk, char *buf,
                         size_t cap, int64_t *rows) {
  check_load("TpccGenerateChunk", *load);
  check_table("TpccGenerateChunk", table);
  if (chunk < 0 || chunk >= kChunks[table]) {
    die_bad_value("TpccGenerateChunk", "chunk", chunk);
  }
  if (table != TPCC_ITEM && w_id < 1) {
    die_bad_value("TpccGenerateChunk", "w_id", w_id);
  }
  if (cap < TpccChunkBound(table)) {
    die_bad_value("TpccGenerateChunk", "cap", static_cast<long long>(cap));
  }
  const int32_t w = table == TPCC_ITEM ? 0 : w_id;
  Text text(buf, stream(*load, table, w, chunk, kRowValues), *load);
  const int64_t made = generate(text, *load, table, w, chunk);
  if (rows != nullptr) {
    *rows = made;
  }
  return static_cast<size_t>(text.end() - buf);
}

} // extern "C"
