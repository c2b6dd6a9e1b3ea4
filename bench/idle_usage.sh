#!/usr/bin/env bash
# Idle cost of the daemon: starts the stand-in peers (configuration database, monitoring
# provider, transport-node proxy with its APHs) and qbx-exporter inside a private network and
# mount namespace, waits until the daemon is connected to all of them, then measures over
# IDLE_SECONDS (default 60) the CPU time the daemon used (utime + stime of /proc/PID/stat)
# and its resident memory (VmRSS, and the peak VmHWM, of /proc/PID/status). Prints both
# against the aims: under 1% of one core and under 64 MB. Not run by ctest.
#
#   bench/idle_usage.sh [BUILD_DIR]        (needs root; BUILD_DIR defaults to build)
#
# Exit status: 0 when both figures are within their aims, 1 when one is above, 2 when the
# measurement could not be made.
set -euo pipefail

if [[ "${1:-}" == "--inside" ]]; then
  # ---- inside the namespace: start everything, publish the daemon's pid, wait for the stop
  # file, then stop the daemon with SIGTERM and report its exit status.
  build="$2"
  work="$3"
  peers=()
  cleanup() {
    for pid in "${peers[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    for pid in "${peers[@]}"; do wait "$pid" 2>/dev/null || true; done
  }
  trap cleanup EXIT
  # Returns once $3 holds $2 (at most 10 s), false if process $1 ended first.
  wait_for_line() {
    for _ in $(seq 100); do
      grep -q "$2" "$3" 2>/dev/null && return 0
      kill -0 "$1" 2>/dev/null || return 1
      sleep 0.1
    done
    return 1
  }
  "$build/tools/nodedb_standin/qbx-nodedb-standin" 2>"$work/nodedb.out" &
  peers+=($!)
  wait_for_line "$!" "serving on" "$work/nodedb.out" || { echo "idle-bench: database stand-in did not start"; exit 2; }
  "$build/tools/monitoring_standin/qbx-monitoring-standin" >"$work/monitoring.out" 2>&1 &
  peers+=($!)
  wait_for_line "$!" "listening on" "$work/monitoring.out" || { echo "idle-bench: monitoring stand-in did not start"; exit 2; }
  # The proxy stand-in reads commands on its standard input and ends at its end: keep it
  # open with a writer that only waits.
  mkfifo "$work/tnproxy.in"
  sleep 1000000 >"$work/tnproxy.in" &
  peers+=($!)
  "$build/tools/tnproxy_standin/qbx-tnproxy-standin" 2 <"$work/tnproxy.in" >"$work/tnproxy.out" 2>&1 &
  peers+=($!)
  wait_for_line "$!" "listening on" "$work/tnproxy.out" || { echo "idle-bench: proxy stand-in did not start"; exit 2; }

  "$build/daemon/qbx-exporter" >"$work/exporter.out" 2>&1 &
  daemon=$!
  echo "$daemon" >"$work/daemon.pid"
  while [[ ! -e "$work/stop" ]] && kill -0 "$daemon" 2>/dev/null; do sleep 0.5; done
  kill -TERM "$daemon" 2>/dev/null || true
  status=0
  wait "$daemon" || status=$?
  echo "idle-bench: qbx-exporter exited with status $status"
  exit 0
fi

# ---- on the host
cd "$(dirname "$0")/.."
build="${1:-build}"
seconds="${IDLE_SECONDS:-60}"
settle="${IDLE_SETTLE:-5}"
if [[ "$(id -u)" != 0 ]]; then
  echo "idle-bench: needs root (private namespaces)" >&2
  exit 2
fi
cmake --build "$build" --target qbx-exporter qbx-sandbox qbx-nodedb-standin qbx-monitoring-standin \
  qbx-tnproxy-standin >/dev/null
build="$(cd "$build" && pwd)"
work="$(mktemp -d /tmp/qbx-idle-bench.XXXXXX)"
sandbox_pid=
finish() {
  touch "$work/stop"
  if [[ -n "$sandbox_pid" ]]; then wait "$sandbox_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap finish EXIT

"$build/tools/sandbox/qbx-sandbox" -- /bin/bash "$(pwd)/bench/idle_usage.sh" --inside "$build" "$work" \
  >"$work/sandbox.log" 2>&1 &
sandbox_pid=$!

fail() {
  echo "idle-bench: $1" >&2
  echo "---- last records:" >&2
  tail -n 30 "$work/sandbox.log" >&2
  exit 2
}

# Waits (at most 60 s) until the sandbox's log holds the text.
wait_for_record() {
  for _ in $(seq 600); do
    grep -qF -- "$1" "$work/sandbox.log" && return 0
    kill -0 "$sandbox_pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

# Connected: the database, the monitoring provider (its full sync done and polling started),
# the transport-node proxy, and every vertical registered with the master APH.
for record in "NodeDbClient is connected" "StatusPoller started" "Connected with TnProxy for forwarding"; do
  wait_for_record "$record" || fail "no record \"$record\""
done
for _ in $(seq 600); do
  [[ "$(grep -c "Received REGISTRATION_ACK" "$work/sandbox.log")" -ge 8 ]] && break
  kill -0 "$sandbox_pid" 2>/dev/null || fail "the sandbox ended"
  sleep 0.1
done
[[ "$(grep -c "Received REGISTRATION_ACK" "$work/sandbox.log")" -ge 8 ]] ||
  fail "not every vertical registered with the management plane"
pid="$(cat "$work/daemon.pid")"
sleep "$settle"
[[ -r "/proc/$pid/stat" ]] || fail "qbx-exporter (pid $pid) is not running"

ticks() {
  # Fields after the command name, which ends at the last ')': utime is the 12th, stime the 13th.
  local rest
  rest="$(sed 's/^.*) //' "/proc/$pid/stat")"
  awk '{ print $12 + $13 }' <<<"$rest"
}
hz="$(getconf CLK_TCK)"
start_ticks="$(ticks)"
start_time="$(date +%s.%N)"
sleep "$seconds"
end_ticks="$(ticks)" || fail "qbx-exporter ended during the measurement"
end_time="$(date +%s.%N)"
rss_kb="$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status")"
hwm_kb="$(awk '/^VmHWM:/ { print $2 }' "/proc/$pid/status")"

awk -v t0="$start_ticks" -v t1="$end_ticks" -v hz="$hz" -v s0="$start_time" -v s1="$end_time" \
  -v rss="$rss_kb" -v hwm="$hwm_kb" '
  BEGIN {
    wall = s1 - s0
    cpu = (t1 - t0) / hz
    pct = 100 * cpu / wall
    printf "idle CPU: %.3f s over %.1f s = %.3f%% of one core (aim < 1%%): %s\n", cpu, wall, pct,
           pct < 1 ? "within aim" : "ABOVE AIM"
    printf "memory: VmRSS %.1f MB, VmHWM %.1f MB (aim < 64 MB): %s\n", rss / 1024, hwm / 1024,
           hwm / 1024 < 64 ? "within aim" : "ABOVE AIM"
    exit (pct < 1 && hwm / 1024 < 64) ? 0 : 1
  }' && result=0 || result=$?

touch "$work/stop"
wait "$sandbox_pid" 2>/dev/null || true
grep "idle-bench:" "$work/sandbox.log" || true
sandbox_pid=
exit "$result"
