#!/usr/bin/env bash
# Installation as a packager and a board's init system rely on it, one mode a test:
#   install_test.sh lint UNIT INIT_SCRIPT DAEMON MAINTAINER_SCRIPTS_DIR
#   install_test.sh sandbox SOURCE_DIR   (as root, with build/bin built: drives scripts/sandbox)
#   install_test.sh init INIT_SCRIPT DAEMON TAVUMON   (starts daemons: inside scripts/sandbox)
#   install_test.sh debian BUILD_DIR C_COMPILER NM
set -uo pipefail
failures=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL $*" >&2; failures=$((failures + 1)); }
ok() { "$@" || fail "$*"; }

# The unit as systemd reads it, the shell scripts as dash, BusyBox sh and shellcheck do.
lint() {
  sed "s|^ExecStart=.*|ExecStart=${1%/*}/tavunetlink-start $3|" "$1" > "$work/tavunetlink.service"
  # verify exits 0 on some bad settings, so any word from it is a failure.
  ok test -z "$(systemd-analyze verify --man=no "$work/tavunetlink.service" 2>&1 || echo failed)"
  for script in "$2" "${1%/*}/tavunetlink-start" "$4"/{postinst,prerm,postrm}; do
    ok dash -n "$script"; ok busybox sh -n "$script"; ok shellcheck -s sh "$script"
  done
}

# The sandbox as a newcomer meets it: a command's own status 124 (another timer's) and the time
# limit, of which only the latter says so; usage errors; its input passed; the README's five
# commands by hand, typed at a terminal into the shell that the first opens.
sandbox() {
  cd "$1" || exit 1
  ok test "$(scripts/sandbox --timeout 8 -- timeout 1 sleep 30 2>&1; echo $?)" = 124
  ok test "$(scripts/sandbox --timeout 1 -- sleep 30 2>&1; echo $?)" = $'sandbox: \'sleep\' did not finish within 1s and was killed\n124'
  # shellcheck disable=SC2086 # the arguments are words
  for args in "--timeout abc" "--timeout 0" --bogus; do [[ $(scripts/sandbox $args -- true 2>&1; echo $?) == *$'\nTry \'scripts/sandbox --help\'.\n2' ]] || fail "sandbox $args"; done
  [[ $(scripts/sandbox --help) == *"(pid 1)." ]] || fail "sandbox --help: more than the help"
  ok test "$(echo hello | scripts/sandbox -- cat)" = hello
  recipe=$(awk '/^### By hand/ { f = 1 } f && /^```/ { if (c++) exit; next } c' README.md)
  # shellcheck disable=SC2016 # expanded inside
  out=$({ tail -n +2 <<< "$recipe"; echo 'for _ in $(seq 3000); do [ -c /dev/tts/1 ] && break; sleep 0.01; done; ls -l /dev/tts; exit'; } |
    timeout 60 script -qec "$(head -1 <<< "$recipe")" /dev/null)
  [[ $out == *"crw-r----- 1 root root 4, 65 "* ]] || fail "the five commands by hand: no node /dev/tts/1 in: $out"
}

pids() { for dir in /proc/[0-9]*; do [ "$(readlink "$dir/exe")" = "$daemon" ] && echo "${dir#/proc/}"; done 2> /dev/null; }

# row DAEMON ACTION STATUS TEXT STATE: the init script run on one DAEMON, its status and words,
# then STATE as seen from outside: how many of its daemons run, the client socket, what coldplug saw.
row() {
  out=$(DAEMON=${exe[$1]} DAEMON_OUTPUT=$work/daemon.out TRIGGER=$work/trigger PROBE=$probe STARTER=$work/start PATH=$path "$sh" "$script" "$2" 2>&1)
  status=$?
  seen="$(pids | wc -w) $(grep -q ' @tavunetlinksocket' /proc/net/unix && echo listening || echo closed) $(cat "$work/coldplug" 2> /dev/null || echo none)"
  rm -f "$work/coldplug"
  [[ $status = "$3" && $out == *"$4"* && $seen = "$5" ]] || fail "$sh $2 $1: status $status, said '$out', left '$seen'; wanted $3, '$4', '$5'"
}

# "other" is a daemon the script does not know, holding the client socket: its own cannot bind it.
# The starter runs under the same shell; a start keeps the previous run's trace buffer.
rows() {
  sh=$1 path=$2
  sed "1s|.*|#!$sh|" "${script%/*}/tavunetlink-start" > "$work/start" && chmod +x "$work/start" && echo "$sh" > /run/tavutrace/TAVUNL
  #   daemon action  status text                   daemons socket coldplug
  row own   status   3 "is not running"            "0 closed none"
  row own   stop     0 "not running"               "0 closed none"
  row own   start    0 "started"                   "1 listening after-bind"
  ok test "$(ls /run/tavutrace) $(cat /run/tavutrace/TAVUNL.1)" = "TAVUNL.1 $sh"
  row own   status   0 "is running (pid $(pids))"  "1 listening none"
  row own   start    0 "already running"           "1 listening none"
  row own   restart  0 "started"                   "1 listening after-bind"
  row own   stop     0 "stopped"                   "0 closed none"
  row own   bogus    2 "Usage:"                    "0 closed none"
  row none  start    5 "not an executable"         "0 closed none"
  row other start    0 "started"                   "0 listening after-bind"
  row own   start    1 "socket bind() failed, errno=98; the name is held by uid 0, pid $(pidof other)" "0 listening none"
  row other stop     0 "stopped"                   "0 closed none"
}

# The init script driven as a boot or an administrator would: under dash with the usual
# tools, then under BusyBox's sh with its applets alone.
init() {
  [ "${TAVU_IN_SANDBOX:-}" = 1 ] || { echo "install_test init: run me inside scripts/sandbox" >&2; exit 2; }
  script=$1 daemon=$(readlink -f "$2") probe=$(dirname "$3")/tavutrigger
  cp "$daemon" "$work/other"
  declare -A exe=([own]=$daemon [other]=$work/other [none]=/nonexistent/tavunetlink)
  # Stands in for tavutrigger (which would write to this machine's /sys): does the daemon listen yet?
  # shellcheck disable=SC2016 # expanded by the stand-in
  printf '#!/bin/sh\n(%s --listening "$(pidof tavunetlink other)" --timeout 0.01 2> /dev/null && echo after-bind || echo before-bind) >> %s\n' \
    "$probe" "$work/coldplug" > "$work/trigger" && chmod +x "$work/trigger"
  rows /bin/dash "$PATH"
  mkdir "$work/busybox" && busybox --install -s "$work/busybox"
  rows "$work/busybox/sh" "$work/busybox"
  # The unit's start while user nobody holds the name: the daemon's own last line, then who holds it.
  setpriv --reuid=65534 --regid=65534 --clear-groups perl -MSocket -e 'socket(S, AF_UNIX, SOCK_STREAM, 0);
    bind(S, pack("S", AF_UNIX) . "\0tavunetlinksocket" . "\0" x 90) && listen(S, 0) && sleep 90' & squatter=$!
  for _ in $(seq 1000); do grep -q ' @tavunetlinksocket' /proc/net/unix && break; sleep 0.01; done
  read -r starter _ < <(sed -n 's/^ExecStart=//p' "${script%/*}/tavunetlink.service")
  out=$("${script%/*}/${starter##*/}" "$daemon" 2>&1)
  [[ $out == *$'errno=98\ntavunetlink: the daemon ended while starting: the name is held by uid 65534, pid '$squatter ]] || fail "unit's start: $out"
  kill "$squatter" && wait "$squatter" 2> /dev/null  # gone, with its socket
  # Started with standard input and error closed and a pipe on descriptor 5, whose reader
  # must see its end at once; then with output into a closed pipe, where a report costs nothing.
  "$daemon" 0<&- 2>&- 5>&1 > /dev/null | cat
  ok test "$(readlink "/proc/$(pids)/fd/0") $(readlink "/proc/$(pids)/fd/2")" = "/dev/null /dev/null"
  kill "$(pids)"
  while [ -n "$(pids)" ]; do sleep 0.01; done
  "$daemon" | true
  setpriv --reuid=65534 --regid=65534 --clear-groups "$3" --count 1 2> /dev/null
  ok test "$(pids | wc -w)" = 1  # the sandbox ends it
}

# The packages cpack makes, as dpkg, the board and a client's build see them; and the daemon's
# libraries, which call no more of the platform's trace library than its three calls.
debian() {
  ok test "$("$3" -u "$1"/lib/libtavu_*.a | grep -o 'trace_kelu_[a-z0-9_]*' | sort -u | xargs)" = "trace_kelu_init_buffer trace_kelu_write2 trace_kelu_write_all"
  cpack --config "$1/CPackConfig.cmake" -B "$work/out" > "$work/cpack.log" 2>&1 || { cat "$work/cpack.log" >&2; exit 1; }
  declare -A deb
  mkdir "$work/root"
  for p in tavunetlink tavunetlink-tools libtavuclient-dev; do
    deb[$p]=$(echo "$work/out/${p}_"*.deb) && dpkg-deb -x "${deb[$p]}" "$work/root/$p" || exit 1
  done
  # Every program is of the machine the compiler builds for, and stripped, with nothing said by the
  # install step (a host strip complains and leaves a board's file as it was); the architecture follows.
  declare -A target=([x86_64-linux-gnu]="ELF64 little X86-64|amd64" [powerpc-linux-gnu]="ELF32 big PowerPC|powerpc")
  wanted=${target[$("$2" -dumpmachine)]:-?|?} && elf=${wanted%|*} arch=${wanted#*|}
  for program in "$work"/root/*/usr/*bin/*; do
    [[ $(readelf -h "$program" | awk '/Class:/ { c = $2 } /Data:/ { d = $4 } /Machine:/ { m = $NF } END { print c, d, m }') = "$elf" &&
       $(readelf -S "$program") != *.symtab* ]] || fail "$program: not a stripped $elf program"
  done
  ok test -z "$(grep -Ev '^(CPack(Deb)?: |-- )' "$work/cpack.log")"
  for p in "${!deb[@]}"; do [ "$(dpkg-deb -f "${deb[$p]}" Architecture)" = "$arch" ] || fail "$p: not for binaries of $elf"; done
  declare -A package=([libc.so.6]=libc6 [libm.so.6]=libc6 [libstdc++.so.6]=libstdc++6 [libgcc_s.so.1]=libgcc-s1 [libelf.so.1]=libelf1)
  for p in tavunetlink tavunetlink-tools; do
    depends=", $(dpkg-deb -f "${deb[$p]}" Depends)"
    for lib in $(readelf -d "$work/root/$p"/usr/*bin/* | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort -u); do
      [[ $depends == *", ${package[$lib]:-$lib} (>= "[0-9]* ]] || fail "$p: $lib is needed, no versioned ${package[$lib]:-package of it} in Depends: ${depends#, }"
    done
  done
  # Every entry root's, programs and directories rwxr-xr-x, every other file rw-r--r--; the init
  # script and its settings are the administrator's (conffiles). tavutrace decodes on the
  # workstation: in its package, never in the board's.
  ok test -z "$(for p in "${!deb[@]}"; do dpkg-deb -c "${deb[$p]}"; done |
    awk '{ x = $6 ~ /\/$|\/(s?bin|libexec|init\.d)\/[^\/]+$/ } substr($1, 2) " " $2 != (x ? "rwxr-xr-x" : "rw-r--r--") " root/root"')"
  ok test "$(dpkg-deb -I "${deb[tavunetlink]}" conffiles)" = "$(printf '/etc/%s/tavunetlink\n' default init.d)"
  ok test "$(ls "$work"/root/*/usr/bin/tavutrace 2> /dev/null)" = "$([ "$arch" != amd64 ] || echo "$work/root/tavunetlink-tools/usr/bin/tavutrace")"
  # One changelog for all, of the packages' version (installed with the copyright).
  for p in "${!deb[@]}"; do
    ok test "$(zcat "$work/root/$p/usr/share/doc/$p/changelog.Debian.gz" | dpkg-parsechangelog -l - -S Version)" = "$(dpkg-deb -f "${deb[$p]}" Version)"
  done
  # The maintainer scripts as packaged, on a machine with the init script and systemd running,
  # where each tool they may call is a stub recording its arguments.
  dpkg-deb -e "${deb[tavunetlink]}" "$work/control"
  mkdir -p "$work/etc/init.d" "$work/run/systemd/system" "$work/none" "$work/tools"
  # shellcheck disable=SC2016 # expanded by the stub
  printf '#!/bin/sh\necho "${0##*/} $*" >> %s\n' "$work/calls" > "$work/stub" && chmod +x "$work/stub"
  for stub in etc/init.d/tavunetlink tools/deb-systemd-helper tools/update-rc.d tools/invoke-rc.d tools/systemctl; do ln -s "$work/stub" "$work/$stub"; done
  enable="deb-systemd-helper unmask tavunetlink.service;deb-systemd-helper --quiet was-enabled tavunetlink.service;deb-systemd-helper enable tavunetlink.service"
  purge="update-rc.d tavunetlink remove;deb-systemd-helper purge tavunetlink.service;deb-systemd-helper unmask tavunetlink.service"
  #          script   argument  calls, ";" between: with no tools, with all, with all in an image
  maintainer postinst configure ""                 "$enable;update-rc.d tavunetlink defaults" "$enable"
  maintainer prerm    remove    "tavunetlink stop" "invoke-rc.d tavunetlink stop"             ""
  maintainer postrm   remove    ""                 "systemctl --system daemon-reload;deb-systemd-helper mask tavunetlink.service" "deb-systemd-helper mask tavunetlink.service"
  maintainer postrm   purge     ""                 "$purge"                                   "$purge"
  # A client program built from the unpacked -dev package alone.
  pc_dir=$(dirname "$(find "$work/root/libtavuclient-dev" -name tavuclient.pc)")
  flags=$(PKG_CONFIG_SYSROOT_DIR=$work/root/libtavuclient-dev PKG_CONFIG_LIBDIR=$pc_dir pkg-config --cflags --libs tavuclient) || fail "pkg-config does not know tavuclient"
  # shellcheck disable=SC2086 # the flags are words
  "$2" -o "$work/client" -x c - $flags <<< $'#include <tavuclient.h>\nint main(void) { return tavuclient_connect() < 0; }' ||
    fail "a client does not build with: $flags"
}

# maintainer SCRIPT ARGUMENT CALLS...: the script, its paths moved into the work directory,
# succeeds having made exactly each CALLS in turn: with none of the tools it may call on its PATH,
# with all of them, and with all of them in an image installed with dpkg --root, where only the
# helpers, which follow DPKG_ROOT, have a say: nothing of this machine's.
maintainer() {
  sed "s|/etc/init.d/|$work/etc/init.d/|g; s|/run/systemd/system|$work/run/systemd/system|g" "$work/control/$1" > "$work/script" && chmod +x "$work/script"
  for run in "none 3" "tools 4" "tools 5 /image"; do
    read -r bin column root <<< "$run"
    rm -f "$work/calls"
    DPKG_ROOT=$root PATH=$work/$bin "$work/script" "$2" > /dev/null 2>&1
    status=$? calls=$(paste -sd ';' "$work/calls" 2> /dev/null)
    [[ $status = 0 && $calls = "${!column}" ]] || fail "$1 $2 with $bin${root:+ in $root}: status $status, called '$calls'; wanted 0, '${!column}'"
  done
}

[[ ${1:-} =~ ^(lint|sandbox|init|debian)$ ]] || { sed -n '2,6p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
"$@"
[ "$failures" = 0 ]
