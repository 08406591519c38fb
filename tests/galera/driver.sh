#!/usr/bin/env bash
# The driver against a throwaway three-node MariaDB Galera cluster on
# 127.0.0.1: a load through one node is whole on another; a run whose
# connections all write one warehouse through the three nodes has its
# conflicts across nodes retried, and every node then holds exactly what the
# report says committed, to the cent; a node that dies mid-run leaves the run
# going on with the others, its figures still exact; stop ends a run.
#   tests/galera/driver.sh BUILD_DIR
# BUILD_DIR holds stop and tpcc-flag, and driver/ tpcc-load and tpcc-run.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
load=$build/driver/tpcc-load
run=$build/driver/tpcc-run
# shellcheck source=../../driver/galera-cluster.sh
. "$here/../../driver/galera-cluster.sh"
galera_throwaway 3 || exit 1
cluster=$GALERA_DIR
out=$cluster/out
mkdir -p "$out" && chmod 0777 "$out"
dsn() { galera_dsn "$cluster" "$1"; }

# What the runs change, read on node $node once it has applied what the others committed.
node=1
snapshot() {
  galera_client "$cluster" "$node" tpcc -e "SET SESSION wsrep_sync_wait = 1;
    SELECT (SELECT count(*) FROM orders), (SELECT count(*) FROM order_line),
    (SELECT count(*) FROM history), (SELECT CAST(sum(w_ytd) * 100 AS SIGNED) FROM warehouse),
    (SELECT count(*) FROM new_order), (SELECT count(*) FROM orders WHERE o_carrier_id IS NOT NULL)"
}
# snapshots NODES...: each node's snapshot, one line each.
snapshots() { for node in "$@"; do snapshot; done; }

# The twelve conditions on node $1, as --check prints them.
node_conditions() {
  { echo "SET SESSION wsrep_sync_wait = 1;"; cat "$here/../../sql/mariadb/check.sql"; } |
    galera_client "$cluster" "$1" tpcc | awk -F '\t' '{ printf "%9d  %s %s\n", $1, $2, $3 }'
}

# every NAME REPORT BEFORE NODES...: on each node, the run's changes against the report (BEFORE
# holds the nodes' snapshots from before, a line each) and conditions 1-10 and 12.
every() {
  local name=$1 report=$2 i=1
  local -a before
  mapfile -t before <<<"$3"
  shift 3
  for node in "$@"; do
    accounts "$name, node $node" "${before[i - 1]}" "$report"
    conditions "$name, node $node" "$(node_conditions "$node")"
    i=$((i + 1))
  done
}

# shellcheck source=../gate.sh
. "$here/../gate.sh"

echo "--- tpcc-load -w 2 on node 1, the conditions on node 3"
text=$("$load" --dsn "$(dsn 1)" --warehouses 2 --seed 3 --quiet --no-check) ||
  failed "tpcc-load: status $?"
echo "$text" | head -n 2
[[ $(node_conditions 3 | grep -cE '^ +[0-9]+ .* 0$') == 12 ]] ||
  failed "node 3: a condition fails: $(node_conditions 3)"

three=(--dsn "$(dsn 1)" --dsn "$(dsn 2)" --dsn "$(dsn 3)")
echo "--- 30 s, 6 connections over the three nodes, all on warehouse 1"
before=$(snapshots 1 2 3)
text=$("$run" "${three[@]}" --connections 6 --range 1-1 --ramp-up 2 --duration 30 --no-flag \
  --quiet --check --report "$out/spread.json") || failed "spread run: status $?"
echo "$text" | sed -n '1,2p;4p;7,11p' && grep -E '^cluster conflicts' <<<"$text"
exact spread "$text"
every spread "$out/spread.json" "$before" 1 2 3
[[ $(jq '[.servers.list[].connections] == [3, 2, 2]' "$out/spread.json") == true ]] ||
  failed "spread: the connections are not dealt over the nodes in turn: $(jq -c .servers "$out/spread.json")"
retries=$(jq '[.transactions[].retries] | add' "$out/spread.json")
conflicts=$(jq '.metrics.interval.deltas | .cert_failures + .bf_aborts' "$out/spread.json")
((retries > 0 && conflicts > 0)) ||
  failed "spread: no cluster conflicts retried (retries $retries, conflicts $conflicts)"

echo "--- node 2 dies mid-run: the run goes on with nodes 1 and 3"
before=$(snapshots 1 3)
"$run" "${three[@]}" --connections 6 --ramp-up 1 --duration 20 --no-flag --quiet --check \
  --report "$out/halted.json" >"$out/halted.txt" 2>"$out/halted.err" &
driver=$!
sleep 7
galera_halt "$cluster" 2
wait $driver || failed "halted node: status $? ($(cat "$out/halted.err"))"
sed -n 2p "$out/halted.txt"
[[ $(jq -r .ended_by "$out/halted.json") == duration ]] || failed "halted node: the run did not go on"
(($(jq .servers.moved "$out/halted.json") >= 2)) ||
  failed "halted node: node 2's connections did not move: $(jq -c .servers "$out/halted.json")"
exact halted "$(cat "$out/halted.txt")"
every halted "$out/halted.json" "$before" 1 3

echo "--- stop ends a run on nodes 3 and 1"
before=$(snapshots 3)
unshare --ipc bash -c '
  "$1" --dsn "$2" --dsn "$3" --connections 4 --ramp-up 1 --duration 600 --quiet --report "$4" >/dev/null &
  driver=$!
  sleep 4
  start=$SECONDS
  "$5/stop" >/dev/null
  wait $driver
  status=$?
  echo "driver status $status after $((SECONDS - start)) s"
  exit $status' _ "$run" "$(dsn 3)" "$(dsn 1)" "$out/stop.json" "$build" >"$out/stop.log" 2>&1 ||
  failed "stop: $(cat "$out/stop.log")"
cat "$out/stop.log"
grep -qE 'after [0-9] s' "$out/stop.log" || failed "stop: too slow"
[[ $(jq -r .ended_by "$out/stop.json") == stop ]] || failed "stop: ended_by is not stop"
every stop "$out/stop.json" "$before" 3

echo "--- failures"
expect "servers of two databases" 2 "not of MariaDB and PostgreSQL" \
  "$run" --dsn "$(dsn 1)" --dsn "host=/nonexistent"
expect "a node that is not there" 1 '^tpcc-run: cannot connect: .* \(--dsn 2\)$' \
  "$run" --dsn "$(dsn 1)" --dsn "$(dsn 2)" --no-flag

((failures == 0)) && echo "galera: all checks hold"
exit $((failures > 0))
