#!/bin/bash
# Run a command with the local TLS test gateways, inside private mount and
# network namespaces, so nothing on the machine (trust store, /etc/hosts,
# network) changes and no traffic leaves loopback.
#
#   tests/gateway/hermetic.sh COMMAND [ARGS...]
#
# Inside: lo up; a test CA trusted through a private copy of /etc/ssl/certs;
# a private /etc/hosts and /etc/resolv.conf; tarvane_gateway.py on port 443 of
#   localhost                127.0.0.1  trusted, ECDSA P-256
#   gateway-wrongname.test   127.0.0.2  trusted, but issued for localhost
#   gateway-untrusted.test   127.0.0.3  issued by a CA nobody trusts
#   gateway-expired.test     127.0.0.4  trusted CA, expired
#   gateway-selfsigned.test  127.0.0.5  self-signed
#   gateway-closed.test      127.0.0.6  nothing listens
# Exported to COMMAND: TARVANE_HERMETIC=1, TARVANE_GATEWAY_RECORD,
# TARVANE_GATEWAY_LOG, TARVANE_TEST_CA, TARVANE_HERMETIC_TMP, WINEPREFIX,
# WINEDEBUG=-all. Exit status: COMMAND's (or 125..127 when the harness fails).

set -u

self=$(readlink -f "${BASH_SOURCE[0]}")
here=$(dirname "$self")
repo=$(dirname "$(dirname "$here")")

fail() {
  echo "hermetic.sh: $*" >&2
  exit 125
}

if [ "${_TARVANE_HERMETIC_INNER:-}" != "$$" ]; then
  [ $# -ge 1 ] || { echo "usage: $0 COMMAND [ARGS...]" >&2; exit 125; }
  [ "$(id -u)" = 0 ] || fail "must run as root (it makes mount and network namespaces)"
  for tool in unshare ip openssl mount; do
    command -v "$tool" >/dev/null 2>&1 || fail "'$tool' not found in PATH"
  done
  if ! command -v python3 >/dev/null 2>&1; then
    echo "hermetic.sh: python3 not found in PATH; the test gateway needs Python 3 (standard library only)" >&2
    exit 127
  fi
  # unshare execs in place: same pid, so the marker names this very process
  # and a nested hermetic.sh started by COMMAND makes namespaces of its own.
  export _TARVANE_HERMETIC_INNER=$$
  exec unshare --mount --net --propagation private -- /bin/bash "$self" "$@"
  fail "unshare failed"
fi
unset _TARVANE_HERMETIC_INNER

ip link set lo up || fail "cannot bring lo up"

tmp=$(mktemp -d /tmp/tarvane-hermetic.XXXXXX) || fail "mktemp failed"
gateway_pid=
command_pid=

cleanup() {
  if [ -n "$command_pid" ] && kill -0 "$command_pid" 2>/dev/null; then
    kill -TERM "$command_pid" 2>/dev/null
    wait "$command_pid" 2>/dev/null
  fi
  # A wineserver lingers a few seconds after its last client and would then
  # save its registry into the removed prefix; its socket directory, named
  # after the prefix's device and inode, would stay behind in /tmp.
  if [ -d "${WINEPREFIX:-}/drive_c" ] && command -v wineserver >/dev/null 2>&1; then
    wineserver -k >/dev/null 2>&1
    timeout 10 wineserver -w >/dev/null 2>&1
    local server_dir
    server_dir=server-$(stat -c %D "$WINEPREFIX")-$(printf %x "$(stat -c %i "$WINEPREFIX")")
    for d in /tmp/wine-*/"$server_dir" "/tmp/.wine-$(id -u)/$server_dir"; do
      [ -d "$d" ] && rm -rf "$d" && rmdir "$(dirname "$d")" 2>/dev/null
    done
  fi
  if [ -n "$gateway_pid" ]; then
    kill -TERM "$gateway_pid" 2>/dev/null
    wait "$gateway_pid" 2>/dev/null
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# --- certificates --------------------------------------------------------
pki=$tmp/pki
mkdir -p "$pki/db" || fail "cannot make $pki"
ssl() {
  openssl "$@" >>"$pki/openssl.log" 2>&1 || {
    grep -v "^[.+*]*$" "$pki/openssl.log" | tail -n 20 >&2
    fail "openssl $1 failed"
  }
}
rsa_key() { ssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$1"; }

cat >"$pki/leaf.ext" <<'EOF'
[localhost]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = DNS:localhost, IP:127.0.0.1
[wrongname]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = DNS:localhost
[untrusted]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = DNS:gateway-untrusted.test
[expired]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = DNS:gateway-expired.test
EOF

# RSA key generation is most of the start-up time: the keys are made in
# parallel, and the four refused certificates share one key (what they test
# is who signed them, for which name and when, not the key).
(
  rsa_key "$pki/test-ca.key" &
  rsa_key "$pki/rogue-ca.key" &
  rsa_key "$pki/refused.key" &
  ssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$pki/localhost.key" &
  wait
)
for k in wrongname untrusted expired selfsigned; do
  ln -s refused.key "$pki/$k.key"
done
for k in test-ca rogue-ca wrongname untrusted expired selfsigned localhost; do
  [ -s "$pki/$k.key" ] || { grep -v "^[.+*]*$" "$pki/openssl.log" | tail -n 20 >&2; fail "key $k was not generated"; }
done

# "openssl ca" can date a certificate in the past, "openssl x509" cannot. The
# test CA starts in 2019 so the expired certificate still nests in its
# validity and fails for being expired alone.
: >"$pki/db/index.txt"
echo 1000 >"$pki/db/serial"
cat >"$pki/ca.cnf" <<EOF
[ca]
default_ca = test_ca
[test_ca]
database = $pki/db/index.txt
serial = $pki/db/serial
new_certs_dir = $pki/db
certificate = $pki/test-ca.pem
private_key = $pki/test-ca.key
default_md = sha256
policy = any
unique_subject = no
[any]
organizationName = optional
commonName = supplied
[ca_cert]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EOF
ssl req -new -key "$pki/test-ca.key" -subj "/O=TarvaneLink/CN=TarvaneLink Test CA" -out "$pki/ca.csr"
ssl ca -batch -selfsign -config "$pki/ca.cnf" -in "$pki/ca.csr" -notext \
  -startdate 20190101000000Z -days 30 -extensions ca_cert -out "$pki/test-ca.pem"
ssl req -x509 -new -key "$pki/rogue-ca.key" -sha256 -days 30 -subj "/O=Nobody/CN=Untrusted Test CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
  -out "$pki/rogue-ca.pem"

issue() { # name cn ca-basename
  local name=$1 cn=$2 ca=$3
  ssl req -new -key "$pki/$name.key" -subj "/O=TarvaneLink tests/CN=$cn" -out "$pki/$name.csr"
  ssl x509 -req -in "$pki/$name.csr" -CA "$pki/$ca.pem" -CAkey "$pki/$ca.key" -set_serial "0x$(openssl rand -hex 8)" \
    -sha256 -days 30 -extfile "$pki/leaf.ext" -extensions "$name" -out "$pki/$name.pem"
}

certs=$tmp/certs
# The leaves and the trust store do not depend on each other: made side by
# side, each checked by what it leaves behind.
(
  issue localhost localhost test-ca &
  issue wrongname localhost test-ca &
  issue untrusted gateway-untrusted.test rogue-ca &
  (
    ssl req -new -key "$pki/expired.key" -subj "/O=TarvaneLink tests/CN=gateway-expired.test" -out "$pki/expired.csr"
    ssl ca -batch -config "$pki/ca.cnf" -in "$pki/expired.csr" -notext \
      -startdate 20200101000000Z -enddate 20200201000000Z \
      -extfile "$pki/leaf.ext" -extensions expired -out "$pki/expired.pem"
  ) &
  ssl req -x509 -new -key "$pki/selfsigned.key" -sha256 -days 30 \
    -subj "/O=TarvaneLink tests/CN=gateway-selfsigned.test" \
    -addext "subjectAltName=DNS:gateway-selfsigned.test" -out "$pki/selfsigned.pem" &
  # Trust: a private copy of the system store with the test CA added, to the
  # bundle and, rehashed, to the directory.
  (
    cp -a /etc/ssl/certs "$certs" &&
    cp "$pki/test-ca.pem" "$certs/tarvane-test-ca.pem" &&
    cat "$pki/test-ca.pem" >>"$certs/ca-certificates.crt" &&
    openssl rehash "$certs" >"$pki/rehash.log" 2>&1
  ) &
  wait
)
for c in localhost wrongname untrusted expired selfsigned; do
  [ -s "$pki/$c.pem" ] || fail "certificate $c was not made"
done
grep -qF "$(sed -n 2p "$pki/test-ca.pem")" "$certs/ca-certificates.crt" 2>/dev/null ||
  fail "cannot add the test CA to a copy of /etc/ssl/certs"
[ -e "$certs/$(openssl x509 -hash -noout -in "$pki/test-ca.pem").0" ] || fail "openssl rehash did not link the test CA"

# --- names ---------------------------------------------------------------
cat >"$tmp/hosts" <<'EOF'
127.0.0.1 localhost
127.0.0.2 gateway-wrongname.test
127.0.0.3 gateway-untrusted.test
127.0.0.4 gateway-expired.test
127.0.0.5 gateway-selfsigned.test
127.0.0.6 gateway-closed.test
EOF
# Nothing listens on port 53 here, so every DNS query is refused at once.
printf 'nameserver 127.0.0.1\noptions timeout:1 attempts:1\n' >"$tmp/resolv.conf"

mount --bind "$certs" /etc/ssl/certs || fail "cannot bind-mount over /etc/ssl/certs"
mount --bind "$tmp/hosts" /etc/hosts || fail "cannot bind-mount over /etc/hosts"
mount --bind "$tmp/resolv.conf" /etc/resolv.conf || fail "cannot bind-mount over /etc/resolv.conf"
# A name cache daemon outside would answer from the real files and DNS.
for d in /run/nscd /var/run/nscd; do
  [ -d "$d" ] && { mount -t tmpfs -o size=64k tarvane-nonscd "$d" || fail "cannot hide $d"; }
done

# --- the gateway ---------------------------------------------------------
export TARVANE_HERMETIC=1
export TARVANE_HERMETIC_TMP=$tmp
export TARVANE_GATEWAY_RECORD=$tmp/gateway-record.jsonl
export TARVANE_GATEWAY_LOG=$tmp/gateway.log
export TARVANE_TEST_CA=$pki/test-ca.pem
export WINEPREFIX=$tmp/wineprefix
export WINEDEBUG=-all
mkdir -p "$WINEPREFIX"
: >"$TARVANE_GATEWAY_RECORD"

python3 "$here/tarvane_gateway.py" \
  --replies "$repo/tests/replies" \
  --record "$TARVANE_GATEWAY_RECORD" \
  --ready "$tmp/gateway.ready" \
  --exit-with-parent \
  --listen "127.0.0.1:443,$pki/localhost.pem,$pki/localhost.key" \
  --listen "127.0.0.2:443,$pki/wrongname.pem,$pki/wrongname.key" \
  --listen "127.0.0.3:443,$pki/untrusted.pem,$pki/untrusted.key" \
  --listen "127.0.0.4:443,$pki/expired.pem,$pki/expired.key" \
  --listen "127.0.0.5:443,$pki/selfsigned.pem,$pki/selfsigned.key" \
  </dev/null >"$TARVANE_GATEWAY_LOG" 2>&1 &
gateway_pid=$!

for _ in $(seq 1 500); do
  [ -e "$tmp/gateway.ready" ] && break
  if ! kill -0 "$gateway_pid" 2>/dev/null; then
    cat "$TARVANE_GATEWAY_LOG" >&2
    gateway_pid=
    fail "the test gateway exited during start-up"
  fi
  sleep 0.02
done
if [ ! -e "$tmp/gateway.ready" ]; then
  cat "$TARVANE_GATEWAY_LOG" >&2
  fail "the test gateway was not ready within 10 s"
fi

# --- the command ---------------------------------------------------------
# In the background so a signal reaches the traps at once; stdin is passed
# on explicitly (a background job would get /dev/null), when there is one.
if ( exec 3<&0 ) 2>/dev/null; then
  "$@" <&0 &
else
  "$@" </dev/null &
fi
command_pid=$!
wait "$command_pid"
status=$?
command_pid=
if [ "$status" != 0 ] && [ -s "$TARVANE_GATEWAY_LOG" ]; then
  echo "hermetic.sh: '$1' exited with $status; the gateway's last log lines:" >&2
  tail -n 15 "$TARVANE_GATEWAY_LOG" | sed 's/^/  /' >&2
fi
exit "$status"
