#!/usr/bin/env bash
# Runs the fuzz targets of a VELQUOR_FUZZ build: each replays its seeds and regression
# inputs, then explores a fixed number of runs from seed 1, two targets at a time.
# Usage: scripts/fuzz-gate.sh BUILD_DIR. Prints each target's time and "N passed, N failed".
set -uo pipefail

build=${1:?usage: $0 BUILD_DIR}
root=$(cd "$(dirname "$0")/.." && pwd)
guard_seconds=1200   # a hung gate fails after 20 minutes

# target, runs, longest input in bytes; the longest runs first, so that the last pair
# ends together. The runs are chosen so that the whole gate takes about 7 minutes on a
# loaded two-core machine (each target's time is printed).
targets=(
  "number_text 120000 128"
  "spool_file 30000 4096"
  "page_parser 80000 4096"
  "httpresponse 150000 2048"
  "include_url 150000 512"
  "form_decoder 70000 4096"
  "site_folders 50000 256"
  "host_identity 200000 512"
  "ipaddress 200000 128"
  "htmlescape 150000 2048"
  "decimal 200000 256"
  "pop3_reply 200000 4096"
  "regular_expression 50000 4200"
  "url 200000 512"
  "reply_completion 200000 2048"
  "string 200000 1024"
  "multipart 6000 4096"
  "database_criteria 200000 1024"
)

work=$(mktemp -d)
# Findings are kept in the build folder, to become regression inputs.
findings=$build/fuzz-findings
mkdir -p "$findings"
trap 'rm -rf "$work"' EXIT
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# One target: replay, then explore into a fresh folder; the exit status tells the verdict.
run_target() {
  local name=$1 runs=$2 max_len=$3
  local binary=$build/fuzz/${name}_fuzz log=$work/$name.log
  local started=$SECONDS status=0
  if [ ! -x "$binary" ]; then
    echo "$name: no program at $binary" >"$log"
    status=1
  else
    local replay=()
    for folder in "$root/fuzz/corpus/$name" "$root/fuzz/regressions/$name"; do
      [ -d "$folder" ] && [ -n "$(ls -A "$folder")" ] && replay+=("$folder"/*)
    done
    if [ ${#replay[@]} -gt 0 ]; then
      "$binary" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 "${replay[@]}" >"$log" 2>&1 || status=1
    fi
    if [ $status -eq 0 ]; then
      mkdir -p "$work/new/$name"
      "$binary" -runs="$runs" -seed=1 -timeout=10 -rss_limit_mb=2048 -max_len="$max_len" \
        -artifact_prefix="$findings/$name-" "$work/new/$name" "$root/fuzz/corpus/$name" >>"$log" 2>&1 || status=1
    fi
  fi
  echo "$name $status $((SECONDS - started))" >"$work/$name.result"
  return $status
}

gate() {
  local running=0
  for entry in "${targets[@]}"; do
    # shellcheck disable=SC2086
    run_target $entry &
    running=$((running + 1))
    if [ $running -ge 2 ]; then
      wait -n
      running=$((running - 1))
    fi
  done
  wait
}

gate &
gate_pid=$!
deadline=$((SECONDS + guard_seconds))
while kill -0 "$gate_pid" 2>/dev/null; do
  if [ $SECONDS -ge $deadline ]; then
    echo "fuzz gate: over $guard_seconds s, stopped"
    pkill -P "$gate_pid" 2>/dev/null
    kill "$gate_pid" 2>/dev/null
    break
  fi
  wait -n "$gate_pid" 2>/dev/null || sleep 1
done

passed=0
failed=0
for entry in "${targets[@]}"; do
  name=${entry%% *}
  if [ -f "$work/$name.result" ] && read -r _ status seconds <"$work/$name.result" && [ "$status" = 0 ]; then
    echo "$name: passed in ${seconds} s"
    passed=$((passed + 1))
  else
    echo "$name: FAILED${seconds:+ after ${seconds} s}"
    tail -n 30 "$work/$name.log" 2>/dev/null | sed "s/^/  $name| /"
    ls "$findings/$name-"* 2>/dev/null | sed "s/^/  finding: /"
    failed=$((failed + 1))
  fi
  seconds=
done
echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
