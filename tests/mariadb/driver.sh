#!/usr/bin/env bash
# The driver against a throwaway MariaDB: tpcc-load makes a sound database,
# and after each kind of run the database holds exactly what the report says
# committed, to the cent, with the consistency conditions intact; the same
# seed deals the same inputs on PostgreSQL and on MariaDB.
#   tests/mariadb/driver.sh BUILD_DIR
# BUILD_DIR holds stop and tpcc-flag, and driver/ tpcc-load and tpcc-run.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
load=$build/driver/tpcc-load
run=$build/driver/tpcc-run
# shellcheck source=server.sh
. "$here/server.sh"
# shellcheck source=../postgresql/cluster.sh
. "$here/../postgresql/cluster.sh"
trap 'my_stop; pg_stop' EXIT
my_start || exit 1
dsn=$MY_DSN
out=$MY_DIR/out
mkdir -p "$out" && chmod 0777 "$out"

# What the runs change, in the units of the report's whole_run.
snapshot() {
  "${MYSQL[@]}" tpcc -e "SELECT (SELECT count(*) FROM orders), (SELECT count(*) FROM order_line),
    (SELECT count(*) FROM history), (SELECT CAST(sum(w_ytd) * 100 AS SIGNED) FROM warehouse),
    (SELECT count(*) FROM new_order), (SELECT count(*) FROM orders WHERE o_carrier_id IS NOT NULL)"
}

# shellcheck source=../gate.sh
. "$here/../gate.sh"

echo "--- tpcc-load -w 2"
text=$("$load" --dsn "$dsn" --warehouses 2 --seed 3 --quiet) || failed "tpcc-load: status $?"
echo "$text" | head -n 3
[[ $(grep -cE '^ +[0-9]+ .* 0$' <<<"$text") == 12 ]] || failed "tpcc-load: a condition fails: $text"
expect "tpcc-load on a loaded database" 1 "table 'warehouse' exists already" \
  "$load" --dsn "$dsn" --warehouses 2

echo "--- a throughput run: 20 s, 4 connections"
before=$(snapshot)
text=$("$run" --dsn "$dsn" --connections 4 --ramp-up 2 --duration 20 --no-flag --quiet --check \
  --report "$out/throughput.json") || failed "throughput run: status $?"
echo "$text" | sed -n '1,4p;7,11p'
accounts throughput "$before" "$out/throughput.json"
conditions throughput "$text"
exact throughput "$text"
[[ $(jq -r .server.product "$out/throughput.json") == MariaDB ]] || failed "the report does not name MariaDB"
grep -E '^server: MariaDB .*innodb_flush_log_at_trx_commit [0-9].*sync_binlog' <<<"$text" ||
  failed "the report's server line does not give MariaDB's settings: $(grep '^server' <<<"$text")"

echo "--- --procedures: a throughput run and 8 connections on warehouse 1"
for run_shape in "1-2 4" "1-1 8"; do
  read -r range connections <<<"$run_shape"
  before=$(snapshot)
  text=$("$run" --dsn "$dsn" --procedures --connections "$connections" --range "$range" \
    --ramp-up 1 --duration 12 --no-flag --quiet --check --report "$out/procedures.json") ||
    failed "procedures $range: status $?"
  head -n 1 <<<"$text" | grep -q 'stored procedures' || failed "procedures: the report does not name the mode"
  accounts "procedures $range" "$before" "$out/procedures.json"
  conditions "procedures $range" "$text"
  exact "procedures $range" "$text"
done

echo "--- 8 connections on warehouse 1 alone: conflicts"
before=$(snapshot)
text=$("$run" --dsn "$dsn" --connections 8 --range 1-1 --ramp-up 1 --duration 15 --no-flag --quiet \
  --check --report "$out/conflicts.json") || failed "conflict run: status $?"
accounts conflicts "$before" "$out/conflicts.json"
conditions conflicts "$text"
exact conflicts "$text"
echo "conflict run: retries $(jq '[.transactions[].retries] | add' "$out/conflicts.json")," \
  "failures $(jq '[.transactions[].failures] | add' "$out/conflicts.json")"

echo "--- connections killed mid-run"
before=$(snapshot)
"$run" --dsn "$dsn" --connections 4 --ramp-up 1 --duration 12 --no-flag --quiet --check \
  --report "$out/killed.json" >"$out/killed.txt" &
driver=$!
sleep 5
killed=0
for id in $("${MYSQL[@]}" -e "SELECT id FROM information_schema.PROCESSLIST
    WHERE db = 'tpcc' AND id <> CONNECTION_ID() AND command <> 'Daemon'"); do
  "${MYSQL[@]}" -e "KILL CONNECTION $id" 2>/dev/null && killed=$((killed + 1))
done
echo "connections killed: $killed"
wait $driver || failed "killed connections: status $?"
[[ $(jq -r .ended_by "$out/killed.json") == duration ]] || failed "killed connections: the run did not go on"
accounts killed "$before" "$out/killed.json"
conditions killed "$(cat "$out/killed.txt")"

echo "--- stop ends a run"
before=$(snapshot)
unshare --ipc bash -c '
  "$1" --dsn "$2" --connections 2 --ramp-up 1 --duration 600 --quiet --report "$3" >/dev/null &
  driver=$!
  sleep 4
  start=$SECONDS
  "$4/stop" >/dev/null
  wait $driver
  status=$?
  echo "driver status $status after $((SECONDS - start)) s"
  exit $status' _ "$run" "$dsn" "$out/stop.json" "$build" >"$out/stop.log" 2>&1 ||
  failed "stop: $(cat "$out/stop.log")"
cat "$out/stop.log"
grep -qE 'after [0-5] s' "$out/stop.log" || failed "stop: too slow"
[[ $(jq -r .ended_by "$out/stop.json") == stop ]] || failed "stop: ended_by is not stop"
accounts stop "$before" "$out/stop.json"

echo "--- standard terminals, time scale 0.02"
before=$(snapshot)
"$run" --dsn "$dsn" --standard --time-scale 0.02 --ramp-up 2 --duration 40 --no-flag --quiet \
  --report "$out/standard.json" >"$out/standard.txt" || failed "standard run: status $?"
grep -E '^  (PASS|FAIL) .*(mix|terminals)' "$out/standard.txt"
[[ $(jq .terminals "$out/standard.json") == 20 ]] || failed "standard: not 20 terminals"
accounts standard "$before" "$out/standard.json"

echo "--- the server crashes mid-run, its commits durable"
my_crash --innodb-flush-log-at-trx-commit=1 || failed "the server did not start"
"$run" --dsn "$dsn" --connections 4 --ramp-up 1 --duration 14 --no-flag --quiet --check \
  --report "$out/crash.json" >"$out/crash.txt" 2>"$out/crash.err" &
driver=$!
sleep 5
my_crash --innodb-flush-log-at-trx-commit=1 || failed "the server did not start again"
wait $driver || failed "crash: status $?: $(cat "$out/crash.err")"
echo "crash: $(grep -E '^durability' "$out/crash.txt")"
[[ $(jq .durability.pass "$out/crash.json") == true ]] || failed "durable crash: not a pass"
conditions crash "$(cat "$out/crash.txt")"

echo "--- the server gone for good: the run ends, and says why"
"$run" --dsn "$dsn" --connections 4 --ramp-up 1 --duration 120 --no-flag --quiet \
  --report "$out/gone.json" >/dev/null 2>"$out/gone.err" &
driver=$!
sleep 4
kill -KILL "$(cat "$MY_DIR/pid")"
wait $driver
got=$?
[[ $got == 1 ]] || failed "server gone: status $got, not 1: $(cat "$out/gone.err")"
grep -q '^tpcc-run: the server stayed gone: ' "$out/gone.err" || failed "server gone: not said: $(cat "$out/gone.err")"
[[ $(jq -r .ended_by "$out/gone.json") == error ]] || failed "server gone: ended_by is not error"
echo "gone: status $got; $(grep 'stayed gone' "$out/gone.err" | cut -c 1-100)"
rm -f "$MY_DIR/sock" "$MY_DIR/pid"
my_serve || failed "the server did not start again"

echo "--- the same seed deals the same inputs on PostgreSQL and MariaDB"
pg_start || exit 1
pg_dsn="host=$PG_DIR user=tpcc dbname=postgres"
"$load" --dsn "$pg_dsn" --warehouses 2 --seed 3 --quiet --no-check >/dev/null || failed "PostgreSQL: tpcc-load"
for kind in pg my; do
  d=$dsn
  [[ $kind == pg ]] && d=$pg_dsn
  "$run" --dsn "$d" --connections 2 --ramp-up 0 --duration 3 --seed 11 --no-flag --quiet \
    --report "$out/$kind.json" --samples "$out/$kind.csv" >/dev/null || failed "$kind: the seeded run"
done
deck() { awk -F, 'NR > 1 && $1 == '"$1"' { print $2 }' "$2" | head -n 200 | tr '\n' ' '; }
for terminal in 1 2; do
  [[ $(deck $terminal "$out/pg.csv") == "$(deck $terminal "$out/my.csv")" ]] ||
    failed "terminal $terminal dealt differently on the two databases"
done
[[ $(jq -c '[.c_run, .c_1023, .c_8191]' "$out/pg.json") == "$(jq -c '[.c_run, .c_1023, .c_8191]' "$out/my.json")" ]] ||
  failed "the two runs drew different C constants"
"$build/driver/tpcc-report" "$out/pg.json" "$out/my.json" >"$out/both.txt" || failed "tpcc-report of both: status $?"
echo "terminal 1 dealt $(deck 1 "$out/my.csv" | cut -c 1-40)... on both"

echo "--- failures"
expect "a URI with a bad port" 2 "^tpcc-run: --dsn: the port '0' is not a number" "$run" --dsn "mysql://root@h:0/tpcc"
expect "a URI without a database" 2 "^tpcc-load: --dsn: no database" "$load" --warehouses 1 --dsn "mariadb://root@localhost"
expect "no server" 1 '^tpcc-run: cannot connect: ' "$run" --dsn "mysql://root@/tpcc?socket=$MY_DIR/none"
"${MYSQL[@]}" -e "CREATE DATABASE empty" || failed "cannot create a database"
expect "no schema" 1 "no table 'warehouse' of the kit: tpcc-load makes it" \
  "$run" --dsn "mysql://root@/empty?socket=$MY_DIR/sock" --no-flag
"${MYSQL[@]}" tpcc -e "DROP PROCEDURE tpcc_stock_level;
  CREATE PROCEDURE tpcc_stock_level(p_w INT, p_d INT, p_t INT) SELECT 0" || failed "cannot replace tpcc_stock_level"
expect "--procedures over a differing procedure" 1 "differ from this version's" \
  "$run" --dsn "$dsn" --procedures --duration 1 --ramp-up 0 --no-flag --quiet

((failures == 0)) && echo "mariadb: all checks hold"
exit $((failures > 0))
