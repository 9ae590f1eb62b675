#!/usr/bin/env bash
# Builds and runs the libFuzzer targets of src/fuzz, each for a fixed time,
# starting from a temporary copy of its committed seed corpus (the inputs a
# run discovers are thrown away with the copy; nothing is written under
# src/). Prints one line per target and exits non-zero if any target found
# a crash, a sanitizer report, a leak, a timeout or a broken invariant; the
# failing input is kept as build/fuzz/artifacts/<target>-crash-<hash> (or
# -leak-, -timeout-, -oom-) and the full log as build/fuzz/<target>.log.
#
# Usage: src/fuzz/run.sh [seconds-per-target] [target...]
#   seconds default to 60; targets default to all of them.
# Reproduce a failure: build/fuzz/<target> build/fuzz/artifacts/<file>
set -uo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/../.." && pwd)"
cd "$root"

secs="${1:-60}"
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -eq 0 ] &&
  targets=(fuzz_resp_reader fuzz_inline_split fuzz_glob fuzz_wal_replay fuzz_snapshot_load fuzz_commands)

"$here/build.sh" "${targets[@]}" >/dev/null || { echo "fuzz build failed" >&2; exit 1; }
mkdir -p build/fuzz/artifacts

work=""
trap '[ -n "$work" ] && rm -rf "$work"' EXIT INT TERM

status=0
for t in "${targets[@]}"; do
  case "$t" in
    fuzz_glob) extra=(-max_len=512) ;;
    *) extra=(-max_len=4096) ;;
  esac
  work="$(mktemp -d "${TMPDIR:-/tmp}/mevora-$t-XXXXXX")"
  cp src/fuzz/corpus/"$t"/* "$work"/
  log="build/fuzz/$t.log"
  "build/fuzz/$t" "$work" -max_total_time="$secs" -timeout=10 -malloc_limit_mb=256 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="build/fuzz/artifacts/$t-" \
    "${extra[@]}" >"$log" 2>&1
  rc=$?
  rm -rf "$work"
  work=""

  runs="$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | awk '{print $2}')"
  last="$(grep -E '^#[0-9]+' "$log" | tail -n 1)"
  cov="$(grep -o 'cov: [0-9]*' <<<"$last" | awk '{print $2}')"
  ft="$(grep -o 'ft: [0-9]*' <<<"$last" | awk '{print $2}')"
  if [ "$rc" -eq 0 ]; then
    echo "$t: ok, ${runs:-?} runs in ${secs}s, cov ${cov:-?}, ft ${ft:-?}"
  else
    status=1
    input="$(grep -o 'Test unit written to [^ ]*' "$log" | tail -n 1 | awk '{print $5}')"
    why="$(grep -m 1 -E 'invariant broken|ERROR: [A-Za-z]+Sanitizer|runtime error|ERROR: libFuzzer' "$log")"
    echo "$t: FAILED (exit $rc) after ${runs:-?} runs, cov ${cov:-?}, ft ${ft:-?}: ${why:-see log}; input ${input:-none}; log $log"
  fi
done
exit "$status"
