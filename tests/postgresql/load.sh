#!/usr/bin/env bash
# Loads a generated database into a throwaway PostgreSQL and lets it judge:
#   tests/postgresql/load.sh TPCC_GEN [WAREHOUSES]
# Generates, creates the tables, \copy-loads each, adds the keys and the
# foreign keys (unique keys and whole references, proved by the database), runs the consistency check
# (every condition holds) and compares each table's rows with load.env.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
sql=$here/../../sql/postgresql
gen=$1
warehouses=${2:-2}
# shellcheck source=cluster.sh
. "$here/cluster.sh"
trap pg_stop EXIT
pg_start || exit 1

data=$PG_DIR/csv
"$gen" --warehouses "$warehouses" --out "$data" --quiet >/dev/null || exit 1
"${PSQL[@]}" -f "$sql/schema.sql" || exit 1
# shellcheck source=/dev/null
. "$data/load.env"
status=0
for table in $tables; do
  "${PSQL[@]}" -c "\\copy $table from '$data/$table.csv' csv" || exit 1
done
start=$SECONDS
"${PSQL[@]}" -f "$sql/keys.sql" -f "$sql/foreign_keys.sql" || { echo "the keys do not hold"; exit 1; }
echo "keys and references hold ($((SECONDS - start)) s)"
for table in $tables; do
  want=${table}_rows
  got=$("${PSQL[@]}" -At -c "select count(*) from $table")
  [[ $got == "${!want}" ]] || { echo "$table: $got rows, load.env says ${!want}"; status=1; }
done
check=$("${PSQL[@]}" -At -F ' | ' -f "$sql/check.sql") || exit 1
echo "$check"
[[ $(grep -c ' | 0$' <<<"$check") == 12 ]] || { echo "a consistency condition fails"; status=1; }
exit $status
