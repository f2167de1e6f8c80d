#!/usr/bin/env python3
"""Soak: simulated passes of every satellite family processed back to back, one vantrel-cli
process per pass. Every product is checked against the simulator's truth (packets or lines), and
each run's peak resident memory and time are reported by pass size.

Usage: tests/faults/soak.py [--build build] [--passes 20] [--sizes 4,16,64] [--work DIR]
Not part of ctest: it simulates and processes about 1.5 GB per family with the defaults.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

PACKET = 12966
HPT_RECORD = 13864
FY3_LINE = 26050
C10_RECORD = 27728
MN2_LINE = 11850
DAT_RECORD = 16432
TIME = "/usr/bin/time"


def check_metop(product, truth):
    """Record k carries packet k: time code bytes 9-11 at 12-14, instrument bytes 82-12881 at
    937-13736."""
    packets = len(truth) // PACKET
    if len(product) != packets * HPT_RECORD:
        return f"{len(product)} bytes for {packets} packets"
    for k in range(packets):
        p, r = k * PACKET, k * HPT_RECORD
        if product[r + 12:r + 15] != truth[p + 9:p + 12] or \
                product[r + 937:r + 13737] != truth[p + 82:p + 12882]:
            return f"record {k} differs from its packet"
    return None


def check_fy3(product, truth):
    """Record k carries line k: bytes 26045-26047 at 12-14, bytes 436-26049 at 2000-27613."""
    lines = len(truth) // FY3_LINE
    if len(product) != lines * C10_RECORD:
        return f"{len(product)} bytes for {lines} lines"
    for k in range(lines):
        p, r = k * FY3_LINE, k * C10_RECORD
        if product[r + 12:r + 15] != truth[p + 26045:p + 26048] or \
                product[r + 2000:r + 27614] != truth[p + 436:p + 26050]:
            return f"record {k} differs from its line"
    return None


def pack_dat_line(line):
    """The 392 units of a line's samples (bytes 50-11809), each 24 10-bit words transposed six by
    four (w(4g+j) -> v(6j+g)) and packed four words per five bytes: upper eight bits each, then
    the four pairs of low bits."""
    out = bytearray()
    for u in range(392):
        bits = int.from_bytes(line[50 + 30 * u:80 + 30 * u], "big")
        w = [(bits >> (10 * (23 - n))) & 0x3FF for n in range(24)]
        v = [w[4 * (i % 6) + i // 6] for i in range(24)]
        for q in range(6):
            group = v[4 * q:4 * q + 4]
            out += bytes(x >> 2 for x in group)
            out.append((group[0] & 3) << 6 | (group[1] & 3) << 4 | (group[2] & 3) << 2 | group[3] & 3)
    return bytes(out)


def check_mn2(product, truth):
    """The header record, then record k + 1 from line k: every 25th line and the last one are
    packed here from the truth and compared in full; every record has the frame marker."""
    lines = len(truth) // MN2_LINE
    if len(product) != (lines + 1) * DAT_RECORD:
        return f"{len(product)} bytes for {lines} lines"
    if lines == 0:
        return None
    if product[0:11] != b"HRPTMeteoM2" or product[15992:16000] != b"END_HDR_":
        return "no header record"
    for k in range(lines + 1):
        if product[k * DAT_RECORD + 16000:k * DAT_RECORD + 16005] != b"FRAME":
            return f"record {k} has no frame marker"
    for k in sorted(set(list(range(0, lines, 25)) + [lines - 1])):
        r = (k + 1) * DAT_RECORD
        record = product[r:r + DAT_RECORD]
        units = pack_dat_line(truth[k * MN2_LINE:(k + 1) * MN2_LINE])
        if record[2365:2365 + len(units)] != units or any(record[0:2365]) or \
                any(record[14125:16000]) or any(record[16016:]):
            return f"the record of line {k} differs from it"
    return None


def families(passes):
    """(family, pass index) -> simulator options, recording name, switches, product, truth."""
    for i in range(passes):
        sat = "ABC"[i % 3]
        name = f"Metop{sat}_20181231_101530.bin"
        product = ("" if sat == "A" else f"Metop{sat}_") + "20181231_1015_M0" + \
            str(2 + "ABC".index(sat)) + ".hpt"
        yield "MetOp", i, ["--sat", "metop", "--satellite", sat], name, ["DR_y"], product, \
            ".packets", check_metop
    for i in range(passes):
        sat = "ABC"[i % 3]
        name = f"FY3{sat}_2012-12-31_052330.bin"
        yield "FY-3", i, ["--sat", "fy3", "--satellite", sat], name, ["DR_y"], \
            f"FY3{sat}_2012-12-31_0523.C10", ".lines", check_fy3
    for i in range(passes):
        manchester = i % 2 == 1
        yield "Meteor-M N2", i, ["--sat", "mn2"] + (["--manchester"] if manchester else []), \
            "MN2_20181231_101530.bin", ["--manchester"] if manchester else [], "20181231_1015_MN2.dat", \
            ".lines", check_mn2


def run_measured(command, cwd):
    """Runs `command`; returns (exit status, seconds, peak resident set in KiB) of that process.
    Measured by /usr/bin/time where it exists: a child of this script would count this script's
    own memory too (Linux keeps a process's peak across exec)."""
    if os.path.exists(TIME):
        with tempfile.NamedTemporaryFile("r") as report:
            start = time.monotonic()
            status = subprocess.run([TIME, "-f", "%M", "-o", report.name] + command, cwd=cwd,
                                    stdout=subprocess.DEVNULL).returncode
            seconds = time.monotonic() - start
            return status, seconds, int(report.read().split()[-1])
    start = time.monotonic()
    child = subprocess.Popen(command, cwd=cwd, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    return os.waitstatus_to_exitcode(status), time.monotonic() - start, usage.ru_maxrss


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--passes", type=int, default=20)
    parser.add_argument("--sizes", default="4,16,64", help="pass sizes in MiB, used in turn")
    parser.add_argument("--work", default=None)
    args = parser.parse_args()
    cli = os.path.abspath(os.path.join(args.build, "vantrel-cli"))
    sim = os.path.abspath(os.path.join(args.build, "vantrel-sim"))
    sizes = [int(s) for s in args.sizes.split(",")]
    work = args.work or tempfile.mkdtemp(prefix="vantrel-soak-")
    os.makedirs(work, exist_ok=True)

    failures = 0
    table = {}  # (family, size) -> [(seconds, rss KiB, records)]
    print(f"{'family':12} {'pass':>4} {'MiB':>5} {'records':>8} {'seconds':>8} {'peak RSS MiB':>13}")
    for family, i, sim_args, name, switches, product, truth_suffix, check in families(args.passes):
        size = sizes[i % len(sizes)]
        made = subprocess.run([sim] + sim_args + ["--size-mib", str(size), "--seed", str(1000 + i),
                                                  "--out", name],
                              cwd=work, capture_output=True, text=True)
        if made.returncode != 0:
            print(f"{family} pass {i}: simulator failed: {made.stderr}")
            return 1
        status, seconds, rss = run_measured([cli, "-q", name] + switches, work)
        with open(os.path.join(work, name + truth_suffix), "rb") as f:
            truth = f.read()
        output = os.path.join(work, product)
        with open(output, "rb") as f:
            data = f.read() if os.path.exists(output) else b""
        problem = "exit status %d" % status if status != 0 else check(data, truth)
        records = len(data) // {"MetOp": HPT_RECORD, "FY-3": C10_RECORD}.get(family, DAT_RECORD)
        print(f"{family:12} {i:>4} {size:>5} {records:>8} {seconds:>8.2f} {rss / 1024:>13.1f}"
              + (f"  FAILED: {problem}" if problem else ""), flush=True)
        failures += problem is not None
        table.setdefault((family, size), []).append((seconds, rss, records))
        for leftover in os.listdir(work):
            os.remove(os.path.join(work, leftover))

    print("\nBy pass size (peak RSS: the largest of the runs; time: the mean):")
    for (family, size), runs in sorted(table.items()):
        print(f"  {family:12} {size:>4} MiB: {len(runs):>2} passes, peak RSS "
              f"{max(r[1] for r in runs) / 1024:.1f} MiB, {sum(r[0] for r in runs) / len(runs):.2f} s")
    if args.work is None:
        shutil.rmtree(work, ignore_errors=True)
    print(f"\n{sum(len(r) for r in table.values()) - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
