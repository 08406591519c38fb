# The checks the database gates share; sourced by them after they set out (a
# directory for scratch files) and define snapshot, which prints what the runs
# change, in the units of the report's whole_run: orders, order lines, history
# rows, cents of W_YTD, NEW-ORDER rows and delivered orders.

failures=0
failed() { echo "FAILED: $*"; failures=$((failures + 1)); }

# accounts NAME BEFORE REPORT: the database's changes since BEFORE against the report.
accounts() {
  local name=$1 before after key
  read -ra before <<<"$2"
  read -ra after <<<"$(snapshot)"
  local -A want=(
    [orders]=$(jq .whole_run.new_order_committed "$3")
    [order_lines]=$(jq .whole_run.order_lines_committed "$3")
    [history]=$(jq .whole_run.payment_committed "$3")
    [w_ytd_cents]=$(jq .whole_run.payment_amount_cents "$3")
    [new_order_rows]=$(jq '.whole_run.new_order_committed - .whole_run.districts_delivered' "$3")
    [delivered]=$(jq .whole_run.districts_delivered "$3"))
  local keys=(orders order_lines history w_ytd_cents new_order_rows delivered) i=0
  for key in "${keys[@]}"; do
    local got=$((after[i] - before[i]))
    [[ $got == "${want[$key]}" ]] || failed "$name: $key changed by $got, the report says ${want[$key]}"
    i=$((i + 1))
  done
  echo "$name: the database changed by exactly what the report says committed" \
    "($(jq .whole_run.new_order_committed "$3") New-Orders, $(jq .whole_run.payment_amount_cents "$3") cents paid)"
}

# conditions NAME OUTPUT: the run's --check printed conditions 1-10 and 12, all 0.
conditions() {
  local zero
  zero=$(grep -cE '^ +([1-9]|10|12) .* 0$' <<<"$2")
  [[ $zero == 11 ]] || failed "$1: $zero of 11 conditions hold: $2"
}

# expect NAME STATUS PATTERN COMMAND...: the status, and one line of stderr matching PATTERN.
expect() {
  local name=$1 status=$2 pattern=$3 got
  shift 3
  "$@" >/dev/null 2>"$out/err"
  got=$?
  [[ $got == "$status" ]] || failed "$name: status $got, not $status ($(cat "$out/err"))"
  [[ $(wc -l <"$out/err") == 1 ]] && grep -qE -e "$pattern" "$out/err" ||
    failed "$name: stderr is not one line matching '$pattern': $(cat "$out/err")"
}

# exact NAME OUTPUT: --check judged the run's changes exact.
exact() {
  grep -q 'durability: the database changed by exactly what the run acknowledged' <<<"$2" ||
    failed "$1: durability not judged exact: $(grep durability <<<"$2")"
}
