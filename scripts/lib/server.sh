# Sourced by the with-* scripts, which each run a command against a server
# of their own: a temporary folder, a free port on 127.0.0.1, and the
# command run in the background so that a signal reaches it first; then
# the server is stopped and the folder removed, whether the command
# succeeded, failed or was interrupted.
#
#   server_stop() { ...stop the server; must not fail... }
#   server_begin zelvar-NAME       # sets $work (mode 700) and the traps
#   candidate=$(server_free_port)  # a port nothing listens on now
#   first=$(server_free_block 8)   # 8 free ports in a row, none ephemeral
#   ...start the server, export the variables...
#   server_run CMD ARGS...         # never returns: the status is CMD's
#
# Each script also defines server_stop before any server runs; until it
# does, there is nothing to stop.

server_stop() { :; }

server_work=
server_child=

server_cleanup() {
  local status=$?
  trap - EXIT INT TERM HUP
  server_stop || true
  if [[ -n $server_work ]]; then
    rm -rf "$server_work"
  fi
  exit "$status"
}

# A signal ends the command first, then the server (server_cleanup, on the
# way out).
server_forward() {
  if [[ -n $server_child ]]; then
    kill -s "$1" "$server_child" 2>/dev/null || true
    wait "$server_child" 2>/dev/null || true
  fi
  exit "$2"
}

server_begin() {
  work=$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX")
  server_work=$work
  trap server_cleanup EXIT
  trap 'server_forward INT 130' INT
  trap 'server_forward TERM 143' TERM
  trap 'server_forward HUP 129' HUP
  chmod 700 "$work"
}

server_port_in_use() {
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# A random port in 20000-49999 that nothing listens on now. Another
# process may still take it before the server binds it: callers try again
# when the server does not start.
server_free_port() {
  local candidate
  for _ in $(seq 1 50); do
    candidate=$((20000 + RANDOM % 30000))
    if ! server_port_in_use "$candidate"; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}

# The first of COUNT consecutive ports that nothing listens on now, all
# in 20000-29999 and below the kernel's ephemeral range (from which
# outgoing connections take their local ports, so that none of them can
# hold a port a server is restarted on later).
server_free_block() {
  local count=$1 low=32768 candidate port busy
  read -r low _ </proc/sys/net/ipv4/ip_local_port_range 2>/dev/null || true
  local top=$((low < 30000 ? low : 30000))
  for _ in $(seq 1 50); do
    candidate=$((20000 + RANDOM % (top - 20000 - count)))
    busy=0
    for ((port = candidate; port < candidate + count; port++)); do
      if server_port_in_use "$port"; then
        busy=1
        break
      fi
    done
    if [[ $busy -eq 0 ]]; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}

# Not exec: the server must be stopped after the command. The command
# keeps the script's standard input.
server_run() {
  set +e
  "$@" <&0 &
  server_child=$!
  wait "$server_child"
  local status=$?
  server_child=
  exit "$status"
}
