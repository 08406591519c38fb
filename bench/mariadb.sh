#!/usr/bin/env bash
# The driver on MariaDB, each figure beside its baseline from the same run:
#   bench/mariadb.sh BUILD_DIR load [WAREHOUSES] [ROUNDS]
#       tpcc-load's data phase against the server's own LOAD DATA INFILE of the
#       same rows from files written beforehand, over as many connections
#   bench/mariadb.sh BUILD_DIR compare [SECONDS]
#       the same workload (W = 2) on a throwaway MariaDB and a throwaway
#       PostgreSQL: the driver's CPU per transaction at 4 connections, plain and
#       --procedures, and tpm at 1, 2, 4 and 8 connections
#   bench/mariadb.sh BUILD_DIR round-trips [SECONDS]
#       the messages one connection sends (strace) against the round trips the
#       transactions it completed take by construction
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
what=$2
# shellcheck source=../tests/mariadb/server.sh
. "$here/../tests/mariadb/server.sh"
# shellcheck source=../tests/postgresql/cluster.sh
. "$here/../tests/postgresql/cluster.sh"
trap 'my_stop; pg_stop' EXIT
my_start "--local-infile=1 --secure-file-priv=" || exit 1
cpus=$(nproc)
load=$build/driver/tpcc-load
run=$build/driver/tpcc-run

seconds() { # seconds COMMAND...: wall time of the command
  local start=$EPOCHREALTIME
  "$@" >/dev/null || return 1
  echo "$EPOCHREALTIME - $start" | bc
}

# The server reads each unit's file itself, as many at once as tpcc-load's connections.
load_files() {
  local running=0 status=0 f t w
  local tables=(warehouse district customer history orders new_order order_line item stock)
  for ((w = 1; w <= warehouses; w++)); do
    for t in "${tables[@]}"; do
      f=$MY_DIR/csv/$w/$t.csv
      [[ -f $f ]] || continue
      "${MYSQL[@]}" tpcc -e "SET SESSION unique_checks = 0, foreign_key_checks = 0;
        LOAD DATA INFILE '$f' INTO TABLE $t FIELDS TERMINATED BY ','
        OPTIONALLY ENCLOSED BY '\"' ESCAPED BY '' LINES TERMINATED BY '\n'" &
      if ((++running >= cpus)); then
        wait -n || status=1
        running=$((running - 1))
      fi
    done
  done
  while ((running-- > 0)); do wait -n || status=1; done
  return $status
}

# A fresh database with the kit's tables, empty.
fresh_tables() {
  "${MYSQL[@]}" -e "DROP DATABASE tpcc; CREATE DATABASE tpcc" &&
    "${MYSQL[@]}" tpcc <"$here/../sql/mariadb/schema.sql"
}

# driver_cpu DSN REPORT SECONDS CONNECTIONS [FLAG...]: a run, and the driver's CPU per
# completed transaction.
driver_cpu() {
  local times
  times=$( (
    "$run" --dsn "$1" --connections "$4" --ramp-up 5 --duration "$3" --no-flag --quiet \
      --report "$2" "${@:5}" >/dev/null
    times >"$2.times" # in a pipe, times would see none of the children
    tail -n 1 "$2.times"
  ))
  read -r du ds <<<"$(sed 's/[ms]/ /g' <<<"$times" | awk '{print $1 * 60 + $2, $3 * 60 + $4}')"
  local done_tx
  done_tx=$(jq '[.series.periods[].count[]] | add' "$2")
  echo "scale=2; ($du + $ds) * 1000000 / $done_tx" | bc
}

case $what in
load)
  warehouses=${3:-10}
  rounds=${4:-3}
  opts=(--warehouses "$warehouses" --seed 1 --c-load 117 --timestamp '2026-12-08 15:04:05')
  for ((w = 1; w <= warehouses; w++)); do
    "$build/tpcc-gen" "${opts[@]}" --range "$w-$w" --null NULL --out "$MY_DIR/csv/$w" --quiet \
      >/dev/null || exit 1
  done
  chmod -R a+rX "$MY_DIR/csv"
  total_load=0 total_files=0
  for ((round = 1; round <= rounds; round++)); do
    fresh_tables || exit 1
    f=$(seconds load_files) || exit 1
    "${MYSQL[@]}" -e "DROP DATABASE tpcc; CREATE DATABASE tpcc" || exit 1
    l=$("$load" --dsn "$MY_DSN" "${opts[@]}" --connections "$cpus" --no-keys --quiet |
      sed -n 's/.* in \([0-9.]*\) s (data phase)/\1/p')
    [[ -n $l ]] || exit 1
    echo "round $round: LOAD DATA INFILE of files $f s, tpcc-load $l s"
    total_files=$(echo "$total_files + $f" | bc)
    total_load=$(echo "$total_load + $l" | bc)
    "${MYSQL[@]}" -e "DROP DATABASE tpcc; CREATE DATABASE tpcc" || exit 1
  done
  echo "tpcc-load / LOAD DATA INFILE of files, W = $warehouses, $cpus connections:" \
    "$(echo "scale=3; $total_load / $total_files" | bc)"
  ;;
compare)
  duration=${3:-60}
  pg_start || exit 1
  pg_dsn="host=$PG_DIR user=tpcc dbname=postgres"
  for dsn in "$MY_DSN" "$pg_dsn"; do
    "$load" --dsn "$dsn" --warehouses 2 --no-check --quiet >/dev/null || exit 1
  done
  for kind in mariadb mariadb-procedures postgresql postgresql-procedures; do
    dsn=$MY_DSN
    [[ $kind == postgresql* ]] && dsn=$pg_dsn
    flags=()
    [[ $kind == *-procedures ]] && flags=(--procedures)
    us=$(driver_cpu "$dsn" "$MY_DIR/$kind-cpu.json" "$duration" 4 "${flags[@]}") || exit 1
    echo "$kind: driver CPU $us us per transaction (4 connections, $duration s," \
      "tpm $(jq .tpm_total "$MY_DIR/$kind-cpu.json"))"
  done
  for c in 1 2 4 8; do
    line="$c connections:"
    for kind in mariadb postgresql; do
      dsn=$MY_DSN
      [[ $kind == postgresql ]] && dsn=$pg_dsn
      "$run" --dsn "$dsn" --connections $c --ramp-up 3 --duration "$((duration / 3))" --no-flag \
        --quiet --report "$MY_DIR/$kind-$c.json" >/dev/null || exit 1
      line+=" $kind tpm $(jq .tpm_total "$MY_DIR/$kind-$c.json") (tpmC $(jq .tpmC "$MY_DIR/$kind-$c.json"))"
    done
    echo "$line"
  done
  ;;
round-trips)
  duration=${3:-10}
  "$load" --dsn "$MY_DSN" --warehouses 1 --no-check --quiet >/dev/null || exit 1
  strace -f -qq -e trace=sendto -o "$MY_DIR/strace" "$run" --dsn "$MY_DSN" --connections 1 \
    --ramp-up 0 --duration "$duration" --no-flag --quiet --no-metrics --report "$MY_DIR/rt.json" \
    >/dev/null || exit 1
  sent=$(grep -c 'sendto(' "$MY_DIR/strace")
  jq -r '.transactions | to_entries[] | "\(.key) \(.value.count)"' "$MY_DIR/rt.json"
  expected=$(jq '.transactions.new_order.count * 2 + .transactions.payment.count
    + .transactions.order_status.count + .transactions.stock_level.count
    + .whole_run.deliveries_completed' "$MY_DIR/rt.json")
  echo "messages sent $sent; round trips by construction (New-Order 2, the others 1," \
    "each delivery 1) $expected; the rest is connecting and the run's own queries"
  ;;
*)
  echo "usage: bench/mariadb.sh BUILD_DIR load|compare|round-trips [...]" >&2
  exit 2
  ;;
esac
