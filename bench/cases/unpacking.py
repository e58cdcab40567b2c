"""Unpack throughput of the large payload's launchers against xz, the bare
SDK decode loop and a plain copy; their write(2) calls and peak memory."""

import os
import shutil
import statistics
import subprocess

from common.bench import TARGETS
from common.launcher_file import payload_size, payload_streams
from common.payload import DICTIONARY, MAIN_NAME, MIB
from common.processes import Sample, fresh_dir, run_timed
from common.rounds import Case, interleave, speedup, spread, verdict

OUT_CHUNK = 4096                 # the launcher's decode chunk
STDIO_BUFFER = 64 * 1024         # the launcher's output buffer, given to the SDK loop too

# The goals, as same-run ratios. The SDK's own decode loop reaches
# about 1.16x (x86_64) and 1.07x (i386) of xz natively, so the launcher
# meets its goal when it keeps at least 1.10/1.16 and 1.05/1.07 of the loop.
GOAL_VS_XZ = {"x86_64": 1.10, "i386": 1.05}
SDK_LOOP_VS_XZ = {"x86_64": 1.16, "i386": 1.07}


def write_streams(bench, target):
    directory = fresh_dir(bench.path("streams-" + target))
    paths = []
    for name, stream in payload_streams(bench.big[target]):
        paths.append(os.path.join(directory, name + ".lzma"))
        with open(paths[-1], "wb") as f:
            f.write(stream)
    return paths


def count_writes(bench, target):
    """write(2) calls of one @unpack run (through the emulator's, where
    i386 is emulated)."""
    directory = fresh_dir(bench.path("strace-" + target))
    log = bench.path("strace-" + target + ".log")
    subprocess.run(["strace", "-f", "-c", "-e", "trace=write", "-o", log,
                    bench.big[target], "@unpack"], cwd=directory, check=True)
    with open(log) as f:
        for line in f:
            fields = line.split()
            if fields and fields[-1] == "write":
                return int(fields[3])
    return 0


def measure_unpacking(bench, target):
    launcher = bench.big[target]
    streams = write_streams(bench, target)
    sdk = bench.helper(target, "sdk_decode")
    unpack_dir, out_dir = bench.path("unpack-" + target), bench.path("out-" + target)
    source = bench.path("unpacked-" + target)

    fresh_dir(unpack_dir)
    run_timed([launcher, "@unpack"], cwd=unpack_dir)
    shutil.rmtree(source, ignore_errors=True)
    os.rename(os.path.join(unpack_dir, MAIN_NAME), source)
    bench.check_unpacked(source, target)
    size = sum(os.path.getsize(os.path.join(source, n)) for n in os.listdir(source))

    def xz_each():
        total = Sample(0, 0)
        for path in streams:
            out = os.path.join(out_dir, os.path.basename(path)[:-len(".lzma")])
            total = total + run_timed([bench.xz, "--format=lzma", "-dc", path], stdout=out)
        return total

    def fresh_out():
        fresh_dir(out_dir)

    ours = Case("launcher @unpack", lambda: run_timed([launcher, "@unpack"], cwd=unpack_dir),
                lambda: fresh_dir(unpack_dir))
    xz = Case(f"xz --format=lzma -dc, one process per stream ({len(streams)})",
              xz_each, fresh_out)
    loop = Case(f"SDK decode loop alone, {STDIO_BUFFER // 1024} KiB stdio buffer",
                lambda: run_timed([sdk, "-b", str(STDIO_BUFFER), out_dir] + streams), fresh_out)
    copy = Case("cp -R of the unpacked files",
                lambda: run_timed([bench.cp, "-R", source, os.path.join(out_dir, "copy")]),
                fresh_out)
    cases = [ours, xz, loop, copy]
    if target == "x86_64":
        cases.append(Case("SDK decode loop alone, libc's stdio buffer (a write(2) per chunk)",
                          lambda: run_timed([sdk, out_dir] + streams), fresh_out))
    rounds = bench.args.rounds if target == "x86_64" else bench.args.i386_rounds
    interleave(cases, rounds, label="unpacking " + target)

    def rate(case):
        return spread([size / w / 1e6 for w in case.walls()], "{:.0f}") + " MB/s"

    vs_xz = speedup(ours, xz)
    vs_loop = speedup(ours, loop)
    loop_goal = GOAL_VS_XZ[target] / SDK_LOOP_VS_XZ[target]
    native = bench.native(target)
    bench.row(f"**unpack throughput, {target}** ({size / 1e6:.1f} MB unpacked)",
              "launcher @unpack: " + rate(ours), f"{xz.name}: " + rate(xz),
              f"{spread(vs_xz)}×",
              f"≥ {GOAL_VS_XZ[target]:.2f}× xz: "
              + (verdict(statistics.median(vs_xz) >= GOAL_VS_XZ[target]) if native
                 else "not comparable (emulated against native xz)"))
    bench.row("", "", f"{loop.name}: " + rate(loop), f"{spread(vs_loop)}×",
              f"≥ {GOAL_VS_XZ[target]:.2f}/{SDK_LOOP_VS_XZ[target]:.2f} = {loop_goal:.2f}× "
              "the loop: " + verdict(statistics.median(vs_loop) >= loop_goal))
    bench.row("", "", "SDK decode loop against xz"
              + ("" if native else " (emulated against native: the cost of emulation)"),
              f"{spread(speedup(loop, xz))}×")
    for case in cases[3:]:
        bench.row("", "", f"{case.name}: " + rate(case), f"{spread(speedup(ours, case))}×")

    writes = count_writes(bench, target)
    chunks = sum(-(-os.path.getsize(os.path.join(source, n)) // OUT_CHUNK)
                 for n in os.listdir(source))
    bench.row(f"write(2) calls, {target}", f"{writes} in one @unpack",
              f"{chunks} chunks of 4096 bytes decoded", f"{writes / chunks:.3f} per chunk",
              "no call per chunk: " + verdict(writes * 4 < chunks))

    # Peak memory: the dictionary and the payload pages a run maps (it reads
    # its streams in place) are the decoder's; the rest is the launcher's.
    # Under an emulator, its own memory (a trivial program under it) is
    # taken off first.
    payload = payload_size(launcher)
    rss = [bench.peak_rss([launcher, "@unpack"], cwd=fresh_dir(unpack_dir)) for _ in range(3)]
    emulator = 0 if native else statistics.median(
        bench.peak_rss([bench.helper(target, "tiny")]) for _ in range(3))
    above = statistics.median(rss) - emulator - DICTIONARY - payload
    bench.row(f"peak memory unpacking, {target}",
              "launcher @unpack: " + spread([r / MIB for r in rss], "{:.1f}") + " MiB",
              "dictionary 16 MiB + payload {:.1f} MiB".format(payload / MIB)
              + ("" if native else f" + the emulator running a trivial program {emulator / MIB:.1f} MiB"),
              f"{above / MIB:+.2f} MiB over that",
              "< 2 MiB over: " + verdict(above < 2 * MIB))


def run(bench):
    for target in TARGETS:
        measure_unpacking(bench, target)
