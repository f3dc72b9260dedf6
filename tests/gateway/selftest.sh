#!/bin/bash
# Self-test of the hermetic harness and the test gateway, seen from the
# system curl with its default trust store: the test CA must be trusted, the
# four bad certificates refused for their own reasons, the names resolved
# privately, and every gateway path must answer as its comment says.
# Runs itself under hermetic.sh when started outside it.

set -u
here=$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")
replies=$(dirname "$here")/replies

if [ "${TARVANE_HERMETIC:-}" != 1 ]; then
  exec "$here/hermetic.sh" "$here/selftest.sh" "$@"
fi
command -v curl >/dev/null 2>&1 || { echo "selftest: curl not found (install the curl package)" >&2; exit 1; }

work=$TARVANE_HERMETIC_TMP/selftest
mkdir -p "$work"
passed=0
failed=0

ok() { passed=$((passed + 1)); echo "ok   $1"; }
bad() { failed=$((failed + 1)); echo "FAIL $1: $2"; }

# fetch URL [curl args...]: sets rc, code, secs; body in $work/body, errors in $work/err
fetch() {
  local url=$1 t0
  shift
  t0=$EPOCHREALTIME
  code=$(curl -sS --http1.0 --max-time 20 -o "$work/body" -w '%{http_code}' "$@" "$url" 2>"$work/err")
  rc=$?
  secs=$(awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f", b - a }')
}

# record_count PYTHON-CONDITION-ON-r: how many recorded requests match
record_count() {
  python3 - "$TARVANE_GATEWAY_RECORD" "$1" <<'EOF'
import json, sys
cond = compile("(" + sys.argv[2] + ")", "condition", "eval")
with open(sys.argv[1], encoding="utf-8") as f:
    print(sum(1 for line in f if eval(cond, {}, {"r": json.loads(line)})))
EOF
}

# --- trust store and names inside the namespaces --------------------------
if openssl verify -no-CAfile -no-CAstore "$TARVANE_TEST_CA" >/dev/null 2>&1; then
  ok "test CA trusted through the hashed directory /etc/ssl/certs"
else
  bad "hashed directory" "openssl verify -no-CAfile does not trust the test CA"
fi
if openssl verify -no-CApath -no-CAstore "$TARVANE_TEST_CA" >/dev/null 2>&1 &&
   grep -qF "$(sed -n 2p "$TARVANE_TEST_CA")" /usr/lib/ssl/cert.pem; then
  ok "test CA trusted through the bundle /usr/lib/ssl/cert.pem"
else
  bad "bundle" "the default CA file does not hold the test CA"
fi
addrs=$(getent ahosts localhost | awk '{print $1}' | sort -u | tr '\n' ' ')
if [ "$addrs" = "127.0.0.1 " ]; then ok "localhost is 127.0.0.1 only"; else bad "localhost" "resolves to: $addrs"; fi
t0=$EPOCHREALTIME
if getent hosts no-such-gateway.invalid >/dev/null; then
  bad "resolver" "no-such-gateway.invalid resolved"
else
  secs=$(awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f", b - a }')
  if awk -v s="$secs" 'BEGIN { exit !(s < 1) }'; then ok "unknown name fails to resolve in ${secs}s"
  else bad "resolver" "failing took ${secs}s"; fi
fi

# --- refused certificates -------------------------------------------------
# name | curl exit | reason in curl's message
while IFS='|' read -r host want_rc reason; do
  fetch "https://$host/reply/accepted" --data 'a=1'
  if [ "$rc" = "$want_rc" ] && grep -qE "$reason" "$work/err"; then
    ok "$host refused: $reason"
  else
    bad "$host" "curl exit $rc (want $want_rc), message: $(head -n 1 "$work/err")"
  fi
done <<'EOF'
gateway-untrusted.test|60|unable to get local issuer certificate
gateway-expired.test|60|certificate has expired
gateway-selfsigned.test|60|self.signed certificate
gateway-wrongname.test|60|no alternative certificate subject name matches
EOF
n=$(record_count 'r["listener"] != "127.0.0.1:443"')
if [ "$n" = 0 ]; then ok "no request reached a refused listener"; else bad "refused listeners" "$n requests recorded"; fi

# The wrong-name listener's certificate is trusted and valid for localhost:
# its refusal above was for the name alone. This also shows that the
# handshake failures left the gateway serving.
fetch https://localhost/reply/accepted --connect-to localhost:443:127.0.0.2:443 --data 'a=1'
if [ "$rc" = 0 ] && [ "$code" = 200 ] && cmp -s "$work/body" "$replies/accepted.reply"; then
  ok "certificate on 127.0.0.2 is trusted for localhost"
else
  bad "127.0.0.2 as localhost" "curl exit $rc, status $code"
fi

fetch https://gateway-closed.test/reply/accepted
if [ "$rc" = 7 ]; then ok "gateway-closed.test refuses the connection"; else bad "gateway-closed.test" "curl exit $rc (want 7)"; fi

fetch https://no-such-gateway.invalid/reply/accepted
if [ "$rc" = 6 ] && awk -v s="$secs" 'BEGIN { exit !(s < 2) }'; then
  ok "no-such-gateway.invalid does not resolve (${secs}s)"
else
  bad "no-such-gateway.invalid" "curl exit $rc (want 6) after ${secs}s"
fi

# --- the canned POST and its record ---------------------------------------
body='amount=12.50&card=4111111111111111&name=A%20B'
fetch https://localhost/reply/accepted?x=1 -H 'Content-Type: application/x-www-form-urlencoded' --data-binary "$body"
if [ "$rc" = 0 ] && [ "$code" = 200 ] && cmp -s "$work/body" "$replies/accepted.reply"; then
  ok "POST /reply/accepted gives the canned bytes"
else
  bad "POST /reply/accepted" "curl exit $rc, status $code"
fi
hexbody=$(printf '%s' "$body" | od -An -v -tx1 | tr -d ' \n')
n=$(record_count "r['method'] == 'POST' and r['path'] == '/reply/accepted?x=1' and r['version'] == 'HTTP/1.0'
  and r['listener'] == '127.0.0.1:443' and r['sni'] == 'localhost' and r['complete']
  and r['body'] == '$body' and r['body_hex'] == '$hexbody'
  and ['Content-Length', '${#body}'] in r['headers']
  and ['Content-Type', 'application/x-www-form-urlencoded'] in r['headers']
  and [h[0] for h in r['headers']][0] == 'Host'")
if [ "$n" = 1 ]; then ok "the POST is recorded once, with version, headers and body"; else bad "record of the POST" "$n matching lines"; fi

fetch https://localhost/reply/declined
n=$(record_count "r['method'] == 'GET' and r['path'] == '/reply/declined' and r['body'] == ''")
if [ "$rc" = 0 ] && [ "$code" = 200 ] && [ "$n" = 1 ]; then ok "GET is answered and recorded"; else bad "GET" "curl exit $rc, status $code, $n records"; fi

# --- every gateway path ---------------------------------------------------
# path | curl exit | status | body check | at least seconds
#   body check: =NAME same bytes as NAME.reply; size:N; head:TEXT; tail:TEXT; html
cases=$(cat <<'EOF'
/status/500/accepted|0|500|=accepted|0
/status/403/invalid|0|403|=invalid|0
/redirect/declined|0|302|=declined|0
/delay/300/accepted|0|200|=accepted|0.3
/delay/200/status/502/html_error|0|502|=html_error|0.2
/long/20000|0|200|size:20000 head:Accepted=LONGAUTH\r\n. tail:....|0
/long/8191/refcode=END|0|200|size:8191 head:Accepted=LONGAUTH\r\n tail:.refcode=END|0
/hostile/nul|0|200|=accepted_nul_inside|0
/hostile/megabyte|0|200|size:1048576 head:Accepted=MEG\r\n. tail:....|0
/hostile/dribble/accepted|0|200|=accepted|1
/hostile/close-mid/accepted|18|200|size:31 head:Accepted=AUTH123\r\nhistoryid=H45|0
/hostile/reset|56|000|size:0|0
/hostile/garbage|1|000|size:0|0
/reply/empty|0|200|size:0|0
/reply/no_such_reply|0|404|html|0
/reply/../replies/accepted|0|404|html|0
/elsewhere|0|404|html|0
EOF
)
body_ok() { # check
  local c
  for c in $1; do
    case $c in
      =*) cmp -s "$work/body" "$replies/${c#=}.reply" || return 1 ;;
      size:*) [ "$(stat -c %s "$work/body")" = "${c#size:}" ] || return 1 ;;
      head:*) local want; want=$(printf "${c#head:}" | od -An -v -tx1 | tr -d ' \n')
              [ "$(head -c $((${#want} / 2)) "$work/body" | od -An -v -tx1 | tr -d ' \n')" = "$want" ] || return 1 ;;
      tail:*) local want; want=$(printf "${c#tail:}" | od -An -v -tx1 | tr -d ' \n')
              [ "$(tail -c $((${#want} / 2)) "$work/body" | od -An -v -tx1 | tr -d ' \n')" = "$want" ] || return 1 ;;
      html) grep -q '<html>' "$work/body" || return 1 ;;
    esac
  done
}
while IFS='|' read -r path want_rc want_code check min_secs; do
  rm -f "$work/body"
  fetch "https://localhost$path" --path-as-is --data 'a=1'
  [ -e "$work/body" ] || : >"$work/body"
  if [ "$rc" = "$want_rc" ] && [ "$code" = "$want_code" ] && body_ok "$check" &&
     awk -v s="$secs" -v m="$min_secs" 'BEGIN { exit !(s >= m) }'; then
    ok "$path: exit $rc, status $code, body $check (${secs}s)"
  else
    bad "$path" "curl exit $rc (want $want_rc), status $code (want $want_code), $(stat -c %s "$work/body") bytes, ${secs}s; $(head -n 1 "$work/err")"
  fi
done <<<"$cases"

# Redirects: the 302 names a target a follower would fetch; curl without -L
# must not have fetched it, curl -L must end there.
location=$(curl -sS --http1.0 -D - -o /dev/null --data 'a=1' https://localhost/redirect/accepted | tr -d '\r' | sed -n 's/^Location: //p')
if [ "$location" = "https://localhost/reply/redirect_followed" ] && [ "$(record_count "r['path'] == '/reply/redirect_followed'")" = 0 ]; then
  ok "302 carries Location $location, not followed"
else
  bad "redirect" "Location '$location', or followed without -L"
fi
fetch https://localhost/redirect/accepted -L
if [ "$code" = 200 ] && cmp -s "$work/body" "$replies/redirect_followed.reply" &&
   [ "$(record_count "r['path'] == '/reply/redirect_followed'")" = 1 ]; then
  ok "a client that follows the redirect ends at redirect_followed and is recorded"
else
  bad "redirect -L" "status $code"
fi

# Silent: no answer at all; the client's own time-out ends it.
fetch https://localhost/hostile/silent --max-time 1.5 --data 'a=1'
if [ "$rc" = 28 ] && [ "$(record_count "r['path'] == '/hostile/silent'")" = 1 ]; then
  ok "/hostile/silent: recorded, never answered (${secs}s)"
else
  bad "/hostile/silent" "curl exit $rc (want 28)"
fi

# A handshake that a client abandons must not stop the gateway either.
printf 'not tls at all\r\n\r\n' | timeout 5 bash -c 'cat >/dev/tcp/127.0.0.1/443' 2>/dev/null
fetch https://localhost/reply/accepted --data 'a=1'
if [ "$rc" = 0 ] && cmp -s "$work/body" "$replies/accepted.reply"; then ok "gateway serves after a client that spoke no TLS"; else bad "after non-TLS client" "curl exit $rc"; fi

echo "selftest: $passed passed, $failed failed"
[ "$failed" = 0 ]
