#!/bin/sh
# Runs two builds of vantrel-cli on the same simulated recordings and compares everything a run
# leaves: the product, every working file (--keep-files; the last cases without), the log and the
# JSON report.
#   scripts/compare-builds.sh OLD_BUILD NEW_BUILD [WORK_FOLDER]
# OLD_BUILD and NEW_BUILD are build folders holding vantrel-cli; NEW_BUILD's vantrel-sim writes
# the recordings. Both builds run in the same folder one after the other, so that paths in logs
# and reports agree. Exit status 0 when every recording gave identical results.
set -eu
old=$(cd "$1" && pwd)/vantrel-cli
new=$(cd "$2" && pwd)/vantrel-cli
sim=$(cd "$2" && pwd)/vantrel-sim
work=${3:-$(mktemp -d)}
mkdir -p "$work/rec" "$work/run" "$work/old" "$work/new"
differences=0
count=0

# case NAME SIM_OPTIONS -- CLI_ARGUMENTS (the recording's path is the first CLI argument)
case_() {
  name=$1
  shift
  sim_args=""
  while [ "$1" != "--" ]; do
    sim_args="$sim_args $1"
    shift
  done
  shift
  recording=$work/rec/$1
  shift
  # shellcheck disable=SC2086
  "$sim" $sim_args --out "$recording" >/dev/null
  for build in old new; do
    binary=$old
    [ "$build" = new ] && binary=$new
    rm -rf "$work/run" && mkdir -p "$work/run"
    status=0
    # shellcheck disable=SC2086
    "$binary" "$recording" "$@" -C "$work/run" $keep --report "$work/run/report.jsonl" \
      >"$work/run/log.txt" 2>&1 || status=$?
    echo "$status" >"$work/run/status"
    # The report's run time is the one figure allowed to differ.
    [ -f "$work/run/report.jsonl" ] && sed -i 's/"seconds":[0-9.]*/"seconds":-/' "$work/run/report.jsonl"
    rm -rf "${work:?}/$build/$name" && mv "$work/run" "$work/$build/$name"
  done
  count=$((count + 1))
  if diff -r "$work/old/$name" "$work/new/$name" >/dev/null; then
    echo "same      $name ($(ls "$work/new/$name" | wc -l) files)"
  else
    echo "DIFFERENT $name"
    diff -r "$work/old/$name" "$work/new/$name" | head -20
    differences=$((differences + 1))
  fi
}

# Every case keeps the working files, but the last ones, which compare what a run leaves without.
keep=--keep-files
case_ metop-clean --sat metop --packets 30 -- MetopB_20181231_101530.bin DR_y
case_ metop-a --sat metop --satellite A --packets 10 -- MetopA_20181231_101530.bin DR_y
case_ metop-c-night --sat metop --satellite C --apid 104 --mix-night --packets 12 -- MetopC_20181231_101530.bin DR_y RS_y MN_n MET_n
case_ metop-impaired --sat metop --packets 20 --shift 5 --noise-before 3000 --noise-between 40 --marker-errors 2 --symbol-errors 9 --uncorrectable-every 7 -- MetopB_20181231_111530.bin DR_y
case_ metop-no-rs --sat metop --packets 8 --no-rs -- MetopB_20181231_121530.bin DR_y RS_n
case_ metop-keep-unc --sat metop --packets 20 --uncorrectable-every 5 -- MetopB_20181231_131530.bin DR_y --keep-uncorrectable
case_ metop-vcid10 --sat metop --packets 6 --vcid 10 -- MetopB_20181231_141530.bin DR_y --vcid 10
case_ metop-wrong-vcid --sat metop --packets 6 -- MetopB_20181231_151530.bin DR_y --vcid 10
case_ metop-short-limit --sat metop --packets 6 --short-packets 2 -- MetopB_20181231_161530.bin DR_y --max-packet-length 12999
case_ metop-mpdu2 --sat metop --packets 6 -- MetopB_20181231_171530.bin DR_y --mpdu-header 2 --get-apid --get-vcdu
case_ metop-profile --sat metop --size-mib 6 --pass-profile --seed 7 -- MetopB_20181231_181530.bin DR_y
case_ metop-no-marker --sat metop --packets 5 -- pass_metop.bin DR_y --satellite metop-b
case_ metop-auto --sat metop --packets 5 -- pass_auto.bin --satellite auto
case_ metop-soft --sat metop --packets 6 --soft --ebn0 5 --rotation random -- MetopB_20181231_191530.soft DR_y
case_ metop-soft-noise --sat metop --packets 8 --soft --ebn0 5 --rotation random --noise-before 300000 --noise-after 50000 -- MetopB_20181231_192530.soft DR_y
case_ metop-soft-profile --sat metop --size-mib 2 --pass-profile --seed 9 --soft --ebn0 6 --rotation 90 --iq-swap -- MetopB_20181231_193530.soft DR_y
case_ metop-baseband --sat metop --packets 3 --baseband cs16 --samplerate 6000000 --esn0 9 --doppler 30000 --clock-ppm 20 --noise-before 20000 --noise-after 20000 -- MetopB_20181231_201530.cs16 DR_y --samplerate 6000000
case_ fy3a --sat fy3 --lines 12 -- FY3A_2018-12-31_101530.bin DR_y
case_ fy3b-night --sat fy3 --satellite B --fy3-channel 9 --lines 8 -- FY3B_2018-12-31_111530.bin DR_y --fy3-channel 9 --fy3-asm
case_ fy3c --sat fy3 --satellite C --lines 8 -- FY3C_2018-12-31_121530.bin DR_y
case_ fy3-impaired --sat fy3 --lines 10 --shift 3 --noise-between 100 --symbol-errors 12 --uncorrectable-every 9 -- FY3A_2018-12-31_131530.bin DR_y
case_ fy3-profile --sat fy3 --size-mib 6 --pass-profile --seed 11 -- FY3B_2018-12-31_141530.bin DR_y
case_ fy3-soft --sat fy3 --lines 6 --soft --ebn0 6 -- FY3A_2018-12-31_151530.soft DR_y
case_ fy3-soft-noise --sat fy3 --lines 6 --soft --ebn0 6 --rotation 90 --iq-swap --noise-before 100000 -- FY3A_2018-12-31_152530.soft DR_y
case_ fy3-no-marker --sat fy3 --lines 4 -- pass_fy3.bin DR_y --satellite fy3a --date 2018-12-31
case_ mn2 --sat mn2 --lines 20 -- MN2_20181231_101530.bin
case_ mn2-manchester --sat mn2 --lines 12 --manchester -- MN2_20181231_111530.bin --manchester
case_ mn2-3 --sat mn2 --satellite N2-3 --lines 10 -- MN23_20181231_121530.bin
case_ mn2-profile --sat mn2 --size-mib 4 --pass-profile --seed 5 -- MN2_20181231_131530.bin
case_ mn2-impaired --sat mn2 --lines 12 --shift 6 --noise-between 77 --marker-errors 3 -- MN2_20181231_141530.bin
case_ mn2-soft --sat mn2 --lines 8 --soft --ebn0 7 --rotation 180 -- MN2_20181231_151530.soft
case_ mn2-soft-noise --sat mn2 --lines 8 --soft --ebn0 8 --noise-before 200000 -- MN2_20181231_152530.soft
case_ mn2-baseband --sat mn2 --lines 6 --baseband cu8 --samplerate 3000000 --esn0 12 --doppler 20000 --noise-before 20000 --noise-after 20000 -- MN2_20181231_161530.cu8 --samplerate 3000000
case_ mn2-rs-on --sat mn2 --lines 6 -- MN2_20181231_171530.bin DR_y RS_y
case_ no-marker --sat metop --packets 2 -- plain.bin
case_ garbage-satellite --sat cadu --frames 10 -- MetopA_garbage.bin DR_y --satellite fy3c
case_ metop-wav --sat metop --packets 3 --baseband wav --samplerate 6000000 --esn0 10 --doppler 20000 --noise-before 20000 --noise-after 20000 -- MetopC_20181231_211530.wav DR_y
case_ fy3-baseband --sat fy3 --satellite C --lines 3 --baseband cs16 --samplerate 6000000 --esn0 10 --doppler 20000 --noise-before 20000 --noise-after 20000 -- FY3C_2018-12-31_161530.cs16 DR_y --samplerate 6000000
case_ fy3-keep-unc --sat fy3 --lines 10 --uncorrectable-every 4 -- FY3B_2018-12-31_171530.bin DR_y --keep-uncorrectable
case_ mn2-no-marker --sat mn2 --lines 6 -- pass_mn2.bin --satellite meteor-m2 --date 2018-12-31
case_ fy3-bad-date --sat fy3 --lines 4 -- pass_fy3b.bin DR_y --satellite fy3b --date 2018-13-45
keep=
case_ metop-deleted --sat metop --packets 8 --uncorrectable-every 3 -- MetopB_20181231_221530.bin DR_y
case_ fy3-deleted --sat fy3 --lines 6 -- FY3A_2018-12-31_181530.bin DR_y
case_ mn2-deleted --sat mn2 --lines 6 --manchester -- MN2_20181231_181530.bin --manchester
case_ metop-soft-deleted --sat metop --packets 4 --soft --ebn0 6 -- MetopB_20181231_231530.soft DR_y

echo "$count recordings, $differences with differences (results in $work)"
[ "$differences" -eq 0 ]
