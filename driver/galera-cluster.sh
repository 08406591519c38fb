# galera-cluster.sh - a throwaway MariaDB Galera cluster of N nodes on
# 127.0.0.1, each in a directory of its own under one temporary directory;
# sourced (POSIX sh) by tpcc-try, the galera gate and the benchmark.
#   galera_start DIR N   starts nodes 1..N in DIR (which must exist and be
#                        empty): node 1 bootstraps the cluster, the others join
#                        it one by one with rsync state transfer; sets
#                        GALERA_DSNS (a --dsn option per node) and creates the
#                        database tpcc.  Returns 1, saying why, on failure.
#   galera_dsn DIR I     node I's connection string
#   galera_client DIR I  node I's mariadb client (arguments follow)
#   galera_halt DIR I    ends node I at once, as a crash would
#   galera_end DIR       ends every node; DIR stays for its caller to remove
#   galera_throwaway N   N nodes in a new temporary directory, GALERA_DIR, all
#                        ended and removed when the calling script exits;
#                        prints how long the cluster took to form
# Each node takes four ports (client, group, state transfer, incremental
# transfer) from a block that galera_start checks is free.  As root the
# servers run as the mysql user the Debian package made.

galera_port_free() { # galera_port_free PORT: nothing listens there
  ! ss -Htln "sport = :$1" 2>/dev/null | grep -q .
}

galera_ports() { # galera_ports N: a base B such that B .. B+4N-1 are free
  _gp_n=$(($1 * 4))
  for _gp_try in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20; do
    _gp_base=$((20000 + ($$ * 7 + _gp_try * 613) % 12000)) # below the ephemeral ports
    _gp_i=0
    while [ $_gp_i -lt $_gp_n ] && galera_port_free $((_gp_base + _gp_i)); do
      _gp_i=$((_gp_i + 1))
    done
    [ $_gp_i -eq $_gp_n ] && { echo "$_gp_base"; return 0; }
  done
  echo "galera: no $_gp_n free ports on 127.0.0.1" >&2
  return 1
}

galera_port() { # galera_port DIR I KIND: KIND 0 client, 1 group, 2 state, 3 incremental
  echo $(($(cat "$1/base") + ($2 - 1) * 4 + $3))
}

galera_dsn() {
  echo "mysql://root@127.0.0.1:$(galera_port "$1" "$2" 0)/tpcc"
}

galera_client() {
  _gc_dir=$1 _gc_node=$2
  shift 2
  mariadb --no-defaults --socket="$_gc_dir/node$_gc_node/sock" -uroot --batch --skip-column-names "$@"
}

galera_serve() { # galera_serve DIR I [--wsrep-new-cluster]
  _gs_node=$2
  _gs_at=$1/node$_gs_node
  _gs_peers=""
  _gs_i=1
  while [ $_gs_i -le "$(cat "$1/nodes")" ]; do
    _gs_peers="$_gs_peers${_gs_peers:+,}127.0.0.1:$(galera_port "$1" $_gs_i 1)"
    _gs_i=$((_gs_i + 1))
  done
  _gs_user=""
  [ "$(id -u)" -eq 0 ] && _gs_user=--user=mysql
  # A session of its own: Ctrl-C on the terminal reaches the run, not the cluster.
  (cd "$_gs_at" && exec setsid mariadbd --no-defaults $_gs_user --datadir="$_gs_at/data" \
    --socket="$_gs_at/sock" --bind-address=127.0.0.1 --port="$(galera_port "$1" "$_gs_node" 0)" \
    --pid-file="$_gs_at/pid" --log-error="$_gs_at/server.log" --performance-schema=ON \
    --innodb-buffer-pool-size=256M --innodb-flush-log-at-trx-commit=0 --max-connections=300 \
    --binlog-format=ROW --innodb-autoinc-lock-mode=2 --wsrep-on=ON \
    --wsrep-provider=/usr/lib/galera/libgalera_smm.so --wsrep-cluster-name=tpcc-tools \
    --wsrep-cluster-address="gcomm://$_gs_peers" --wsrep-node-name="node$_gs_node" \
    --wsrep-node-address="127.0.0.1:$(galera_port "$1" "$_gs_node" 1)" \
    --wsrep-provider-options="gmcast.listen_addr=tcp://127.0.0.1:$(galera_port "$1" "$_gs_node" 1);ist.recv_addr=127.0.0.1:$(galera_port "$1" "$_gs_node" 3);gcache.size=256M" \
    --wsrep-sst-method=rsync --wsrep-sst-receive-address="127.0.0.1:$(galera_port "$1" "$_gs_node" 2)" \
    ${3:-} >/dev/null 2>&1 &)
  _gs_i=0 # a joiner answers once its state transfer is done and it has synced
  until [ "$(galera_client "$1" "$_gs_node" -e "SELECT variable_value FROM information_schema.GLOBAL_STATUS WHERE variable_name = 'WSREP_LOCAL_STATE_COMMENT'" 2>/dev/null)" = Synced ]; do
    _gs_i=$((_gs_i + 1))
    if [ $_gs_i -ge 1200 ]; then
      echo "galera: node $_gs_node did not join the cluster in 120 s; its log:" >&2
      tail -n 30 "$_gs_at/server.log" >&2
      return 1
    fi
    sleep 0.1
  done
}

galera_start() {
  command -v mariadbd >/dev/null && [ -f /usr/lib/galera/libgalera_smm.so ] &&
    command -v rsync >/dev/null ||
    { echo "galera: no Galera cluster here (Debian: apt-get install mariadb-server galera-4 rsync)" >&2; return 1; }
  galera_ports "$2" >"$1/base" || return 1
  echo "$2" >"$1/nodes"
  _gst_user=""
  if [ "$(id -u)" -eq 0 ]; then
    chown mysql: "$1" && chmod 0755 "$1" || return 1
    _gst_user=--user=mysql
  fi
  _gst_i=1
  while [ $_gst_i -le "$2" ]; do
    mkdir "$1/node$_gst_i" "$1/node$_gst_i/data" || return 1
    [ -z "$_gst_user" ] || chown -R mysql: "$1/node$_gst_i" || return 1
    _gst_i=$((_gst_i + 1))
  done
  (cd "$1/node1" && mariadb-install-db --no-defaults $_gst_user --datadir="$1/node1/data" \
    --auth-root-authentication-method=normal --skip-test-db >"$1/node1/install.log" 2>&1) ||
    { cat "$1/node1/install.log" >&2; return 1; }
  galera_serve "$1" 1 --wsrep-new-cluster || return 1
  galera_client "$1" 1 -e "CREATE USER IF NOT EXISTS root@'127.0.0.1'; GRANT ALL ON *.* TO root@'127.0.0.1' WITH GRANT OPTION; CREATE DATABASE tpcc" || return 1
  GALERA_DSNS="--dsn $(galera_dsn "$1" 1)"
  _gst_i=2
  while [ $_gst_i -le "$2" ]; do
    galera_serve "$1" $_gst_i || return 1
    GALERA_DSNS="$GALERA_DSNS --dsn $(galera_dsn "$1" $_gst_i)"
    _gst_i=$((_gst_i + 1))
  done
}

galera_halt() {
  # A node still joining has no pid file yet, and its state transfer runs scripts and an
  # rsync daemon of its own: every process named after the node's directory goes.
  while pkill -KILL -f -- "$1/node$2/" 2>/dev/null; do sleep 0.1; done
  rm -f "$1/node$2/pid" "$1/node$2/sock"
}

galera_end() {
  [ -f "$1/nodes" ] || return 0
  _ge_i=1
  while [ $_ge_i -le "$(cat "$1/nodes")" ]; do
    galera_halt "$1" $_ge_i
    _ge_i=$((_ge_i + 1))
  done
}

galera_throwaway() {
  GALERA_DIR=$(mktemp -d /tmp/tpcc-galera.XXXXXX) || return 1
  trap 'galera_end "$GALERA_DIR"; rm -rf "$GALERA_DIR"' EXIT
  _gt_started=$(date +%s)
  galera_start "$GALERA_DIR" "$1" || return 1
  echo "the cluster of $1 nodes formed in $(($(date +%s) - _gt_started)) s"
}
