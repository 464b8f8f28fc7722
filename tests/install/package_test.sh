#!/usr/bin/env bash
# Makes the Debian packages of a build directory with cpack, in a scratch
# directory, and checks what a user of them relies on: the architecture and
# the dependencies match the binaries inside, the files are where they
# belong with the right modes, the init script is a conffile, and a C
# program builds against the -dev package through its pkg-config file.
#
#   package_test.sh BUILD_DIR C_COMPILER
set -uo pipefail
if [ $# != 2 ]; then
  sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
fi
build=$1
cc=$2
failures=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
  echo "FAIL $*" >&2
  failures=$((failures + 1))
}

if ! cpack --config "$build/CPackConfig.cmake" -B "$work/out" > "$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  echo "package_test: cpack failed" >&2
  exit 1
fi
daemon_deb=$(echo "$work"/out/tavunetlink_*.deb)
dev_deb=$(echo "$work"/out/libtavuclient-dev_*.deb)
for deb in "$daemon_deb" "$dev_deb"; do
  [ -f "$deb" ] || { echo "package_test: no $deb; cpack made: $(ls "$work/out")" >&2; exit 1; }
  dpkg-deb -x "$deb" "$work/root"
done

# The architecture follows from the daemon's ELF header, not from what the
# build asked for.
header=$(readelf -h "$work/root/usr/sbin/tavunetlink")
case "$header" in
  *ELF64*"little endian"*"X86-64"*) arch=amd64 ;;
  *ELF32*"big endian"*"PowerPC"*) arch=powerpc ;;
  *) echo "package_test: no Debian architecture known for: $header" >&2; exit 1 ;;
esac
declare -A library_package=([libc.so.6]=libc6 [libm.so.6]=libc6 [libstdc++.so.6]=libstdc++6
                            [libgcc_s.so.1]=libgcc-s1 [libelf.so.1]=libelf1)

for deb in "$daemon_deb" "$dev_deb"; do
  name=$(basename "$deb")
  [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "$name: Architecture $(dpkg-deb -f "$deb" Architecture), binaries are $arch"
  for field in Maintainer Section Description; do
    [ -n "$(dpkg-deb -f "$deb" "$field")" ] || fail "$name: no $field"
  done
done

depends=$(dpkg-deb -f "$daemon_deb" Depends)
for program in "$work"/root/usr/sbin/* "$work"/root/usr/bin/*; do
  for library in $(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    package=${library_package[$library]:-}
    if [ -z "$package" ]; then
      fail "$(basename "$program") needs $library, a library of no known package"
    elif [[ ", $depends" != *", $package (>= "[0-9]* ]]; then
      fail "$(basename "$program") needs $library, but Depends ($depends) has no versioned $package"
    fi
  done
done

# contents DEB: "MODE OWNER PATH" lines, directories with a trailing /.
contents() {
  dpkg-deb -c "$1" | awk '{ path = $6; for (i = 7; i <= NF; i++) path = path " " $i; print $1, $2, path }'
}
{ contents "$daemon_deb"; contents "$dev_deb"; } > "$work/contents"
while read -r mode owner path; do
  [ "$owner" = root/root ] || fail "$path: owner $owner"
  case "$path" in
    */) wanted=drwxr-xr-x ;;
    ./usr/sbin/* | ./usr/bin/* | ./etc/init.d/*) wanted=-rwxr-xr-x ;;
    ./usr/* | ./etc/* | ./lib/systemd/system/*) wanted=-rw-r--r-- ;;
    *) wanted="nothing here" ;;
  esac
  [ "$mode" = "$wanted" ] || fail "$path: $mode, wanted $wanted"
done < "$work/contents"
# The library's directory: the multiarch one natively, plain lib when cross.
libdir=$(sed -n 's|.* \(\./usr/lib[^ ]*\)/libtavuclient\.a$|\1|p' "$work/contents")
[ -n "$libdir" ] || fail "no libtavuclient.a under /usr/lib"
for path in ./usr/sbin/tavunetlink ./usr/bin/tavumon ./usr/bin/tavuinject \
    ./etc/init.d/tavunetlink ./lib/systemd/system/tavunetlink.service ./usr/share/man/man8/tavunetlink.8.gz \
    ./usr/include/tavuclient.h "$libdir/pkgconfig/tavuclient.pc"; do
  grep -q " $path\$" "$work/contents" || fail "no $path in the packages"
done
# tavutrace decodes on the workstation: in its package, not in the board's.
for path in ./usr/bin/tavutrace ./usr/share/man/man1/tavutrace.1.gz; do
  if [ "$arch" = amd64 ]; then
    grep -q " $path\$" "$work/contents" || fail "no $path in the packages"
  elif grep -q " $path\$" "$work/contents"; then
    fail "$path in the board's package"
  fi
done

# Every file under /etc is a conffile; the maintainer scripts run.
etc_files=$(contents "$daemon_deb" | awk '$3 ~ /^\.\/etc\/.*[^\/]$/ { print substr($3, 2) }')
[ "$(dpkg-deb -I "$daemon_deb" conffiles)" = "$etc_files" ] || fail "conffiles: '$(dpkg-deb -I "$daemon_deb" conffiles)', files under /etc: '$etc_files'"
control_modes=$(dpkg-deb --ctrl-tarfile "$daemon_deb" | tar -tvf - | awk '{ print $1, $6 }')
for script in postinst prerm postrm; do
  grep -qx -- "-rwxr-xr-x ./$script" <<< "$control_modes" || fail "maintainer script $script missing or not executable"
done

# A client program built from the unpacked -dev package alone.
cat > "$work/client.c" << 'PROGRAM'
#include <tavuclient.h>
int main(void) { return tavuclient_connect() < 0; }
PROGRAM
flags=$(PKG_CONFIG_SYSROOT_DIR=$work/root PKG_CONFIG_LIBDIR=$work/root/$libdir/pkgconfig \
          pkg-config --cflags --libs tavuclient) || fail "pkg-config does not know tavuclient"
# shellcheck disable=SC2086 # the flags are words
"$cc" -o "$work/client" "$work/client.c" $flags || fail "a client does not build with: $flags"

echo "package_test: $failures failed"
[ "$failures" = 0 ]
