#!/usr/bin/env bash
# Open-ended exploration with the fuzz targets of a VELQUOR_FUZZ build: each named target
# (all when none is named) runs from its seeds until stopped (Ctrl-C) or, when
# FUZZ_SECONDS is set, for that many seconds, one target per core. New inputs and
# findings go to a folder of their own, named at the start.
# Usage: scripts/fuzz-long.sh BUILD_DIR [target...]   (FUZZ_OUT picks the folder)
set -uo pipefail

build=${1:?usage: $0 BUILD_DIR [target...]}
shift
root=$(cd "$(dirname "$0")/.." && pwd)
out=${FUZZ_OUT:-$build/fuzz-long-$(date +%Y%m%d-%H%M%S)}
mkdir -p "$out"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for program in "$build"/fuzz/*_fuzz; do
    name=$(basename "$program")
    targets+=("${name%_fuzz}")
  done
fi
echo "fuzz-long: ${targets[*]}; new inputs in $out/<target>/corpus, findings in $out/<target>/findings"

time_limit=()
[ -n "${FUZZ_SECONDS:-}" ] && time_limit=(-max_total_time="$FUZZ_SECONDS")
# The longest input of each target is the gate's.
max_len() {
  sed -n "s/^  \"$1 [0-9]* \([0-9]*\)\"$/\1/p" "$root/scripts/fuzz-gate.sh"
}

pids=()
trap 'kill "${pids[@]}" 2>/dev/null; wait' INT TERM
for name in "${targets[@]}"; do
  binary=$build/fuzz/${name}_fuzz
  if [ ! -x "$binary" ]; then
    echo "fuzz-long: no program $binary" >&2
    continue
  fi
  mkdir -p "$out/$name/corpus" "$out/$name/findings"
  len=$(max_len "$name")
  "$binary" -timeout=10 -rss_limit_mb=2048 ${len:+-max_len=$len} "${time_limit[@]}" \
    -artifact_prefix="$out/$name/findings/" "$out/$name/corpus" "$root/fuzz/corpus/$name" \
    >"$out/$name/log" 2>&1 &
  pids+=($!)
  # One target per core: wait for one to end before starting another.
  while [ "$(jobs -rp | wc -l)" -ge "$(nproc)" ]; do
    wait -n
  done
done
wait
status=0
for name in "${targets[@]}"; do
  if [ -n "$(ls -A "$out/$name/findings" 2>/dev/null)" ]; then
    echo "$name: findings:"
    ls "$out/$name/findings" | sed "s|^|  $out/$name/findings/|"
    status=1
  fi
done
[ $status -eq 0 ] && echo "fuzz-long: no finding"
exit $status
