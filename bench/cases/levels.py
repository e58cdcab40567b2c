"""Pack time, stream size and unpack speed of every compression level."""

import os
import sys

from common.launcher_file import payload_streams
from common.payload import MAIN_NAME
from common.processes import fresh_dir, run_timed
from common.rounds import spread, verdict


def measure_levels(bench):
    """Pack time, stream size and unpack speed of every level, on the
    benchmark payload, all in this run."""
    unpack_dir = bench.path("levels-unpack")
    results = {}
    for level in bench.args.levels:
        launcher = bench.path(f"level-{level}")
        print(f"  levels: packing at -{level}", file=sys.stderr)
        packed = run_timed(bench.pack_command("x86_64", launcher, bench.files) + [f"-{level}"])
        stored = sum(len(x) for _, x in payload_streams(launcher))
        unpacks = []
        for _ in range(bench.args.level_unpack_rounds):
            fresh_dir(unpack_dir)
            unpacks.append(run_timed([launcher, "@unpack"], cwd=unpack_dir))
        bench.check_unpacked(os.path.join(unpack_dir, MAIN_NAME), "x86_64")
        results[level] = (packed, stored, unpacks)
    unpacked = sum(os.path.getsize(p) for p in bench.files)
    best = results.get(9)
    bench.level_lines = ["| level | pack time, wall (CPU) | packed streams | size against -9 "
                         "| pack speed against -9 (CPU) | unpack speed |",
                         "|---|---|---|---|---|---|"]
    for level, (packed, stored, unpacks) in results.items():
        rate = spread([unpacked / u.wall / 1e6 for u in unpacks], "{:.0f}")
        against = (f"{stored / best[1]:.3f}×", f"{best[0].wall / packed.wall:.1f}× "
                   f"({best[0].cpu / packed.cpu:.1f}×)") if best else ("", "")
        bench.level_lines.append(
            f"| -{level} | {packed.wall:.1f} s ({packed.cpu:.1f} s) | {stored / 1e6:.2f} MB "
            f"| {against[0]} | {against[1]} | {rate} MB/s |")
    if best and 1 in results:
        one = results[1]
        bench.row("**-1 against -9**, benchmark payload",
                  f"-1: {one[0].wall:.1f} s (CPU {one[0].cpu:.1f} s), {one[1] / 1e6:.2f} MB",
                  f"-9: {best[0].wall:.1f} s (CPU {best[0].cpu:.1f} s), {best[1] / 1e6:.2f} MB",
                  f"{best[0].wall / one[0].wall:.1f}× faster (CPU {best[0].cpu / one[0].cpu:.1f}×); "
                  f"{100 * (one[1] / best[1] - 1):+.1f}% size",
                  "≥ 5×: wall " + verdict(best[0].wall / one[0].wall >= 5) + ", CPU "
                  + verdict(best[0].cpu / one[0].cpu >= 5))


def run(bench):
    measure_levels(bench)
