#!/usr/bin/env bash
# Checks the service files as their init systems will read them: the unit
# through systemd-analyze verify (with ExecStart pointed at DAEMON, which
# must exist), the init script and the Debian maintainer scripts by dash's
# and BusyBox's parsers and by shellcheck as POSIX sh.
#
#   service_lint_test.sh UNIT INIT_SCRIPT DAEMON MAINTAINER_SCRIPT...
set -uo pipefail
if [ $# -lt 3 ]; then
  sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
fi
unit=$1
init_script=$2
daemon=$3
shift 3
failures=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
  echo "FAIL $*" >&2
  failures=$((failures + 1))
}

# verify exits 0 on some bad settings, so any word from it is a failure; the
# manual page belongs to the installed tree, not to this check.
sed "s|^ExecStart=.*|ExecStart=$daemon|" "$unit" > "$work/tavunetlink.service"
if ! out=$(systemd-analyze verify --man=no "$work/tavunetlink.service" 2>&1) || [ -n "$out" ]; then
  fail "systemd-analyze verify: $out"
fi

for script in "$init_script" "$@"; do
  dash -n "$script" || fail "dash cannot parse $script"
  busybox sh -n "$script" || fail "BusyBox sh cannot parse $script"
  shellcheck -s sh "$script" || fail "shellcheck: $script"
done

echo "service_lint_test: $failures failed"
[ "$failures" = 0 ]
