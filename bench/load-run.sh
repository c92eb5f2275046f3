#!/usr/bin/env bash
# load-run.sh: the long load run of velquor-host (60 s by default) with the hostile clients,
# through scripts/load-check.py, and its figures: resident memory after the drain against
# after the first 10 s, latency percentiles of each kind of request, drain time, log size.
#   bash bench/load-run.sh [BUILD_FOLDER [SECONDS]]   (default build/plain, 60)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/plain}
seconds=${2:-60}
report="$build/load-${seconds}s.json"
status=0
/usr/bin/python3 scripts/load-check.py --host "$build/host/velquor-host" --module "$build/libvelquor.so" \
  --seconds "$seconds" --report "$report" >"$build/load-${seconds}s.txt" 2>&1 || status=$?
grep '^load-check:' "$build/load-${seconds}s.txt" || true
/usr/bin/python3 - "$report" <<'SUMMARY'
import json, sys
figures = json.load(open(sys.argv[1]))
before, after = figures.get("rss_kb_after_10s"), figures.get("rss_kb_after_drain")
print("VmRSS: %s kB after 10 s, %s kB after the drain (%s %%; goal within 10 %%)"
      % (before, after, figures.get("rss_growth_percent")))
print("drain: %s s; log: %s bytes in %s lines" % (figures.get("drain_seconds"), figures.get("log_bytes"),
                                                 figures.get("log_lines")))
for name, client in sorted(figures.get("clients", {}).items()):
    latency = client.get("latency", {})
    print("%-8s %6d answered, p50 %s s, p90 %s s, p99 %s s, max %s s" % (
        name, client.get("answered", 0), latency.get("p50"), latency.get("p90"), latency.get("p99"),
        latency.get("max")))
probe = figures.get("probe", {})
print("probe    %6d answered, p50 %s s, p99 %s s, max %s s" % (
    probe.get("requests", 0), probe.get("latency", {}).get("p50"), probe.get("latency", {}).get("p99"),
    probe.get("latency", {}).get("max")))
mail, pop = figures.get("mail", {}), figures.get("pop", {})
print("mail: A %s = D %s + F %s, lost %s; POP: %s dropped, %s stored, %s counted" % (
    mail.get("A"), mail.get("D"), mail.get("F"), mail.get("lost"), pop.get("dropped"), pop.get("unique_ids"),
    pop.get("view_total")))
SUMMARY
exit $status
