#!/usr/bin/env bash
# Runs builds of vantrel-cli in turns on one recording and prints, per build, the best and the
# median wall-clock time, the user and system time of the best run, the peak memory (maximum
# resident set) and the bytes the process wrote (getrusage's block outputs, 512 bytes each:
# every byte written to a file, deleted afterwards or not).
# Usage: scripts/chain-figures.sh RECORDING RUNS LABEL=VANTREL_CLI... [-- SWITCHES...]
#   e.g. scripts/chain-figures.sh /data/MetopB_20261209_101530.wav 3 \
#          old=/work/old/build-rel/vantrel-cli new=build-rel/vantrel-cli -- DR_y
set -euo pipefail
[ $# -ge 3 ] || { sed -n 2,8p "$0" >&2; exit 2; }
recording=$(realpath "$1")
runs=$2
shift 2
builds=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  builds+=("$1")
  shift
done
[ "${1-}" = "--" ] && shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Warm the page cache: the figures are the program's, not the disk's.
cat "$recording" >/dev/null
for ((run = 1; run <= runs; run++)); do
  for build in "${builds[@]}"; do
    label=${build%%=*}
    cli=$(realpath "${build#*=}")
    rm -rf "$work/run" && mkdir "$work/run"
    /usr/bin/time -o "$work/time" -f "%e %U %S %M %O" "$cli" "$recording" "$@" -C "$work/run" -q ||
      echo "$label: exit status $?" >&2
    echo "$label $(cat "$work/time")" >>"$work/results"
  done
done
echo "build  best_s  median_s  user_s  system_s  peak_MiB  written_MB"
for build in "${builds[@]}"; do
  label=${build%%=*}
  grep "^$label " "$work/results" | sort -k2 -n | awk -v label="$label" '
    { wall[NR] = $2; user[NR] = $3; sys[NR] = $4; rss[NR] = $5; out[NR] = $6 }
    END {
      peak = 0; for (i = 1; i <= NR; i++) if (rss[i] > peak) peak = rss[i]
      printf "%-6s %6.2f %9.2f %7.2f %9.2f %9.1f %11.1f\n", label, wall[1], wall[int((NR + 1) / 2)],
             user[1], sys[1], peak / 1024, out[1] * 512 / 1e6
    }'
done
