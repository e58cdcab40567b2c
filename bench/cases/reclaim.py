"""The start of a run in a temp directory crowded with unrelated entries and
dead launchers' work directories, against one in a clean temp directory."""

import os
import statistics
import sys
import time

from common.bench import TARGETS
from common.processes import fresh_dir, run_checked
from common.rounds import Case, interleave, spread, verdict


def measure_reclaim(bench, target):
    """A run in a temp directory holding 1,000 unrelated entries and 10
    work directories of killed launchers against one in a clean temp
    directory: the time from spawning the launcher to its program's
    start (the program reads the monotonic clock, which time.monotonic_ns
    reads too), and the whole run, which includes the reclaiming."""
    program = bench.helper(target, "tiny")
    launcher = bench.path("reclaim-" + target)
    run_checked([bench.sfxpack, "--target", target, "-o", launcher, program])
    clean = fresh_dir(bench.path("reclaim-clean-" + target))
    crowded = fresh_dir(bench.path("reclaim-crowded-" + target))
    for i in range(1000):
        open(os.path.join(crowded, f"unrelated-{i}"), "w").close()
    dead = [os.path.join(crowded, f"tiny-{4000000 + i}") for i in range(10)]

    def plant():
        for d in dead:
            os.makedirs(d, exist_ok=True)
            with open(os.path.join(d, "tiny"), "w") as f:
                f.write("left by a killed launcher")
            # The mark a launcher leaves once it holds the lock.
            open(os.path.join(d, ".sfxlaunch-work-dir"), "w").close()

    class Start:
        def __init__(self, wall, whole):
            self.wall = wall      # until the program starts
            self.whole = whole    # until the launcher has ended

    def start(temp):
        env = dict(os.environ, TEMP=temp)
        out, into = os.pipe()
        begin = time.monotonic_ns()
        pid = os.posix_spawn(launcher, [launcher, "clock"], env,
                             file_actions=[(os.POSIX_SPAWN_DUP2, into, 1)])
        os.close(into)
        _, status, _ = os.wait4(pid, 0)
        end = time.monotonic_ns()
        text = os.read(out, 64)
        os.close(out)
        if status != 0 or not text.strip():
            sys.exit(f"bench: {launcher} failed in {temp}")
        return Start((int(text) - begin) / 1e9, (end - begin) / 1e9)

    plain = Case("clean TEMP", lambda: start(clean))
    leftovers = Case("leftovers", lambda: start(crowded), plant)
    rounds = bench.args.reclaim_rounds if target == "x86_64" else bench.args.reclaim_rounds // 5
    interleave([plain, leftovers], rounds, warmup=5, label="reclaim " + target)
    if any(os.path.exists(d) for d in dead) or len(os.listdir(crowded)) != 1000:
        sys.exit(f"bench: the {target} launcher did not reclaim exactly the dead directories")

    ms = "{:.3f}"
    added = [(a.wall - b.wall) * 1000 for a, b in zip(leftovers.samples, plain.samples)]
    whole = [(a.whole - b.whole) * 1000 for a, b in zip(leftovers.samples, plain.samples)]
    bench.row(f"**start with leftovers, {target}**",
              f"1,000 unrelated entries and 10 dead directories: program starts after "
              f"{spread(leftovers.walls(1000), ms)} ms",
              f"clean TEMP: {spread(plain.walls(1000), ms)} ms",
              f"{spread(added, ms)} ms added until the program starts; whole run "
              f"{spread(whole, ms)} ms added (reclaiming, while the program runs)",
              "≤ 0.2 ms added: " + verdict(statistics.median(added) <= 0.2))


def run(bench):
    for target in TARGETS:
        measure_reclaim(bench, target)
