#!/usr/bin/env bash
# The driver against a throwaway PostgreSQL: tpcc-load makes a sound database,
# and after each kind of run the database holds exactly what the report says
# committed, to the cent, with the consistency conditions intact.
#   tests/postgresql/driver.sh BUILD_DIR
# BUILD_DIR holds stop and tpcc-flag, and driver/ tpcc-load and tpcc-run.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
load=$build/driver/tpcc-load
run=$build/driver/tpcc-run
# shellcheck source=cluster.sh
. "$here/cluster.sh"
trap pg_stop EXIT
pg_start || exit 1
dsn="host=$PG_DIR user=tpcc dbname=postgres"
out=$PG_DIR/out
mkdir -p "$out" && chmod 0777 "$out"

# What the runs change, in the units of the report's whole_run.
snapshot() {
  "${PSQL[@]}" -At -F ' ' -c "SELECT (SELECT count(*) FROM orders), (SELECT count(*) FROM order_line),
    (SELECT count(*) FROM history), (SELECT (sum(w_ytd) * 100)::bigint FROM warehouse),
    (SELECT count(*) FROM new_order), (SELECT count(*) FROM orders WHERE o_carrier_id IS NOT NULL)"
}

# shellcheck source=../gate.sh
. "$here/../gate.sh"

echo "--- tpcc-load -w 2"
text=$("$load" --dsn "$dsn" --warehouses 2 --seed 3 --quiet) || failed "tpcc-load: status $?"
echo "$text" | head -n 2
[[ $(grep -cE '^ +[0-9]+ .* 0$' <<<"$text") == 12 ]] || failed "tpcc-load: a condition fails: $text"
expect "tpcc-load on a loaded database" 1 "table 'warehouse' exists already" \
  "$load" --dsn "$dsn" --warehouses 2

echo "--- a throughput run: 20 s, 4 connections, counters and sums at their old widths' end"
"${PSQL[@]}" -c "UPDATE stock SET s_ytd = 99999999 - 500, s_order_cnt = 9999 - 5, s_remote_cnt = 9999 - 5;
  UPDATE customer SET c_payment_cnt = 9999 - 3, c_delivery_cnt = 9999 - 3" >/dev/null ||
  failed "cannot preset the counters"
"${PSQL[@]}" -c "UPDATE warehouse SET w_ytd = w_ytd + 9999999000; UPDATE district SET d_ytd = d_ytd + 9999999000;
  UPDATE customer SET c_ytd_payment = c_ytd_payment + 9999999000, c_balance = c_balance - 9999999000" >/dev/null ||
  failed "cannot preset the sums"
before=$(snapshot)
text=$("$run" --dsn "$dsn" --connections 4 --ramp-up 1 --duration 10 --no-flag --quiet \
  --report "$out/wide.json") || failed "run at the old widths' end: status $?"
accounts wide "$before" "$out/wide.json"
[[ $(jq '[.transactions[].failures] | add' "$out/wide.json") == 0 ]] ||
  failed "run at the old widths' end: failures $(jq -c .errors "$out/wide.json")"
"${PSQL[@]}" -c "UPDATE warehouse SET w_ytd = w_ytd - 9999999000; UPDATE district SET d_ytd = d_ytd - 9999999000;
  UPDATE customer SET c_ytd_payment = c_ytd_payment - 9999999000, c_balance = c_balance + 9999999000" >/dev/null ||
  failed "cannot restore the sums"

# The runs whose accounting the way of sending the transactions could change, in both ways.
for sql in "" --procedures; do
  m=${sql:---plain}
  m=${m#--}
  echo "--- $m: a throughput run: 20 s, 4 connections"
  before=$(snapshot)
  text=$("$run" --dsn "$dsn" --connections 4 --ramp-up 2 --duration 20 --no-flag --quiet --check \
    ${sql:+"$sql"} --report "$out/throughput.json" --samples "$out/samples.csv" --deliveries "$out/deliveries.csv") ||
    failed "throughput run: status $?"
  echo "$text" | sed -n '4p;7,11p'
  accounts "$m throughput" "$before" "$out/throughput.json"
  conditions "$m throughput" "$text"
  completed=$(jq '[.series.periods[].count[]] | add' "$out/throughput.json")
  [[ $(($(wc -l <"$out/samples.csv") - 1)) -ge $completed ]] || failed "samples: fewer lines than completions"
  [[ $(grep -c ',committed,' "$out/deliveries.csv") == $(jq .whole_run.deliveries_completed "$out/throughput.json") ]] ||
    failed "deliveries: not one line per completed delivery"
  [[ ! -e $out/throughput.deliveries.csv ]] || failed "deliveries: a result file beside the report too"
  grep -q 'durability: the database changed by exactly what the run acknowledged' <<<"$text" ||
    failed "throughput: durability not judged exact: $(grep durability <<<"$text")"

  echo "--- $m: 8 connections on warehouse 1 alone: conflicts"
  before=$(snapshot)
  text=$("$run" --dsn "$dsn" --connections 8 --range 1-1 --ramp-up 1 --duration 15 --no-flag --quiet \
    --check ${sql:+"$sql"} --report "$out/conflicts.json") || failed "conflict run: status $?"
  accounts "$m conflicts" "$before" "$out/conflicts.json"
  [[ $(grep -c ',committed,' "$out/conflicts.deliveries.csv") == $(jq .whole_run.deliveries_completed "$out/conflicts.json") ]] ||
    failed "conflicts: no delivery result file beside the report, one line per completed delivery"
  conditions "$m conflicts" "$text"
  echo "conflict run: retries $(jq '[.transactions[].retries] | add' "$out/conflicts.json")," \
    "failures $(jq '[.transactions[].failures] | add' "$out/conflicts.json")"

  echo "--- $m: backends killed mid-run"
  before=$(snapshot)
  "$run" --dsn "$dsn" --connections 4 --ramp-up 1 --duration 12 --no-flag --quiet --check \
    ${sql:+"$sql"} --report "$out/killed.json" >"$out/killed.txt" &
  driver=$!
  sleep 5
  "${PSQL[@]}" -At -c "SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity
    WHERE backend_type = 'client backend' AND pid <> pg_backend_pid()" | sed 's/^/backends killed: /'
  wait $driver || failed "killed backends: status $?"
  [[ $(jq -r .ended_by "$out/killed.json") == duration ]] || failed "killed backends: the run did not go on"
  accounts "$m killed" "$before" "$out/killed.json"
  conditions "$m killed" "$(cat "$out/killed.txt")"

done

echo "--- --procedures over a kit function that differs"
"${PSQL[@]}" -c "CREATE OR REPLACE FUNCTION tpcc_stock_level(p_w integer, p_d integer, p_threshold integer)
  RETURNS bigint
  LANGUAGE sql AS 'SELECT 0::bigint'" >/dev/null || failed "cannot replace tpcc_stock_level"
expect "--procedures over a differing function" 1 "differ from this version's" \
  "$run" --dsn "$dsn" --procedures --duration 1 --ramp-up 0 --no-flag --quiet
"${PSQL[@]}" -c "DROP FUNCTION tpcc_stock_level" >/dev/null || failed "cannot drop tpcc_stock_level"

echo "--- two connection strings of one server: connections dealt over both, backends killed"
before=$(snapshot)
commits() { "${PSQL[@]}" -At -c "SELECT xact_commit FROM pg_stat_database WHERE datname = current_database()"; }
commits_before=$(commits)
"$run" --dsn "$dsn" --dsn "dbname=postgres user=tpcc host=$PG_DIR" --connections 4 --ramp-up 1 \
  --duration 10 --no-flag --quiet --check --report "$out/two.json" >"$out/two.txt" &
driver=$!
sleep 5
"${PSQL[@]}" -At -c "SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity
  WHERE backend_type = 'client backend' AND pid <> pg_backend_pid()" >/dev/null
wait $driver || failed "two connection strings: status $?"
sleep 1 # a backend reports its counts at most once a second
commits_grown=$(($(commits) - commits_before))
sed -n 2p "$out/two.txt"
# The one server sampled once: its commits as the metrics count them are at most what the
# server counted over the whole run (the kit's own setup, sampling and check transactions
# included, a larger share on a busy machine), and at least half of it.
sampled=$(jq '[.metrics.periods[].deltas.commits // 0] | add | floor' "$out/two.json")
echo "two connection strings: the metrics count $sampled commits, the server $commits_grown"
((sampled <= commits_grown && sampled * 2 >= commits_grown)) ||
  failed "two connection strings: the metrics count $sampled commits, the server $commits_grown"
[[ $(jq -c '[.servers.list[].connections]' "$out/two.json") == "[3,2]" ]] ||
  failed "two connection strings: not dealt in turn: $(jq -c .servers "$out/two.json")"
accounts "two connection strings" "$before" "$out/two.json"
[[ $(grep -cE '^ +([1-9]|10|12) .* 0$' "$out/two.txt") == 11 ]] ||
  failed "two connection strings: conditions 1-10 and 12 not checked once on the one server: $(cat "$out/two.txt")"

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
  "$4/tpcc-flag" wait --timeout 10 >/dev/null || echo "tpcc-flag wait failed"
  exit $status' _ "$run" "$dsn" "$out/stop.json" "$build" >"$out/stop.log" 2>&1 ||
  failed "stop: $(cat "$out/stop.log")"
cat "$out/stop.log"
grep -qE 'after [0-5] s' "$out/stop.log" && ! grep -q failed "$out/stop.log" || failed "stop: too slow"
[[ $(jq -r .ended_by "$out/stop.json") == stop ]] || failed "stop: ended_by is not stop"
accounts stop "$before" "$out/stop.json"

echo "--- standard terminals, time scale 0.01"
before=$(snapshot)
"$run" --dsn "$dsn" --standard --time-scale 0.01 --ramp-up 2 --duration 45 --no-flag --quiet \
  --report "$out/standard.json" >"$out/standard.txt" || failed "standard run: status $?"
grep -E '^  (PASS|FAIL) .*(mix|terminals)' "$out/standard.txt"
[[ $(jq .terminals "$out/standard.json") == 20 ]] || failed "standard: not 20 terminals"
[[ $(grep -cE '^  PASS .* of the mix' "$out/standard.txt") == 4 ]] || failed "standard: the mix fails"
accounts standard "$before" "$out/standard.json"

echo "--- two hosts' ranges with the same options, merged"
before=$(snapshot)
for part in 1 2; do
  "$run" --dsn "$dsn" --connections 2 --range "$part-$part" --ramp-up 1 --duration 8 --no-flag \
    --quiet --check --report "$out/part$part.json" --samples "$out/part$part.csv" >/dev/null &
done
wait || failed "parts: a part failed"
"$run" --merge --report "$out/merged.json" "$out/part1.json" "$out/part2.json" >/dev/null ||
  failed "merge: status $?"
accounts merged "$before" "$out/merged.json"
[[ $(jq -s 'map(.durability.pass) | all' "$out/part1.json" "$out/part2.json") == true ]] ||
  failed "parts: durability not judged a pass on each range"
[[ $(jq .c_run "$out/part1.json") == $(jq .c_run "$out/part2.json") ]] || failed "parts: two C-Runs"
deck() { awk -F, '$1 == 1 { print $2 }' "$1" | head -n 40 | tr '\n' ' '; }
[[ $(deck "$out/part1.csv") != "$(deck "$out/part2.csv")" ]] ||
  failed "parts: terminal 1 of each host dealt the same transactions: $(deck "$out/part1.csv")"
echo "parts: C-Run $(jq .c_run "$out/part1.json") on both; terminal 1 dealt $(deck "$out/part1.csv" | cut -c 1-60)..." \
  "and $(deck "$out/part2.csv" | cut -c 1-60)..."

# crash NAME SETTINGS STATUS: a run that the server's crash interrupts, with SETTINGS, and the
# status --check ends it with.
crash() {
  local name=$1 settings=$2 status=$3 got
  pg_crash "$settings" || { failed "$name: the server did not start"; return; }
  "$run" --dsn "$dsn" --connections 4 --ramp-up 1 --duration 14 --no-flag --quiet --check \
    --report "$out/$name.json" >"$out/$name.txt" 2>"$out/$name.err" &
  local driver=$!
  sleep 5
  # The WAL writer held still for a second: a commit acknowledged before its WAL is written
  # out is then in the server's memory alone when it crashes.
  kill -STOP "$(pgrep -P "$(head -n 1 "$PG_DIR/data/postmaster.pid")" -f walwriter)"
  sleep 1
  pg_crash "$settings" || failed "$name: the server did not start again"
  wait $driver
  got=$?
  [[ $got == "$status" ]] || failed "$name: status $got, not $status: $(cat "$out/$name.err")"
  echo "$name: status $got; $(grep -E '^durability' "$out/$name.txt")"
  # The crash reset the server's counters, and a new postmaster took the old one's place.
  jq -e '[.metrics.periods[].deltas[] | select(. < 0)] == []' "$out/$name.json" >/dev/null ||
    failed "$name: a counter's growth is negative in the metrics"
  jq -e '.metrics.periods[1].deltas.server_cpu_s > 0 and .metrics.missing == []' \
    "$out/$name.json" >/dev/null || failed "$name: the server's CPU was lost with its restart:" \
    "$(jq -c '.metrics | {missing, periods: [.periods[].deltas.server_cpu_s]}' "$out/$name.json")"
  cat "$out/$name.err"
}
# durable REPORT: the verdict's check that every commit was durable, true or false.
durable() { jq '.verdict.checks[] | select(.check | startswith("commits durable")) | .pass' "$1"; }
echo "--- the server crashes mid-run: durable commits"
crash durable-crash "-c fsync=on" 0
[[ $(jq .durability.pass "$out/durable-crash.json") == true ]] || failed "durable crash: not a pass"
[[ $(durable "$out/durable-crash.json") == true ]] || failed "durable crash: commits judged not durable"
echo "--- the server crashes mid-run: commits acknowledged before they are durable"
crash lost-commits "-c fsync=on -c synchronous_commit=off" 3
grep -qE '^tpcc-run: the database holds [0-9]+ fewer New-Orders than were acknowledged: commits were lost$' \
  "$out/lost-commits.err" || failed "lost commits: not named"
[[ $(jq .durability.pass "$out/lost-commits.json") == false ]] || failed "lost commits: a pass"
[[ $(durable "$out/lost-commits.json") == false ]] ||
  failed "lost commits: synchronous_commit off, yet commits judged durable"
grep -E '^  FAIL  commits durable .*synchronous_commit off' "$out/lost-commits.txt" ||
  failed "lost commits: the verdict does not name synchronous_commit"
pg_crash "" || failed "the server did not start again"

echo "--- a load in two parts at once, without foreign keys: the part with the keys waits for the other"
"${PSQL[@]}" -c "CREATE DATABASE parts" || failed "cannot create a database"
parts=(--dsn "host=$PG_DIR user=tpcc dbname=parts" --warehouses 2 --seed 4 --c-load 100
  --timestamp '2026-12-09 10:00:00' --quiet)
"$load" "${parts[@]}" --range 1-1 --no-foreign-keys >"$out/part1.txt" 2>&1 &
keyed=$!
sleep 2
"$load" "${parts[@]}" --range 2-2 --no-keys >/dev/null || failed "load part 2-2: status $?"
wait $keyed || failed "load part 1-1: status $?"
[[ $(grep -cE '^ +[0-9]+ .* 0$' "$out/part1.txt") == 12 ]] ||
  failed "the parts' database fails a condition: $(cat "$out/part1.txt")"
expect "a part loaded twice" 1 "warehouses 2-2 hold rows already" "$load" "${parts[@]}" --range 2-2 --no-keys
[[ $("${PSQL[@]}" -d parts -At -c "SELECT count(*) FROM pg_constraint WHERE contype = 'f'") == 0 ]] ||
  failed "--no-foreign-keys: the parts' database has foreign keys"
"$run" --dsn "host=$PG_DIR user=tpcc dbname=parts" --connections 2 --ramp-up 1 --duration 3 --no-flag \
  --quiet --check >"$out/nofk.txt" || failed "a run without foreign keys: status $?"
head -n 1 "$out/nofk.txt" | grep -q ', no foreign keys,' || failed "the report does not say 'no foreign keys'"
grep -q 'durability: the database changed by exactly what the run acknowledged' "$out/nofk.txt" ||
  failed "a run without foreign keys: durability not judged exact"

echo "--- failures"
expect "a bad connection string" 1 '^tpcc-run: cannot connect: ' "$run" --dsn "nosuchkey=1"
expect "no server" 1 '^tpcc-run: cannot connect: ' "$run" --dsn "host=$PG_DIR/none user=tpcc"
"${PSQL[@]}" -c "CREATE DATABASE empty" || failed "cannot create a database"
expect "no schema" 1 "no table 'warehouse' of the kit: tpcc-load makes it" \
  "$run" --dsn "host=$PG_DIR user=tpcc dbname=empty" --no-flag
expect "too few warehouses" 1 "fewer than the 3 asked for" "$run" --dsn "$dsn" --warehouses 3 --no-flag
expect "an unknown option" 2 "unknown option --frobnicate" "$run" --frobnicate
expect "a bad duration" 2 "--duration: 'x' is not a number" "$run" --duration x
expect "tpcc-load without N" 2 "--warehouses is required" "$load" --dsn "$dsn"
expect "tpcc-load, a bad range" 2 "outside 1-2" "$load" --warehouses 2 --range 2-3
expect "no C-Load" 1 "give --c-load from its load.env" bash -c \
  "'${PSQL[0]}' ${PSQL[*]:1} -c 'DROP TABLE tpcc_load' && exec '$run' --dsn '$dsn' --no-flag"

((failures == 0)) && echo "driver: all checks hold"
exit $((failures > 0))
