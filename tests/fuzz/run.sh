#!/bin/sh
# Runs one fuzz target from a copy of its seed corpus for SECONDS and fails
# on any finding, which is kept in FINDINGS and printed in hex.
#
#   run.sh FUZZER SEED_DIR SECONDS FINDINGS_DIR
set -eu
fuzzer=$1
seeds=$2
seconds=${TARVANE_FUZZ_SECONDS:-$3}
findings=$4
name=$(basename "$fuzzer")
here=$(cd "$(dirname "$0")" && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/tarvane-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus" "$findings"
cp "$seeds"/* "$work/corpus/"
seed_count=$(ls "$work/corpus" | wc -l)

dict=
[ -f "$here/$(basename "$seeds").dict" ] && dict="-dict=$here/$(basename "$seeds").dict"

status=0
# -rss_limit_mb and -timeout turn a runaway input into a finding as well.
"$fuzzer" -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$findings/$name-" $dict \
  "$work/corpus" >"$work/log" 2>&1 || status=$?

# The figures: the last status line (cov, ft, corp) and the final stats.
grep -E '^#[0-9]+' "$work/log" | tail -n 1 || true
grep -E '^stat::' "$work/log" || true
echo "$name: $seed_count seeds, corpus now $(ls "$work/corpus" | wc -l) inputs"
if [ "$status" != 0 ]; then
  echo "$name: FINDING (exit $status)"
  grep -v -E '^#[0-9]+|^INFO:' "$work/log" | tail -n 60
  for f in "$findings/$name-"*; do
    [ -f "$f" ] || continue
    echo "input $f:"
    od -A d -t x1z -v "$f" | head -n 40
  done
  exit 1
fi
