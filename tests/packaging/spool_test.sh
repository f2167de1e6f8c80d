#!/usr/bin/env bash
# The spool script on a temporary spool tree, without systemd: complete recordings of each family
# are processed and moved, a recording still being written (.part, or modified too recently) and a
# hidden file are left alone, a recording without product lands in failed/ with its log, and the
# products appear in the output folder whole.
# Usage: spool_test.sh VANTREL_CLI VANTREL_SIM SPOOL_SCRIPT
set -uo pipefail
cli=$1 sim=$2 spool_script=$3
# shellcheck source=tests/packaging/check.sh
source "$(dirname "$0")/check.sh"

root=$(mktemp -d)
trap 'rm -rf -- "$root"' EXIT
incoming=$root/spool/incoming
mkdir -p "$incoming" "$root/made"
export VANTREL_SPOOL=$incoming VANTREL_OUTPUT=$root/products VANTREL_DONE=$root/spool/done \
  VANTREL_FAILED=$root/spool/failed VANTREL_STATE=$root/state VANTREL_CLI=$cli \
  VANTREL_OPTIONS="--derandomize"

# Makes a recording with the simulator in made/ (its truth files stay there) and drops it in the
# spool under `name`, last modified two hours ago.
drop() {
  local name=$1
  shift
  "$sim" "$@" --out "$root/made/$name" >/dev/null || check_fail "simulator failed for $name"
  mv "$root/made/$name" "$incoming/$name"
  touch -d "@$(($(date +%s) - 7200))" "$incoming/$name"
}

drop MetopB_20181231_101530.bin --sat metop --satellite B --packets 6 --shift 3
drop FY3C_2019-02-03_101530.bin --sat fy3 --satellite C --lines 4 --invert
drop MN2_20190101_121530.bin --sat mn2 --lines 4
drop MetopA_20200101_000000.bin.part --sat metop --satellite A --packets 2
# A recording of noise: vantrel-cli writes an empty product and no line.
head -c 100000 /dev/zero | tr '\0' '\125' >"$incoming/MetopC_20200101_000000.bin"
touch -d "@$(($(date +%s) - 7200))" "$incoming/MetopC_20200101_000000.bin"
echo "rsync's temporary file" >"$incoming/.MetopB_20200101_000000.bin.XXXX"
touch -d "@$(($(date +%s) - 7200))" "$incoming/.MetopB_20200101_000000.bin.XXXX"
# Modified just now: with a settle time of an hour it is still being written.
drop MetopB_20200202_020202.bin --sat metop --packets 2
touch "$incoming/MetopB_20200202_020202.bin"

output=$(VANTREL_SETTLE_SECONDS=3600 "$spool_script" 2>&1)
check_equal "$?" 0 "spool run exit status" "$output"

# Products are byte for byte what the simulator packed: the MetOp one has 6 records whose packet
# bytes match, the FY-3 and Meteor-M N2 ones have their line counts.
check_file_size "$root/products/MetopB_20181231_1015_M03.hpt" $((6 * 13864))
check_file_size "$root/products/FY3C_2019-02-03_1015.C10" $((4 * 27728))
check_exists "$root/products/20190101_1215_MN2.dat"
for name in MetopB_20181231_101530.bin FY3C_2019-02-03_101530.bin MN2_20190101_121530.bin; do
  check_exists "$root/spool/done/$name"
  check_exists "$root/spool/done/$name.log"
  check_missing "$incoming/$name"
done
check_contains "$(cat "$root/spool/done/MetopB_20181231_101530.bin.log")" \
  "HPT file created done!  6 lines found."

# No product: the recording and its log in failed/, the empty product not in the output.
check_exists "$root/spool/failed/MetopC_20200101_000000.bin"
check_contains "$(cat "$root/spool/failed/MetopC_20200101_000000.bin.log")" "0 lines found."
check_missing "$root/products/MetopC_20200101_0000_M04.hpt"
check_contains "$output" "MetopC_20200101_000000.bin: no product"

# Left alone: still being written, hidden.
check_exists "$incoming/MetopA_20200101_000000.bin.part"
check_exists "$incoming/.MetopB_20200101_000000.bin.XXXX"
check_exists "$incoming/MetopB_20200202_020202.bin"
check_missing "$root/products/MetopB_20200202_0202_M03.hpt"
# No working folder is left, no temporary name in the output.
check_equal "$(find "$root/state" -mindepth 1 -type d | wc -l)" 0 "working folders left"
check_equal "$(find "$root/products" -name '.*' | wc -l)" 0 "temporary products left"

# Renamed when complete, and settled: the next run takes both, and a recording whose name is
# already in done/ is kept beside it under a new name.
mv "$incoming/MetopA_20200101_000000.bin.part" "$incoming/MetopA_20200101_000000.bin"
cp "$root/spool/done/MetopB_20181231_101530.bin" "$incoming/"
output=$(VANTREL_SETTLE_SECONDS=0 "$spool_script" 2>&1)
check_equal "$?" 0 "second spool run exit status" "$output"
check_file_size "$root/products/20200101_0000_M02.hpt" $((2 * 13864))
check_file_size "$root/products/MetopB_20200202_0202_M03.hpt" $((2 * 13864))
check_exists "$root/spool/done/MetopB_20181231_101530.bin.1"
check_exists "$root/spool/done/MetopB_20181231_101530.bin.1.log"
check_equal "$(find "$incoming" -type f ! -name '.*' | wc -l)" 0 "recordings left in the spool"

# A recording named by the receiver's software, no marker: VANTREL_SATELLITE=auto finds MetOp-C.
drop 2026-12-09_10-15-30_1701300000Hz.bin --sat metop --satellite C --packets 2
output=$(VANTREL_SETTLE_SECONDS=0 VANTREL_SATELLITE=auto "$spool_script" 2>&1)
check_equal "$?" 0 "spool run exit status with VANTREL_SATELLITE=auto" "$output"
check_file_size "$root/products/MetopC_20181231_1015_M04.hpt" $((2 * 13864))

# Options vantrel-cli refuses: the recording stays, the run fails and says why.
drop MetopB_20210101_000000.bin --sat metop --packets 1
output=$(VANTREL_SETTLE_SECONDS=0 VANTREL_OPTIONS="--apid 105" "$spool_script" 2>&1)
check_equal "$?" 1 "exit status with refused options" "$output"
check_contains "$output" "refused the options '--apid 105'"
check_exists "$incoming/MetopB_20210101_000000.bin"

# Settings errors and usage.
output=$(VANTREL_SPOOL=$root/nowhere "$spool_script" 2>&1)
check_equal "$?" 1 "exit status without spool folder" "$output"
output=$(VANTREL_SETTLE_SECONDS=soon "$spool_script" 2>&1)
check_equal "$?" 1 "exit status with a bad settle time" "$output"
"$spool_script" --bogus >/dev/null 2>&1
check_equal "$?" 2 "exit status of a usage error"

check_done
