#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Velquor need, when
# they are missing. Needs root (or sudo) only when something must be installed.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libsqlite3-dev libmicrohttpd-dev libcpp-httplib-dev libssl-dev openssl
  python3 curl python3-aiosmtpd
  # TLS for the tests: certificates made at test time (openssl) and the tests' OpenSSL client.
  openssl libssl-dev
  # The run command's POP3 server (and the tests'): a private Dovecot, scripts/pop3-server.py.
  dovecot-core dovecot-pop3d
  # The disk-fault tests: a small tmpfs or a read-only mount in a private mount namespace.
  util-linux mount
)
if [ "${VELQUOR_SETUP_TEST_SERVERS:-0}" = 1 ]; then
  # Real servers, load generators (hey holds a fixed rate for the load check) and a headless
  # browser for the end-to-end tests and benchmarks.
  packages+=(wrk hey chromium chromium-driver python3-selenium)
fi

if [ "${VELQUOR_SETUP_FUZZ:-0}" = 1 ]; then
  # The fuzz build (VELQUOR_FUZZ, scripts/fuzz-gate.sh): clang and its libFuzzer runtime.
  packages+=(clang-14 libclang-rt-14-dev)
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
# Dovecot's package tries to start the system service; a refusal by policy is harmless.
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
