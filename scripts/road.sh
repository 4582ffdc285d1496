# Sourced, not run: the agent's road on a display of its own, as the demo and the long benchmarks
# build it. Xvfb, usbmuxd-sim on a private socket (its commands through descriptor 3), zubpad
# following that daemon with configuration and runtime directories of its own, and device-sim
# processes to attach as USB devices. Every process started here is stopped on exit.
# The caller sets `bin` (the binaries) before calling; `work` is made here.

work=$(mktemp -d -t zubpad-road.XXXXXX)
pids=()
road_cleanup() {
  exec 3>&- 2>/dev/null || true
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap road_cleanup EXIT
trap 'exit 130' INT TERM

# wait_for FILE REGEX [SECONDS]: until a line of FILE matches.
wait_for() {
  local tries=$(( ${3:-10} * 10 ))
  for _ in $(seq "$tries"); do
    grep -qE "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}
# field NAME JSON-LINE: the value of one field of a status line.
field() { sed -nE "s/.*\"$1\":\"?([^\",}]*)\"?.*/\1/p" <<<"$2"; }

# road_xvfb FIRST LAST WxH: Xvfb on the first free display number in the range; sets `display`.
road_xvfb() {
  display=
  local n
  for n in $(seq "$1" "$2"); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || { display=":$n"; break; }
  done
  [ -n "$display" ] || fail "no free X display number"
  Xvfb "$display" -screen 0 "${3}x24" -nolisten tcp >"$work/xvfb.out" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.05; done
  [ -e "/tmp/.X11-unix/X${display#:}" ] || fail "Xvfb did not start on $display"
}
dx() { DISPLAY=$display xdotool "$@" 2>/dev/null; }

# road_daemon: usbmuxd-sim at $work/usbmuxd, its commands written to descriptor 3 (kept open so it
# keeps reading).
road_daemon() {
  mkfifo "$work/daemon.in"
  "$bin/usbmuxd-sim" --socket "$work/usbmuxd" <"$work/daemon.in" >"$work/daemon.out" 2>&1 &
  pids+=($!)
  exec 3>"$work/daemon.in"
  wait_for "$work/daemon.out" '^ready' || fail "usbmuxd-sim did not come up"
  mkdir -p "$work/config" "$work/runtime"
  chmod 700 "$work/runtime"
  # The version document: the caller's `version_url`, or none (a file that is not there) so that the
  # road stays off the network.
  agent_env=(env DISPLAY="$display" XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/runtime"
             USBMUXD_SOCKET_ADDRESS="UNIX:$work/usbmuxd"
             ZUBPAD_VERSION_URL="${version_url:-file://$work/no-version.xml}")
  instances="$work/runtime/zubpad/app.zubpad.agent.pids"
}

# road_agent OUT: zubpad following the daemon; sets `agent_pid` once it has recorded itself.
road_agent() {
  "${agent_env[@]}" "$bin/zubpad" >"$work/$1" 2>&1 &
  agent_pid=$!
  pids+=("$agent_pid")
  wait_for "$instances" "^$agent_pid " 20 || fail "the agent did not record itself"
}

# road_device OUT ARGS...: device-sim on a free port; sets `device_pid` and `port`.
road_device() {
  local out=$1
  shift
  "$bin/device-sim" "$@" >"$work/$out" 2>&1 &
  device_pid=$!
  pids+=("$device_pid")
  wait_for "$work/$out" '"event":"listening"' || fail "device-sim did not start listening"
  port=$(field port "$(grep -m1 '"event":"listening"' "$work/$out")")
}

# road_attach ID PORT SERIAL: the device on PORT plugged in through the daemon, and linked by zubpad.
road_attach() {
  echo "attach $1 $2 $3" >&3
  wait_for "$work/daemon.out" "^attached $1 " || fail "usbmuxd-sim did not attach the device"
  wait_for "$work/daemon.out" "^connect $1 23481 ok" 10 || fail "zubpad did not connect to port 23481 on the device"
}
