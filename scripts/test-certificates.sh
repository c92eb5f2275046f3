#!/bin/bash
# Makes the certificates of the TLS tests in the folder OUTDIR: a private CA (ca.pem) and,
# signed by it, server (localhost, 127.0.0.1), expired and other (other.example) ones, plus
# a self-signed one. Usage: test-certificates.sh OUTDIR
set -euo pipefail
d=$1; mkdir -p "$d"; cd "$d"; umask 077
q() { "$@" >/dev/null 2>&1; }
q openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ca.key -out ca.pem -days 3650 -subj /CN=TestCA -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
mk() { # name san days
  q openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout $1.key -out $1.csr -subj /CN=$1
  printf "subjectAltName=%s\n" "$2" > $1.ext
  q openssl x509 -req -in $1.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out $1.pem -days 3650 -extfile $1.ext
}
mk server "DNS:localhost,IP:127.0.0.1"
mk other "DNS:other.example"
cat > ca.cnf <<C
[ca]
default_ca=d
[d]
database=$d/index.txt
new_certs_dir=$d
serial=$d/serial
default_md=sha256
policy=p
copy_extensions=copy
[p]
commonName=supplied
C
: > index.txt; echo 01 > serial
q openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout expired.key -out expired.csr -subj /CN=expired -addext subjectAltName=DNS:localhost,IP:127.0.0.1
q openssl ca -batch -config ca.cnf -cert ca.pem -keyfile ca.key -in expired.csr -out expired.pem -startdate 20200101000000Z -enddate 20210101000000Z -notext
q openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout selfsigned.key -out selfsigned.pem -days 3650 -subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1
