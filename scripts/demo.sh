#!/usr/bin/env bash
# Shows Updater's version line and help, then the build commands at work against
# the reference update server on a free loopback port with a small generated
# repository: the server's build list (-B), a download into a temporary store (-G)
# and the store's own list (-L). Run from the fresh build.
set -euo pipefail
cd "$(dirname "$0")/.."
bin="${BUILD_DIR:-build}/bin"
"$bin/Updater" -h

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# start_server <name> <server options...>: starts the reference server on a free
# port and sets $url to the address it prints.
start_server() {
  local name=$1; shift
  : >"$work/$name.out"  # exists before the server's own redirection, which races with the polling
  "$bin/corelatch-update-server" "$@" >"$work/$name.out" 2>>"$work/server.log" &
  pids+=($!)
  url=""
  for _ in $(seq 100); do
    url=$(sed -n 's/^serving //p' "$work/$name.out")
    [ -n "$url" ] && break
    sleep 0.05
  done
  [ -n "$url" ] || { echo "the update server did not start:"; cat "$work/server.log"; exit 1; }
  echo "serving $url"
}
# Loopback only: no proxy may stand between Updater and the demo server.
export no_proxy="127.0.0.1,localhost"

echo
echo "=== Reference update server with a sample repository"
"$bin/corelatch-update-server" --make-sample "$work/repo"
start_server http --repo "$work/repo" --fixes "$work/repo/fixes.txt" --http 0

run() {
  echo
  echo "\$ Updater $*"
  "$bin/Updater" "$@"
}
store=(-i "$work/home")
run -B -d 40F5849A -u "$url" "${store[@]}"
run -G -d 40F5849A -u "$url" "${store[@]}"
run -G -d 40F5849A -b 99528100 -u "$url" "${store[@]}"
run -L -d 40F5849A "${store[@]}"
echo
echo "\$ cat <store>/40F5849A/.settings"
cat "$work/home/updater/40F5849A/.settings"

echo
echo "=== The same server over HTTPS, with a certificate from a private CA made just now"
ossl() { openssl "$@" 2>/dev/null >/dev/null; }
ossl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 \
  -subj "/CN=Demo CA" -keyout "$work/ca.key" -out "$work/ca.pem"
ossl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
  -subj "/CN=demo update server" -keyout "$work/server.key" -out "$work/server.csr"
printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\nextendedKeyUsage=serverAuth\n' >"$work/ext"
ossl x509 -req -in "$work/server.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" \
  -CAcreateserial -days 1 -extfile "$work/ext" -out "$work/server.pem"
start_server https --repo "$work/repo" --https 0 --cert "$work/server.pem" --key "$work/server.key"
tls_url=$url
run -B -d 2181F0EE -u "$tls_url" --cacert "$work/ca.pem" "${store[@]}"
echo "(without --cacert the machine does not trust that CA, so the server is refused:)"
run -B -d 2181F0EE -u "$tls_url" "${store[@]}" || echo "exit status $?"

echo
echo "=== Requests the servers answered"
cat "$work/server.log"
