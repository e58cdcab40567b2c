"""A tiny payload's run against its program started directly, the launcher's
size and memory floor, and what it keeps resident while its program runs."""

import os
import statistics
import subprocess
import sys
import time

from common.bench import TARGETS
from common.launcher_file import payload_size
from common.payload import MIB
from common.processes import fresh_dir, run_checked, run_timed
from common.rounds import Case, interleave, speedup, spread, verdict


def measure_tiny_run(bench, target):
    program = bench.helper(target, "tiny")
    launcher = bench.path("tiny-" + target)
    run_checked([bench.sfxpack, "--target", target, "-o", launcher, program])
    unpack_dir = bench.path("tiny-unpack-" + target)
    direct = Case("program", lambda: run_timed([program]))
    version = Case("@version", lambda: run_timed([launcher, "@version"]))
    unpack = Case("@unpack", lambda: run_timed([launcher, "@unpack"], cwd=unpack_dir),
                  lambda: fresh_dir(unpack_dir))
    run = Case("run", lambda: run_timed([launcher]))
    rounds = bench.args.tiny_rounds if target == "x86_64" else bench.args.tiny_rounds // 5
    interleave([direct, run, version, unpack], rounds, warmup=5, label="tiny payload " + target)

    # Wall time is what a user waits; CPU time (the launcher's and its
    # program's) is the work, which other load on the machine leaves alone.
    extra = [(a.wall - b.wall) * 1000 for a, b in zip(run.samples, direct.samples)]
    extra_cpu = [(a.cpu - b.cpu) * 1000 for a, b in zip(run.samples, direct.samples)]
    ms = "{:.2f}"
    bench.row(f"**tiny payload run, {target}**",
              f"launcher (unpack, run, remove): {spread(run.walls(1000), ms)} ms; "
              f"CPU {spread([s.cpu * 1000 for s in run.samples], ms)} ms",
              f"the program started directly: {spread(direct.walls(1000), ms)} ms; "
              f"CPU {spread([s.cpu * 1000 for s in direct.samples], ms)} ms",
              f"{spread(extra, ms)} ms more ({spread(speedup(direct, run))}× the time); "
              f"CPU {spread(extra_cpu, ms)} ms more",
              "within 2 ms: " + verdict(statistics.median(extra) <= 2.0)
              + ("" if bench.native(target) else " (both processes start under the emulator)"))
    beyond = [(r.wall - d.wall - v.wall) * 1000
              for r, d, v in zip(run.samples, direct.samples, version.samples)]
    bench.row("", f"launcher @version (its own start): {spread(version.walls(1000), ms)} ms; "
              f"@unpack (start, unpack): {spread(unpack.walls(1000), ms)} ms",
              "", f"{spread(beyond, ms)} ms more than both starts")

    payload = payload_size(launcher)
    size = os.path.getsize(launcher)
    bench.row(f"launcher size, {target}", f"{size} B with the tiny payload",
              f"its payload sections {payload} B; the program alone {os.path.getsize(program)} B",
              f"{size - payload} B added")

    floor = [bench.peak_rss([program]) for _ in range(3)]
    tiny_unpack = [bench.peak_rss([launcher, "@unpack"], cwd=fresh_dir(unpack_dir)) for _ in range(3)]
    bench.row(f"memory floor, {target}",
              f"tiny launcher @unpack: {spread([r / MIB for r in tiny_unpack])} MiB",
              f"the program alone{'' if bench.native(target) else ' under the emulator'}: "
              f"{spread([r / MIB for r in floor])} MiB",
              f"{(statistics.median(tiny_unpack) - statistics.median(floor)) / MIB:+.2f} MiB")
    held_while_running(bench, target)


def held_while_running(bench, target):
    """What the launcher keeps resident while its program runs: the
    large payload's launcher, its program told to wait a second."""
    process = subprocess.Popen([bench.big[target], "1000"])
    children = f"/proc/{process.pid}/task/{process.pid}/children"
    status = {}
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and process.poll() is None:
        with open(children) as f:
            if f.read().strip():
                time.sleep(0.2)
                with open(f"/proc/{process.pid}/status") as s:
                    for line in s:
                        key, _, value = line.partition(":")
                        status[key] = value.strip()
                break
        time.sleep(0.01)
    if process.wait() != 0 or not status:
        sys.exit(f"bench: the {target} launcher did not run its program")
    bench.row(f"resident while the program runs, {target}",
              f"anonymous {status['RssAnon']}; payload file pages {status['RssFile']}",
              "" if bench.native(target) else "a launcher process under the emulator", "")


def run(bench):
    for target in TARGETS:
        measure_tiny_run(bench, target)
