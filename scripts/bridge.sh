# Sourced by the scripts that run the tool against the simulated bridge:
#   source scripts/bridge.sh         makes $work (removed on exit, the bridge stopped first)
#   start_bridge PROGRAM [OPTION...] starts PROGRAM --listen 127.0.0.1:0 OPTION...,
#                                    waits for "listening on ADDR:PORT", sets $address
#                                    (returns 1, its log on stderr, if it never says so)
#   stop_bridge                      stops it (nothing if none runs)
# $work/bridge.log holds the bridge's log of its sessions.

work=$(mktemp -d "${TMPDIR:-/tmp}/qelt.XXXXXX")
work=$(cd "$work" && pwd -P)
bridge_pid=
address=

stop_bridge() {
  if [[ -n "$bridge_pid" ]]; then
    kill "$bridge_pid" 2>/dev/null || true
    wait "$bridge_pid" 2>/dev/null || true
    bridge_pid=
  fi
}
trap 'stop_bridge; rm -rf "$work"' EXIT

start_bridge() {
  local program=$1 line=
  shift
  stop_bridge
  rm -f "$work/listening"
  mkfifo "$work/listening"
  "$program" --listen 127.0.0.1:0 "$@" >"$work/listening" 2>"$work/bridge.log" &
  bridge_pid=$!
  exec 3<"$work/listening"
  # A bridge that exits at once closes the pipe: read sees its end, not a line.
  if ! IFS= read -r -t 20 line <&3 || [[ "$line" != "listening on "* ]]; then
    exec 3<&-
    cat "$work/bridge.log" >&2
    return 1
  fi
  exec 3<&-
  address=${line#listening on }
}
