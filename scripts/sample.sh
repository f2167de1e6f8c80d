#!/usr/bin/env bash
# Sets up, builds vantrel-cli (only it, and only the packages it needs), and turns the bundled
# MetOp-B sample recording into its .hpt product in a scratch folder, then prints where the
# product went.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --cli
top=$(pwd)
sample=$(ls "$top"/samples/MetopB_*.bin | head -n 1)
mkdir -p scratch
cd scratch
status=0
"$top/build/vantrel-cli" "$sample" DR_y RS_y || status=$?
product=$(ls -t ./*.hpt 2>/dev/null | head -n 1 || true)
if [ "$status" -eq 0 ] && [ -n "$product" ]; then
  bytes=$(stat -c %s "$product")
  echo
  echo "Product: $(realpath "$product") ($((bytes / 13864)) HRPT minor frames)"
else
  echo "No product was written (exit status $status)." >&2
  exit 1
fi
