#!/usr/bin/env bash
# The server's own instructions per transaction, steadier than any clock on a
# shared machine: each transaction type, plain SQL and --procedures, on a
# database with and without foreign keys (and the baseline build's load when
# given), run by postgres --single under valgrind --tool=callgrind on the same
# N inputs; a run of none is subtracted.  Needs the build's bench/statements.
#   bench/instructions.sh BUILD_DIR [BASELINE_BUILD_DIR] [N]
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
baseline=${2:+$(cd "$2" && pwd)}
n=${3:-100}
# shellcheck source=../tests/postgresql/cluster.sh
. "$here/../tests/postgresql/cluster.sh"
trap pg_stop EXIT
pg_start || exit 1
bindir=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)
as=()
((EUID == 0)) && as=(runuser -u postgres --)
work=$PG_DIR/instructions
mkdir -p "$work" && chmod 0777 "$work"

for t in t tnofk ${baseline:+tb}; do
  loader=$build/driver/tpcc-load keys=()
  [[ $t == tb ]] && loader=$baseline/driver/tpcc-load
  [[ $t == tnofk ]] && keys=(--no-foreign-keys)
  "${PSQL[@]}" -c "CREATE DATABASE $t" && "$loader" --dsn "host=$PG_DIR user=tpcc dbname=$t" \
    --warehouses 1 --no-check "${keys[@]}" --quiet >/dev/null &&
    "${PSQL[@]}" -d "$t" -c "VACUUM (FREEZE, ANALYZE)" || exit 1
done
"$build/bench/statements" "host=$PG_DIR user=tpcc dbname=t" >"$work/statements.tsv" || exit 1

instructions() { # instructions TEMPLATE KIND COUNT: the single-user server's whole run
  "${PSQL[@]}" -c "SET client_min_messages = warning" -c "DROP DATABASE IF EXISTS m" \
    -c "CREATE DATABASE m TEMPLATE $1" >/dev/null &&
    python3 "$here/instructions.py" "$work/statements.tsv" "$2" "$3" 7 >"$work/script.sql" &&
    chmod a+r "$work/script.sql" || return 1
  "${PG_CTL[@]}" -m fast stop >/dev/null
  (cd "$work" && "${as[@]}" valgrind --tool=callgrind --callgrind-out-file="$work/out.%p" \
    "$bindir/postgres" --single -D "$PG_DIR/data" -c fsync=off -c full_page_writes=off m \
    <"$work/script.sql" >"$work/log" 2>&1)
  pg_serve >/dev/null || return 1
  grep -h '^summary:' "$work"/out.* | awk '{ print $2 }'
  rm -f "$work"/out.*
}

printf '%-14s %-11s %s\n' database transaction "instructions per transaction (millions)"
for kind in no pay dl sl; do
  for t in ${baseline:+tb} t tnofk; do
    for mode in plain proc; do
      [[ $t == tb && $mode == proc ]] && continue
      none=$(instructions "$t" "${kind}_$mode" 0) && some=$(instructions "$t" "${kind}_$mode" "$n") || exit 1
      printf '%-14s %-11s %.2f\n' "$t" "${kind}_$mode" "$(echo "($some - $none) / $n / 1000000" | bc -l)"
    done
  done
done
