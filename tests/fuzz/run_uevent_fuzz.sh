#!/bin/sh
# Runs the uevent interpreter fuzzer for a bounded time, seeded with the
# interpreter tests' datagrams. Meant to run inside scripts/sandbox, e.g.
#   scripts/sandbox --timeout 150 -- tests/fuzz/run_uevent_fuzz.sh \
#     build-asan/bin/uevent_interpreter_fuzz build-asan/bin/write_uevent_seeds 60
# Findings are kept as build-asan/tests/fuzz/crash-* (see ARTIFACTS below).
#
#   run_uevent_fuzz.sh FUZZER SEED_WRITER SECONDS [ARTIFACT_PREFIX]
#
# Exit status: the fuzzer's (0 when it found nothing); 2 on bad usage.
set -eu
if [ $# -lt 3 ]; then
  sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
fi
fuzzer=$1
seed_writer=$2
seconds=$3
artifacts=${4:-./}
here=$(dirname "$0")
work=$(mktemp -d /tmp/uevent-fuzz-XXXXXX)
mkdir "$work/seeds" "$work/corpus"
"$seed_writer" "$work/seeds"
# New inputs go to the scratch corpus; the seeds stay as written.
exec "$fuzzer" -max_total_time="$seconds" -max_len=4096 -dict="$here/uevent.dict" \
  -artifact_prefix="$artifacts" -print_final_stats=1 "$work/corpus" "$work/seeds"
