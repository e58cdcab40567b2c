"""sfxpack --verify and --inspect of a launcher, against its own @unpack."""

import json
import os
import statistics
import struct
import subprocess

from common.bench import TARGETS
from common.payload import MIB
from common.processes import fresh_dir, run_checked, run_timed
from common.rounds import Case, interleave, speedup, spread, verdict


def run_lzma_alone(xz, path):
    """path as an LZMA-Alone stream with its exact size in the header (xz
    writes "unknown" there, and the launcher refuses that)."""
    stream = subprocess.run([xz, "--format=lzma", "-1", "-c", path], stdout=subprocess.PIPE,
                            check=True).stdout
    return stream[:5] + struct.pack("<Q", os.path.getsize(path)) + stream[13:]


def reading_launcher(bench, target):
    """About 100 MB of this machine's libraries and the synthetic files,
    over and over, in four entries stored as streams that xz makes
    quickly: what is measured is reading them, not packing them."""
    if target in bench.reading:
        return bench.reading[target]
    if "entries" not in bench.reading:
        bench.reading["entries"] = reading_streams(bench)
    launcher = bench.path("reading-" + target)
    run_checked(bench.pack_command(target, launcher, bench.reading["entries"]))
    bench.reading[target] = launcher
    return launcher


def reading_streams(bench):
    directory = fresh_dir(bench.path("reading-streams"))
    pool = b"".join(open(p, "rb").read() for p in bench.files if os.path.getsize(p))
    entries = []
    for part in range(4):
        data = (pool * (25 * 10**6 // len(pool) + 1))[part * 7919:][:25 * 10**6]
        raw = os.path.join(directory, f"part{part}")
        with open(raw, "wb") as f:
            f.write(data)
        stream = run_lzma_alone(bench.xz, raw)
        with open(raw + ".lzma", "wb") as f:
            f.write(stream)
        entries += ["--name", f"part{part}", "--stored", raw + ".lzma"]
        os.unlink(raw)
    return entries


def measure_reading(bench, target):
    """--verify decodes with the launcher's own decoder, in memory: it
    should keep pace with the launcher's @unpack of the same payload.
    --inspect reads headers only: milliseconds, whatever the payload."""
    demo = os.path.join(bench.build, "bin", "demo" if target == "x86_64" else "demo-i386")
    for label, launcher in (("demo launcher", demo),
                            ("100 MB payload", reading_launcher(bench, target))):
        size = sum(e["unpacked_size"] for e in json.loads(run_checked(
            [bench.sfxpack, "--inspect", "--json", launcher]))["entries"])
        unpack_dir = bench.path("reading-unpack-" + target)
        unpack = Case("launcher @unpack", lambda: run_timed([launcher, "@unpack"], cwd=unpack_dir),
                      lambda: fresh_dir(unpack_dir))
        verify = Case("sfxpack --verify", lambda: run_timed([bench.sfxpack, "--verify", launcher]))
        inspect = Case("sfxpack --inspect",
                       lambda: run_timed([bench.sfxpack, "--inspect", launcher]))
        rounds = bench.args.reading_rounds * (5 if size < MIB else 1)
        interleave([unpack, verify, inspect], rounds, label=f"reading {label}, {target}")
        ratio = speedup(verify, unpack)

        def rate(case):
            return spread([size / w / 1e6 for w in case.walls()], "{:.0f}") + " MB/s"

        bench.row(f"**--verify, {target}**, {label} ({size / 1e6:.1f} MB unpacked)",
                  "sfxpack --verify: " + rate(verify) + f", {spread(verify.walls(1000))} ms",
                  "launcher @unpack: " + rate(unpack) + f", {spread(unpack.walls(1000))} ms",
                  f"{spread(ratio)}×",
                  "the launcher's own unpack speed (≥ 0.9×): "
                  + verdict(statistics.median(ratio) >= 0.9) if size >= 10 * MIB
                  else "(each process's start-up dominates at this size)")
        bench.row(f"**--inspect, {target}**, {label}",
                  f"sfxpack --inspect: {spread(inspect.walls(1000))} ms", "", "",
                  "milliseconds whatever the payload (< 50 ms): "
                  + verdict(statistics.median(inspect.walls(1000)) < 50))


def run(bench):
    for target in TARGETS:
        measure_reading(bench, target)
