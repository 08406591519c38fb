#!/usr/bin/env bash
# The report's page in a real browser: two short runs against a throwaway
# PostgreSQL, the page of one (tpcc-run --html) and of both (tpcc-report),
# each rendered by headless Chromium; every chart is in the DOM, the browser
# logs nothing (the page fetches nothing: its policy would make any fetch a
# console error), and screenshots are left in SHOTS_DIR.  The server makes a
# checkpoint every 30 s, so that the first run's page marks one; its metrics
# file passes promtool when PROMTOOL names one.
#   tests/postgresql/report_page.sh BUILD_DIR SHOTS_DIR
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
mkdir -p "$2" && shots=$(cd "$2" && pwd) || exit 1
load=$build/driver/tpcc-load
run=$build/driver/tpcc-run
report=$build/driver/tpcc-report
browser=$(command -v chromium) || { echo "no chromium here (Debian: apt-get install chromium)"; exit 1; }
# shellcheck source=cluster.sh
. "$here/cluster.sh"
trap pg_stop EXIT
pg_start "-c checkpoint_timeout=30s" || exit 1
dsn="host=$PG_DIR user=tpcc dbname=postgres"
out=$PG_DIR/out
mkdir -p "$out"
failures=0
failed() { echo "FAILED: $*"; failures=$((failures + 1)); }

"$load" --dsn "$dsn" --warehouses 1 --quiet >/dev/null || failed "tpcc-load: status $?"
"$run" --dsn "$dsn" -c 2 --ramp-up 3 --duration 33 --no-flag --quiet --report "$out/two.json" \
  --html "$out/run.html" --metrics-file "$out/run.prom" >/dev/null ||
  failed "run on 2 connections: status $?"
"$run" --dsn "$dsn" -c 4 --seed 2 --ramp-up 3 --duration 20 --no-flag --quiet --no-metrics \
  --report "$out/four.json" >/dev/null || failed "run on 4 connections: status $?"
checkpoints=$(jq '.metrics.checkpoints | length' "$out/two.json")
((checkpoints >= 1)) || failed "no checkpoint in a 36 s run with checkpoint_timeout 30 s"
[[ $(jq -r .metrics.unavailable "$out/four.json") == --no-metrics ]] ||
  failed "--no-metrics: the report does not say it sampled nothing"
if [[ -n ${PROMTOOL:-} ]]; then
  "$PROMTOOL" check metrics <"$out/run.prom" || failed "$PROMTOOL: the metrics file does not pass"
  echo "promtool: $(grep -vc '^#' "$out/run.prom") samples pass"
fi
grep -q '^tpcc_transactions_total{type="new_order"} [1-9]' "$out/run.prom" ||
  failed "the metrics file has no New-Orders: $(head -n 12 "$out/run.prom")"
"$report" --out "$out/compare.html" "$out/two.json" "$out/four.json" || failed "tpcc-report: status $?"
"$report" --title 'A <title>' "$out/four.json" && [[ -f $out/tpcc-report.html ]] ||
  failed "tpcc-report put no page beside the report"
grep -q '<title>A &lt;title&gt;</title>' "$out/tpcc-report.html" || failed "the title is not escaped"

# tpcc-try leaves its page where it was run and says where.
text=$(cd "$out" && "$build/driver/tpcc-try" --duration 3 --ramp-up 1 --quiet 2>&1) ||
  failed "tpcc-try: status $?: $(tail -n 3 <<<"$text")"
grep -qx "tpcc-try: the report's page: $out/tpcc-try.html" <<<"$text" && [[ -s $out/tpcc-try.html ]] ||
  failed "tpcc-try left no page: $(tail -n 3 <<<"$text")"
# A run that writes nothing must not pass off the earlier trial's page as its own.
text=$(cd "$out" && "$build/driver/tpcc-try" --no-such-option 2>&1)
status=$?
[[ $status == 2 ]] && ! grep -q "the report's page" <<<"$text" ||
  failed "tpcc-try after a failed run: status $status: $(tail -n 2 <<<"$text")"

# What tpcc-report refuses: one line naming the file, status 1, nothing written.
echo '{"tool": "tpcc-run"' >"$out/cut.json"
jq '.version = "2.0.0"' "$out/two.json" >"$out/future.json"
for bad in cut.json future.json missing.json; do
  "$report" --out "$out/bad.html" "$out/two.json" "$out/$bad" 2>"$out/err"
  status=$?
  [[ $status == 1 && $(wc -l <"$out/err") == 1 ]] && grep -q "$out/$bad: " "$out/err" ||
    failed "tpcc-report on $bad: status $status, $(cat "$out/err")"
  [[ ! -e $out/bad.html ]] || failed "tpcc-report wrote a page from $bad"
done
"$report" 2>/dev/null
[[ $? == 2 ]] || failed "tpcc-report without a report is not a usage error"
"$report" --colour x "$out/two.json" 2>/dev/null
[[ $? == 2 ]] || failed "tpcc-report --colour is not a usage error"

charts=(chart-throughput chart-new-order-p90 chart-distribution-new_order chart-distribution-payment
  chart-distribution-order_status chart-distribution-delivery chart-distribution-stock_level
  chart-distribution-deferred_delivery chart-waits chart-io chart-cpu)
declare -A height=([run]=4450 [compare]=5200) # the pages' lengths at this width
for page in run compare; do
  file=$out/$page.html
  (($(stat -c %s "$file") < 300000)) || failed "$page.html is $(stat -c %s "$file") bytes"
  browse=(timeout 120 "$browser" --headless --no-sandbox --disable-gpu --disable-background-networking
    --no-first-run --user-data-dir="$out/profile" --enable-logging=stderr --v=0 --hide-scrollbars)
  "${browse[@]}" --dump-dom "file://$file" >"$out/$page.dom" 2>"$out/$page.log" ||
    failed "$page.html: the browser failed: $(tail -n 3 "$out/$page.log")"
  ! grep -F ':CONSOLE' "$out/$page.log" || failed "$page.html: the browser logged the lines above"
  for id in "${charts[@]}"; do
    grep -q "<figure class=\"chart\" id=\"$id\"><figcaption" "$out/$page.dom" ||
      failed "$page.html: the browser has no chart $id"
  done
  lines=$(grep -c '<path d="M' "$out/$page.dom")
  ((lines >= ${#charts[@]})) || failed "$page.html: only $lines lines drawn"
  [[ $page != compare ]] || grep -q 'id="comparison"' "$out/$page.dom" ||
    failed "compare.html: no comparison table"
  marks=$(grep -o '<line class="mark" id="checkpoint-1-[0-9]*"' "$out/$page.dom" | wc -l)
  ((marks == checkpoints)) || failed "$page.html: $marks checkpoints marked, not $checkpoints"
  grep -q '<table class="facts" id="settings">' "$out/$page.dom" || failed "$page.html: no settings"
  "${browse[@]}" --window-size="1000,${height[$page]}" --screenshot="$shots/$page.png" "file://$file" \
    >/dev/null 2>&1 && [[ -s $shots/$page.png ]] || failed "$page.html: no screenshot"
  echo "$page.html: $(stat -c %s "$file") bytes, ${#charts[@]} charts, $lines lines; screenshot $shots/$page.png"
done

((failures == 0)) && echo "the report's pages: all checks passed"
((failures == 0))
