#!/usr/bin/env bash
# The README's recipe for reprocessing an archive, run locally with GNU parallel: four simulated
# passes (MetOp, FY-3, Meteor-M N2, and a second MetOp) and one recording without a product, two
# jobs at a time, each in a working folder of its own; the products collected in one folder and
# the failed recording listed at the end. Then the same over --sshlogin with the local machine.
# Usage: parallel_test.sh VANTREL_CLI VANTREL_SIM
set -uo pipefail
cli=$1 sim=$2
# shellcheck source=tests/packaging/check.sh
source "$(dirname "$0")/check.sh"
command -v parallel >/dev/null || {
  echo "GNU parallel is not installed" >&2
  exit 1
}

root=$(mktemp -d)
trap 'rm -rf -- "$root"' EXIT
mkdir -p "$root/archive/2019/01" "$root/bin"
ln -s "$cli" "$root/bin/vantrel-cli"
export PATH="$root/bin:$PATH"
archive=$root/archive
"$sim" --sat metop --satellite B --packets 5 --out "$archive/MetopB_20181231_101530.bin" >/dev/null
"$sim" --sat fy3 --satellite B --lines 4 --out "$archive/2019/01/FY3B_2019-01-02_030405.bin" >/dev/null
"$sim" --sat mn2 --lines 6 --out "$archive/2019/01/MN2_20190103_040506.bin" >/dev/null
"$sim" --sat metop --satellite C --packets 3 --out "$archive/2019/MetopC_20190104_050607.bin" >/dev/null
head -c 50000 /dev/zero >"$archive/2019/MetopA_20190105_060708.bin"
products=(MetopB_20181231_1015_M03.hpt:$((5 * 13864)) FY3B_2019-01-02_0304.C10:$((4 * 27728))
  MetopC_20190104_0506_M04.hpt:$((3 * 13864)))

cd "$root" || exit 1
# The README's recipe.
find "$archive" -name '*.bin' >recordings.txt
parallel --will-cite -j 2 \
  'vantrel-cli -q -C work/{#} --output-dir products {} DR_y RS_y || echo {}' \
  :::: recordings.txt >failed.txt 2>errors.txt
check_equal "$?" 0 "parallel exit status" "$(cat errors.txt)"

for entry in "${products[@]}"; do check_file_size "products/${entry%%:*}" "${entry##*:}"; done
check_exists products/20190103_0405_MN2.dat
check_equal "$(find products -type f | wc -l)" 4 "products collected"
check_equal "$(cat failed.txt)" "$archive/2019/MetopA_20190105_060708.bin" "failed list"
check_contains "$(cat errors.txt)" "no product was written"
# One working folder per job, and nothing but the lock left in them.
check_equal "$(find work -mindepth 1 -maxdepth 1 -type d | wc -l)" 5 "working folders"
check_equal "$(find work -type f ! -name .vantrel.lock | wc -l)" 0 "files left in working folders"

# The same recipe through --sshlogin (':' is this machine, reached without ssh).
rm -rf products work
parallel --will-cite --sshlogin 2/: \
  'vantrel-cli -q -C work/{#} --output-dir products {} DR_y RS_y || echo {}' \
  :::: recordings.txt >failed.txt 2>errors.txt
check_equal "$?" 0 "parallel --sshlogin exit status" "$(cat errors.txt)"
for entry in "${products[@]}"; do check_file_size "products/${entry%%:*}" "${entry##*:}"; done
check_equal "$(cat failed.txt)" "$archive/2019/MetopA_20190105_060708.bin" "failed list"

check_done
