#!/bin/sh
# Runs a Windows test program (under wine) while Fetchel's test servers listen on loopback: wine's
# programs reach the build machine's loopback. A test CA and an https certificate for localhost
# are made for this run only; the test program adds the CA to the wine prefix's root store itself.
#   with_test_servers.sh PYTHON3 OPENSSL COMMAND...
# The command finds VELMOR_TEST_HTTP and VELMOR_TEST_HTTPS (the servers' base addresses) and
# VELMOR_TEST_CA (the CA certificate, DER) in its environment.
set -eu
python=$1 openssl=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
server=
finish() {
  # Only the server this script started, by its id.
  if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap finish EXIT

make_certificates() {
  "$openssl" req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Velmor test CA" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -keyout "$work/ca.key" -out "$work/ca.pem"
  # For "localhost": wine's certificate check reads no IP address entry of a certificate.
  "$openssl" req -newkey rsa:2048 -nodes -subj "/CN=localhost" -keyout "$work/server.key" -out "$work/server.csr"
  printf 'subjectAltName=DNS:localhost\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' >"$work/server.ext"
  "$openssl" x509 -req -in "$work/server.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" -CAcreateserial \
    -days 2 -extfile "$work/server.ext" -out "$work/server.pem"
  "$openssl" x509 -in "$work/ca.pem" -outform DER -out "$work/ca.der"
}
make_certificates >"$work/openssl.log" 2>&1 || { cat "$work/openssl.log" >&2; exit 1; }

"$python" "$here/test_servers.py" "$work" </dev/null >"$work/servers.log" 2>&1 &
server=$!
tries=0
while [ ! -f "$work/ports" ]; do
  tries=$((tries + 1))
  if [ "$tries" -gt 200 ] || ! kill -0 "$server" 2>/dev/null; then
    echo "with_test_servers: the servers did not start" >&2
    cat "$work/servers.log" >&2
    exit 1
  fi
  sleep 0.05
done
read -r http_port https_port <"$work/ports"
export VELMOR_TEST_HTTP="http://127.0.0.1:$http_port"
export VELMOR_TEST_HTTPS="https://localhost:$https_port"
export VELMOR_TEST_CA="$work/ca.der"
status=0
"$@" || status=$?
exit "$status"
