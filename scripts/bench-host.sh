#!/usr/bin/env bash
# Measures velquor-host's pages per second on loopback with wrk: a static file, a page
# without tags, and a page with one cheap tag (the test module's <testCheap>).
# Usage: scripts/bench-host.sh [BUILD_DIR] (default build/plain, configured with the tests).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/plain}
command -v wrk >/dev/null || { echo "wrk is not installed (VELQUOR_SETUP_TEST_SERVERS=1 bash scripts/setup.sh)"; exit 1; }
ninja -C "$build" velquor-host velquor_test_module >/dev/null

work=$(mktemp -d)
pid=""
cleanup() {
  if [ -n "$pid" ]; then kill -TERM "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/site"
filler=$(printf '<p>Velquor measures its pages per second on loopback.</p>\n%.0s' $(seq 1 16))
printf '%s\n' "$filler" > "$work/site/static.txt"
printf '<html><body>\n%s\n</body></html>\n' "$filler" > "$work/site/plain.html"
printf '<html><body>\n%s\n<testCheap/>\n</body></html>\n' "$filler" > "$work/site/tag.html"

"$build/host/velquor-host" --site "$work/site" --data "$work/data" --listen 127.0.0.1:0 \
  --module "$build/tests/libvelquor_test_module.so" >"$work/out" 2>"$work/err" &
pid=$!
port=""
for _ in $(seq 1 200); do
  port=$(sed -n 's|.*listening on http://127.0.0.1:\([0-9]*\)/.*|\1|p' "$work/out")
  [ -n "$port" ] && break
  sleep 0.05
done
[ -n "$port" ] || { echo "velquor-host did not start:"; cat "$work/out" "$work/err"; exit 1; }
curl -sf "http://127.0.0.1:$port/tag.html" | grep -q '^ok$' || { echo "the tag page does not run its tag"; exit 1; }

echo "velquor-host on 127.0.0.1:$port, wrk -t2 -c16 -d5s, $(nproc) cores"
for target in static.txt plain.html tag.html; do
  rate=$(wrk -t2 -c16 -d5s "http://127.0.0.1:$port/$target" | awk '/Requests\/sec/ {print $2}')
  case $target in
    static.txt) what="static file" ;;
    plain.html) what="page without tags" ;;
    tag.html) what="page with one cheap tag" ;;
  esac
  printf '%-26s %10s pages/s\n' "$what" "$rate"
done
