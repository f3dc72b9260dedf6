#!/bin/bash
# The Windows tests under Wine, all in one hermetic run so that the Wine
# prefix (slow to make) is made once, fresh, inside the namespaces, where
# Wine's trust store (read from the distribution's bundle) holds the test
# CA. Starts itself under tests/gateway/hermetic.sh when run outside it.
#
#   run_under_wine.sh DLL WINE_HOST_EXE VERSION_CHECK_EXE REPLIES_DIR [TARVANE_POST_EXE]
#
# 1. the version resource read back through the version API;
# 2. whole payments through the DLL and the real WinINet, hosted by the
#    Windows test host, and the gateway's record of what it received;
# 2b. a hostile gateway, through the same DLL and host;
# 3. tarvane-post.exe, when built, as a merchant would run it.
# Prints a line per check and "run_under_wine: N passed, N failed".

set -u
self=$(readlink -f "${BASH_SOURCE[0]}")
here=$(dirname "$self")
repo=$(dirname "$(dirname "$here")")

if [ "${TARVANE_HERMETIC:-}" != 1 ]; then
  exec "$repo/tests/gateway/hermetic.sh" "$self" "$@"
fi
if [ $# -lt 4 ]; then
  echo "usage: $0 DLL WINE_HOST_EXE VERSION_CHECK_EXE REPLIES_DIR [TARVANE_POST_EXE]" >&2
  exit 2
fi
dll=$1 host_exe=$2 version_exe=$3 replies=$4 post_exe=${5:-}
for tool in wine wineboot wineserver python3; do
  command -v "$tool" >/dev/null 2>&1 || { echo "run_under_wine: '$tool' not found (install wine wine32:i386 python3)" >&2; exit 1; }
done

work=$TARVANE_HERMETIC_TMP/wine-tests
mkdir -p "$work"
passed=0
failed=0
ok() { passed=$((passed + 1)); echo "ok   $1"; }
bad() { failed=$((failed + 1)); echo "FAIL $1${2:+: $2}"; }
# A Unix path as Wine's Z: drive shows it.
winpath() { printf 'Z:%s' "$(readlink -f "$1")" | sed 's|/|\\|g'; }
# Counts a program's own "N passed, N failed" line into the totals.
tally() { # output-file what exit-status
  local line p f
  line=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$1" | tail -n 1)
  p=${line%% passed*}
  f=${line#*, }
  f=${f%% failed}
  if [ -n "$line" ] && [ "$3" = 0 ] && [ "$f" = 0 ]; then
    ok "$2 ($p checks)"
  else
    bad "$2" "exit $3, ${line:-no summary line}"
  fi
}

# The system's Internet settings are "no proxy" here; nothing from the
# environment of whoever runs the tests.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY no_proxy NO_PROXY all_proxy ALL_PROXY
# No .NET or HTML engine in the prefix: nothing here uses them, and their
# installers would only slow the prefix down.
export WINEDLLOVERRIDES="mscoree,mshtml="

t0=$EPOCHREALTIME
timeout 300 wineboot --init >"$work/wineboot.log" 2>&1
status=$?
secs=$(awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }')
if [ $status = 0 ]; then ok "Wine prefix made in ${secs}s"; else
  bad "wineboot --init" "exit $status after ${secs}s"; cat "$work/wineboot.log"
fi

# --- 1. the version resource --------------------------------------------------
# Windows programs end their lines with CR LF.
timeout 120 wine "$version_exe" "$(winpath "$dll")" 2>"$work/version.err" | tr -d '\r' >"$work/version.out"
status=${PIPESTATUS[0]}
sed 's/^/  version: /' "$work/version.out"
[ -s "$work/version.err" ] && sed 's/^/  version stderr: /' "$work/version.err"
tally "$work/version.out" "version resource read back through GetFileVersionInfoA/VerQueryValueA" $status

# --- 2. whole payments ----------------------------------------------------------
: >"$TARVANE_GATEWAY_RECORD"
t0=$EPOCHREALTIME
timeout 400 wine "$host_exe" "$(winpath "$dll")" "$(winpath "$replies")" 2>"$work/host.err" | tr -d '\r' >"$work/host.out"
status=${PIPESTATUS[0]}
secs=$(awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }')
grep -v '^expect-request' "$work/host.out" | sed 's/^/  payments: /'
[ -s "$work/host.err" ] && sed 's/^/  payments stderr: /' "$work/host.err"
tally "$work/host.out" "whole payments through TarvaneLink.dll and WinINet (${secs}s)" $status

# What the gateway received: one HTTP/1.0 POST per payment that reached it,
# with the agent, the content type and the body the host's fields make.
grep '^expect-request' "$work/host.out" >"$work/expected.tsv"
python3 - "$TARVANE_GATEWAY_RECORD" "$work/expected.tsv" >"$work/record.out" 2>&1 <<'EOF'
import collections, json, sys
records = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8")]
expected = []
for line in open(sys.argv[2], encoding="utf-8"):
    _, path, body = line.rstrip("\n").split("\t")
    expected.append((path, body))
passed = failed = 0
def check(ok, what, detail=""):
    global passed, failed
    if ok:
        passed += 1
        print("ok   " + what)
    else:
        failed += 1
        print("FAIL " + what + (": " + detail if detail else ""))
def values(r, name):
    return [v for k, v in r["headers"] if k.lower() == name.lower()]
got = collections.Counter((r["path"], r["body"]) for r in records)
want = collections.Counter(expected)
check(got == want, "the gateway received exactly the %d requests of the payments that reached it" % len(expected),
      "unexpected %s; missing %s" % (sorted((got - want).elements()), sorted((want - got).elements())))
bad = []
for r in records:
    problems = []
    if r["method"] != "POST": problems.append("method " + r["method"])
    if r["version"] != "HTTP/1.0": problems.append("version " + r["version"])
    if r["listener"] != "127.0.0.1:443": problems.append("listener " + r["listener"])
    if not r["tls"]: problems.append("no TLS")
    if r["sni"] != "localhost": problems.append("SNI %r" % r["sni"])
    if not r["complete"]: problems.append("incomplete")
    if values(r, "User-Agent") != ["TarvaneLink"]: problems.append("User-Agent %r" % values(r, "User-Agent"))
    if values(r, "Content-Type") != ["application/x-www-form-urlencoded"]:
        problems.append("Content-Type %r" % values(r, "Content-Type"))
    if values(r, "Content-Length") != [str(len(r["body"].encode("latin-1")))]:
        problems.append("Content-Length %r" % values(r, "Content-Length"))
    if values(r, "Host") != ["localhost"]: problems.append("Host %r" % values(r, "Host"))
    if values(r, "Accept"): problems.append("Accept %r" % values(r, "Accept"))
    if problems: bad.append(r["path"] + ": " + ", ".join(problems))
check(records and not bad, "every request: HTTP/1.0 POST over TLS to localhost:443, User-Agent TarvaneLink, "
      "the form content type, the body's length, no Accept", "; ".join(bad))
wire = [r for r in records if r["path"] == "/reply/accepted?merchant=77&shape=1"]
if wire:
    print("request head as received:")
    for line in wire[0]["raw_head"].split("\r\n"):
        if line: print("  " + line)
    print("body: " + wire[0]["body"])
print("%d passed, %d failed" % (passed, failed))
sys.exit(1 if failed else 0)
EOF
status=$?
sed 's/^/  record: /' "$work/record.out"
tally "$work/record.out" "the gateway's record of the payments" $status

echo "WinINet error numbers under Wine:"
grep '^wine-error' "$work/host.out" | cut -f2- | sed 's/\t/: /; s/^/  /'

# --- 2b. a hostile gateway -------------------------------------------------------
# A reply cut short, a reset, a megabyte, bytes that are not HTTP, and a
# server that never answers (ended by the 75-second receive limit).
t0=$EPOCHREALTIME
timeout 300 wine "$host_exe" "$(winpath "$dll")" "$(winpath "$replies")" --hostile 2>"$work/hostile.err" | tr -d '\r' >"$work/hostile.out"
status=${PIPESTATUS[0]}
secs=$(awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }')
grep -v '^observed' "$work/hostile.out" | sed 's/^/  hostile: /'
[ -s "$work/hostile.err" ] && sed 's/^/  hostile stderr: /' "$work/hostile.err"
tally "$work/hostile.out" "a hostile gateway through TarvaneLink.dll and WinINet (${secs}s)" $status

# --- 3. tarvane-post.exe ------------------------------------------------------
if [ -n "$post_exe" ]; then
  # exit status | stdout | stderr (\n between lines; "send-error N": the
  # library's send message for the URL and N) | URL | fields...
  while IFS='|' read -r want_rc want_out want_err url fields; do
    case $want_err in
      "send-error "*) want_err=$(printf "error: Cannot send request to '%100s'. Error %d" "$url" "${want_err#send-error }") ;;
    esac
    # shellcheck disable=SC2086
    (cd "$(dirname "$post_exe")" && timeout 120 wine "$post_exe" "$url" $fields) \
      >"$work/post.out" 2>"$work/post.err"
    rc=$?
    out=$(tr -d '\r' <"$work/post.out")
    err=$(tr -d '\r' <"$work/post.err")
    if [ "$rc" = "$want_rc" ] && [ "$out" = "$(printf "$want_out")" ] && [ "$err" = "$(printf "$want_err")" ]; then
      ok "tarvane-post.exe $url: exit $rc${out:+, $(echo "$out" | head -n 1)}${err:+, $err}"
    else
      bad "tarvane-post.exe $url" "exit $rc (want $want_rc), stdout '$out', stderr '$err'"
    fi
  done <<'EOF'
0|tv_status=accepted\ntv_authcode=AUTH123\ntv_transid=H456\ntv_orderid=O789\ntv_refcode=R012||https://localhost/reply/accepted|amount=12.50 ccnum=4111111111111111 ccexp=12/29
0|tv_status=declined\ntv_declined_reason=Insufficient funds||https://localhost/reply/declined|amount=1.00
1|tv_status=error|error: Invalid Merchant configuration. Please notify Merchant to verify their Tarvane setup.|https://localhost/reply/invalid|amount=1.00
1||send-error 12057|https://gateway-untrusted.test/reply/accepted|amount=1.00
EOF
fi

# Wine's server stays a few seconds after its last program; wait for it,
# so nothing of this run outlives the namespaces.
timeout 60 wineserver -w

echo "run_under_wine: $passed passed, $failed failed"
[ "$failed" = 0 ]
