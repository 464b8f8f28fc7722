#!/usr/bin/env bash
# Drives the init script as a boot or an administrator would, once under
# dash with the usual tools and once under BusyBox's sh with only BusyBox's
# applets: start, status, stop, restart, and the ways start fails. It starts
# the daemon, so it runs inside scripts/sandbox:
#   scripts/sandbox -- tests/install/init_script_test.sh INIT_SCRIPT DAEMON
set -uo pipefail
if [ $# != 2 ]; then
  sed -n '2,6p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
fi
[ "${TAVU_IN_SANDBOX:-}" = 1 ] || { echo "init_script_test: run me inside scripts/sandbox" >&2; exit 2; }
init_script=$1
daemon=$(readlink -f "$2")
failures=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
  echo "FAIL [$variant] $*" >&2
  failures=$((failures + 1))
}

# init ACTION EXPECTED_STATUS EXPECTED_TEXT: runs the script, checks both.
init() {
  local out status
  out=$(DAEMON=$daemon_under_test DAEMON_OUTPUT=$work/daemon.out TRIGGER=$work/trigger PATH=$path_under_test $shell_under_test "$init_script" "$1" 2>&1)
  status=$?
  [ "$status" = "$2" ] || fail "$1: status $status, wanted $2; said: $out"
  [[ $out == *"$3"* ]] || fail "$1: said '$out', wanted '$3'"
}

# The daemon's pids, read without the script's help.
running_pids() {
  local dir
  for dir in /proc/[0-9]*; do
    [ "$(readlink "$dir/exe" 2> /dev/null)" = "$daemon" ] && echo "${dir#/proc/}"
  done
}

socket_listens() {
  grep -q " @tavunetlinksocket" /proc/net/unix
}

expect_running() {
  local pids
  pids=$(running_pids)
  [ "$(wc -w <<< "$pids")" = 1 ] || fail "$1: daemon pids '$pids', wanted one"
  socket_listens || fail "$1: no client socket listening"
}

expect_stopped() {
  [ -z "$(running_pids)" ] || fail "$1: daemon still running: $(running_pids)"
  ! socket_listens || fail "$1: client socket still there"
}

# Stands in for tavutrigger (the real one would write into this machine's
# /sys): notes whether the daemon already had its uevent socket.
cat > "$work/trigger" << EOF
#!/bin/sh
if grep -Eq '^[0-9a-f]+ +15 +[0-9]+ ' /proc/net/netlink; then echo listening; else echo deaf; fi >> "$work/trigger.log"
EOF
chmod +x "$work/trigger"

expect_coldplug() {
  local said
  said=$(cat "$work/trigger.log" 2> /dev/null)
  [ "$said" = "$2" ] || fail "$1: coldplug ran as '$said', wanted '$2'"
  rm -f "$work/trigger.log"
}

run_variant() {
  daemon_under_test=$daemon
  expect_stopped "before start"
  init status 3 "not running"
  init stop 0 "not running"
  init start 0 "started"
  expect_running "start"
  expect_coldplug "start" "listening"
  init status 0 "is running (pid $(running_pids))"
  init start 0 "already running"
  expect_running "second start"
  expect_coldplug "second start" ""
  init restart 0 "started"
  expect_running "restart"
  expect_coldplug "restart" "listening"
  init stop 0 "stopped"
  expect_stopped "stop"
  init status 3 "not running"
  init bogus 2 "Usage:"

  daemon_under_test=/nonexistent/tavunetlink
  init start 5 "not an executable"

  # Another daemon, not this script's, holds the socket: this one's bind
  # fails, it ends, and start must say so.
  cp "$daemon" "$work/other-tavunetlink"
  "$work/other-tavunetlink" > /dev/null
  for _ in $(seq 50); do socket_listens && break; sleep 0.1; done
  daemon_under_test=$daemon
  init start 1 "ended while starting"
  grep -q "Exiting" "$work/daemon.out" || fail "the daemon's failure report is not in its output file"
  [ -z "$(running_pids)" ] || fail "start beside another daemon: still running: $(running_pids)"
  kill "$(pidof other-tavunetlink)"
  for _ in $(seq 50); do socket_listens || break; sleep 0.1; done
}

variant=dash
shell_under_test=dash
path_under_test=$PATH
run_variant

variant=busybox
mkdir "$work/busybox"
busybox --install -s "$work/busybox"
shell_under_test="$(command -v busybox) sh"
path_under_test=$work/busybox
run_variant

echo "init_script_test: $failures failed"
[ "$failures" = 0 ]
