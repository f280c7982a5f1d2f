#!/usr/bin/env bash
# Makes this folder's test certificates anew with openssl (README.md says which is which); commit
# what it writes. They begin in 2000, so a clock that is off makes none of them not yet valid.
set -euo pipefail
cd "$(dirname "$0")"
t=$(mktemp -d)
trap 'rm -rf "$t"' EXIT
touch "$t/index"
printf '%s\n' "[ca]" "default_ca=d" "[d]" "database=$t/index" "new_certs_dir=$t" "default_md=sha256" \
  "policy=p" "rand_serial=yes" "unique_subject=no" "[p]" "commonName=supplied" > "$t/ca.cnf"
echo "basicConstraints=critical,CA:TRUE" > "$t/authority.ext"
echo "subjectAltName=IP:127.0.0.1" > "$t/server.ext"
for name in authority stranger server; do   # a new P-256 key and its signing request
  openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=Moonfetch test $name" \
    -keyout "$t/$name.key" -out "$t/$name.csr"
done
# Signs $t/$1.csr into $2 with the extensions of $t/$3.ext until $4, by the signer the rest names.
sign() {
  openssl ca -batch -notext -config "$t/ca.cnf" -in "$t/$1.csr" -out "$2" -extfile "$t/$3.ext" \
    -startdate 20000101000000Z -enddate "$4" "${@:5}"
}
sign authority authority.crt authority 21000101000000Z -selfsign -keyfile "$t/authority.key"
sign stranger "$t/stranger.crt" authority 21000101000000Z -selfsign -keyfile "$t/stranger.key"
sign server good.crt server 21000101000000Z -cert authority.crt -keyfile "$t/authority.key"
sign server stranger.crt server 21000101000000Z -cert "$t/stranger.crt" -keyfile "$t/stranger.key"
sign server expired.crt server 20000102000000Z -cert authority.crt -keyfile "$t/authority.key"
cp "$t/server.key" server.key
