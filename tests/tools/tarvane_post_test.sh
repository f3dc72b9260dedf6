#!/bin/sh
# tarvane-post against the local TLS test gateway: the output and exit code
# of whole payments, the body it posts, usage errors, and card data kept out
# of every output. The library is the one built beside the program.
#
#   tarvane_post_test.sh [--wine] PATH-TO-TARVANE-POST
#
# --wine: the Windows build, run under Wine with its WinINet. Runs itself
# under tests/gateway/hermetic.sh when started outside it.

set -u
wine=
if [ "${1:-}" = --wine ]; then wine=wine; shift; fi
[ $# = 1 ] || { echo "usage: $0 [--wine] PATH-TO-TARVANE-POST" >&2; exit 2; }
tool=$(readlink -f "$1")
here=$(dirname "$(readlink -f "$0")")
repo=$(dirname "$(dirname "$here")")
replies=$repo/tests/replies

if [ "${TARVANE_HERMETIC:-}" != 1 ]; then
  exec "$repo/tests/gateway/hermetic.sh" sh "$here/tarvane_post_test.sh" ${wine:+--wine} "$tool"
fi
[ -x "$tool" ] || { echo "FAIL: $tool is not an executable" >&2; exit 1; }
if [ -n "$wine" ]; then
  # A Windows program gets its arguments in the ANSI code page, which Wine
  # takes from the locale: Windows-1252 under C.UTF-8.
  export LC_ALL=C.UTF-8
  e_acute_posted=%E9
  # As the program sees it: Wine's drive Z: is the root.
  library=Z:$(dirname "$tool" | tr / '\\')\\TarvaneLink.dll
  library_name=TarvaneLink.dll
  # A real library without the exports.
  foreign='C:\windows\system32\kernel32.dll'
else
  library=$(dirname "$tool")/TarvaneLink.so
  library_name=TarvaneLink.so
  foreign=$(ldd "$tool" | awk '$1 ~ /^libc\.so/ { print $3 }')
  e_acute_posted=%C3%A9
fi

work=$TARVANE_HERMETIC_TMP/tarvane-post
mkdir -p "$work"
passed=0
failed=0
# Wine makes its prefix on first use and says so on stderr.
[ -z "$wine" ] || $wine "$tool" --help >/dev/null 2>&1

ok() { passed=$((passed + 1)); echo "ok   $1"; }
bad() { failed=$((failed + 1)); echo "FAIL $1: $2"; }

# run ARGS...: the tool's exit code in rc, its output in $work/out and
# $work/err (line ends as LF: Windows text mode writes CR LF)
run() {
  $wine "$tool" "$@" >"$work/out" 2>"$work/err"
  rc=$?
  lf_lines
}
lf_lines() {
  [ -z "$wine" ] || for f in "$work/out" "$work/err"; do tr -d '\r' <"$f" >"$f.lf" && mv "$f.lf" "$f"; done
}

# want_out LINE...: the exact stdout expected, one argument a line
want_out() { : >"$work/want_out"; [ $# = 0 ] || printf '%s\n' "$@" >"$work/want_out"; }
want_err() { : >"$work/want_err"; [ $# = 0 ] || printf '%s\n' "$@" >"$work/want_err"; }

# same NAME EXIT: exit code, stdout and stderr exactly as expected
same() {
  if [ "$rc" = "$2" ] && cmp -s "$work/out" "$work/want_out" && cmp -s "$work/err" "$work/want_err"; then
    ok "$1"
  else
    bad "$1" "exit $rc (want $2)"
    diff -u "$work/want_out" "$work/out" | sed 's/^/    stdout /'
    diff -u "$work/want_err" "$work/err" | sed 's/^/    stderr /'
  fi
}

requests() { wc -l <"$TARVANE_GATEWAY_RECORD" | tr -d ' '; }

# last_request FIELD: path or body of the gateway's last recorded request
last_request() {
  tail -n 1 "$TARVANE_GATEWAY_RECORD" | python3 -c 'import json, sys
r = json.loads(sys.stdin.read())
sys.stdout.write("%s %s %s" % (r["method"], r["version"], r[sys.argv[1]]))' "$1"
}

# --- every canned reply: its variables on stdout, its message on stderr -----
# (tests/replies/README.md: result=, the tv_ lines in order, message=)
for expect in "$replies"/*.expect; do
  name=$(basename "$expect" .expect)
  want_rc=$(sed -n 's/^result=//p' "$expect")
  grep '^tv_' "$expect" >"$work/want_out"
  sed -n 's/^message=/error: /p' "$expect" >"$work/want_err"
  run "https://localhost/reply/$name" amount=12.50
  same "reply $name" "$want_rc"
done

# --- transport failures: no variable, the library's message, exit 1 ---------
url=https://gateway-closed.test/reply/accepted
run "$url" amount=12.50
want_out
printf "error: Cannot send request to '%100s'. Error 12029\n" "$url" >"$work/want_err"
same "nothing listening: send failure" 1

url=https://gateway-untrusted.test/reply/accepted
before=$(requests)
run "$url" amount=12.50
if [ "$rc" = 1 ] && [ ! -s "$work/out" ] && [ "$(requests)" = "$before" ] &&
   grep -qxE "error: Cannot send request to ' {55}$url'\. Error [0-9]+" "$work/err"; then
  ok "untrusted certificate: send failure, nothing reaches the gateway"
else
  bad "untrusted certificate" "exit $rc, stdout $(head -c 80 "$work/out"), stderr $(head -c 200 "$work/err")"
fi

# --- the request: one POST of the fields, form-encoded, in order ------------
# Run from the library's directory with a bare --library name, which means
# the file there.
e_acute=$(printf '\303\251')
before=$(requests)
(cd "$(dirname "$tool")" && exec $wine "$tool" --library "$library_name" \
  "https://localhost/reply/accepted?mode=test" \
  "name=Ann O'Neil & Co" "note=50% off=yes" "mix=a~b*c-d.e_f/g+h" \
  "city=Z${e_acute}rich" "empty=" "two words=1") >"$work/out" 2>"$work/err"
rc=$?
lf_lines
want_out tv_status=accepted tv_authcode=AUTH123 tv_transid=H456 tv_orderid=O789 tv_refcode=R012
want_err
same "accepted, with --library NAME from its directory" 0
body="name=Ann+O%27Neil+%26+Co&note=50%25+off%3Dyes&mix=a%7Eb*c-d.e_f%2Fg%2Bh&city=Z${e_acute_posted}rich&empty=&two+words=1"
if [ "$(requests)" = $((before + 1)) ] &&
   [ "$(last_request path)" = "POST HTTP/1.0 /reply/accepted?mode=test" ] &&
   [ "$(last_request body)" = "POST HTTP/1.0 $body" ]; then
  ok "one POST; the URL's query in the path, the fields alone in the body"
else
  bad "posted request" "$(($(requests) - before)) requests; $(last_request path); $(last_request body)"
fi

# --- help ----------------------------------------------------------------------
run --help
if [ "$rc" = 0 ] && [ ! -s "$work/err" ] &&
   [ "$(head -n 1 "$work/out")" = "Usage: tarvane-post [--library PATH] [--verbose] URL [name=value...]" ] &&
   grep -q '^Exit status:' "$work/out" && grep -qE '^  0  ' "$work/out" &&
   grep -qE '^  1  ' "$work/out" && grep -qE '^  2  usage error' "$work/out" &&
   grep -q 'tarvane-post https://gateway.example/' "$work/out"; then
  ok "--help: usage, exit codes and an example on stdout, exit 0"
else
  bad "--help" "exit $rc, $(wc -l <"$work/out") lines, stderr $(head -c 200 "$work/err")"
fi

# --- usage errors and libraries that cannot be used: exit 2, nothing posted --
before=$(requests)
# arguments (split at blanks) | what stderr must hold | usage line too
while IFS='|' read -r args message usage; do
  # shellcheck disable=SC2086
  set -- $args
  [ "${1:-}" != FOREIGN ] || { shift; set -- --library "$foreign" "$@"; }
  case $message in *FOREIGN*) message=${message%%FOREIGN*}$foreign${message#*FOREIGN} ;; esac
  run "$@"
  if [ "$rc" = 2 ] && [ ! -s "$work/out" ] && grep -qF -- "$message" "$work/err" &&
     if [ "$usage" = yes ]; then grep -qx 'Usage: tarvane-post .*' "$work/err"
     else ! grep -q 'Usage:' "$work/err"; fi; then
    ok "exit 2 for '$args': $message"
  else
    bad "'$args'" "exit $rc, stdout $(head -c 80 "$work/out"), stderr $(head -c 300 "$work/err")"
  fi
done <<'CASES'
|tarvane-post: no gateway URL given|yes
--bogus https://localhost/reply/accepted a=1|tarvane-post: unknown option '--bogus'|yes
--library|tarvane-post: --library needs a PATH|yes
https://localhost/reply/accepted a=1 amount|tarvane-post: 'amount' is not a field: write name=value|yes
https://localhost/reply/accepted =12.50|tarvane-post: '=12.50' is not a field|yes
https://localhost a=1|tarvane-post: 'https://localhost' is not a gateway URL|yes
-- --verbose|tarvane-post: '--verbose' is not a gateway URL|yes
--library /nonexistent/TarvaneLink.so https://localhost/reply/accepted a=1|tarvane-post: cannot load the library '/nonexistent/TarvaneLink.so': |no
FOREIGN https://localhost/reply/accepted a=1|tarvane-post: 'FOREIGN' is not a TarvaneLink library: it does not export miva_commerce_init|no
CASES
if [ "$(requests)" = "$before" ]; then ok "no usage error reached the gateway"; else bad "usage errors" "$(($(requests) - before)) requests"; fi

# --- card data: masked in --verbose, posted as given, echoed nowhere --------
# The gateway puts the card number into the reply's refcode here.
pan=4111111111111111
spaced='5555 5555 5555 4444'
luhn=4012888888881881
before=$(requests)
run --verbose "https://localhost/long/300/refcode=$pan" \
  "card_number=$pan" "CC-Number=$spaced" "number=$luhn" x_card_num=411111 \
  CVV2=123 x_exp_date=12/29 AmexCID=9876 amount=12.50 company=Acme
want_out tv_status=accepted tv_authcode=LONGAUTH tv_transid= tv_orderid= 'tv_refcode=************1111'
want_err "library: $library" \
  'post: https://localhost/long/300/refcode=************1111' \
  'field: card_number=************1111' \
  'field: CC-Number=***************4444' \
  'field: number=************1881' \
  'field: x_card_num=******' \
  'field: CVV2=***' \
  'field: x_exp_date=*****' \
  'field: AmexCID=****' \
  'field: amount=12.50' \
  'field: company=Acme'
same "--verbose: fields echoed with card data masked" 0
leaked=
for secret in "$pan" "$spaced" 5555555555554444 "$luhn" 411111 12/29 9876; do
  if grep -qF -- "$secret" "$work/out" "$work/err"; then leaked="$leaked '$secret'"; fi
done
body="card_number=$pan&CC-Number=5555+5555+5555+4444&number=$luhn&x_card_num=411111&CVV2=123&x_exp_date=12%2F29&AmexCID=9876&amount=12.50&company=Acme"
if [ -z "$leaked" ] && [ "$(requests)" = $((before + 1)) ] && [ "$(last_request body)" = "POST HTTP/1.0 $body" ]; then
  ok "card data posted as given and in no output"
else
  bad "card data" "in the output:${leaked:- none}; posted: $(last_request body)"
fi

echo "tarvane-post: $passed passed, $failed failed"
[ "$failed" = 0 ]
