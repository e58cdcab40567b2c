"""Packing time and packed size: sfxpack against xz on the large payload,
one file after the other and as many at a time as there are cores. Packs
the large payload's launchers, which unpacking and tiny go on with."""

import os
import statistics
import sys
import time

from common.launcher_file import payload_streams
from common.processes import Sample, fresh_dir, run_timed
from common.rounds import Case, interleave, speedup, spread, verdict

XZ_SAME_DICTIONARY = "--lzma1=preset=9,dict=16MiB"  # the packer's settings, in xz's terms


def measure_packing(bench):
    big = bench.path("big-x86_64")
    xz_dir = bench.path("xz-pack")
    inputs = [bench.helper("x86_64", "tiny")] + bench.files
    cores = os.cpu_count()
    longest = []

    def xz_command(path):
        return [bench.xz, "--format=lzma", XZ_SAME_DICTIONARY, "-c", path]

    def xz_out(path):
        return os.path.join(xz_dir, os.path.basename(path) + ".lzma")

    def xz_one_by_one():
        total, slowest = Sample(0, 0), Sample(0, 0)
        for path in inputs:
            s = run_timed(xz_command(path), stdout=xz_out(path))
            total = total + s
            slowest = max(slowest, s, key=lambda x: x.wall)
        longest.append(slowest)
        return total

    def xz_in_parallel():
        """As many xz at a time as there are cores, largest file first:
        what this machine allows a parallel packer at this moment."""
        queue = sorted(inputs, key=os.path.getsize, reverse=True)
        running, cpu = 0, 0.0
        start = time.perf_counter()
        while queue or running:
            while queue and running < cores:
                path = queue.pop(0)
                os.posix_spawn(bench.xz, xz_command(path), os.environ, file_actions=[
                    (os.POSIX_SPAWN_OPEN, 1, xz_out(path), os.O_WRONLY | os.O_CREAT, 0o644)])
                running += 1
            _, status, usage = os.wait4(-1, 0)
            if os.waitstatus_to_exitcode(status) != 0:
                sys.exit("bench: xz failed while packing in parallel")
            running -= 1
            cpu += usage.ru_utime + usage.ru_stime
        return Sample(time.perf_counter() - start, cpu)

    pack = Case("sfxpack", lambda: run_timed(bench.pack_command("x86_64", big, bench.files)))
    sequential = Case("xz", xz_one_by_one, lambda: fresh_dir(xz_dir))
    parallel = Case("xz parallel", xz_in_parallel, lambda: fresh_dir(xz_dir))
    interleave([pack, sequential, parallel], bench.args.pack_rounds, warmup=0, label="packing")
    bench.big["x86_64"] = big

    # No schedule on this machine's cores beats the longest single file or
    # the total work shared out evenly.
    best = [max(l.wall, x.cpu / cores) for l, x in zip(longest, sequential.samples)]
    vs_parallel = speedup(pack, parallel)

    def wall_cpu(case):
        return (f"{spread(case.walls(), '{:.1f}')} s; "
                f"{spread([s.cpu for s in case.samples], '{:.1f}')} s")

    bench.row("**packing time, x86_64** (wall; CPU)", "sfxpack: " + wall_cpu(pack),
              f"xz {XZ_SAME_DICTIONARY}, one file after the other: " + wall_cpu(sequential),
              f"{spread(speedup(pack, sequential))}×")
    bench.row("", f"cores kept busy: {spread([s.cpu / s.wall for s in pack.samples])}",
              f"the same xz, {cores} at a time, largest file first: " + wall_cpu(parallel)
              + f"; cores kept busy: {spread([s.cpu / s.wall for s in parallel.samples])}",
              f"{spread(vs_parallel)}×",
              "as fast as the machine allows in parallel (≥ 0.8×): "
              + verdict(statistics.median(vs_parallel) >= 0.8))
    bench.row("", "", f"the slowest single file: {spread([s.wall for s in longest], '{:.1f}')} s; "
              f"best possible, max(slowest file, xz CPU / {cores} cores): "
              f"{spread(best, '{:.1f}')} s",
              f"{spread([b / p.wall for p, b in zip(pack.samples, best)])}×")

    xz9_dir = fresh_dir(bench.path("xz-9"))
    xz9 = 0
    for path in inputs:
        out = os.path.join(xz9_dir, os.path.basename(path) + ".lzma")
        run_timed([bench.xz, "--format=lzma", "-9", "-c", path], stdout=out)
        xz9 += os.path.getsize(out)
    stored = sum(len(s) for _, s in payload_streams(big))
    bench.row("packed size",
              f"streams {stored / 1e6:.2f} MB; launcher {os.path.getsize(big) / 1e6:.2f} MB",
              f"xz --format=lzma -9, file by file: {xz9 / 1e6:.2f} MB",
              f"{stored / xz9:.3f}×; {os.path.getsize(big) / xz9:.3f}×")


def run(bench):
    measure_packing(bench)
    bench.make_i386_launcher()
