# A throwaway PostgreSQL cluster in a temporary directory, reached only
# through a Unix socket there; sourced by the scripts beside it and in bench/.
#   pg_start [SETTINGS]  sets PG_DIR and the array PSQL; pg_stop ends it all.
# As root the server runs as the postgres user the Debian package made.

pg_start() {
  local bindir
  bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
  [[ -x $bindir/initdb ]] || { echo "no PostgreSQL server here (Debian: apt-get install postgresql)"; return 1; }
  PG_DIR=$(mktemp -d /tmp/tpcc-pg.XXXXXX) || return 1
  local as=()
  if ((EUID == 0)); then
    chown postgres: "$PG_DIR" && chmod 0755 "$PG_DIR" || return 1
    as=(runuser -u postgres --)
  fi
  PG_CTL=("${as[@]}" "$bindir/pg_ctl" -D "$PG_DIR/data")
  # From a directory the server's user may enter, whatever the caller's is.
  (cd "$PG_DIR" && "${as[@]}" "$bindir/initdb" -D "$PG_DIR/data" -U tpcc --auth=trust -E UTF8 \
    --locale=C >"$PG_DIR/initdb.log" 2>&1) || { cat "$PG_DIR/initdb.log"; return 1; }
  pg_serve "${1:-}" || return 1
  PSQL=(psql -h "$PG_DIR" -U tpcc -d postgres -X -q -v ON_ERROR_STOP=1)
}

pg_serve() { # pg_serve [SETTINGS]: starts the server, with SETTINGS (-c name=value ...) besides
  (cd "$PG_DIR" && "${PG_CTL[@]}" -l "$PG_DIR/server.log" -w -t 60 \
    -o "-c listen_addresses='' -k $PG_DIR -c fsync=off -c full_page_writes=off ${1:-}" start \
    >/dev/null) || { cat "$PG_DIR/server.log"; return 1; }
}

# pg_crash [SETTINGS]: ends the server at once, as a crash would, and starts it again.
pg_crash() {
  (cd "$PG_DIR" && "${PG_CTL[@]}" -m immediate stop >/dev/null 2>&1)
  pg_serve "${1:-}"
}

pg_stop() {
  if [[ -n ${PG_DIR:-} ]]; then
    (cd "$PG_DIR" && "${PG_CTL[@]}" -m immediate stop >/dev/null 2>&1)
    rm -rf "$PG_DIR"
    PG_DIR=
  fi
}
