#!/usr/bin/env bash
# Builds Velquor and starts velquor-host on the example site; prints the address to open.
# Also starts a second, separate web server (examples/remote on 127.0.0.1:8081, or
# VELQUOR_REMOTE_PORT) whose page the example site's include page fetches.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -G Ninja -S . -B build/plain -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build/plain velquor velquor-host

remote_port=${VELQUOR_REMOTE_PORT:-8081}
python3 -m http.server "$remote_port" --bind 127.0.0.1 --directory examples/remote >/dev/null 2>&1 &
remote=$!
trap 'kill "$remote" 2>/dev/null || true' EXIT
echo "A second web server for the include example: http://127.0.0.1:$remote_port/weather.html"

build/plain/host/velquor-host --module build/plain/libvelquor.so "$@" &
host=$!
trap 'kill -TERM "$host" 2>/dev/null || true' INT TERM
wait "$host"
