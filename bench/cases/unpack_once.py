"""sfxpack --unpack-once: a cached launcher's warm start and first start and
an uncached launcher's start, against the program started directly, for a
tiny payload, jq bundled with --libc and a payload of 100 MB and more; and
what the check at start costs per entry."""

import os
import shutil

from common.payload import MIB
from common.processes import fresh_dir, run_checked, run_timed
from common.rounds import Case, interleave, spread, verdict

TARGET = "x86_64"


def forget(bench, launcher):
    run_checked([bench.sfxpack, "--forget", launcher])


def measure_payload(bench, label, program, args, pack_args, rounds):
    cached = bench.path(f"once-{label}-cached")
    plain = bench.path(f"once-{label}-plain")
    run_checked([bench.sfxpack, "-q", "--unpack-once", "-o", cached] + pack_args)
    run_checked([bench.sfxpack, "-q", "-o", plain] + pack_args)
    run_checked([cached] + args)
    direct = Case("program", lambda: run_timed([program] + args))
    warm = Case("warm", lambda: run_timed([cached] + args))
    first = Case("first", lambda: run_timed([cached] + args), lambda: forget(bench, cached))
    uncached = Case("uncached", lambda: run_timed([plain] + args))
    interleave([direct, warm, first, uncached], rounds, warmup=2, label=f"--unpack-once {label}")
    ms = "{:.2f}"
    extra = [(w.wall - d.wall) * 1000 for w, d in zip(warm.samples, direct.samples)]
    bench.row(f"**--unpack-once, {label}**",
              f"warm: {spread(warm.walls(1000), ms)} ms; first: {spread(first.walls(1000), ms)} "
              f"ms; uncached launcher: {spread(uncached.walls(1000), ms)} ms",
              f"the program started directly: {spread(direct.walls(1000), ms)} ms",
              f"warm start {spread(extra, ms)} ms more",
              "within 1 ms: " + verdict(sorted(extra)[len(extra) // 2] <= 1.0))
    forget(bench, cached)


def measure_per_entry(bench, tiny, rounds):
    """Warm starts of 1 and of 32 entries: the difference over 31 is what
    checking one entry costs."""
    files = []
    for i in range(31):
        files.append(bench.path(f"once-entry-{i}"))
        with open(files[-1], "wb") as f:
            f.write(os.urandom(4096))
    one, many = bench.path("once-one"), bench.path("once-many")
    run_checked([bench.sfxpack, "-q", "--unpack-once", "-o", one, tiny])
    run_checked([bench.sfxpack, "-q", "--unpack-once", "-o", many, tiny] + files)
    run_checked([one])
    run_checked([many])
    a = Case("1 entry", lambda: run_timed([one]))
    b = Case("32 entries", lambda: run_timed([many]))
    interleave([a, b], rounds, warmup=5, label="--unpack-once per entry")
    per = [(m.wall - o.wall) * 1e6 / 31 for m, o in zip(b.samples, a.samples)]
    bench.row("**--unpack-once, the check per entry**",
              f"32 entries warm: {spread(b.walls(1000))} ms",
              f"1 entry warm: {spread(a.walls(1000))} ms",
              f"{spread(per, '{:.1f}')} µs per entry", "about 1 µs: "
              + verdict(sorted(per)[len(per) // 2] <= 2.0))


def run(bench):
    home = fresh_dir(bench.path("once-cache-home"))
    saved = os.environ.get("XDG_CACHE_HOME")
    os.environ["XDG_CACHE_HOME"] = home
    try:
        tiny = bench.helper(TARGET, "tiny")
        measure_payload(bench, "tiny payload", tiny, [], [tiny], bench.args.tiny_rounds // 5)
        jq = shutil.which("jq")
        if jq:
            measure_payload(bench, "jq --bundle --libc", jq, ["-n", "[1,2]|add"],
                            ["--bundle", "--libc", jq], 30)
        else:
            bench.notes.append("no jq for the --unpack-once comparison")
        big = bench.path("once-big")
        with open(big, "wb") as f:
            f.write(os.urandom(100 * MIB))
        measure_payload(bench, "100 MiB payload", tiny, [], ["-1", tiny, big], 5)
        measure_per_entry(bench, tiny, bench.args.tiny_rounds // 5)
    finally:
        if saved is None:
            del os.environ["XDG_CACHE_HOME"]
        else:
            os.environ["XDG_CACHE_HOME"] = saved
