#!/usr/bin/env bash
# A throwaway PostgreSQL with a two-warehouse database, for the tests that
# need one: started before them and stopped after them by CTest.
#   fixture.sh start STATE_DIR TPCC_LOAD   writes STATE_DIR/dsn
#   fixture.sh stop STATE_DIR
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=cluster.sh
. "$here/cluster.sh"
state=$2
case $1 in
start)
  mkdir -p "$state" && rm -f "$state/dsn"
  pg_start || exit 1
  printf '%s\n' "$PG_DIR" >"$state/pg_dir"
  dsn="host=$PG_DIR user=tpcc dbname=postgres"
  "$3" --dsn "$dsn" --warehouses 2 --seed 5 --no-check --quiet >/dev/null || { pg_stop; exit 1; }
  printf '%s\n' "$dsn" >"$state/dsn"
  ;;
stop)
  [[ -f $state/pg_dir ]] || exit 0
  PG_DIR=$(cat "$state/pg_dir")
  as=()
  ((EUID == 0)) && as=(runuser -u postgres --)
  bindir=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)
  PG_CTL=("${as[@]}" "$bindir/pg_ctl" -D "$PG_DIR/data")
  pg_stop
  rm -f "$state/pg_dir" "$state/dsn"
  ;;
esac
