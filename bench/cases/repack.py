"""A re-pack after only the program changed, its libraries' streams coming
from the stream cache."""

import os
import shutil
import statistics
import sys
import time

from common.payload import MAIN_NAME, largest_libraries
from common.processes import fresh_dir, run_timed
from common.rounds import Case, interleave, spread, verdict

# The program with two large libraries (39.7 MB) whose re-pack the stream
# cache is for; the two largest libraries when these are missing.
REPACK_LIBRARIES = ("/usr/lib/x86_64-linux-gnu/libz3.so.4",
                    "/usr/lib/x86_64-linux-gnu/libx265.so.199")


def changed_program(bench, tag):
    """The tiny program with a few bytes of its own appended: a program
    that changed, which no cache holds yet."""
    path = bench.path("changed-main")
    shutil.copyfile(bench.helper("x86_64", "tiny"), path)
    with open(path, "ab") as f:
        f.write(f"build {tag} {time.time_ns()}".encode())
    return path


def measure_repack(bench):
    """A program beside two large libraries, packed again after only the
    program changed: the libraries' streams come from the cache."""
    libraries = [p for p in REPACK_LIBRARIES if os.path.exists(p)]
    if len(libraries) < 2:
        libraries = sorted(largest_libraries(2, limit=None), key=os.path.getsize, reverse=True)
    size = sum(os.path.getsize(p) for p in libraries)
    cache = fresh_dir(bench.path("cache-repack"))
    out = bench.path("repack")
    serial = [0]

    def pack(cached):
        serial[0] += 1
        program = changed_program(bench, serial[0])
        argv = [bench.sfxpack, "-o", out] + ([] if cached else ["--no-cache"]) + \
            ["--name", MAIN_NAME, program]
        return run_timed(argv + (libraries if cached is not None else []))

    os.environ["SFXPACK_CACHE"] = cache
    print("  repack: the first, cold pack", file=sys.stderr)
    cold = pack(True)
    warm = Case("re-pack, warm cache", lambda: pack(True))
    alone = Case("the program alone", lambda: pack(None))
    interleave([warm, alone], bench.args.repack_rounds, label="re-pack")
    ratio = [a.wall / w.wall for a, w in zip(alone.samples, warm.samples)]
    bench.notes.append("re-pack: a program (the trivial one, a few bytes changed before "
                       "every pack) with " + ", ".join(
                           f"{os.path.basename(p)} {os.path.getsize(p) / 1e6:.1f} MB"
                           for p in libraries) + f" ({size / 1e6:.1f} MB)")
    bench.row(f"**re-pack after the program changed** ({size / 1e6:.1f} MB of libraries)",
              f"warm cache: {spread(warm.walls(), '{:.2f}')} s; CPU "
              f"{spread([x.cpu for x in warm.samples], '{:.2f}')} s",
              f"the program alone, compressed and linked: {spread(alone.walls(), '{:.2f}')} s; "
              f"first pack, cold: {cold.wall:.1f} s (CPU {cold.cpu:.1f} s)",
              f"{spread(ratio)}× the program alone; {cold.wall / statistics.median(warm.walls()):.0f}× "
              "the cold pack",
              "under 1 s: " + verdict(statistics.median(warm.walls()) < 1.0))


def run(bench):
    measure_repack(bench)
