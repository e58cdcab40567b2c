"""Real programs bundled with and without --libc, and the static runtime's
start against the dynamic one's."""

import os
import statistics
import subprocess
import sys

from common.bench import TARGETS
from common.launcher_file import payload_streams
from common.payload import MIB
from common.processes import run_checked, run_timed
from common.rounds import Case, interleave, spread, verdict

# The real programs bundled with and without --libc, and what they are told
# to do: jq, and the first program of 10 MB or more that is there.
LIBC_PROGRAMS = (("/usr/bin/jq", ["-n", "[1,2]|add"]),)
LIBC_BIG_PROGRAMS = (("/usr/bin/shellcheck", ["--version"]),
                     ("/usr/bin/lto-dump-12", ["--version"]),
                     ("/usr/bin/clangd", ["--version"]))


def measure_libc(bench):
    """Real bundles without and with --libc: launcher size, temp space
    and a whole run, against the time xz takes to decode the streams
    that --libc adds (the goal: a run costs no more than that plus 1 ms).
    Then the static runtime's own start against the dynamic one's."""
    programs = [p for p in LIBC_PROGRAMS if os.path.exists(p[0])]
    big = next((p for p in LIBC_BIG_PROGRAMS if os.path.exists(p[0])), None)
    if big:
        programs.append(big)
    else:
        bench.notes.append("no program of 10 MB or more for the --libc comparison: "
                           + ", ".join(p for p, _ in LIBC_BIG_PROGRAMS) + " are all missing")
    empty = bench.path("libc-empty.lzma")
    with open(empty, "wb") as f:
        subprocess.run([bench.xz, "--format=lzma", "-c"], input=b"", stdout=f, check=True)
    for program, args in programs:
        measure_libc_bundle(bench, program, args, empty)
    for target in TARGETS:
        measure_static_start(bench, target)


def temp_space(bench, launcher):
    out = run_checked([bench.sfxpack, "--inspect", launcher])
    for line in out.splitlines():
        if line.startswith("temp space:"):
            return int(line.split()[2])
    sys.exit(f"bench: sfxpack --inspect {launcher} gives no temp space")


def measure_libc_bundle(bench, program, args, empty):
    name = os.path.basename(program)
    plain, libc = bench.path(f"libc-{name}-plain"), bench.path(f"libc-{name}-libc")
    run_checked([bench.sfxpack, "--bundle", "-q", "-o", plain, program])
    run_checked([bench.sfxpack, "--bundle", "--libc", "-q", "-o", libc, program])
    had = {entry for entry, _ in payload_streams(plain)}
    added = []
    for entry, stream in payload_streams(libc):
        if entry not in had:
            added.append(bench.path(f"libc-{name}-added-{entry}.lzma"))
            with open(added[-1], "wb") as f:
                f.write(stream)
    # One xz over every added stream, less xz's own start.
    decode = Case("xz", lambda: run_timed([bench.xz, "--format=lzma", "-dc"] + added))
    xz_start = Case("xz start", lambda: run_timed([bench.xz, "--format=lzma", "-dc", empty]))
    without = Case("plain", lambda: run_timed([plain] + args))
    with_libc = Case("--libc", lambda: run_timed([libc] + args))
    size = os.path.getsize(program)
    rounds = bench.args.libc_rounds if size < 10 * MIB else max(3, bench.args.libc_rounds // 5)
    interleave([without, with_libc, decode, xz_start], rounds, warmup=2,
               label=f"--libc {name}")

    ms = "{:.2f}"
    extra = [(a.wall - b.wall) * 1000 for a, b in zip(with_libc.samples, without.samples)]
    allowed = [(d.wall - e.wall) * 1000 + 1.0 for d, e in zip(decode.samples, xz_start.samples)]
    bench.row(f"**--libc run, {name}** (the program {size} B, `{' '.join([name] + args)}`)",
              f"with --libc: {spread(with_libc.walls(1000), ms)} ms",
              f"without: {spread(without.walls(1000), ms)} ms; xz decoding the "
              f"{len(added)} added streams: {spread(allowed, ms)} ms with the 1 ms",
              f"{spread(extra, ms)} ms more",
              "no more than xz's decode of the added bytes + 1 ms: "
              + verdict(statistics.median(extra) <= statistics.median(allowed)))
    sizes = (os.path.getsize(libc), os.path.getsize(plain))
    temps = (temp_space(bench, libc), temp_space(bench, plain))
    bench.row(f"--libc size, {name}",
              f"launcher {sizes[0]} B; temp space {temps[0]} B",
              f"without: launcher {sizes[1]} B; temp space {temps[1]} B",
              f"+{sizes[0] - sizes[1]} B launcher (static runtime included); "
              f"+{temps[0] - temps[1]} B temp space")


def measure_static_start(bench, target):
    program = bench.helper(target, "tiny")
    dynamic, static = bench.path("static-off-" + target), bench.path("static-on-" + target)
    run_checked([bench.sfxpack, "--target", target, "-o", dynamic, program])
    run_checked([bench.sfxpack, "--target", target, "--static-runtime", "-o", static, program])
    cases = [Case(f"{kind} {mode}", lambda l=launcher, a=argv: run_timed([l] + a))
             for kind, launcher in (("dynamic", dynamic), ("static", static))
             for mode, argv in (("@version", ["@version"]), ("run", []))]
    rounds = bench.args.tiny_rounds if target == "x86_64" else bench.args.tiny_rounds // 5
    interleave(cases, rounds, warmup=5, label="static runtime " + target)
    ms = "{:.3f}"
    for i, mode in ((0, "@version (its own start)"), (1, "a tiny payload's run")):
        d, st = cases[i], cases[2 + i]
        diff = [(a.wall - b.wall) * 1000 for a, b in zip(st.samples, d.samples)]
        bench.row(f"static runtime, {target}" if i == 0 else "",
                  f"{mode}: {spread(st.walls(1000), ms)} ms",
                  f"dynamic: {spread(d.walls(1000), ms)} ms",
                  f"{spread(diff, ms)} ms")
    bench.row("", f"launcher {os.path.getsize(static)} B",
              f"dynamic: {os.path.getsize(dynamic)} B",
              f"+{os.path.getsize(static) - os.path.getsize(dynamic)} B")


def run(bench):
    measure_libc(bench)
