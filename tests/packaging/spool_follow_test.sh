#!/usr/bin/env bash
# The spool script following recordings as their recorder writes them (NAME.part, renamed to NAME
# at the end): the product of a followed recording is the whole file's, the recording is never
# moved while it is written and is filed once renamed; a NAME.part that stops growing gives the
# product of what arrived and stays; recordings that arrive during a follow are taken too; a
# stopped run leaves nothing half done; and VANTREL_FOLLOW_PARTS=no keeps the whole-file rule.
# Usage: spool_follow_test.sh VANTREL_CLI VANTREL_SIM SPOOL_SCRIPT
set -uo pipefail
cli=$1 sim=$2 spool_script=$3
# shellcheck source=tests/packaging/check.sh
source "$(dirname "$0")/check.sh"

root=$(mktemp -d)
spool_pid=""
test_pid=$BASHPID
# shellcheck disable=SC2317  # called by the trap
cleanup() {
  # Only the test itself: a child it forked and that was signalled before it ran the spool runs
  # the trap too.
  [ "$BASHPID" = "$test_pid" ] || return
  [ -z "$spool_pid" ] || kill -KILL "$spool_pid" 2>/dev/null
  rm -rf -- "$root"
}
trap cleanup EXIT
incoming=$root/spool/incoming products=$root/products done_dir=$root/spool/done
failed_dir=$root/spool/failed journal=$root/journal
mkdir -p "$incoming" "$root/made" "$root/whole"
export VANTREL_SPOOL=$incoming VANTREL_OUTPUT=$products VANTREL_DONE=$done_dir \
  VANTREL_FAILED=$failed_dir VANTREL_STATE=$root/state VANTREL_CLI=$cli \
  VANTREL_OPTIONS="--derandomize" VANTREL_SETTLE_SECONDS=0 VANTREL_FOLLOW_IDLE_SECONDS=3

# Waits until `condition` (a command) holds, for at most a minute; false when it never does.
wait_for() {
  local deadline=$((SECONDS + 60))
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}
journal_says() { grep -qsF -- "$1" "$journal"; }
spool_ended() { ! kill -0 "$spool_pid" 2>/dev/null; }
# The spool in the background, its journal in `journal` (emptied first, so that no line of an
# earlier run is taken for this one's).
start_spool() {
  : >"$journal"
  "$spool_script" >>"$journal" 2>&1 &
  spool_pid=$!
}
# Waits for the background spool to end; its exit status.
spool_status() {
  local status
  wait_for spool_ended || check_fail "the spool run did not end"
  wait "$spool_pid"
  status=$?
  spool_pid=""
  return "$status"
}

# Simulates a recording in made/ and makes the product a whole-file run gives in whole/.
make_recording() {
  local name=$1
  shift
  "$sim" "$@" --out "$root/made/$name" >/dev/null || check_fail "simulator failed for $name"
  (cd "$root/whole" && "$cli" "$root/made/$name" --derandomize >/dev/null)
}
# Appends bytes FROM..TO (a fraction of the recording in percent) of made/NAME to incoming/NAME.part.
write_piece() {
  local name=$1 from=$2 to=$3 size
  size=$(stat -c %s "$root/made/$name")
  tail -c +$((size * from / 100 + 1)) "$root/made/$name" |
    head -c $((size * to / 100 - size * from / 100)) >>"$incoming/$name.part"
}

# A follow starts once a recording holds 1 MiB: these are 2 MiB.
make_recording MetopB_20181231_101530.bin --sat metop --satellite B --size-mib 2 --shift 3
make_recording FY3C_2019-02-03_101530.bin --sat fy3 --satellite C --size-mib 2 --invert
make_recording MetopB_20200303_030303.bin --sat metop --satellite B --size-mib 2
make_recording MN2_20190101_121530.bin --sat mn2 --lines 4
# A pass whose product name is taken already: the follow's product gets the next number.
echo "an earlier product" >"$root/earlier.hpt"
mkdir -p "$products" && cp "$root/earlier.hpt" "$products/MetopB_20181231_1015_M03.hpt"

# ---- Followed while written; more recordings arrive meanwhile ----------------------------------
write_piece MetopB_20181231_101530.bin 0 30 # too short to start a follow
write_piece MetopB_20200303_030303.bin 0 100 # never renamed: the follow ends idle
start_spool
wait_for journal_says "MetopB_20200303_030303.bin.part: followed as it is written" ||
  check_fail "no follow of a .part"
journal_says "MetopB_20181231_101530.bin.part: followed" && check_fail "followed under 1 MiB"
write_piece MetopB_20181231_101530.bin 30 60
wait_for journal_says "MetopB_20181231_101530.bin.part: followed as it is written" ||
  check_fail "no follow of the first .part"
# Never moved while it is written: the recorder's rename must work.
check_exists "$incoming/MetopB_20181231_101530.bin.part"
write_piece MetopB_20181231_101530.bin 60 80

# A complete recording and a second pass being written arrive during the follow: both are taken.
cp "$root/made/MN2_20190101_121530.bin" "$incoming/"
write_piece FY3C_2019-02-03_101530.bin 0 60
wait_for test -e "$done_dir/MN2_20190101_121530.bin" ||
  check_fail "a complete recording waited for the follow"
wait_for journal_says "FY3C_2019-02-03_101530.bin.part: followed as it is written" ||
  check_fail "no follow of the second .part"
write_piece FY3C_2019-02-03_101530.bin 60 100
write_piece MetopB_20181231_101530.bin 80 100
# A recording of noise, written and renamed at once: no product, failed/.
head -c 2000000 /dev/zero | tr '\0' '\125' >"$incoming/MetopC_20200101_000000.bin.part"
mv "$incoming/MetopB_20181231_101530.bin.part" "$incoming/MetopB_20181231_101530.bin"
mv "$incoming/FY3C_2019-02-03_101530.bin.part" "$incoming/FY3C_2019-02-03_101530.bin"
wait_for journal_says "MetopC_20200101_000000.bin.part: followed" ||
  check_fail "no follow of the noise .part"
mv "$incoming/MetopC_20200101_000000.bin.part" "$incoming/MetopC_20200101_000000.bin"
spool_status
check_equal "$?" 0 "exit status of the run with follows" "$(cat "$journal")"
output=$(cat "$journal")

# The products are the whole files' products, byte for byte; nothing replaced.
cmp -s "$products/MetopB_20181231_1015_M03.hpt" "$root/earlier.hpt" ||
  check_fail "the earlier product was changed"
for pair in MetopB_20181231_1015_M03.1.hpt:MetopB_20181231_1015_M03.hpt \
  FY3C_2019-02-03_1015.C10:FY3C_2019-02-03_1015.C10 20190101_1215_MN2.dat:20190101_1215_MN2.dat \
  MetopB_20200303_0303_M03.hpt:MetopB_20200303_0303_M03.hpt; do
  if ! cmp -s "$products/${pair%%:*}" "$root/whole/${pair##*:}"; then
    check_fail "product ${pair%%:*} is not the whole file's ${pair##*:}"
  fi
done
# Renamed: filed with its log as a complete recording is, nothing left in the spool folder.
for name in MetopB_20181231_101530.bin FY3C_2019-02-03_101530.bin MN2_20190101_121530.bin; do
  check_exists "$done_dir/$name"
  check_exists "$done_dir/$name.log"
  check_missing "$incoming/$name"
  check_missing "$incoming/$name.part"
done
check_contains "$output" \
  "MetopB_20181231_101530.bin.part: the follow ended after"
check_contains "$output" "'$incoming/MetopB_20181231_101530.bin.part' was renamed"
check_contains "$output" "MetopB_20181231_101530.bin: product $products/MetopB_20181231_1015_M03.1.hpt"
check_contains "$(cat "$done_dir/MetopB_20181231_101530.bin.log")" "HPT file created done!"
# No recording: failed/ with its log.
check_exists "$failed_dir/MetopC_20200101_000000.bin"
check_contains "$(cat "$failed_dir/MetopC_20200101_000000.bin.log")" "no product"
# Never renamed: the product of what arrived; the recording stays, its log in done/.
check_exists "$incoming/MetopB_20200303_030303.bin.part"
check_contains "$(cat "$done_dir/MetopB_20200303_030303.bin.part.log")" \
  "has not grown for 3 s"
check_contains "$output" "MetopB_20200303_030303.bin.part: not renamed to MetopB_20200303_030303.bin"
check_equal "$(find "$root/state" -mindepth 1 -type d | wc -l)" 0 "working folders left"
check_equal "$(find "$products" -name '.*' | wc -l)" 0 "temporary products left"

# Followed once: written to again, it is not followed a second time; renamed, it is processed
# whole, beside the earlier product of what had arrived.
echo -n >>"$incoming/MetopB_20200303_030303.bin.part"
touch "$incoming/MetopB_20200303_030303.bin.part"
output=$("$spool_script" 2>&1)
check_equal "$?" 0 "exit status of a run after the follow" "$output"
case $output in *"followed as it is written"*) check_fail "followed twice: $output" ;; esac
mv "$incoming/MetopB_20200303_030303.bin.part" "$incoming/MetopB_20200303_030303.bin"
output=$("$spool_script" 2>&1)
check_exists "$done_dir/MetopB_20200303_030303.bin"
cmp -s "$products/MetopB_20200303_0303_M03.1.hpt" "$root/whole/MetopB_20200303_0303_M03.hpt" ||
  check_fail "the product of the renamed recording is not the whole file's"

# ---- A run stopped during a follow --------------------------------------------------------------
rm -rf "${incoming:?}"/* "${products:?}"/*
write_piece MetopB_20181231_101530.bin 0 60
start_spool
wait_for journal_says "MetopB_20181231_101530.bin.part: followed as it is written" ||
  check_fail "no follow before the stop"
kill -TERM "$spool_pid"
spool_status
check_equal "$?" 143 "exit status of a stopped run" "$(cat "$journal")"
# Nothing delivered, nothing filed, nothing left running; the recording where the recorder has it.
check_exists "$incoming/MetopB_20181231_101530.bin.part"
check_equal "$(find "$products" -type f | wc -l)" 0 "products of a stopped follow"
check_equal "$(find "$root/state" -mindepth 1 -type d | wc -l)" 0 "working folders after a stop"
if pgrep -f -- "$incoming/MetopB_20181231_101530.bin.part" >/dev/null; then
  check_fail "vantrel-cli still runs after the stop"
fi
# Renamed afterwards, it is processed whole: nothing was lost.
write_piece MetopB_20181231_101530.bin 60 100
mv "$incoming/MetopB_20181231_101530.bin.part" "$incoming/MetopB_20181231_101530.bin"
output=$("$spool_script" 2>&1)
check_equal "$?" 0 "exit status of the run after the stop" "$output"
cmp -s "$products/MetopB_20181231_1015_M03.hpt" "$root/whole/MetopB_20181231_1015_M03.hpt" ||
  check_fail "the product after the stop is not the whole file's"

# ---- Following switched off: the whole-file rule --------------------------------------------
rm -rf "${incoming:?}"/* "${products:?}"/*
write_piece FY3C_2019-02-03_101530.bin 0 100
output=$(VANTREL_FOLLOW_PARTS=no "$spool_script" 2>&1)
check_equal "$?" 0 "exit status with following off" "$output"
check_equal "$output" "" "journal with following off"
check_exists "$incoming/FY3C_2019-02-03_101530.bin.part"
check_equal "$(find "$products" -type f | wc -l)" 0 "products with following off"

# ---- Settings the spool refuses ----------------------------------------------------------------
for setting in VANTREL_FOLLOW_PARTS=maybe VANTREL_FOLLOW_IDLE_SECONDS=0 \
  VANTREL_FOLLOW_IDLE_SECONDS=soon; do
  output=$(env "$setting" "$spool_script" 2>&1)
  check_equal "$?" 1 "exit status with $setting" "$output"
  check_contains "$output" "${setting%%=*}"
done

check_done
