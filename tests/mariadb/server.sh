# A throwaway MariaDB server in a temporary directory, reached only through a
# Unix socket there; sourced by the scripts beside it, in bench/ and by
# tpcc-try.
#   my_start [OPTIONS]  sets MY_DIR, MY_DSN (database tpcc, made empty) and the
#                       array MYSQL; my_stop ends it all.
# As root the server runs as the mysql user the Debian package made.

my_start() {
  command -v mariadbd >/dev/null && command -v mariadb-install-db >/dev/null ||
    { echo "no MariaDB server here (Debian: apt-get install mariadb-server)"; return 1; }
  MY_DIR=$(mktemp -d /tmp/tpcc-my.XXXXXX) || return 1
  local user=()
  if ((EUID == 0)); then
    chown mysql: "$MY_DIR" && chmod 0755 "$MY_DIR" || return 1
    user=(--user=mysql)
  fi
  (cd "$MY_DIR" && mariadb-install-db "${user[@]}" --datadir="$MY_DIR/data" \
    --auth-root-authentication-method=normal --skip-test-db >"$MY_DIR/install.log" 2>&1) ||
    { cat "$MY_DIR/install.log"; return 1; }
  my_serve "${1:-}" || return 1
  MYSQL=(mariadb --socket="$MY_DIR/sock" -uroot --batch --skip-column-names)
  "${MYSQL[@]}" -e "CREATE DATABASE tpcc" || return 1
  MY_DSN="mysql://root@/tpcc?socket=$MY_DIR/sock"
}

my_serve() { # my_serve [OPTIONS]: starts the server, with OPTIONS (--name=value ...) besides
  local user=()
  ((EUID == 0)) && user=(--user=mysql)
  (cd "$MY_DIR" && exec mariadbd --no-defaults "${user[@]}" --datadir="$MY_DIR/data" \
    --socket="$MY_DIR/sock" --skip-networking --pid-file="$MY_DIR/pid" \
    --log-error="$MY_DIR/server.log" --performance-schema=ON --innodb-buffer-pool-size=512M \
    --innodb-flush-log-at-trx-commit=0 --innodb-doublewrite=0 --max-connections=500 \
    ${1:-} >/dev/null 2>&1 &)
  local i
  for ((i = 0; i < 300; i++)); do
    mariadb-admin --socket="$MY_DIR/sock" -uroot ping >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  cat "$MY_DIR/server.log"
  return 1
}

# my_crash [OPTIONS]: ends the server at once, as a crash would, and starts it again.
my_crash() {
  [[ -f $MY_DIR/pid ]] && kill -KILL "$(cat "$MY_DIR/pid")" 2>/dev/null
  local i
  for ((i = 0; i < 100; i++)); do [[ -S $MY_DIR/sock ]] && [[ -f $MY_DIR/pid ]] &&
    kill -0 "$(cat "$MY_DIR/pid")" 2>/dev/null || break; sleep 0.1; done
  rm -f "$MY_DIR/sock" "$MY_DIR/pid"
  my_serve "${1:-}"
}

my_stop() {
  if [[ -n ${MY_DIR:-} ]]; then
    [[ -f $MY_DIR/pid ]] && kill -KILL "$(cat "$MY_DIR/pid")" 2>/dev/null
    sleep 0.2
    rm -rf "$MY_DIR"
    MY_DIR=
  fi
}
