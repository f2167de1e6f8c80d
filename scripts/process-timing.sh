#!/usr/bin/env bash
# Times whole vantrel-cli processes on one recording, for comparing builds on a shared machine:
# the builds take turns, each run once with no product in its working folder ("fresh") and once
# with the product of that run still there ("existing"). Prints every run and, per build and case,
# the best and the median of the wall-clock, system and user time (seconds).
# Usage: scripts/process-timing.sh RECORDING RUNS LABEL=VANTREL_CLI... [-- SWITCHES...]
#   e.g. scripts/process-timing.sh /data/MetopB_20261209_101530.bin 5 \
#          old=/work/old/build-rel/vantrel-cli new=build-rel/vantrel-cli -- DR_y RS_y
# The working folders are made under ${VANTREL_TIMING_DIR:-/tmp/vantrel-timing}.
set -euo pipefail

[ $# -ge 3 ] || { sed -n 2,9p "$0" >&2; exit 2; }
recording=$(realpath "$1")
runs=$2
shift 2
builds=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  builds+=("$1")
  shift
done
[ "${1-}" = "--" ] && shift
switches=("$@")
base=${VANTREL_TIMING_DIR:-/tmp/vantrel-timing}
results=$(mktemp)
trap 'rm -f "$results"' EXIT

# One timed run: "LABEL CASE WALL SYSTEM"; a run that fails is shown and left out.
timed_run() {
  local label=$1 case=$2 cli=$3 times status=0
  TIMEFORMAT="%R %S %U"
  times=$( { time "$cli" -q "$recording" "${switches[@]}" >/dev/null 2>&1; } 2>&1) || status=$?
  if [ "$status" -ne 0 ]; then
    echo "$label $case failed (exit status $status)"
    return
  fi
  echo "$label $case $times" | tee -a "$results"
}

for ((run = 1; run <= runs; ++run)); do
  for build in "${builds[@]}"; do
    label=${build%%=*}
    cli=$(realpath "${build#*=}")
    mkdir -p "$base/$label"
    (
      cd "$base/$label"
      find . -maxdepth 1 -type f ! -name .vantrel.lock -delete
      sync
      sleep 1
      timed_run "$label" fresh "$cli"
      sleep 1
      timed_run "$label" existing "$cli"
    )
  done
done

echo
sort -k1,1 -k2,2 -s "$results" | awk '
  function median(list, n,   sorted, i, j, t) {
    for (i = 1; i <= n; ++i) sorted[i] = list[i]
    for (i = 2; i <= n; ++i)
      for (j = i; j > 1 && sorted[j - 1] > sorted[j]; --j) {
        t = sorted[j]; sorted[j] = sorted[j - 1]; sorted[j - 1] = t
      }
    return n % 2 ? sorted[(n + 1) / 2] : (sorted[n / 2] + sorted[n / 2 + 1]) / 2
  }
  function report() {
    if (n == 0) return
    printf "%-12s %-9s runs %d  wall best %.2f median %.2f  system best %.2f median %.2f" \
           "  user best %.2f median %.2f\n", key_label, key_case, n, wall_best, median(walls, n),
           sys_best, median(syss, n), user_best, median(users, n)
  }
  {
    if ($1 != key_label || $2 != key_case) {
      report(); n = 0; key_label = $1; key_case = $2; wall_best = 1e9; sys_best = 1e9
      user_best = 1e9
    }
    ++n; walls[n] = $3; syss[n] = $4; users[n] = $5
    if ($3 < wall_best) wall_best = $3
    if ($4 < sys_best) sys_best = $4
    if ($5 < user_best) user_best = $5
  }
  END { report() }'
