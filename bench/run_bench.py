#!/usr/bin/env python3
"""Benchmarks of the launcher against the tools a user would otherwise use.

Builds a realistic payload on the spot (the largest shared libraries of this
machine behind a trivial program, plus a few synthetic files), then measures
for the x86_64 and the i386 launcher: unpack throughput, the run of a tiny
payload, memory, packing time and size, and the size the launcher adds.

This machine is shared and noisy, so every comparison is made in the same
run: the commands are interleaved round by round (the order rotating) after
a warm-up, figures are medians with the min-max range, and ratios are taken
round by round (paired) before their median is quoted. Prints one Markdown
table. Run by `make bench` after `make build`; never part of the tests.

This file picks the figures and writes the table; each figure is measured by
its module in cases/, and what they share is in common/.
"""

import argparse
import os
import shutil
import sys

from cases import (app_examples, apps, cache, levels, libc, packing, reading, reclaim, repack,
                   tiny, tree, unpack_once, unpacking)
from common.bench import Bench
from common.machine import i386_emulator, load_average, machine_lines
from common.processes import fresh_dir, run_checked

# In the order they run: unpacking and tiny go on with the launchers that
# packing makes.
FIGURES = (("packing", packing), ("unpacking", unpacking), ("tiny", tiny), ("repack", repack),
           ("cache", cache), ("levels", levels), ("reading", reading), ("reclaim", reclaim),
           ("libc", libc), ("unpack_once", unpack_once), ("tree", tree),
           ("apps", apps), ("app_examples", app_examples))
CASES = tuple(name for name, _ in FIGURES)


def report(bench, machine, load_before):
    lines = machine + [
        f"- load average (1, 5, 15 min): {load_before} at the start, "
        f"{load_average()} at the end"]
    lines += [f"- {note}" for note in bench.notes]
    lines.append(
        f"- rounds: unpacking {bench.args.rounds} (x86_64) and {bench.args.i386_rounds} (i386) "
        f"after a warm-up, tiny runs {bench.args.tiny_rounds} and {bench.args.tiny_rounds // 5}, "
        f"packing {bench.args.pack_rounds}; medians (min–max); a ratio is the reference's "
        "wall time over the launcher's (or sfxpack's), taken round by round: above 1, ours "
        "is faster")
    lines += ["", "| measure | launcher | reference | ratio | goal |", "|---|---|---|---|---|"]
    lines += ["| " + " | ".join(cells) + " |" for cells in bench.rows]
    if bench.level_lines:
        lines += ["", f"Levels, benchmark payload ({bench.args.level_unpack_rounds} unpacks "
                  "each; packed without the cache):", ""] + bench.level_lines
    print("\n".join(lines))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default="build", help="the build directory")
    parser.add_argument("--rounds", type=int, default=7, help="x86_64 unpack rounds")
    parser.add_argument("--i386-rounds", type=int, default=5, help="i386 unpack rounds")
    parser.add_argument("--tiny-rounds", type=int, default=300,
                        help="x86_64 tiny runs (i386: a fifth)")
    parser.add_argument("--pack-rounds", type=int, default=3, help="packing rounds")
    parser.add_argument("--libraries", type=int, default=12, help="libraries in the payload")
    parser.add_argument("--reading-rounds", type=int, default=5,
                        help="rounds of --verify, --inspect and @unpack of the 100 MB payload")
    parser.add_argument("--cases", default=",".join(CASES),
                        help="which measurements, comma-separated: " + ", ".join(CASES)
                        + " (unpacking and tiny need packing)")
    parser.add_argument("--reclaim-rounds", type=int, default=200,
                        help="x86_64 runs of the reclaim comparison (i386: a fifth)")
    parser.add_argument("--libc-rounds", type=int, default=40,
                        help="runs of each --libc comparison (a fifth for programs of 10 MB or more)")
    parser.add_argument("--repack-rounds", type=int, default=5, help="warm re-pack rounds")
    parser.add_argument("--cold-rounds", type=int, default=1, help="cold packs with the cache")
    parser.add_argument("--warm-rounds", type=int, default=5, help="warm packs")
    parser.add_argument("--levels", default="0,1,2,3,4,5,6,7,8,9",
                        type=lambda text: [int(x) for x in text.split(",")],
                        help="levels of the level table")
    parser.add_argument("--level-unpack-rounds", type=int, default=3,
                        help="unpacks per level")
    parser.add_argument("--keep", action="store_true",
                        help="keep the payload, launchers and outputs in BUILD/bench/work")
    args = parser.parse_args()

    cases = set(args.cases.split(","))
    unknown = cases - set(CASES)
    if unknown:
        sys.exit(f"bench: unknown case {', '.join(sorted(unknown))} (known: {', '.join(CASES)})")
    if cases & {"unpacking", "tiny"}:
        cases.add("packing")
    if not os.path.exists(os.path.join(args.build, "bin", "sfxpack")):
        sys.exit("bench: no sfxpack in the build directory (run `make build` first)")
    run_checked(["cmake", "--build", args.build, "--target", "bench_helpers"])

    bench = Bench(args)
    load_before = load_average()
    bench.emulator = i386_emulator(bench.helper("i386", "tiny"))
    machine = machine_lines(bench.work, bench.emulator)
    # No measurement reads or fills the user's own stream cache.
    os.environ["SFXPACK_CACHE"] = fresh_dir(bench.path("cache"))
    print("bench: making the payload", file=sys.stderr)
    bench.make_payload()
    for name, module in FIGURES:
        if name in cases:
            module.run(bench)
    report(bench, machine, load_before)
    if not args.keep:
        shutil.rmtree(bench.work, ignore_errors=True)


if __name__ == "__main__":
    main()
