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
  python3 - "$1" "$2" "$3" <<'EOF'
import sys
found, truth, recording = (open(p, 'rb').read() for p in sys.argv[1:4])
sent = {truth[i:i + 1020] for i in range(0, len(truth), 1020)}
frames = [found[i:i + 1020] for i in range(0, len(found), 1020)]
good = sum(1 for f in frames if f in sent)
try:
    decoded = open('soft.bits', 'rb').read()
except OSError:
    decoded = b''
def bits(data):
    return bin(int.from_bytes(data, 'big'))[2:].zfill(8 * len(data)) if data else ''
r, d = bits(recording), bits(decoded)
marker = bits(bytes.fromhex('1ACFFC1D'))
inverse = marker.translate(str.maketrans('01', '10'))
at_r = r.find(marker)
hits = [i for i in (d.find(marker), d.find(inverse)) if i >= 0]
ber = float('nan')
if at_r >= 0 and hits:
    at_d = min(hits)
    inverted = d[at_d:at_d + 32] == inverse
    n = min(len(r) - at_r, len(d) - at_d) - 64
    a, b = int(r[at_r:at_r + n], 2), int(d[at_d:at_d + n], 2)
    errors = bin(a ^ b).count('1')
    ber = (n - errors if inverted else errors) / n
print(good, len(truth) // 1020, f'{ber:.2e}')
EOF
}

echo "MetOp, 12 s pass at 6 Msps: CADUs recovered (of those sent), bit error rate after Viterbi"
echo "| Es/N0 (dB) | CADUs | BER |"
echo "|---|---|---|"
for esn0 in 4 4.5 5 5.5 6 7 9; do
  rm -f ./*
  "$sim" --sat metop --packets 260 $receiver --baseband cu8 --esn0 "$esn0" \
    --out MetopB_20261209_101530.cu8 >/dev/null 2>&1
  "$sim" --sat metop --packets 260 --noise-before 20000 --noise-after 20000 \
    --out recording.bin >/dev/null 2>&1
  "$cli" MetopB_20261209_101530.cu8 --samplerate 6000000 DR_y --keep-files >log.txt 2>&1 || true
  read -r good sent ber < <(count cadu.pds MetopB_20261209_101530.cu8.frames recording.bin)
  echo "| $esn0 | $good of $sent | $ber |"
done

echo
echo "Meteor-M N2, 10 s pass at 3 Msps: CADUs recovered and channel bit error rate, baseband"
echo "against ideal BPSK soft symbols of the same Eb/N0"
echo "| Eb/N0 (dB) | baseband CADUs | baseband BER | ideal CADUs | ideal BER | ideal BPSK BER |"
echo "|---|---|---|---|---|---|"
for ebn0 in 2 3 4 5 6 8; do
  rm -f ./*
  "$sim" --sat mn2 --lines 66 $receiver --baseband cu8 --esn0 "$ebn0" \
    --out MN2_20261209_101530.cu8 >/dev/null 2>&1
  "$sim" --sat mn2 --lines 66 --noise-before 20000 --noise-after 20000 \
    --out recording.bin >/dev/null 2>&1
  "$cli" MN2_20261209_101530.cu8 --samplerate 3000000 --date 2026-12-09 --keep-files \
    >log.txt 2>&1 || true
  read -r good sent ber < <(count cadu.pds MN2_20261209_101530.cu8.frames recording.bin)
  rm -f cadu.pds soft.bits
  "$sim" --sat mn2 --lines 66 --noise-before 20000 --noise-after 20000 --soft --ebn0 "$ebn0" \
    --out MN2_20261209_101530.s >/dev/null 2>&1
  "$cli" MN2_20261209_101530.s --date 2026-12-09 --keep-files >log.txt 2>&1 || true
  read -r igood isent iber < <(count cadu.pds MN2_20261209_101530.s.frames recording.bin)
  theory=$(python3 -c "import math; print(f'{0.5 * math.erfc(math.sqrt(10 ** ($ebn0 / 10))):.2e}')")
  echo "| $ebn0 | $good of $sent | $ber | $igood of $isent | $iber | $theory |"
done
