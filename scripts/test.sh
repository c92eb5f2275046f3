#!/usr/bin/env bash
# Installs what is missing, builds Velquor twice (plain, and with AddressSanitizer and
# UndefinedBehaviorSanitizer), and runs every test suite in both builds.
set -uo pipefail
cd "$(dirname "$0")/.."
VELQUOR_SETUP_TEST_SERVERS=1 bash scripts/setup.sh || exit 1

jobs=$(nproc)
log=$(mktemp)
trap 'rm -f "$log"' EXIT

build() {
  cmake -G Ninja -S . -B "build/$1" "${@:2}" >/dev/null && ninja -C "build/$1" -j "$jobs"
}
build plain -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELQUOR_BENCH=ON || exit 1
build asan -DCMAKE_BUILD_TYPE=Debug -DVELQUOR_SANITIZE=ON -DVELQUOR_BENCH=OFF || exit 1

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
for variant in plain asan; do
  echo "== Tests ($variant build)"
  (cd "build/$variant" && ctest --output-on-failure -j "$jobs") 2>&1 | tee -a "$log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
done

# One closing line for both runs: every suite counted once per build.
read -r passed failed < <(awk '/tests passed, [0-9]+ tests? failed out of/ {
    for (i = 1; i <= NF; i++) if ($i == "out") total += $(i + 2);
    for (i = 1; i <= NF; i++) if ($i ~ /^failed$/) failed += $(i - 2);
  } END { print total - failed, failed + 0 }' "$log")
[ "$status" -eq 0 ] || [ "$failed" -gt 0 ] || failed=1
echo "ctest: $passed passed, $failed failed"
exit $status
