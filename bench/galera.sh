#!/usr/bin/env bash
# The driver on a three-node MariaDB Galera cluster on this machine: tpm and
# the rate of conflicts with all connections on one node against the same
# connections spread over the three, in turns on the same cluster and load.
#   bench/galera.sh BUILD_DIR [SECONDS] [ROUNDS] [CONNECTIONS] [WAREHOUSES]
# Defaults: 30 s, 2 rounds, 6 connections, 2 warehouses.  Each run is checked
# (--check); a line per run, then one per way as the mean of its rounds.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
seconds=${2:-30} rounds=${3:-2} connections=${4:-6} warehouses=${5:-2}
# shellcheck source=../driver/galera-cluster.sh
. "$here/../driver/galera-cluster.sh"
cluster=$(mktemp -d /tmp/tpcc-galera.XXXXXX) || exit 1
trap 'galera_end "$cluster"; rm -rf "$cluster"' EXIT
started=$SECONDS
galera_start "$cluster" 3 || exit 1
echo "cluster of 3 nodes formed in $((SECONDS - started)) s; CPU: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2) ($(nproc) CPUs)"
"$build/driver/tpcc-load" --dsn "$(galera_dsn "$cluster" 1)" --warehouses "$warehouses" --quiet \
  --no-check >/dev/null || exit 1

declare -A ways=(
  [one]="--dsn $(galera_dsn "$cluster" 1)"
  [three]="--dsn $(galera_dsn "$cluster" 1) --dsn $(galera_dsn "$cluster" 2) --dsn $(galera_dsn "$cluster" 3)")
declare -A tpm_sum conflict_sum
printf '%-6s %5s %10s %8s %12s %12s %10s %s\n' way round "tpm (all)" tpmC "conflicts/s" "deadlocks/s" \
  "retries %" durability
for ((r = 1; r <= rounds; r++)); do
  for way in one three; do
    # shellcheck disable=SC2086 # the options are words
    "$build/driver/tpcc-run" ${ways[$way]} --connections "$connections" --ramp-up 5 \
      --duration "$seconds" --no-flag --quiet --check --report "$cluster/$way.json" >/dev/null 2>&1
    report=$cluster/$way.json
    [[ -s $report ]] || { echo "$way: no report"; exit 1; }
    tpm=$(jq .tpm_total "$report")
    conflicts=$(jq ".metrics.interval.deltas | (.cert_failures + .bf_aborts) / $seconds" "$report")
    deadlocks=$(jq ".metrics.interval.deltas.deadlocks / $seconds" "$report")
    retries=$(jq '([.transactions[].retries] | add) / ([.transactions[].count] | add) * 100' "$report")
    printf '%-6s %5d %10.0f %8.0f %12.1f %12.1f %10.1f %s\n' "$way" "$r" "$tpm" \
      "$(jq .tpmC "$report")" "$conflicts" "$deadlocks" "$retries" \
      "$(jq -r 'if .durability.pass then "exact" else "NOT exact" end' "$report")"
    tpm_sum[$way]=$(echo "${tpm_sum[$way]:-0} + $tpm" | bc)
    conflict_sum[$way]=$(echo "${conflict_sum[$way]:-0} + $conflicts" | bc)
  done
done
for way in one three; do
  printf '%-6s mean: %.0f transactions/min, %.1f cluster conflicts/s\n' "$way" \
    "$(echo "${tpm_sum[$way]} / $rounds" | bc -l)" "$(echo "${conflict_sum[$way]} / $rounds" | bc -l)"
done
echo "three against one: $(echo "scale=3; ${tpm_sum[three]} / ${tpm_sum[one]}" | bc)x the transactions"
