#!/usr/bin/env bash
# Builds Velquor and starts velquor-host on the example site; prints the address to open.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -G Ninja -S . -B build/plain -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build/plain velquor velquor-host
exec build/plain/host/velquor-host --module build/plain/libvelquor.so "$@"
