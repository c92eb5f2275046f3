#!/usr/bin/env bash
# Checks that a module library exports exactly one defined symbol: ProcessQELRequest.
set -euo pipefail
lib=${1:?usage: check-exports.sh LIBRARY}
exported=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TDBRVWiu]$/ {print $3}' | sort -u)
if [ "$exported" != "ProcessQELRequest" ]; then
  echo "FAIL: $lib exports:"; echo "$exported"
  exit 1
fi
echo "OK: $lib exports only ProcessQELRequest"
