#!/usr/bin/env bash
# Installation as a packager and a board's init system rely on it, one mode a test:
#   install_test.sh lint UNIT INIT_SCRIPT DAEMON MAINTAINER_SCRIPTS_DIR
#   install_test.sh init INIT_SCRIPT DAEMON TAVUMON   (starts daemons: inside scripts/sandbox)
#   install_test.sh debian BUILD_DIR C_COMPILER
#   install_test.sh tracelib SOURCE_DIR LIBRARY BIN_DIR  (builds the daemon against LIBRARY; sandbox)
set -uo pipefail
failures=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL $*" >&2; failures=$((failures + 1)); }
ok() { "$@" || fail "$*"; }

# The unit as systemd reads it, the shell scripts as dash, BusyBox sh and shellcheck do.
lint() {
  sed "s|^ExecStart=.*|ExecStart=$3|" "$1" > "$work/tavunetlink.service"
  # verify exits 0 on some bad settings, so any word from it is a failure.
  ok test -z "$(systemd-analyze verify --man=no "$work/tavunetlink.service" 2>&1 || echo failed)"
  for script in "$2" "$4"/*; do ok dash -n "$script"; ok busybox sh -n "$script"; ok shellcheck -s sh "$script"; done
}

pids() { for dir in /proc/[0-9]*; do [ "$(readlink "$dir/exe")" = "$daemon" ] && echo "${dir#/proc/}"; done 2> /dev/null; }

# row DAEMON ACTION STATUS TEXT STATE: the init script run on one DAEMON, its status and words,
# then STATE as seen from outside: how many of its daemons run, the client socket, what coldplug saw.
row() {
  out=$(DAEMON=${exe[$1]} DAEMON_OUTPUT=$work/daemon.out TRIGGER=$work/trigger PATH=$path "$sh" "$script" "$2" 2>&1)
  status=$?
  seen="$(pids | wc -w) $(grep -q ' @tavunetlinksocket' /proc/net/unix && echo listening || echo closed) $(cat "$work/coldplug" 2> /dev/null || echo none)"
  rm -f "$work/coldplug"
  [[ $status = "$3" && $out == *"$4"* && $seen = "$5" ]] || fail "$sh $2 $1: status $status, said '$out', left '$seen'; wanted $3, '$4', '$5'"
}

# "other" is a daemon the script does not know, holding the client socket: its own cannot bind it.
rows() {
  sh=$1 path=$2
  #   daemon action  status text                   daemons socket coldplug
  row own   status   3 "is not running"            "0 closed none"
  row own   stop     0 "not running"               "0 closed none"
  row own   start    0 "started"                   "1 listening after-bind"
  row own   status   0 "is running (pid $(pids))"  "1 listening none"
  row own   start    0 "already running"           "1 listening none"
  row own   restart  0 "started"                   "1 listening after-bind"
  row own   stop     0 "stopped"                   "0 closed none"
  row own   bogus    2 "Usage:"                    "0 closed none"
  row none  start    5 "not an executable"         "0 closed none"
  row other start    0 "started"                   "0 listening after-bind"
  row own   start    1 "ended while starting"      "0 listening none"
  ok grep -q Exiting "$work/daemon.out"
  row other stop     0 "stopped"                   "0 closed none"
}

# The init script driven as a boot or an administrator would: under dash with the usual
# tools, then under BusyBox's sh with its applets alone.
init() {
  [ "${TAVU_IN_SANDBOX:-}" = 1 ] || { echo "install_test init: run me inside scripts/sandbox" >&2; exit 2; }
  script=$1 daemon=$(readlink -f "$2")
  cp "$daemon" "$work/other"
  declare -A exe=([own]=$daemon [other]=$work/other [none]=/nonexistent/tavunetlink)
  # Stands in for tavutrigger, which would write to this machine's /sys: the kernel's
  # announcements reach the daemon only once its socket has joined every group.
  printf '#!/bin/sh\n(grep -Eq "^[0-9a-f]+ +15 +[0-9]+ +ffffffff" /proc/net/netlink && echo after-bind || echo before-bind) >> %s\n' \
    "$work/coldplug" > "$work/trigger" && chmod +x "$work/trigger"
  rows dash "$PATH"
  mkdir "$work/busybox" && busybox --install -s "$work/busybox"
  rows "$work/busybox/sh" "$work/busybox"
  # Started with standard input closed and a pipe on descriptor 5, whose reader must see
  # its end at once; then with output into a closed pipe, where a report costs nothing.
  "$daemon" 0<&- 5>&1 > /dev/null | cat
  ok test "$(readlink "/proc/$(pids)/fd/0")" = /dev/null
  kill "$(pids)"
  while [ -n "$(pids)" ]; do sleep 0.01; done
  "$daemon" | true
  setpriv --reuid=65534 --regid=65534 --clear-groups "$3" --count 1 2> /dev/null
  ok test "$(pids | wc -w)" = 1  # the sandbox ends it
}

# The daemon built against the platform's trace library (here the stand-in, made shared
# under another name) imports exactly its three calls, and runs.
tracelib() {
  { cmake -S "$1" -B "$work/b" -DBUILD_TESTING=OFF -DTAVU_TRACE_LIBRARY="$2" -DTAVU_TRACE_INCLUDE_DIR="$1/platform" &&
    cmake --build "$work/b" --target tavunetlink -j "$(nproc)"; } > "$work/log" 2>&1 || { cat "$work/log" >&2; exit 1; }
  daemon=$work/b/bin/tavunetlink
  ok test "$(nm -D --undefined-only "$daemon" | grep -o 'trace_kelu_[a-z0-9_]*' | sort | xargs)" = "trace_kelu_init_buffer trace_kelu_write2 trace_kelu_write_all"
  ok grep -q "NEEDED.*\[$(basename "$2")\]" <(readelf -d "$daemon")
  LD_LIBRARY_PATH=$(dirname "$2") "$daemon" > /dev/null
  until grep -Eq "^[0-9a-f]+ +15 +[0-9]+ +ffffffff" /proc/net/netlink; do sleep 0.01; done  # it listens
  "$3/tavuinject" ACTION=add DEVPATH=/class/uart/ttyS1 SUBSYSTEM=uart MAJOR=4 MINOR=65 2> /dev/null
  ok grep -q "path=/class/uart/ttyS1 type=uart serial=1" <("$3/tavumon" --count 1)
  ok test -c /dev/tts/1 -a -s /run/tavutrace/TAVUNL
}

# The packages cpack makes, as dpkg, the board and a client's build see them.
debian() {
  cpack --config "$1/CPackConfig.cmake" -B "$work/out" > "$work/cpack.log" 2>&1 || { cat "$work/cpack.log" >&2; exit 1; }
  debs=("$work"/out/tavunetlink_*.deb "$work"/out/libtavuclient-dev_*.deb)
  for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$work/root" || exit 1; done
  # The architecture follows from the daemon's ELF header, not from what the build asked for.
  declare -A debian_arch=(["ELF64 little X86-64"]=amd64 ["ELF32 big PowerPC"]=powerpc)
  elf=$(readelf -h "$work/root/usr/sbin/tavunetlink" | awk '/Class:/ { c = $2 } /Data:/ { d = $4 } /Machine:/ { m = $NF } END { print c, d, m }')
  arch=${debian_arch[$elf]:-}
  for deb in "${debs[@]}"; do [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "$deb: not for binaries of $elf"; done
  declare -A package=([libc.so.6]=libc6 [libm.so.6]=libc6 [libstdc++.so.6]=libstdc++6 [libgcc_s.so.1]=libgcc-s1 [libelf.so.1]=libelf1)
  depends=", $(dpkg-deb -f "${debs[0]}" Depends)"
  for lib in $(readelf -d "$work/root"/usr/sbin/* "$work/root"/usr/bin/* | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort -u); do
    [[ $depends == *", ${package[$lib]:-$lib} (>= "[0-9]* ]] || fail "$lib is needed, no versioned ${package[$lib]:-package of it} in Depends: ${depends#, }"
  done
  for deb in "${debs[@]}"; do dpkg-deb -c "$deb"; done | awk '{ print $1, $2, $6 }' > "$work/contents"
  programs=(etc/init.d/tavunetlink usr/sbin/tavunetlink usr/bin/tavu{inject,mon,trigger})
  data=(lib/systemd/system/tavunetlink.service usr/include/tavuclient.h usr/lib/libtavuclient.a usr/lib/pkgconfig/tavuclient.pc
        usr/share/man/man8/tavunetlink.8.gz usr/share/man/man1/tavu{inject,mon,trigger}.1.gz)
  # tavutrace decodes on the workstation: in its package, never in the board's.
  [ "$arch" = amd64 ] && programs+=(usr/bin/tavutrace) data+=(usr/share/man/man1/tavutrace.1.gz)
  # Every file with its mode and owner, and any directory not root's drwxr-xr-x; the library's
  # directory is the multiarch one natively.
  diff <({ printf -- '-rwxr-xr-x root/root %s\n' "${programs[@]}"; printf -- '-rw-r--r-- root/root %s\n' "${data[@]}"; } | sort) \
    <(awk '$3 !~ /\/$/ || $1 " " $2 != "drwxr-xr-x root/root" { print $1, $2, substr($3, 3) }' "$work/contents" |
      sed 's|usr/lib/[^/]*-linux-gnu[^/]*/|usr/lib/|' | sort) || fail "files in the packages: (>) not as wanted (<)"
  [ "$(dpkg-deb -I "${debs[0]}" conffiles)" = /etc/init.d/tavunetlink ] || fail "the init script is no conffile"
  # A client program built from the unpacked -dev package alone.
  pc_dir=$(dirname "$(find "$work/root" -name tavuclient.pc)")
  flags=$(PKG_CONFIG_SYSROOT_DIR=$work/root PKG_CONFIG_LIBDIR=$pc_dir pkg-config --cflags --libs tavuclient) || fail "pkg-config does not know tavuclient"
  # shellcheck disable=SC2086 # the flags are words
  "$2" -o "$work/client" -x c - $flags <<< $'#include <tavuclient.h>\nint main(void) { return tavuclient_connect() < 0; }' ||
    fail "a client does not build with: $flags"
}

[[ ${1:-} =~ ^(lint|init|debian|tracelib)$ ]] || { sed -n '2,6p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
"$@"
[ "$failures" = 0 ]
