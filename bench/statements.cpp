// statements - prints the statements tpcc-run prepares, one "name<TAB>text" line each, as a
// session of the given mode prepares them on the database at CONNINFO (for bench/instructions.sh).
//   statements CONNINFO [--procedures]
#include "postgresql/transactions.h"

#include <cstdio>
#include <cstring>

int main(int argc, char **argv) {
  if (argc < 2) {
    (void)std::fputs("usage: statements CONNINFO [--procedures]\n", stderr);
    return 2;
  }
  try {
    const bool procedures = argc > 2 && std::strcmp(argv[2], "--procedures") == 0;
    tx::Session s(argv[1], procedures ? tx::Mode::procedures : tx::Mode::plain);
    const pg::Result r = s.conn.exec("SELECT name, statement FROM pg_prepared_statements");
    for (int row = 0; row < PQntuples(r.get()); ++row) {
      (void)std::printf("%s\t%s\n", pg::text(r, row, 0), pg::text(r, row, 1));
    }
  } catch (const pg::Error &e) {
    (void)std::fprintf(stderr, "statements: %s\n", e.what());
    return 1;
  }
  return 0;
}
