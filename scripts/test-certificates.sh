#!/usr/bin/env bash
# test-certificates.sh OUTDIR: makes the certificates the TLS tests use, with the openssl
# command alone and no network: a private CA and certificates for loopback servers.
#
#   ca.pem / ca.key                 the private CA (basicConstraints CA:TRUE), 10 years
#   server.pem / server.key         signed by the CA for DNS:localhost and IP:127.0.0.1, 10 years
#   expired.pem / expired.key       the same names, valid from 2020-01-01 to 2021-01-01 only
#   other.pem / other.key           signed by the CA, valid, but only for DNS:other.example
#   selfsigned.pem / selfsigned.key localhost and 127.0.0.1, signed by itself (not by the CA)
#
# Keys are EC P-256 and readable by their owner only (0600). OUTDIR is created when missing
# and existing files in it are replaced. Prints nothing on success; on failure ends with a
# non-zero status and what openssl said on standard error.
set -euo pipefail

if [ $# -ne 1 ] || [ -z "$1" ]; then
  echo "usage: test-certificates.sh OUTDIR" >&2
  exit 2
fi
out=$1
umask 077
mkdir -p "$out"
work=$(mktemp -d "${TMPDIR:-/tmp}/velquor-certificates-XXXXXX")
trap 'rm -rf "$work"' EXIT
log=$work/openssl.log

# Runs openssl quietly; on failure prints its output and ends the script.
run() {
  if ! openssl "$@" >>"$log" 2>&1; then
    echo "test-certificates.sh: openssl $1 failed:" >&2
    cat "$log" >&2
    exit 1
  fi
}

loopback_names="subjectAltName=DNS:localhost,IP:127.0.0.1"
leaf_usage="basicConstraints=critical,CA:FALSE
keyUsage=critical,digitalSignature
extendedKeyUsage=serverAuth"

# One configuration serves every step: no section of the system's openssl.cnf applies.
cat >"$work/ca.cnf" <<EOF
[ req ]
distinguished_name = name
prompt = no
[ name ]
CN = unused
[ ca ]
default_ca = test_ca
[ test_ca ]
dir = $work/ca
database = \$dir/index.txt
new_certs_dir = \$dir/issued
serial = \$dir/serial
certificate = $out/ca.pem
private_key = $out/ca.key
default_md = sha256
policy = any_names
unique_subject = no
email_in_dn = no
copy_extensions = none
x509_extensions = loopback_leaf
[ any_names ]
commonName = supplied
[ loopback_leaf ]
$leaf_usage
$loopback_names
EOF
mkdir -p "$work/ca/issued"
: >"$work/ca/index.txt"
echo 1000 >"$work/ca/serial"
printf '%s\n%s\n' "$leaf_usage" "$loopback_names" >"$work/loopback.ext"
printf '%s\n%s\n' "$leaf_usage" "subjectAltName=DNS:other.example" >"$work/other.ext"

ec=(-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes)

run req -config "$work/ca.cnf" -x509 "${ec[@]}" -keyout "$out/ca.key" -out "$out/ca.pem" -days 3650 \
  -subj "/CN=Velquor test CA" -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign,cRLSign"

# A key and a signing request for the name; the certificate comes next.
request() {
  run req -config "$work/ca.cnf" -new "${ec[@]}" -keyout "$out/$1.key" -out "$work/$1.csr" -subj "/CN=$2"
}

request server localhost
run x509 -req -in "$work/server.csr" -CA "$out/ca.pem" -CAkey "$out/ca.key" -CAcreateserial \
  -CAserial "$work/ca.srl" -days 3650 -sha256 -extfile "$work/loopback.ext" -out "$out/server.pem"

request other other.example
run x509 -req -in "$work/other.csr" -CA "$out/ca.pem" -CAkey "$out/ca.key" -CAserial "$work/ca.srl" \
  -days 3650 -sha256 -extfile "$work/other.ext" -out "$out/other.pem"

# openssl x509 cannot set dates in the past; openssl ca can.
request expired localhost
run ca -batch -config "$work/ca.cnf" -notext -in "$work/expired.csr" -out "$out/expired.pem" \
  -startdate 20200101000000Z -enddate 20210101000000Z

run req -config "$work/ca.cnf" -x509 "${ec[@]}" -keyout "$out/selfsigned.key" -out "$out/selfsigned.pem" \
  -days 3650 -subj "/CN=localhost" -addext "basicConstraints=critical,CA:FALSE" \
  -addext "$loopback_names" -addext "extendedKeyUsage=serverAuth"

chmod 600 "$out"/*.key
chmod 644 "$out"/*.pem
