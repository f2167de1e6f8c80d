#!/usr/bin/env bash
# CADUs recovered from simulated baseband passes against Es/N0, as the README's table gives them:
# MetOp (QPSK, 6 Msps) against the frames sent, and Meteor-M N2 (3 Msps) against the same pass
# as ideal BPSK soft symbols (vantrel-sim --soft: what a perfect demodulator would hand on), with
# the bit error rate of each. Every pass has 20000 bytes of noise before and after it, 40 kHz of
# Doppler, an oscillator 20 kHz off and a sample clock 30 ppm off.
# Usage: scripts/baseband-sweep.sh [BUILD_FOLDER] (default build); needs python3.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
sim=$build/vantrel-sim
cli=$build/vantrel-cli
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
receiver="--noise-before 20000 --noise-after 20000 --doppler 40000 --carrier-offset 20000 --clock-ppm 30"

# Frames of cadu.pds equal to a frame sent, of those sent; and the bit error rate of the bits the
# chain decoded (soft.bits) against the recording's, at the offset where they agree best.
count() {
  python3 - "$@" <<'EOF'
import math, sys
found, truth = (open(p, 'rb').read() for p in sys.argv[1:3])
F = [found[i:i + 1020] for i in range(0, len(found) - 1019, 1020)]
T = [truth[i:i + 1020] for i in range(0, len(truth) - 1019, 1020)]
sent = set(T)
exact = sum(1 for f in F if f in sent)
# Each frame found against the frame sent it is nearest to, in order (frames lost are skipped):
# the bit errors left in the frames found.
errors, bits, j = 0, 0, 0
Ti = [int.from_bytes(t, 'big') for t in T]
for f in F:
    x = int.from_bytes(f, 'big')
    best = None
    for k in range(j, min(j + 8, len(T))):
        d = bin(x ^ Ti[k]).count('1')
        if best is None or d < best[0]:
            best = (d, k)
    if best is None:
        break
    if best[0] < 1020 * 8 // 4:  # a frame of noise matches nothing: not counted
        errors += best[0]
        bits += 1020 * 8
        j = best[1] + 1
ber = errors / bits if bits else float('nan')
# The Eb/N0 ideal BPSK would need for that error rate.
def ideal(ebn0_db):
    return 0.5 * math.erfc(math.sqrt(10 ** (ebn0_db / 10)))
lo, hi = -5.0, 20.0
if bits and errors:
    for _ in range(60):
        mid = (lo + hi) / 2
        lo, hi = (mid, hi) if ideal(mid) > ber else (lo, mid)
    equivalent = f'{lo:.2f}'
else:
    equivalent = '-'
print(exact, len(F), len(T), f'{ber:.2e}', equivalent)
EOF
}

echo "MetOp, 12 s pass at 6 Msps: CADUs recovered whole (after Reed-Solomon) of those sent, and the"
echo "channel bit error rate the soft-symbol decoder measured"
echo "| Es/N0 (dB) | CADUs | channel BER |"
echo "|---|---|---|"
for esn0 in 4 4.5 5 5.5 6 7 9; do
  rm -f ./*
  "$sim" --sat metop --packets 260 $receiver --baseband cu8 --esn0 "$esn0" \
    --out MetopB_20261209_101530.cu8 >/dev/null 2>&1
  "$cli" MetopB_20261209_101530.cu8 --samplerate 6000000 DR_y --keep-files >log.txt 2>&1 || true
  read -r good _ sent _ _ < <(count cadu.pds MetopB_20261209_101530.cu8.frames)
  channel=$(sed -n 's/^Estimated channel bit error rate: \([^ ]*\).*/\1/p' log.txt)
  echo "| $esn0 | $good of $sent | ${channel:--} |"
done

echo
echo "Meteor-M N2, 10 s pass at 3 Msps (no code: every bit error stays): frames found, their bit"
echo "error rate and the Eb/N0 ideal BPSK needs for it; baseband against ideal BPSK soft symbols"
echo "| Eb/N0 (dB) | baseband frames | BER | as ideal at | ideal frames | BER | theory |"
echo "|---|---|---|---|---|---|---|"
for ebn0 in 2 3 4 5 6 7 8; do
  rm -f ./*
  "$sim" --sat mn2 --lines 66 $receiver --baseband cu8 --esn0 "$ebn0" \
    --out MN2_20261209_101530.cu8 >/dev/null 2>&1
  "$cli" MN2_20261209_101530.cu8 --samplerate 3000000 --date 2026-12-09 --keep-files \
    >log.txt 2>&1 || true
  read -r _ frames sent ber as < <(count cadu.pds MN2_20261209_101530.cu8.frames)
  rm -f cadu.pds
  "$sim" --sat mn2 --lines 66 --noise-before 20000 --noise-after 20000 --soft --ebn0 "$ebn0" \
    --out MN2_20261209_101530.s >/dev/null 2>&1
  "$cli" MN2_20261209_101530.s --date 2026-12-09 --keep-files >log.txt 2>&1 || true
  read -r _ iframes _ iber _ < <(count cadu.pds MN2_20261209_101530.s.frames)
  theory=$(python3 -c "import math; print(f'{0.5 * math.erfc(math.sqrt(10 ** ($ebn0 / 10))):.2e}')")
  echo "| $ebn0 | $frames of $sent | $ber | $as dB | $iframes | $iber | $theory |"
done
