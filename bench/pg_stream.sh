#!/usr/bin/env bash
# How much a load that streams from tpcc-gen costs beside one from files
# already generated, each table into a throwaway PostgreSQL, in one run:
#   bench/pg_stream.sh TPCC_GEN [WAREHOUSES] [ROUNDS]
# Prints each way's seconds per round and their ratio (streamed / files).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
gen=$1
warehouses=${2:-2}
rounds=${3:-3}
# shellcheck source=../tests/postgresql/cluster.sh
. "$here/../tests/postgresql/cluster.sh"
trap pg_stop EXIT
pg_start || exit 1
"${PSQL[@]}" -f "$here/../sql/postgresql/schema.sql" || exit 1
opts=(--warehouses "$warehouses" --seed 1 --c-load 117 --timestamp '2026-12-08 15:04:05' --quiet)
"$gen" "${opts[@]}" --out "$PG_DIR/csv" >/dev/null || exit 1
tables=(warehouse district customer history orders new_order order_line item stock)

seconds() { # seconds COMMAND...: wall time of the command
  local start=$EPOCHREALTIME
  "$@" || return 1
  echo "$EPOCHREALTIME - $start" | bc
}
from_files() {
  local t
  for t in "${tables[@]}"; do
    "${PSQL[@]}" -c "\\copy $t from '$PG_DIR/csv/$t.csv' csv" || return 1
  done
}
streamed() {
  local t
  for t in "${tables[@]}"; do
    "$gen" "${opts[@]}" --tables "$t" --out - 2>/dev/null |
      "${PSQL[@]}" -c "\\copy $t from stdin csv" || return 1
  done
}
empty() { (IFS=, && "${PSQL[@]}" -c "truncate ${tables[*]}" && "${PSQL[@]}" -c checkpoint); }

total_files=0
total_streamed=0
for ((round = 1; round <= rounds; round++)); do
  empty && f=$(seconds from_files) || exit 1
  empty && s=$(seconds streamed) || exit 1
  echo "round $round: files $f s, streamed $s s"
  total_files=$(echo "$total_files + $f" | bc)
  total_streamed=$(echo "$total_streamed + $s" | bc)
done
echo "streamed / files: $(echo "scale=3; $total_streamed / $total_files" | bc)"
