#!/usr/bin/env bash
# The spool script in a hostile spool folder: links and other entries that are not regular files
# are left alone (what they name is never moved), a recording that cannot be moved does not
# stop the others, no product replaces an earlier one in the output folder and no log an earlier
# log, and a recording is filed by what became of its product.
# Usage: spool_safety_test.sh VANTREL_CLI VANTREL_SIM SPOOL_SCRIPT
set -uo pipefail
cli=$1 sim=$2 spool_script=$3
# shellcheck source=tests/packaging/check.sh
source "$(dirname "$0")/check.sh"

root=$(mktemp -d)
immutable=""
# shellcheck disable=SC2317  # called by the trap
cleanup() {
  [ -z "$immutable" ] || chattr -i "$immutable" 2>/dev/null
  rm -rf -- "$root"
}
trap cleanup EXIT
incoming=$root/spool/incoming products=$root/products done_dir=$root/spool/done
mkdir -p "$incoming" "$root/made" "$root/outside"
export VANTREL_SPOOL=$incoming VANTREL_OUTPUT=$products VANTREL_DONE=$done_dir \
  VANTREL_FAILED=$root/spool/failed VANTREL_STATE=$root/state VANTREL_CLI=$cli \
  VANTREL_OPTIONS="--derandomize" VANTREL_SETTLE_SECONDS=0

# Simulates a MetOp-B pass of `packets` packets as made/NAME (truth beside it) and drops a copy
# into the spool folder.
drop() {
  local name=$1 packets=$2
  "$sim" --sat metop --satellite B --packets "$packets" --out "$root/made/$name" >/dev/null ||
    check_fail "simulator failed for $name"
  cp "$root/made/$name" "$incoming/$name"
}
spool() { "$spool_script" 2>&1; }

# ---- Links and other entries that are not regular files ----------------------------------------
drop MetopB_20181231_101530.bin 3
cp "$root/made/MetopB_20181231_101530.bin" "$root/outside/MetopB_20190101_000000.bin"
ln -s "$root/outside/MetopB_20190101_000000.bin" "$incoming/MetopB_20190101_000000.bin"
ln -s "$root/outside" "$incoming/MetopB_folder_link.bin"
ln -s "$root/nowhere" "$incoming/MetopB_dangling.bin"
mkdir "$incoming/MetopB_a_folder.bin"
mkfifo "$incoming/MetopB_a_fifo.bin"
# Sorts after the links: it is processed all the same.
drop MetopB_20991231_235930.bin 2

output=$(spool)
check_equal "$?" 0 "spool run with links exit status" "$output"
check_contains "$output" "MetopB_20190101_000000.bin: a symbolic link, left alone"
check_contains "$output" "MetopB_folder_link.bin: a symbolic link, left alone"
check_contains "$output" "MetopB_dangling.bin: a symbolic link, left alone"
check_contains "$output" "MetopB_a_folder.bin: a folder, left alone"
check_contains "$output" "MetopB_a_fifo.bin: not a regular file, left alone"
# What the link names is untouched and where it was; the links are still in the spool folder.
cmp -s "$root/outside/MetopB_20190101_000000.bin" "$root/made/MetopB_20181231_101530.bin" ||
  check_fail "the file a link names was changed or moved"
check_equal "$(readlink "$incoming/MetopB_20190101_000000.bin")" \
  "$root/outside/MetopB_20190101_000000.bin" "the link in the spool"
check_missing "$done_dir/MetopB_20190101_000000.bin"
check_missing "$root/spool/failed/MetopB_20190101_000000.bin"
check_missing "$products/MetopB_20190101_0000_M03.hpt"
check_equal "$(find "$root/outside" -mindepth 1 | wc -l)" 1 "files in the linked folder"
# The real recordings around them were processed.
check_file_size "$products/MetopB_20181231_1015_M03.hpt" $((3 * 13864))
check_file_size "$products/MetopB_20991231_2359_M03.hpt" $((2 * 13864))
check_exists "$done_dir/MetopB_20991231_235930.bin"
rm -rf "${incoming:?}"/*

# ---- A recording that cannot be moved ----------------------------------------------------------
drop MetopB_20200101_000000.bin 2
drop MetopB_20200101_010000.bin 2
if chattr +i "$incoming/MetopB_20200101_000000.bin" 2>/dev/null; then
  immutable=$incoming/MetopB_20200101_000000.bin
  output=$(spool)
  check_equal "$?" 0 "spool run with an immovable recording exit status" "$output"
  check_contains "$output" "MetopB_20200101_000000.bin: cannot be moved out of $incoming"
  check_exists "$incoming/MetopB_20200101_000000.bin"
  # Never processed, so never a product of it; the one after it is done.
  check_missing "$products/MetopB_20200101_0000_M03.hpt"
  check_exists "$done_dir/MetopB_20200101_010000.bin"
  check_file_size "$products/MetopB_20200101_0100_M03.hpt" $((2 * 13864))
  chattr -i "$immutable"
  immutable=""
else
  echo "skipped: an immovable file needs chattr +i (root, and a file system that has it)"
fi
rm -rf "${incoming:?}"/*

# ---- No product replaces another one, no log another log ---------------------------------------
# Two passes of one quarter hour have one product name; a third finds it taken already.
earlier=$(sha256sum <"$products/MetopB_20181231_1015_M03.hpt")
drop MetopB_20181231_101545.bin 4
output=$(VANTREL_OPTIONS="--derandomize --preview" spool)
check_equal "$?" 0 "spool run with a taken product name exit status" "$output"
check_equal "$(sha256sum <"$products/MetopB_20181231_1015_M03.hpt")" "$earlier" "the earlier product"
check_file_size "$products/MetopB_20181231_1015_M03.1.hpt" $((4 * 13864))
check_exists "$products/MetopB_20181231_1015_M03.1.hpt.png"
check_contains "$output" "MetopB_20181231_101545.bin: product $products/MetopB_20181231_1015_M03.1.hpt (MetopB_20181231_1015_M03.hpt was taken by an earlier product)"
check_contains "$output" "MetopB_20181231_101545.bin: quicklook $products/MetopB_20181231_1015_M03.1.hpt.png"
check_contains "$(cat "$done_dir/MetopB_20181231_101545.bin.log")" \
  "product $products/MetopB_20181231_1015_M03.1.hpt"
# The same pass again: the next free number, the earlier two untouched.
cp "$root/made/MetopB_20181231_101545.bin" "$incoming/"
# An older log whose recording is gone stays as it is.
echo "an older log" >"$done_dir/MetopB_20181231_101545.bin.1.log"
output=$(spool)
check_equal "$?" 0 "spool run with a log in the way exit status" "$output"
check_file_size "$products/MetopB_20181231_1015_M03.2.hpt" $((4 * 13864))
check_file_size "$products/MetopB_20181231_1015_M03.1.hpt" $((4 * 13864))
check_equal "$(cat "$done_dir/MetopB_20181231_101545.bin.1.log")" "an older log" "the older log"
check_exists "$done_dir/MetopB_20181231_101545.bin.2"
check_contains "$(cat "$done_dir/MetopB_20181231_101545.bin.2.log")" "HPT file created done!"
check_equal "$(find "$products" -name '.*' | wc -l)" 0 "temporary products left"

# ---- Filed by the product ---------------------------------------------------------------------
# A vantrel-cli that delivers the product but fails afterwards (as when only the quicklook could
# not be moved): the recording is done, and the log says so.
cat >"$root/cli-then-fail" <<EOF
#!/usr/bin/env bash
"$cli" "\$@" || exit
exit 1
EOF
chmod +x "$root/cli-then-fail"
drop MetopB_20210101_000000.bin 2
output=$(VANTREL_CLI=$root/cli-then-fail spool)
check_equal "$?" 0 "spool run with a failing quicklook exit status" "$output"
check_exists "$done_dir/MetopB_20210101_000000.bin"
check_file_size "$products/MetopB_20210101_0000_M03.hpt" $((2 * 13864))
check_contains "$output" "vantrel-cli exit status 1, but the product is whole"

# A vantrel-cli that leaves the whole product in its working folder and fails (as when the
# quicklook could not be written): the product is delivered, the recording done.
cat >"$root/cli-no-move" <<EOF
#!/usr/bin/env bash
arguments=()
while [ \$# -gt 0 ]; do
  if [ "\$1" = --output-dir ]; then shift 2; else arguments+=("\$1"); shift; fi
done
"$cli" "\${arguments[@]}" || exit
exit 1
EOF
chmod +x "$root/cli-no-move"
drop MetopB_20210202_000000.bin 3
output=$(VANTREL_CLI=$root/cli-no-move spool)
check_equal "$?" 0 "spool run with a product left in the working folder exit status" "$output"
check_exists "$done_dir/MetopB_20210202_000000.bin"
check_file_size "$products/MetopB_20210202_0000_M03.hpt" $((3 * 13864))
check_contains "$output" "vantrel-cli left the product in its working folder (exit status 1)"

# ---- Products delivered to another file system ------------------------------------------------
if [ -d /dev/shm ] && [ -w /dev/shm ] && [ "$(stat -c %d /dev/shm)" != "$(stat -c %d "$root")" ]; then
  shm=$(mktemp -d /dev/shm/vantrel-spool-test.XXXXXX)
  drop MetopB_20230101_000000.bin 2
  echo "an earlier product" >"$shm/MetopB_20230101_0000_M03.hpt"
  echo "a copy a stopped run left" >"$shm/.vantrel-spool.Ab12Cd"
  output=$(VANTREL_OUTPUT=$shm spool)
  check_equal "$?" 0 "spool run into another file system exit status" "$output"
  check_equal "$(cat "$shm/MetopB_20230101_0000_M03.hpt")" "an earlier product" "the earlier product"
  check_file_size "$shm/MetopB_20230101_0000_M03.1.hpt" $((2 * 13864))
  check_equal "$(find "$shm" -name '.*' | wc -l)" 0 "temporary products left there"
  check_equal "$(stat -c %a "$shm/MetopB_20230101_0000_M03.1.hpt")" \
    "$(stat -c %a "$products/MetopB_20181231_1015_M03.hpt")" "mode of a product copied over"
  rm -rf -- "$shm"
else
  echo "skipped: no other file system at /dev/shm"
fi

# ---- A recording an interrupted run had taken ------------------------------------------------
drop MetopB_20220101_000000.bin 1
mkdir -p "$incoming/.vantrel-spool"
mv "$incoming/MetopB_20220101_000000.bin" "$incoming/.vantrel-spool/"
output=$(spool)
check_contains "$output" "MetopB_20220101_000000.bin: back in $incoming from an interrupted run"
check_exists "$done_dir/MetopB_20220101_000000.bin"
check_file_size "$products/MetopB_20220101_0000_M03.hpt" 13864

# Folders the spool may not choose.
output=$(VANTREL_OPTIONS="--output-dir /tmp" spool)
check_equal "$?" 1 "exit status with --output-dir in the options" "$output"

check_done
