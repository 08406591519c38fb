#!/usr/bin/env bash
# A throwaway MariaDB with a two-warehouse database, for the tests that need
# one: started before them and stopped after them by CTest.
#   fixture.sh start STATE_DIR TPCC_LOAD   writes STATE_DIR/dsn
#   fixture.sh stop STATE_DIR
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=server.sh
. "$here/server.sh"
state=$2
case $1 in
start)
  mkdir -p "$state" && rm -f "$state/dsn"
  my_start || exit 1
  printf '%s\n' "$MY_DIR" >"$state/my_dir"
  "$3" --dsn "$MY_DSN" --warehouses 2 --seed 5 --no-check --quiet >/dev/null || { my_stop; exit 1; }
  printf '%s\n' "$MY_DSN" >"$state/dsn"
  ;;
stop)
  [[ -f $state/my_dir ]] || exit 0
  MY_DIR=$(cat "$state/my_dir")
  my_stop
  rm -f "$state/my_dir" "$state/dsn"
  ;;
esac
