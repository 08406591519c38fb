#!/usr/bin/env bash
# The driver on a three-node MariaDB Galera cluster on this machine, in turns
# on the same cluster and load: tpm and the rate of conflicts with all
# connections on node 1 (one), the same connections spread over the three
# nodes (three), and each warehouse's terminals kept on a node of their own,
# one tpcc-run per warehouse and node, merged (apart).
#   bench/galera.sh BUILD_DIR [SECONDS] [ROUNDS] [CONNECTIONS] [WAREHOUSES]
# Defaults: 30 s, 2 rounds, 6 connections, 2 warehouses (at most 3: a node
# each).  Every run is checked (--check); a line per run, then the means.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
seconds=${2:-30} rounds=${3:-2} connections=${4:-6} warehouses=${5:-2}
run=$build/driver/tpcc-run
# shellcheck source=../driver/galera-cluster.sh
. "$here/../driver/galera-cluster.sh"
galera_throwaway 3 || exit 1
echo "CPU: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2) ($(nproc) CPUs)"
"$build/driver/tpcc-load" --dsn "$(galera_dsn "$GALERA_DIR" 1)" --warehouses "$warehouses" \
  --quiet --no-check >/dev/null || exit 1
options=(--ramp-up 5 --duration "$seconds" --no-flag --quiet --check)

# way NAME: runs the way, leaving its report(s) in $GALERA_DIR/NAME*.json.
way() {
  local w
  case $1 in
  one) "$run" --dsn "$(galera_dsn "$GALERA_DIR" 1)" --connections "$connections" "${options[@]}" \
    --report "$GALERA_DIR/one.json" ;;
  three) "$run" --dsn "$(galera_dsn "$GALERA_DIR" 1)" --dsn "$(galera_dsn "$GALERA_DIR" 2)" \
    --dsn "$(galera_dsn "$GALERA_DIR" 3)" --connections "$connections" "${options[@]}" \
    --report "$GALERA_DIR/three.json" ;;
  apart)
    for ((w = 1; w <= warehouses; w++)); do
      "$run" --dsn "$(galera_dsn "$GALERA_DIR" "$w")" --range "$w-$w" \
        --connections $((connections / warehouses)) "${options[@]}" \
        --report "$GALERA_DIR/apart$w.json" &
    done
    wait
    "$run" --merge --report "$GALERA_DIR/apart.json" "$GALERA_DIR"/apart[0-9]*.json ;;
  esac >/dev/null 2>&1
}

# The sum over a way's runs' reports of a jq expression on each.
over() { jq -s "map($2) | add" "$GALERA_DIR"/$1*.json; } # $1 a pattern

declare -A tpm_sum conflict_sum
printf '%-6s %5s %10s %8s %12s %12s %10s %s\n' way round "tpm (all)" tpmC "conflicts/s" "deadlocks/s" \
  "retries %" durability
for ((r = 1; r <= rounds; r++)); do
  for name in one three apart; do
    rm -f "$GALERA_DIR/$name"*.json
    way "$name"
    [[ -s $GALERA_DIR/$name.json ]] || { echo "$name: no report"; exit 1; }
    [[ $name == apart ]] && parts=apart[0-9] || parts=$name
    tpm=$(jq .tpm_total "$GALERA_DIR/$name.json")
    conflicts=$(echo "$(over "$parts" '.metrics.interval.deltas | .cert_failures + .bf_aborts') / $seconds" | bc -l)
    deadlocks=$(echo "$(over "$parts" '.metrics.interval.deltas.deadlocks') / $seconds" | bc -l)
    retries=$(jq '([.transactions[].retries] | add) / ([.transactions[].count] | add) * 100' \
      "$GALERA_DIR/$name.json")
    exact=$(jq -s 'if map(.durability.pass) | all then "exact" else "NOT exact" end' -r \
      "$GALERA_DIR"/$parts*.json)
    printf '%-6s %5d %10.0f %8.0f %12.1f %12.1f %10.1f %s\n' "$name" "$r" "$tpm" \
      "$(jq .tpmC "$GALERA_DIR/$name.json")" "$conflicts" "$deadlocks" "$retries" "$exact"
    tpm_sum[$name]=$(echo "${tpm_sum[$name]:-0} + $tpm" | bc)
    conflict_sum[$name]=$(echo "${conflict_sum[$name]:-0} + $conflicts" | bc)
  done
done
for name in one three apart; do
  printf '%-6s mean: %.0f transactions/min, %.1f cluster conflicts/s; %.3fx one\n' "$name" \
    "$(echo "${tpm_sum[$name]} / $rounds" | bc -l)" "$(echo "${conflict_sum[$name]} / $rounds" | bc -l)" \
    "$(echo "${tpm_sum[$name]} / ${tpm_sum[one]}" | bc -l)"
done
