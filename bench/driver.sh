#!/usr/bin/env bash
# The driver's own costs against a throwaway PostgreSQL, each beside a
# baseline measured in the same run:
#   bench/driver.sh BUILD_DIR load [WAREHOUSES] [ROUNDS]
#       tpcc-load's data phase against the server's COPY of the same rows from
#       files already written, over as many connections; their ratio
#   bench/driver.sh BUILD_DIR cpu [SECONDS]
#       a throughput run (W = 2, 4 connections): the driver's CPU per completed
#       transaction and as a share of the server's CPU
#   bench/driver.sh BUILD_DIR scaling [SECONDS]
#       tpm at 1, 2, 4 and 8 connections
#   bench/driver.sh BUILD_DIR floor [SECONDS]
#       the least CPU a libpq client spends per round trip (bench/round_trip,
#       4 connections, a thread each or all on one thread), alone and beside a
#       throughput run that keeps the server busy, as tpcc-run's round trips find it
#   bench/driver.sh BUILD_DIR floor-share [SECONDS]
#       the same one-thread client whose every round trip also makes the server
#       count ROWS rows (3000, 6000, 12000), so that its answers take about a
#       transaction's server CPU: the least client CPU as a share of the server's
#   bench/driver.sh BUILD_DIR server [SECONDS] [BASELINE_BUILD_DIR] [ROUNDS]
#       what the transactions cost the server (fsync, synchronous_commit and
#       full_page_writes off, shared_buffers 512 MB, pg_stat_statements on): W = 2,
#       2 and 4 connections, plain SQL and --procedures (and each on a database
#       loaded --no-foreign-keys: "-nofk"), and the baseline build's plain SQL
#       when given, each run on a fresh copy of one loaded database: the
#       server's CPU per committed New-Order, New-Orders per minute, the driver's
#       CPU per transaction, and each type's server time per transaction
#   bench/driver.sh BUILD_DIR metrics [SECONDS] [ROUNDS]
#       what sampling the server and the machine costs: throughput runs (W = 2,
#       4 connections) with --no-metrics and without, alternating, on one
#       database: tpm and the server's CPU per transaction of each, and what the
#       sampler itself spent, its backend's CPU and its thread's in the driver
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
what=$2
# shellcheck source=../tests/postgresql/cluster.sh
. "$here/../tests/postgresql/cluster.sh"
trap pg_stop EXIT
pg_start || exit 1
dsn="host=$PG_DIR user=tpcc dbname=postgres"
cpus=$(nproc)

server_seconds_since() { # server_seconds_since TICKS: the server's CPU seconds since server_ticks said TICKS
  sleep 1 # for backends that have just ended to be reaped into the postmaster's count
  echo "scale=3; ($(server_ticks) - $1) / $(getconf CLK_TCK)" | bc
}

server_ticks() { # the server's CPU ticks: the postmaster, its children alive and those reaped
  local postmaster pid sum=0 f
  postmaster=$(head -n 1 "$PG_DIR/data/postmaster.pid")
  for pid in $postmaster $(pgrep -P "$postmaster"); do
    f=$(cut -d ' ' -f 14-17 "/proc/$pid/stat" 2>/dev/null) || continue
    read -r u s cu cs <<<"$f"
    sum=$((sum + u + s + (pid == postmaster ? cu + cs : 0)))
  done
  echo $sum
}

seconds() { # seconds COMMAND...: wall time of the command
  local start=$EPOCHREALTIME
  "$@" >/dev/null || return 1
  echo "$EPOCHREALTIME - $start" | bc
}

# COPY of files, K sessions each taking every K-th table of every warehouse, as tpcc-load cuts them.
copy_files() {
  local k tables=(warehouse district customer history orders new_order order_line stock) w t i
  for ((k = 0; k < cpus; k++)); do
    i=0
    {
      [[ $k == 0 ]] && echo "COPY item FROM '$PG_DIR/csv/1/item.csv' (FORMAT csv);"
      for ((w = 1; w <= warehouses; w++)); do
        for t in "${tables[@]}"; do
          ((i++ % cpus == k)) && echo "COPY $t FROM '$PG_DIR/csv/$w/$t.csv' (FORMAT csv);"
        done
      done
    } >"$PG_DIR/copy$k.sql"
    "${PSQL[@]}" -f "$PG_DIR/copy$k.sql" &
  done
  wait
}

drop_all() {
  "${PSQL[@]}" -c "SET client_min_messages = warning" -c "DROP TABLE IF EXISTS warehouse, district,
    customer, history, orders, new_order, order_line, item, stock, tpcc_load CASCADE" -c checkpoint
}
fresh_schema() { drop_all && "${PSQL[@]}" -f "$here/../sql/postgresql/schema.sql"; }

# sampler_cost DRIVER_PID: once the driver has ended, the CPU its sampler's backend and its
# sampler's thread had spent, in ns (the scheduler's count), as they were last seen.
sampler_cost() {
  local backend="" thread="" b=0 t=0 f
  while kill -0 "$1" 2>/dev/null; do
    [[ -n $backend ]] || backend=$("${PSQL[@]}" -At -c \
      "SELECT pid FROM pg_stat_activity WHERE application_name = 'tpcc-metrics'")
    [[ -n $thread ]] || thread=$(grep -lx tpcc-metrics /proc/"$1"/task/*/comm 2>/dev/null | cut -d/ -f5)
    f=$(cut -d ' ' -f 1 "/proc/$backend/schedstat" 2>/dev/null) && b=$f
    f=$(cut -d ' ' -f 1 "/proc/$1/task/$thread/schedstat" 2>/dev/null) && t=$f
    sleep 0.5
  done
  echo "$b $t"
}

case $what in
load)
  warehouses=${3:-10}
  rounds=${4:-3}
  opts=(--warehouses "$warehouses" --seed 1 --c-load 117 --timestamp '2026-12-08 15:04:05')
  for ((w = 1; w <= warehouses; w++)); do
    "$build/tpcc-gen" "${opts[@]}" --range "$w-$w" --out "$PG_DIR/csv/$w" --quiet >/dev/null || exit 1
  done
  chmod -R a+rX "$PG_DIR/csv"
  total_load=0 total_files=0
  for ((round = 1; round <= rounds; round++)); do
    fresh_schema >/dev/null || exit 1
    f=$(seconds copy_files) || exit 1
    drop_all >/dev/null || exit 1
    l=$("$build/driver/tpcc-load" --dsn "$dsn" "${opts[@]}" --connections "$cpus" --no-keys --quiet |
      sed -n 's/.* in \([0-9.]*\) s (data phase)/\1/p')
    [[ -n $l ]] || exit 1
    echo "round $round: COPY of files $f s, tpcc-load $l s"
    total_files=$(echo "$total_files + $f" | bc)
    total_load=$(echo "$total_load + $l" | bc)
  done
  echo "tpcc-load / COPY of files, W = $warehouses, $cpus connections: $(echo "scale=3; $total_load / $total_files" | bc)"
  ;;
cpu)
  duration=${3:-60}
  "$build/driver/tpcc-load" --dsn "$dsn" --warehouses 2 --no-check --quiet >/dev/null || exit 1
  before=$(server_ticks)
  report=$PG_DIR/cpu.json
  driver=$( (
    "$build/driver/tpcc-run" --dsn "$dsn" --connections 4 --ramp-up 5 --duration "$duration" \
      --no-flag --quiet --report "$report" >/dev/null
    times >"$PG_DIR/times"
    tail -n 1 "$PG_DIR/times"
  ))
  server_s=$(server_seconds_since "$before")
  read -r du ds <<<"$(sed 's/[ms]/ /g' <<<"$driver" | awk '{print $1 * 60 + $2, $3 * 60 + $4}')"
  driver_s=$(echo "$du + $ds" | bc)
  done_tx=$(jq '[.series.periods[].count[]] | add' "$report")
  echo "completed $done_tx transactions, tpmC $(jq .tpmC "$report")"
  echo "driver CPU $driver_s s (user $du s, kernel $ds s), server CPU $server_s s"
  echo "driver CPU per transaction: $(echo "scale=2; $driver_s * 1000000 / $done_tx" | bc) us"
  echo "driver / server CPU: $(echo "scale=2; 100 * $driver_s / $server_s" | bc) %"
  ;;
metrics)
  duration=${3:-30}
  rounds=${4:-3}
  "$build/driver/tpcc-load" --dsn "$dsn" --warehouses 2 --no-check --quiet >/dev/null || exit 1
  declare -A tpm=() per_tx=()
  for ((round = 1; round <= rounds; round++)); do
    order=(off on)
    ((round % 2 == 0)) && order=(on off)
    for variant in "${order[@]}"; do
      report=$PG_DIR/metrics-$variant-$round.json
      flags=(--report "$report")
      [[ $variant == off ]] && flags+=(--no-metrics)
      before=$(server_ticks)
      "$build/driver/tpcc-run" --dsn "$dsn" --connections 4 --ramp-up 5 --duration "$duration" \
        --no-flag --quiet "${flags[@]}" >/dev/null &
      driver=$!
      read -r backend thread <<<"$(sampler_cost $driver)"
      wait $driver || exit 1
      server_s=$(server_seconds_since "$before")
      done_tx=$(jq '[.series.periods[].count[]] | add' "$report")
      us=$(echo "scale=2; $server_s * 1000000 / $done_tx" | bc)
      tpm[$variant]=$(echo "${tpm[$variant]:-0} + $(jq .tpm_total "$report")" | bc)
      per_tx[$variant]=$(echo "${per_tx[$variant]:-0} + $us" | bc)
      line="round $round, metrics $variant: tpm $(jq .tpm_total "$report"), server CPU $us us per transaction"
      if [[ $variant == on ]]; then
        s=$((duration + 5))
        line+="; the sampler: its backend $(echo "scale=3; $backend / 1000000 / $s" | bc) ms"
        line+=" and its thread $(echo "scale=3; $thread / 1000000 / $s" | bc) ms of CPU per second,"
        line+=" $(echo "scale=3; 100 * ($backend + $thread) / 1000000000 / $server_s" | bc) % of the server's CPU"
      fi
      echo "$line"
    done
  done
  echo "with metrics / without, tpm: $(echo "scale=4; ${tpm[on]} / ${tpm[off]}" | bc)," \
    "server CPU per transaction: $(echo "scale=4; ${per_tx[on]} / ${per_tx[off]}" | bc)"
  ;;
scaling)
  duration=${3:-20}
  "$build/driver/tpcc-load" --dsn "$dsn" --warehouses 2 --no-check --quiet >/dev/null || exit 1
  for c in ${CONNECTIONS:-1 2 4 8}; do
    "$build/driver/tpcc-run" --dsn "$dsn" --connections $c --ramp-up 3 --duration "$duration" \
      --no-flag --quiet --report "$PG_DIR/c$c.json" >/dev/null || exit 1
    echo "$c connections: tpm $(jq .tpm_total "$PG_DIR/c$c.json"), tpmC $(jq .tpmC "$PG_DIR/c$c.json")"
  done
  ;;
floor)
  duration=${3:-15}
  "$build/driver/tpcc-load" --dsn "$dsn" --warehouses 2 --no-check --quiet >/dev/null || exit 1
  export PGHOST=$PG_DIR PGUSER=tpcc PGDATABASE=postgres
  for threads in "" --one-thread; do
    echo "alone: $("$build/bench/round_trip" 4 "$duration" $threads)" || exit 1
    "$build/driver/tpcc-run" --dsn "$dsn" --connections 4 --ramp-up 2 \
      --duration $((duration + 6)) --no-flag --quiet >/dev/null &
    sleep 3
    echo "beside tpcc-run on 4 connections: $("$build/bench/round_trip" 4 "$duration" $threads)"
    wait
  done
  ;;
floor-share)
  duration=${3:-20}
  "$build/driver/tpcc-load" --dsn "$dsn" --warehouses 2 --no-check --quiet >/dev/null || exit 1
  export PGHOST=$PG_DIR PGUSER=tpcc PGDATABASE=postgres
  for rows in ${ROWS:-3000 6000 12000}; do
    before=$(server_ticks)
    line=$("$build/bench/round_trip" 4 "$duration" --one-thread --rows="$rows") || exit 1
    server_s=$(server_seconds_since "$before")
    read -r trips cpu <<<"$(sed 's/.*: \([0-9]*\) round trips, client CPU \([0-9.]*\) s.*/\1 \2/' <<<"$line")"
    echo "$line"
    echo "  $rows rows a round trip: server CPU $(echo "scale=1; $server_s * 1000000 / $trips" | bc) us a round trip; client / server CPU: $(echo "scale=2; 100 * $cpu / $server_s" | bc) %"
  done
  ;;
server)
  duration=${3:-30}
  baseline=${4:+$(cd "$4" && pwd)}
  settings=(-c synchronous_commit=off -c shared_buffers=512MB -c max_connections=40
    -c shared_preload_libraries=pg_stat_statements)
  pg_crash "${settings[*]}" || exit 1
  for t in tpcc_template tpcc_template_nofk ${baseline:+tpcc_template_baseline}; do
    b=$build keys=() # each build's database as its own loader makes it
    [[ $t == *_baseline ]] && b=$baseline
    [[ $t == *_nofk ]] && keys=(--no-foreign-keys)
    "${PSQL[@]}" -c "CREATE DATABASE $t" &&
      "$b/driver/tpcc-load" --dsn "host=$PG_DIR user=tpcc dbname=$t" --warehouses 2 --no-check \
        "${keys[@]}" --quiet >/dev/null && "${PSQL[@]}" -d $t -c "CREATE EXTENSION pg_stat_statements" \
        -c "VACUUM (FREEZE, ANALYZE)" -c checkpoint || exit 1
  done
  rdsn="host=$PG_DIR user=tpcc dbname=run"
  for ((round = 1; round <= ${5:-1}; round++)); do
    for c in ${CONNECTIONS:-2 4}; do
      for variant in ${VARIANTS:-${baseline:+baseline} plain procedures plain-nofk procedures-nofk}; do
        bin=$build mode=() template=tpcc_template
        [[ $variant == baseline ]] && bin=$baseline template=tpcc_template_baseline
        [[ $variant == procedures* ]] && mode=(--procedures)
        [[ $variant == *-nofk ]] && template=tpcc_template_nofk
        "${PSQL[@]}" -c "DROP DATABASE IF EXISTS run" -c "CREATE DATABASE run TEMPLATE $template" &&
          "${PSQL[@]}" -d run -c "SELECT pg_stat_statements_reset()" >/dev/null || exit 1
        report=$PG_DIR/$variant-$c.json
        before=$(server_ticks)
        driver=$( (
          "$bin/driver/tpcc-run" --dsn "$rdsn" --connections "$c" --ramp-up 5 --duration "$duration" \
            "${mode[@]}" --no-flag --quiet --report "$report" >/dev/null
          times >"$PG_DIR/times"
          tail -n 1 "$PG_DIR/times"
        ))
        server_s=$(server_seconds_since "$before")
        read -r du ds <<<"$(sed 's/[ms]/ /g' <<<"$driver" | awk '{print $1 * 60 + $2, $3 * 60 + $4}')"
        done_tx=$(jq '[.series.periods[].count[]] | add' "$report")
        orders=$(jq .whole_run.new_order_committed "$report")
        printf '%-15s %d connections: %6.0f New-Orders/min, server CPU %4.0f us per committed New-Order, driver CPU %4.1f us per transaction\n' \
          "$variant" "$c" "$(jq .tpmC "$report")" "$(echo "$server_s * 1000000 / $orders" | bc -l)" \
          "$(echo "($du + $ds) * 1000000 / $done_tx" | bc -l)"
        "${PSQL[@]}" -d run -At -F ' ' -c "SELECT round(mean_exec_time::numeric * 1000), calls,
          left(regexp_replace(query, '\s+', ' ', 'g'), 70) FROM pg_stat_statements
          WHERE calls > 100 ORDER BY total_exec_time DESC LIMIT 12" | sed 's/^/    us per call, calls: /'
      done
    done
  done
  ;;
*)
  echo "usage: bench/driver.sh BUILD_DIR load|cpu|scaling|floor|floor-share|server [...]" >&2
  exit 2
  ;;
esac
