#!/bin/sh
# Runs the benchmarks and writes bench/results.md. Must run inside the
# hermetic harness, which provides the local TLS gateway:
#
#   tests/gateway/hermetic.sh sh bench/run.sh BUILD_DIR [TARVANE_BENCH_FLAGS...]
#
# Flags go to the timing run, e.g. --payments=20 for a quick look.
set -eu

build=$(cd "${1:?usage: run.sh BUILD_DIR [FLAGS...]}" && pwd)
shift
here=$(cd "$(dirname "$0")" && pwd)
bench=$build/bench/tarvane_bench
[ "${TARVANE_HERMETIC:-}" = 1 ] || { echo "run.sh: run me inside tests/gateway/hermetic.sh" >&2; exit 2; }
[ -x "$bench" ] || { echo "run.sh: $bench is not built" >&2; exit 2; }
out=$TARVANE_HERMETIC_TMP/bench
mkdir -p "$out"

# The certificate and handshake the gateway offers for localhost.
openssl s_client -connect 127.0.0.1:443 -servername localhost </dev/null \
  >"$out/handshake.txt" 2>&1 || true
openssl x509 -noout -text <"$out/handshake.txt" >"$out/certificate.txt" 2>&1 || true

echo "bench: timing (a few minutes)" >&2
"$bench" --benchmark_enable_random_interleaving=true \
  --benchmark_out="$out/bench.json" --benchmark_out_format=json \
  --benchmark_counters_tabular=true "$@" >&2

echo "bench: counting instructions under callgrind" >&2
valgrind --tool=callgrind --callgrind-out-file="$out/callgrind.out" \
  "$bench" --instructions >"$out/callgrind.log" 2>&1 ||
  { tail -n 20 "$out/callgrind.log" >&2; exit 1; }

python3 "$here/report.py" --json "$out/bench.json" --callgrind "$out" \
  --certificate "$out/certificate.txt" --handshake "$out/handshake.txt" \
  --out "$here/results.md"
