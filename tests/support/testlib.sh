# Sourced by the shell tests and benchmarks: a working folder that is
# removed at exit, background processes (their pids in `pids`) that are
# stopped at exit, waits with a limit, and free loopback ports found
# without connecting to anything.

work=$(mktemp -d)
pids=()
# A script may define on_failure to show its logs when it ends with an error.
testlib_cleanup() {
  local status=$?
  if [ "$status" -ne 0 ] && declare -F on_failure >/dev/null; then
    on_failure || true
  fi
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap testlib_cleanup EXIT
cd "$work"

# What a wait that runs out does; a script may define its own.
timed_out() {
  echo "timed out waiting for: $1"
  return 1
}

# Waits up to $2 tenths of a second for the command in $1 to succeed.
wait_for() {
  local tries=$2
  until eval "$1"; do
    tries=$((tries - 1))
    if [ "$tries" -le 0 ]; then timed_out "$1"; return 1; fi
    sleep 0.1
  done
}

# Whether a local TCP port appears in the kernel's socket table; with a
# second argument, only in that state (0A: listening).
port_in_use() {
  local hex state=${2:-'[0-9A-F][0-9A-F]'}
  hex=$(printf '%04X' "$1")
  grep -q -E "^ *[0-9]+: [0-9A-F]+:$hex [0-9A-F]+:[0-9A-F]+ $state " /proc/net/tcp /proc/net/tcp6
}

# Whether process $2 holds the socket listening on loopback TCP port $1:
# another program may take a port between its choice and the bind.
listens_on() {
  local hex inode
  hex=$(printf '%04X' "$1")
  for inode in $(awk -v port=":$hex" '$2 ~ port "$" && $4 == "0A" { print $10 }' \
                   /proc/net/tcp /proc/net/tcp6); do
    ls -l "/proc/$2/fd" 2>/dev/null | grep -q "socket:\[$inode\]" && return 0
  done
  return 1
}

# A free loopback port, other than $1 when given.
free_port() {
  local candidate
  for _ in $(seq 1 50); do
    candidate=$((20000 + RANDOM % 30000))
    if ! port_in_use "$candidate" && [ "$candidate" != "${1:-}" ]; then echo "$candidate"; return; fi
  done
  echo "no free port" >&2; return 1
}
