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
"""

import argparse
import datetime
import hashlib
import json
import os
import platform
import shutil
import statistics
import struct
import subprocess
import sys
import time

MIB = 1 << 20
DICTIONARY = 16 * MIB            # the packer's dictionary size
OUT_CHUNK = 4096                 # the launcher's decode chunk
STDIO_BUFFER = 64 * 1024         # the launcher's output buffer, given to the SDK loop too
LIBRARY_ROOTS = ("/usr/lib", "/usr/lib32", "/usr/libx32", "/usr/local/lib")
TARGETS = ("x86_64", "i386")
MAIN_NAME = "main"
WORK = None                      # where everything the benchmarks make goes
XZ_SAME_DICTIONARY = "--lzma1=preset=9,dict=16MiB"  # the packer's settings, in xz's terms
# The program with two large libraries (39.7 MB) whose re-pack the stream
# cache is for; the two largest libraries when these are missing.
REPACK_LIBRARIES = ("/usr/lib/x86_64-linux-gnu/libz3.so.4",
                    "/usr/lib/x86_64-linux-gnu/libx265.so.199")
CASES = ("packing", "unpacking", "tiny", "repack", "cache", "levels", "reading", "reclaim",
         "libc")
# The real programs bundled with and without --libc, and what they are told
# to do: jq, and the first program of 10 MB or more that is there.
LIBC_PROGRAMS = (("/usr/bin/jq", ["-n", "[1,2]|add"]),)
LIBC_BIG_PROGRAMS = (("/usr/bin/shellcheck", ["--version"]),
                     ("/usr/bin/lto-dump-12", ["--version"]),
                     ("/usr/bin/clangd", ["--version"]))

# The goals, as same-run ratios. The SDK's own decode loop reaches
# about 1.16x (x86_64) and 1.07x (i386) of xz natively, so the launcher
# meets its goal when it keeps at least 1.10/1.16 and 1.05/1.07 of the loop.
GOAL_VS_XZ = {"x86_64": 1.10, "i386": 1.05}
SDK_LOOP_VS_XZ = {"x86_64": 1.16, "i386": 1.07}


# ---------------------------------------------------------------- processes

class Sample:
    def __init__(self, wall, cpu):
        self.wall = wall
        self.cpu = cpu

    def __add__(self, other):
        return Sample(self.wall + other.wall, self.cpu + other.cpu)


def tool(program):
    path = shutil.which(program)
    if path is None:
        sys.exit(f"bench: {program} not found")
    return path


def run_timed(argv, cwd=None, stdout=os.devnull):
    """Runs one process to its end: wall time and CPU time (its own and its
    children's)."""
    actions = [(os.POSIX_SPAWN_OPEN, 1, stdout, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)]
    here = os.getcwd()
    if cwd is not None:
        os.chdir(cwd)
    try:
        start = time.perf_counter()
        pid = os.posix_spawn(argv[0], argv, os.environ, file_actions=actions)
        _, status, usage = os.wait4(pid, 0)
        wall = time.perf_counter() - start
    finally:
        os.chdir(here)
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"bench: {' '.join(argv)} ended with status "
                 f"{os.waitstatus_to_exitcode(status)}")
    return Sample(wall, usage.ru_utime + usage.ru_stime)


def peak_rss(argv, cwd=None):
    """Peak resident memory in bytes, through GNU time: a process spawned
    straight from this interpreter would inherit its high-water mark."""
    report = os.path.join(WORK, "peak-rss")
    subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report] + argv, cwd=cwd,
                   stdout=subprocess.DEVNULL, check=True)
    with open(report) as f:
        kib = int(f.read().split()[-1])
    os.unlink(report)
    return kib * 1024


def run_checked(argv, **kwargs):
    result = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, **kwargs)
    if result.returncode != 0:
        sys.exit(f"bench: {' '.join(argv)} failed:\n{result.stdout}")
    return result.stdout


def fresh_dir(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


# ------------------------------------------------------------------ rounds

class Case:
    """One command of a comparison: prepare (untimed), then run (timed)."""

    def __init__(self, name, run, prepare=None):
        self.name = name
        self.run = run
        self.prepare = prepare
        self.samples = []

    def walls(self, scale=1.0):
        return [s.wall * scale for s in self.samples]


def interleave(cases, rounds, warmup=1, label=""):
    """A B C, B C A, C A B ...: every round runs each case once, the order
    rotating so that no case always follows the same neighbour."""
    for r in range(warmup + rounds):
        shift = r % len(cases)
        for case in cases[shift:] + cases[:shift]:
            if case.prepare:
                case.prepare()
            sample = case.run()
            if r >= warmup:
                case.samples.append(sample)
        if label and (r + 1) % max(1, (warmup + rounds) // 5) == 0:
            print(f"  {label}: round {r + 1}/{warmup + rounds}", file=sys.stderr)


def spread(values, fmt="{:.2f}"):
    return (f"{fmt.format(statistics.median(values))} "
            f"({fmt.format(min(values))}–{fmt.format(max(values))})")


def speedup(a, b):
    """Round by round, how many times less wall time a took than b."""
    return [y.wall / x.wall for x, y in zip(a.samples, b.samples)]


def verdict(ok):
    return "met" if ok else "**not met**"


# --------------------------------------------------------------------- ELF

def elf_sections(data):
    """Section name -> (address, file offset, size)."""
    if data[4] == 2:
        shoff, = struct.unpack_from("<Q", data, 0x28)
        entsize, count, names_index = struct.unpack_from("<HHH", data, 0x3A)
        layout = "<IIQQQQIIQQ"
    else:
        shoff, = struct.unpack_from("<I", data, 0x20)
        entsize, count, names_index = struct.unpack_from("<HHH", data, 0x2E)
        layout = "<IIIIIIIIII"
    headers = [struct.unpack_from(layout, data, shoff + i * entsize) for i in range(count)]
    names_offset = headers[names_index][4]
    sections = {}
    for h in headers:
        start = names_offset + h[0]
        sections[data[start:data.index(b"\0", start)].decode()] = (h[3], h[4], h[5])
    return sections


def read_launcher(launcher):
    with open(launcher, "rb") as f:
        data = f.read()
    return data, elf_sections(data)


def payload_streams(launcher):
    """(name, stored stream) of every entry, read back from the table."""
    data, sections = read_launcher(launcher)
    record, layout = (24, "<QQI") if data[4] == 2 else (12, "<III")

    def at(address):
        for start, offset, size in sections.values():
            if start and start <= address < start + size:
                return offset + address - start
        sys.exit(f"bench: {launcher}: address {address:#x} outside every section")

    streams = []
    table = sections[".qzvdump.ptr"][1]
    while True:
        pointer, name_pointer, size = struct.unpack_from(
            layout, data, table + len(streams) * record)
        if name_pointer == 0:
            return streams
        name_at = at(name_pointer)
        name = data[name_at:data.index(b"\0", name_at)].decode()
        stream = data[at(pointer):at(pointer) + size] if size else b""
        streams.append((name, stream[1:] if stream[:1] == b"\0" else stream))


def payload_size(launcher):
    """Bytes of the three payload sections: what a run maps of its payload."""
    _, sections = read_launcher(launcher)
    return sum(sections[s][2] for s in (".qzvdump.str", ".qzvdump.bin", ".qzvdump.ptr"))


def is_shared_object(path):
    try:
        with open(path, "rb") as f:
            head = f.read(18)
    except OSError:
        return False
    return len(head) == 18 and head[:4] == b"\x7fELF" and struct.unpack_from("<H", head, 16)[0] == 3


# ----------------------------------------------------------------- payload

def largest_libraries(count, limit=DICTIONARY):
    """The largest shared libraries on the machine that fit the dictionary
    whole (or any size, without a limit), one per content and per base name
    (entries are named after it)."""
    found = []
    for root in LIBRARY_ROOTS:
        for directory, _, files in os.walk(root):
            for name in files:
                path = os.path.join(directory, name)
                if ".so" in name and not os.path.islink(path):
                    size = os.path.getsize(path)
                    if MIB <= size and (limit is None or size <= limit):
                        found.append((-size, path))
    chosen, names, digests = [], set(), set()
    for _, path in sorted(found):
        name = os.path.basename(path)
        if name in names or name == MAIN_NAME or not is_shared_object(path):
            continue
        with open(path, "rb") as f:
            digest = hashlib.sha256(f.read()).digest()
        if digest not in digests:
            names.add(name)
            digests.add(digest)
            chosen.append(path)
            if len(chosen) == count:
                break
    return chosen


def synthetic_files(directory):
    """The edge sizes of the decode loop and both ends of compressibility."""
    def noise(tag, size):
        return hashlib.shake_256(tag.encode()).digest(size)

    log = b"".join(b"%08d INFO request served from cache in %d us\n" % (i, i * 7919 % 977)
                   for i in range(4 * MIB // 48))
    files = {"empty": b"", "odd-4095.bin": noise("4095", 4095),
             "page-4096.bin": noise("4096", 4096), "log-text.txt": log,
             "random.bin": noise("random", 4 * MIB)}
    paths = []
    for name, content in files.items():
        paths.append(os.path.join(directory, name))
        with open(paths[-1], "wb") as f:
            f.write(content)
    return paths


# ---------------------------------------------------------------- machine

def run_lzma_alone(xz, path):
    """path as an LZMA-Alone stream with its exact size in the header (xz
    writes "unknown" there, and the launcher refuses that)."""
    stream = subprocess.run([xz, "--format=lzma", "-1", "-c", path], stdout=subprocess.PIPE,
                            check=True).stdout
    return stream[:5] + struct.pack("<Q", os.path.getsize(path)) + stream[13:]


def i386_emulator(tiny):
    """How the kernel starts i386 programs here: None when it runs them
    itself, else the emulator's first --version line. Read from a running
    one, since binfmt_misc may hand them to qemu even where the kernel could
    run them natively."""
    process = subprocess.Popen([tiny, "60000"])
    try:
        exe = os.readlink(f"/proc/{process.pid}/exe")  # Popen returns after the exec
    finally:
        process.kill()
        process.wait()
    if os.path.samefile(exe, tiny):
        return None
    version = subprocess.run([exe, "--version"], stdout=subprocess.PIPE, text=True).stdout
    return (version.splitlines() or [exe])[0] + f" ({exe})"


def machine_lines(work, emulator):
    model = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        memory = int(f.readline().split()[1]) // 1024
    xz = run_checked(["xz", "--version"]).splitlines()[0]
    cc = run_checked(["cc", "--version"]).splitlines()[0]
    fs = run_checked(["df", "--output=fstype", work]).split()[-1]
    return [
        f"- date: {datetime.datetime.now().strftime('%Y-%m-%d %H:%M')}",
        f"- machine: {model}, {os.cpu_count()} cores, {memory} MiB, Linux {platform.release()}",
        f"- files written to {fs}; {xz}; {cc}",
        "- i386 runs natively" if emulator is None else f"- i386 runs under {emulator}",
    ]


def load_average():
    return "{:.2f} {:.2f} {:.2f}".format(*os.getloadavg())


# ------------------------------------------------------------------- bench

class Bench:
    def __init__(self, args):
        self.args = args
        self.build = os.path.abspath(args.build)
        global WORK
        self.work = WORK = fresh_dir(os.path.join(self.build, "bench", "work"))
        self.sfxpack = os.path.join(self.build, "bin", "sfxpack")
        self.xz = tool("xz")
        self.cp = tool("cp")
        self.rows = []
        self.notes = []
        self.big = {}
        self.reading = {}
        self.emulator = None  # what runs i386 programs, None when the kernel does

    def native(self, target):
        return target == "x86_64" or self.emulator is None

    def helper(self, target, name):
        return os.path.join(self.build, "bench", target, name)

    def row(self, measure, launcher="", reference="", ratio="", goal=""):
        self.rows.append((measure, launcher, reference, ratio, goal))

    def path(self, *parts):
        return os.path.join(self.work, *parts)

    # -- payload and packing ------------------------------------------------

    def make_payload(self):
        libraries = largest_libraries(self.args.libraries)
        synthetic = synthetic_files(fresh_dir(self.path("synthetic")))
        self.files = libraries + synthetic
        self.notes.append(
            f"large payload: `{MAIN_NAME}` (a trivial program), {len(libraries)} libraries and "
            f"{len(synthetic)} synthetic files (empty, 4095 and 4096 random bytes, 4 MiB of log "
            "text, 4 MiB random); libraries: " + ", ".join(
                f"{os.path.basename(p)} {os.path.getsize(p) / 1e6:.1f} MB" for p in libraries))

    def pack_command(self, target, output, entries, cache=False):
        """Packs as before the stream cache existed unless cache is asked
        for: every one of these rounds compresses everything."""
        return [self.sfxpack, "--target", target, "-o", output] + \
            ([] if cache else ["--no-cache"]) + \
            ["--name", MAIN_NAME, self.helper(target, "tiny")] + entries

    def measure_packing(self):
        big = self.path("big-x86_64")
        xz_dir = self.path("xz-pack")
        inputs = [self.helper("x86_64", "tiny")] + self.files
        cores = os.cpu_count()
        longest = []

        def xz_command(path):
            return [self.xz, "--format=lzma", XZ_SAME_DICTIONARY, "-c", path]

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
                    os.posix_spawn(self.xz, xz_command(path), os.environ, file_actions=[
                        (os.POSIX_SPAWN_OPEN, 1, xz_out(path), os.O_WRONLY | os.O_CREAT, 0o644)])
                    running += 1
                _, status, usage = os.wait4(-1, 0)
                if os.waitstatus_to_exitcode(status) != 0:
                    sys.exit("bench: xz failed while packing in parallel")
                running -= 1
                cpu += usage.ru_utime + usage.ru_stime
            return Sample(time.perf_counter() - start, cpu)

        pack = Case("sfxpack", lambda: run_timed(self.pack_command("x86_64", big, self.files)))
        sequential = Case("xz", xz_one_by_one, lambda: fresh_dir(xz_dir))
        parallel = Case("xz parallel", xz_in_parallel, lambda: fresh_dir(xz_dir))
        interleave([pack, sequential, parallel], self.args.pack_rounds, warmup=0, label="packing")
        self.big["x86_64"] = big

        # No schedule on this machine's cores beats the longest single file or
        # the total work shared out evenly.
        best = [max(l.wall, x.cpu / cores) for l, x in zip(longest, sequential.samples)]
        vs_parallel = speedup(pack, parallel)

        def wall_cpu(case):
            return (f"{spread(case.walls(), '{:.1f}')} s; "
                    f"{spread([s.cpu for s in case.samples], '{:.1f}')} s")

        self.row("**packing time, x86_64** (wall; CPU)", "sfxpack: " + wall_cpu(pack),
                 f"xz {XZ_SAME_DICTIONARY}, one file after the other: " + wall_cpu(sequential),
                 f"{spread(speedup(pack, sequential))}×")
        self.row("", f"cores kept busy: {spread([s.cpu / s.wall for s in pack.samples])}",
                 f"the same xz, {cores} at a time, largest file first: " + wall_cpu(parallel)
                 + f"; cores kept busy: {spread([s.cpu / s.wall for s in parallel.samples])}",
                 f"{spread(vs_parallel)}×",
                 "as fast as the machine allows in parallel (≥ 0.8×): "
                 + verdict(statistics.median(vs_parallel) >= 0.8))
        self.row("", "", f"the slowest single file: {spread([s.wall for s in longest], '{:.1f}')} s; "
                 f"best possible, max(slowest file, xz CPU / {cores} cores): "
                 f"{spread(best, '{:.1f}')} s",
                 f"{spread([b / p.wall for p, b in zip(pack.samples, best)])}×")

        xz9_dir = fresh_dir(self.path("xz-9"))
        xz9 = 0
        for path in inputs:
            out = os.path.join(xz9_dir, os.path.basename(path) + ".lzma")
            run_timed([self.xz, "--format=lzma", "-9", "-c", path], stdout=out)
            xz9 += os.path.getsize(out)
        stored = sum(len(s) for _, s in payload_streams(big))
        self.row("packed size",
                 f"streams {stored / 1e6:.2f} MB; launcher {os.path.getsize(big) / 1e6:.2f} MB",
                 f"xz --format=lzma -9, file by file: {xz9 / 1e6:.2f} MB",
                 f"{stored / xz9:.3f}×; {os.path.getsize(big) / xz9:.3f}×")

    def make_i386_launcher(self):
        """The same stored streams behind the i386 program: sfxpack embeds
        them verbatim, so both targets unpack identical bytes."""
        directory = fresh_dir(self.path("streams-pack"))
        entries = []
        for name, stream in payload_streams(self.big["x86_64"])[1:]:
            path = os.path.join(directory, name + ".lzma")
            with open(path, "wb") as f:
                f.write(stream)
            entries += ["--name", name, "--stored", path]
        self.big["i386"] = self.path("big-i386")
        run_checked(self.pack_command("i386", self.big["i386"], entries))

    # -- unpacking ----------------------------------------------------------

    def write_streams(self, target):
        directory = fresh_dir(self.path("streams-" + target))
        paths = []
        for name, stream in payload_streams(self.big[target]):
            paths.append(os.path.join(directory, name + ".lzma"))
            with open(paths[-1], "wb") as f:
                f.write(stream)
        return paths

    def check_unpacked(self, directory, target):
        """The launcher's output is its input, byte for byte."""
        originals = [(MAIN_NAME, self.helper(target, "tiny"))] + \
            [(os.path.basename(p), p) for p in self.files]
        for name, path in originals:
            with open(path, "rb") as a, open(os.path.join(directory, name), "rb") as b:
                if a.read() != b.read():
                    sys.exit(f"bench: the {target} launcher unpacked {name} wrongly")

    def count_writes(self, target):
        """write(2) calls of one @unpack run (through the emulator's, where
        i386 is emulated)."""
        directory = fresh_dir(self.path("strace-" + target))
        log = self.path("strace-" + target + ".log")
        subprocess.run(["strace", "-f", "-c", "-e", "trace=write", "-o", log,
                        self.big[target], "@unpack"], cwd=directory, check=True)
        with open(log) as f:
            for line in f:
                fields = line.split()
                if fields and fields[-1] == "write":
                    return int(fields[3])
        return 0

    def measure_unpacking(self, target):
        launcher = self.big[target]
        streams = self.write_streams(target)
        sdk = self.helper(target, "sdk_decode")
        unpack_dir, out_dir = self.path("unpack-" + target), self.path("out-" + target)
        source = self.path("unpacked-" + target)

        fresh_dir(unpack_dir)
        run_timed([launcher, "@unpack"], cwd=unpack_dir)
        shutil.rmtree(source, ignore_errors=True)
        os.rename(os.path.join(unpack_dir, MAIN_NAME), source)
        self.check_unpacked(source, target)
        size = sum(os.path.getsize(os.path.join(source, n)) for n in os.listdir(source))

        def xz_each():
            total = Sample(0, 0)
            for path in streams:
                out = os.path.join(out_dir, os.path.basename(path)[:-len(".lzma")])
                total = total + run_timed([self.xz, "--format=lzma", "-dc", path], stdout=out)
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
                    lambda: run_timed([self.cp, "-R", source, os.path.join(out_dir, "copy")]),
                    fresh_out)
        cases = [ours, xz, loop, copy]
        if target == "x86_64":
            cases.append(Case("SDK decode loop alone, libc's stdio buffer (a write(2) per chunk)",
                              lambda: run_timed([sdk, out_dir] + streams), fresh_out))
        rounds = self.args.rounds if target == "x86_64" else self.args.i386_rounds
        interleave(cases, rounds, label="unpacking " + target)

        def rate(case):
            return spread([size / w / 1e6 for w in case.walls()], "{:.0f}") + " MB/s"

        vs_xz = speedup(ours, xz)
        vs_loop = speedup(ours, loop)
        loop_goal = GOAL_VS_XZ[target] / SDK_LOOP_VS_XZ[target]
        native = self.native(target)
        self.row(f"**unpack throughput, {target}** ({size / 1e6:.1f} MB unpacked)",
                 "launcher @unpack: " + rate(ours), f"{xz.name}: " + rate(xz),
                 f"{spread(vs_xz)}×",
                 f"≥ {GOAL_VS_XZ[target]:.2f}× xz: "
                 + (verdict(statistics.median(vs_xz) >= GOAL_VS_XZ[target]) if native
                    else "not comparable (emulated against native xz)"))
        self.row("", "", f"{loop.name}: " + rate(loop), f"{spread(vs_loop)}×",
                 f"≥ {GOAL_VS_XZ[target]:.2f}/{SDK_LOOP_VS_XZ[target]:.2f} = {loop_goal:.2f}× "
                 "the loop: " + verdict(statistics.median(vs_loop) >= loop_goal))
        self.row("", "", "SDK decode loop against xz"
                 + ("" if native else " (emulated against native: the cost of emulation)"),
                 f"{spread(speedup(loop, xz))}×")
        for case in cases[3:]:
            self.row("", "", f"{case.name}: " + rate(case), f"{spread(speedup(ours, case))}×")

        writes = self.count_writes(target)
        chunks = sum(-(-os.path.getsize(os.path.join(source, n)) // OUT_CHUNK)
                     for n in os.listdir(source))
        self.row(f"write(2) calls, {target}", f"{writes} in one @unpack",
                 f"{chunks} chunks of 4096 bytes decoded", f"{writes / chunks:.3f} per chunk",
                 "no call per chunk: " + verdict(writes * 4 < chunks))

        # Peak memory: the dictionary and the payload pages a run maps (it reads
        # its streams in place) are the decoder's; the rest is the launcher's.
        # Under an emulator, its own memory (a trivial program under it) is
        # taken off first.
        payload = payload_size(launcher)
        rss = [peak_rss([launcher, "@unpack"], cwd=fresh_dir(unpack_dir)) for _ in range(3)]
        emulator = 0 if native else statistics.median(
            peak_rss([self.helper(target, "tiny")]) for _ in range(3))
        above = statistics.median(rss) - emulator - DICTIONARY - payload
        self.row(f"peak memory unpacking, {target}",
                 "launcher @unpack: " + spread([r / MIB for r in rss], "{:.1f}") + " MiB",
                 "dictionary 16 MiB + payload {:.1f} MiB".format(payload / MIB)
                 + ("" if native else f" + the emulator running a trivial program {emulator / MIB:.1f} MiB"),
                 f"{above / MIB:+.2f} MiB over that",
                 "< 2 MiB over: " + verdict(above < 2 * MIB))

    # -- tiny payload and the program's run -----------------------------------

    def measure_tiny_run(self, target):
        program = self.helper(target, "tiny")
        launcher = self.path("tiny-" + target)
        run_checked([self.sfxpack, "--target", target, "-o", launcher, program])
        unpack_dir = self.path("tiny-unpack-" + target)
        direct = Case("program", lambda: run_timed([program]))
        version = Case("@version", lambda: run_timed([launcher, "@version"]))
        unpack = Case("@unpack", lambda: run_timed([launcher, "@unpack"], cwd=unpack_dir),
                      lambda: fresh_dir(unpack_dir))
        run = Case("run", lambda: run_timed([launcher]))
        rounds = self.args.tiny_rounds if target == "x86_64" else self.args.tiny_rounds // 5
        interleave([direct, run, version, unpack], rounds, warmup=5, label="tiny payload " + target)

        # Wall time is what a user waits; CPU time (the launcher's and its
        # program's) is the work, which other load on the machine leaves alone.
        extra = [(a.wall - b.wall) * 1000 for a, b in zip(run.samples, direct.samples)]
        extra_cpu = [(a.cpu - b.cpu) * 1000 for a, b in zip(run.samples, direct.samples)]
        ms = "{:.2f}"
        self.row(f"**tiny payload run, {target}**",
                 f"launcher (unpack, run, remove): {spread(run.walls(1000), ms)} ms; "
                 f"CPU {spread([s.cpu * 1000 for s in run.samples], ms)} ms",
                 f"the program started directly: {spread(direct.walls(1000), ms)} ms; "
                 f"CPU {spread([s.cpu * 1000 for s in direct.samples], ms)} ms",
                 f"{spread(extra, ms)} ms more ({spread(speedup(direct, run))}× the time); "
                 f"CPU {spread(extra_cpu, ms)} ms more",
                 "within 2 ms: " + verdict(statistics.median(extra) <= 2.0)
                 + ("" if self.native(target) else " (both processes start under the emulator)"))
        beyond = [(r.wall - d.wall - v.wall) * 1000
                  for r, d, v in zip(run.samples, direct.samples, version.samples)]
        self.row("", f"launcher @version (its own start): {spread(version.walls(1000), ms)} ms; "
                 f"@unpack (start, unpack): {spread(unpack.walls(1000), ms)} ms",
                 "", f"{spread(beyond, ms)} ms more than both starts")

        payload = payload_size(launcher)
        size = os.path.getsize(launcher)
        self.row(f"launcher size, {target}", f"{size} B with the tiny payload",
                 f"its payload sections {payload} B; the program alone {os.path.getsize(program)} B",
                 f"{size - payload} B added")

        floor = [peak_rss([program]) for _ in range(3)]
        tiny_unpack = [peak_rss([launcher, "@unpack"], cwd=fresh_dir(unpack_dir)) for _ in range(3)]
        self.row(f"memory floor, {target}",
                 f"tiny launcher @unpack: {spread([r / MIB for r in tiny_unpack])} MiB",
                 f"the program alone{'' if self.native(target) else ' under the emulator'}: "
                 f"{spread([r / MIB for r in floor])} MiB",
                 f"{(statistics.median(tiny_unpack) - statistics.median(floor)) / MIB:+.2f} MiB")
        self.held_while_running(target)

    def held_while_running(self, target):
        """What the launcher keeps resident while its program runs: the
        large payload's launcher, its program told to wait a second."""
        process = subprocess.Popen([self.big[target], "1000"])
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
        self.row(f"resident while the program runs, {target}",
                 f"anonymous {status['RssAnon']}; payload file pages {status['RssFile']}",
                 "" if self.native(target) else "a launcher process under the emulator", "")

    # -- reclaiming dead work directories ------------------------------------

    def measure_reclaim(self, target):
        """A run in a temp directory holding 1,000 unrelated entries and 10
        work directories of killed launchers against one in a clean temp
        directory: the time from spawning the launcher to its program's
        start (the program reads the monotonic clock, which time.monotonic_ns
        reads too), and the whole run, which includes the reclaiming."""
        program = self.helper(target, "tiny")
        launcher = self.path("reclaim-" + target)
        run_checked([self.sfxpack, "--target", target, "-o", launcher, program])
        clean = fresh_dir(self.path("reclaim-clean-" + target))
        crowded = fresh_dir(self.path("reclaim-crowded-" + target))
        for i in range(1000):
            open(os.path.join(crowded, f"unrelated-{i}"), "w").close()
        dead = [os.path.join(crowded, f"tiny-{4000000 + i}") for i in range(10)]

        def plant():
            for d in dead:
                os.makedirs(d, exist_ok=True)
                with open(os.path.join(d, "tiny"), "w") as f:
                    f.write("left by a killed launcher")

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
        rounds = self.args.reclaim_rounds if target == "x86_64" else self.args.reclaim_rounds // 5
        interleave([plain, leftovers], rounds, warmup=5, label="reclaim " + target)
        if any(os.path.exists(d) for d in dead) or len(os.listdir(crowded)) != 1000:
            sys.exit(f"bench: the {target} launcher did not reclaim exactly the dead directories")

        ms = "{:.3f}"
        added = [(a.wall - b.wall) * 1000 for a, b in zip(leftovers.samples, plain.samples)]
        whole = [(a.whole - b.whole) * 1000 for a, b in zip(leftovers.samples, plain.samples)]
        self.row(f"**start with leftovers, {target}**",
                 f"1,000 unrelated entries and 10 dead directories: program starts after "
                 f"{spread(leftovers.walls(1000), ms)} ms",
                 f"clean TEMP: {spread(plain.walls(1000), ms)} ms",
                 f"{spread(added, ms)} ms added until the program starts; whole run "
                 f"{spread(whole, ms)} ms added (reclaiming, while the program runs)",
                 "≤ 0.2 ms added: " + verdict(statistics.median(added) <= 0.2))

    # -- the C library with the program ---------------------------------------

    def measure_libc(self):
        """Real bundles without and with --libc: launcher size, temp space
        and a whole run, against the time xz takes to decode the streams
        that --libc adds (the goal: a run costs no more than that plus 1 ms).
        Then the static runtime's own start against the dynamic one's."""
        programs = [p for p in LIBC_PROGRAMS if os.path.exists(p[0])]
        big = next((p for p in LIBC_BIG_PROGRAMS if os.path.exists(p[0])), None)
        if big:
            programs.append(big)
        else:
            self.notes.append("no program of 10 MB or more for the --libc comparison: "
                              + ", ".join(p for p, _ in LIBC_BIG_PROGRAMS) + " are all missing")
        empty = self.path("libc-empty.lzma")
        with open(empty, "wb") as f:
            subprocess.run([self.xz, "--format=lzma", "-c"], input=b"", stdout=f, check=True)
        for program, args in programs:
            self.measure_libc_bundle(program, args, empty)
        for target in TARGETS:
            self.measure_static_start(target)

    def temp_space(self, launcher):
        out = run_checked([self.sfxpack, "--inspect", launcher])
        for line in out.splitlines():
            if line.startswith("temp space:"):
                return int(line.split()[2])
        sys.exit(f"bench: sfxpack --inspect {launcher} gives no temp space")

    def measure_libc_bundle(self, program, args, empty):
        name = os.path.basename(program)
        plain, libc = self.path(f"libc-{name}-plain"), self.path(f"libc-{name}-libc")
        run_checked([self.sfxpack, "--bundle", "-q", "-o", plain, program])
        run_checked([self.sfxpack, "--bundle", "--libc", "-q", "-o", libc, program])
        had = {entry for entry, _ in payload_streams(plain)}
        added = []
        for entry, stream in payload_streams(libc):
            if entry not in had:
                added.append(self.path(f"libc-{name}-added-{entry}.lzma"))
                with open(added[-1], "wb") as f:
                    f.write(stream)
        # One xz over every added stream, less xz's own start.
        decode = Case("xz", lambda: run_timed([self.xz, "--format=lzma", "-dc"] + added))
        xz_start = Case("xz start", lambda: run_timed([self.xz, "--format=lzma", "-dc", empty]))
        without = Case("plain", lambda: run_timed([plain] + args))
        with_libc = Case("--libc", lambda: run_timed([libc] + args))
        size = os.path.getsize(program)
        rounds = self.args.libc_rounds if size < 10 * MIB else max(3, self.args.libc_rounds // 5)
        interleave([without, with_libc, decode, xz_start], rounds, warmup=2,
                   label=f"--libc {name}")

        ms = "{:.2f}"
        extra = [(a.wall - b.wall) * 1000 for a, b in zip(with_libc.samples, without.samples)]
        allowed = [(d.wall - e.wall) * 1000 + 1.0 for d, e in zip(decode.samples, xz_start.samples)]
        self.row(f"**--libc run, {name}** (the program {size} B, `{' '.join([name] + args)}`)",
                 f"with --libc: {spread(with_libc.walls(1000), ms)} ms",
                 f"without: {spread(without.walls(1000), ms)} ms; xz decoding the "
                 f"{len(added)} added streams: {spread(allowed, ms)} ms with the 1 ms",
                 f"{spread(extra, ms)} ms more",
                 "no more than xz's decode of the added bytes + 1 ms: "
                 + verdict(statistics.median(extra) <= statistics.median(allowed)))
        sizes = (os.path.getsize(libc), os.path.getsize(plain))
        temps = (self.temp_space(libc), self.temp_space(plain))
        self.row(f"--libc size, {name}",
                 f"launcher {sizes[0]} B; temp space {temps[0]} B",
                 f"without: launcher {sizes[1]} B; temp space {temps[1]} B",
                 f"+{sizes[0] - sizes[1]} B launcher (static runtime included); "
                 f"+{temps[0] - temps[1]} B temp space")

    def measure_static_start(self, target):
        program = self.helper(target, "tiny")
        dynamic, static = self.path("static-off-" + target), self.path("static-on-" + target)
        run_checked([self.sfxpack, "--target", target, "-o", dynamic, program])
        run_checked([self.sfxpack, "--target", target, "--static-runtime", "-o", static, program])
        cases = [Case(f"{kind} {mode}", lambda l=launcher, a=argv: run_timed([l] + a))
                 for kind, launcher in (("dynamic", dynamic), ("static", static))
                 for mode, argv in (("@version", ["@version"]), ("run", []))]
        rounds = self.args.tiny_rounds if target == "x86_64" else self.args.tiny_rounds // 5
        interleave(cases, rounds, warmup=5, label="static runtime " + target)
        ms = "{:.3f}"
        for i, mode in ((0, "@version (its own start)"), (1, "a tiny payload's run")):
            d, st = cases[i], cases[2 + i]
            diff = [(a.wall - b.wall) * 1000 for a, b in zip(st.samples, d.samples)]
            self.row(f"static runtime, {target}" if i == 0 else "",
                     f"{mode}: {spread(st.walls(1000), ms)} ms",
                     f"dynamic: {spread(d.walls(1000), ms)} ms",
                     f"{spread(diff, ms)} ms")
        self.row("", f"launcher {os.path.getsize(static)} B",
                 f"dynamic: {os.path.getsize(dynamic)} B",
                 f"+{os.path.getsize(static) - os.path.getsize(dynamic)} B")

    # -- reading a launcher without running it --------------------------------

    def reading_launcher(self, target):
        """About 100 MB of this machine's libraries and the synthetic files,
        over and over, in four entries stored as streams that xz makes
        quickly: what is measured is reading them, not packing them."""
        if target in self.reading:
            return self.reading[target]
        if "entries" not in self.reading:
            self.reading["entries"] = self.reading_streams()
        launcher = self.path("reading-" + target)
        run_checked(self.pack_command(target, launcher, self.reading["entries"]))
        self.reading[target] = launcher
        return launcher

    def reading_streams(self):
        directory = fresh_dir(self.path("reading-streams"))
        pool = b"".join(open(p, "rb").read() for p in self.files if os.path.getsize(p))
        entries = []
        for part in range(4):
            data = (pool * (25 * 10**6 // len(pool) + 1))[part * 7919:][:25 * 10**6]
            raw = os.path.join(directory, f"part{part}")
            with open(raw, "wb") as f:
                f.write(data)
            stream = run_lzma_alone(self.xz, raw)
            with open(raw + ".lzma", "wb") as f:
                f.write(stream)
            entries += ["--name", f"part{part}", "--stored", raw + ".lzma"]
            os.unlink(raw)
        return entries

    def measure_reading(self, target):
        """--verify decodes with the launcher's own decoder, in memory: it
        should keep pace with the launcher's @unpack of the same payload.
        --inspect reads headers only: milliseconds, whatever the payload."""
        demo = os.path.join(self.build, "bin", "demo" if target == "x86_64" else "demo-i386")
        for label, launcher in (("demo launcher", demo),
                                ("100 MB payload", self.reading_launcher(target))):
            size = sum(e["unpacked_size"] for e in json.loads(run_checked(
                [self.sfxpack, "--inspect", "--json", launcher]))["entries"])
            unpack_dir = self.path("reading-unpack-" + target)
            unpack = Case("launcher @unpack", lambda: run_timed([launcher, "@unpack"], cwd=unpack_dir),
                          lambda: fresh_dir(unpack_dir))
            verify = Case("sfxpack --verify", lambda: run_timed([self.sfxpack, "--verify", launcher]))
            inspect = Case("sfxpack --inspect",
                           lambda: run_timed([self.sfxpack, "--inspect", launcher]))
            rounds = self.args.reading_rounds * (5 if size < MIB else 1)
            interleave([unpack, verify, inspect], rounds, label=f"reading {label}, {target}")
            ratio = speedup(verify, unpack)

            def rate(case):
                return spread([size / w / 1e6 for w in case.walls()], "{:.0f}") + " MB/s"

            self.row(f"**--verify, {target}**, {label} ({size / 1e6:.1f} MB unpacked)",
                     "sfxpack --verify: " + rate(verify) + f", {spread(verify.walls(1000))} ms",
                     "launcher @unpack: " + rate(unpack) + f", {spread(unpack.walls(1000))} ms",
                     f"{spread(ratio)}×",
                     "the launcher's own unpack speed (≥ 0.9×): "
                     + verdict(statistics.median(ratio) >= 0.9) if size >= 10 * MIB
                     else "(each process's start-up dominates at this size)")
            self.row(f"**--inspect, {target}**, {label}",
                     f"sfxpack --inspect: {spread(inspect.walls(1000))} ms", "", "",
                     "milliseconds whatever the payload (< 50 ms): "
                     + verdict(statistics.median(inspect.walls(1000)) < 50))
    # -- the stream cache and the levels -----------------------------------------

    def changed_program(self, tag):
        """The tiny program with a few bytes of its own appended: a program
        that changed, which no cache holds yet."""
        path = self.path("changed-main")
        shutil.copyfile(self.helper("x86_64", "tiny"), path)
        with open(path, "ab") as f:
            f.write(f"build {tag} {time.time_ns()}".encode())
        return path

    def measure_repack(self):
        """A program beside two large libraries, packed again after only the
        program changed: the libraries' streams come from the cache."""
        libraries = [p for p in REPACK_LIBRARIES if os.path.exists(p)]
        if len(libraries) < 2:
            libraries = sorted(largest_libraries(2, limit=None), key=os.path.getsize, reverse=True)
        size = sum(os.path.getsize(p) for p in libraries)
        cache = fresh_dir(self.path("cache-repack"))
        out = self.path("repack")
        serial = [0]

        def pack(cached):
            serial[0] += 1
            program = self.changed_program(serial[0])
            argv = [self.sfxpack, "-o", out] + ([] if cached else ["--no-cache"]) + \
                ["--name", MAIN_NAME, program]
            return run_timed(argv + (libraries if cached is not None else []))

        os.environ["SFXPACK_CACHE"] = cache
        print("  repack: the first, cold pack", file=sys.stderr)
        cold = pack(True)
        warm = Case("re-pack, warm cache", lambda: pack(True))
        alone = Case("the program alone", lambda: pack(None))
        interleave([warm, alone], self.args.repack_rounds, label="re-pack")
        ratio = [a.wall / w.wall for a, w in zip(alone.samples, warm.samples)]
        self.notes.append("re-pack: a program (the trivial one, a few bytes changed before "
                          "every pack) with " + ", ".join(
                              f"{os.path.basename(p)} {os.path.getsize(p) / 1e6:.1f} MB"
                              for p in libraries) + f" ({size / 1e6:.1f} MB)")
        self.row(f"**re-pack after the program changed** ({size / 1e6:.1f} MB of libraries)",
                 f"warm cache: {spread(warm.walls(), '{:.2f}')} s; CPU "
                 f"{spread([x.cpu for x in warm.samples], '{:.2f}')} s",
                 f"the program alone, compressed and linked: {spread(alone.walls(), '{:.2f}')} s; "
                 f"first pack, cold: {cold.wall:.1f} s (CPU {cold.cpu:.1f} s)",
                 f"{spread(ratio)}× the program alone; {cold.wall / statistics.median(warm.walls()):.0f}× "
                 "the cold pack",
                 "under 1 s: " + verdict(statistics.median(warm.walls()) < 1.0))

    def measure_cache(self):
        """The benchmark payload packed cold (into an empty cache) and warm."""
        cache = self.path("cache-payload")
        out = self.path("cached")
        command = self.pack_command("x86_64", out, self.files, cache=True)
        os.environ["SFXPACK_CACHE"] = cache
        plain = self.path("uncached")
        colds = []
        uncached = []
        for r in range(self.args.cold_rounds):
            fresh_dir(cache)
            print(f"  cache: cold pack {r + 1}/{self.args.cold_rounds}", file=sys.stderr)
            colds.append(run_timed(command))
            uncached.append(run_timed(self.pack_command("x86_64", plain, self.files)))
        warm = Case("warm", lambda: run_timed(command))
        interleave([warm], self.args.warm_rounds, label="warm packs")
        with open(out, "rb") as a, open(plain, "rb") as b:
            if a.read() != b.read():
                sys.exit("bench: the warm launcher differs from the one packed without the cache")
        cold_median = statistics.median(c.wall for c in colds)
        ratio = [cold_median / w.wall for w in warm.samples]
        self.row("**warm against cold pack**, benchmark payload",
                 f"warm: {spread(warm.walls(), '{:.2f}')} s; CPU "
                 f"{spread([x.cpu for x in warm.samples], '{:.2f}')} s",
                 f"cold, into an empty cache: {spread([c.wall for c in colds], '{:.1f}')} s; CPU "
                 f"{spread([c.cpu for c in colds], '{:.1f}')} s",
                 f"{spread(ratio, '{:.0f}')}×",
                 "≥ 20×: " + verdict(statistics.median(ratio) >= 20))
        # On a loaded machine the wall times of two single packs say more
        # about the load than about the packs: the CPU time is the work.
        cost = [c.cpu / u.cpu for c, u in zip(colds, uncached)]
        self.row("", "", f"the same, --no-cache: {spread([u.wall for u in uncached], '{:.1f}')} s; "
                 f"CPU {spread([u.cpu for u in uncached], '{:.1f}')} s",
                 f"CPU of cold into the cache / --no-cache: {spread(cost, '{:.3f}')}",
                 "cold packs no slower (≤ 1.05): " + verdict(statistics.median(cost) <= 1.05))

    def measure_levels(self):
        """Pack time, stream size and unpack speed of every level, on the
        benchmark payload, all in this run."""
        unpack_dir = self.path("levels-unpack")
        results = {}
        for level in self.args.levels:
            launcher = self.path(f"level-{level}")
            print(f"  levels: packing at -{level}", file=sys.stderr)
            packed = run_timed(self.pack_command("x86_64", launcher, self.files) + [f"-{level}"])
            stored = sum(len(x) for _, x in payload_streams(launcher))
            unpacks = []
            for _ in range(self.args.level_unpack_rounds):
                fresh_dir(unpack_dir)
                unpacks.append(run_timed([launcher, "@unpack"], cwd=unpack_dir))
            self.check_unpacked(os.path.join(unpack_dir, MAIN_NAME), "x86_64")
            results[level] = (packed, stored, unpacks)
        unpacked = sum(os.path.getsize(p) for p in self.files)
        best = results.get(9)
        self.level_lines = ["| level | pack time, wall (CPU) | packed streams | size against -9 "
                            "| pack speed against -9 (CPU) | unpack speed |",
                            "|---|---|---|---|---|---|"]
        for level, (packed, stored, unpacks) in results.items():
            rate = spread([unpacked / u.wall / 1e6 for u in unpacks], "{:.0f}")
            against = (f"{stored / best[1]:.3f}×", f"{best[0].wall / packed.wall:.1f}× "
                       f"({best[0].cpu / packed.cpu:.1f}×)") if best else ("", "")
            self.level_lines.append(
                f"| -{level} | {packed.wall:.1f} s ({packed.cpu:.1f} s) | {stored / 1e6:.2f} MB "
                f"| {against[0]} | {against[1]} | {rate} MB/s |")
        if best and 1 in results:
            one = results[1]
            self.row("**-1 against -9**, benchmark payload",
                     f"-1: {one[0].wall:.1f} s (CPU {one[0].cpu:.1f} s), {one[1] / 1e6:.2f} MB",
                     f"-9: {best[0].wall:.1f} s (CPU {best[0].cpu:.1f} s), {best[1] / 1e6:.2f} MB",
                     f"{best[0].wall / one[0].wall:.1f}× faster (CPU {best[0].cpu / one[0].cpu:.1f}×); "
                     f"{100 * (one[1] / best[1] - 1):+.1f}% size",
                     "≥ 5×: wall " + verdict(best[0].wall / one[0].wall >= 5) + ", CPU "
                     + verdict(best[0].cpu / one[0].cpu >= 5))

    # -- report ---------------------------------------------------------------

    def report(self, machine, load_before):
        lines = machine + [
            f"- load average (1, 5, 15 min): {load_before} at the start, "
            f"{load_average()} at the end"]
        lines += [f"- {note}" for note in self.notes]
        lines.append(
            f"- rounds: unpacking {self.args.rounds} (x86_64) and {self.args.i386_rounds} (i386) "
            f"after a warm-up, tiny runs {self.args.tiny_rounds} and {self.args.tiny_rounds // 5}, "
            f"packing {self.args.pack_rounds}; medians (min–max); a ratio is the reference's "
            "wall time over the launcher's (or sfxpack's), taken round by round: above 1, ours "
            "is faster")
        lines += ["", "| measure | launcher | reference | ratio | goal |", "|---|---|---|---|---|"]
        lines += ["| " + " | ".join(cells) + " |" for cells in self.rows]
        if getattr(self, "level_lines", None):
            lines += ["", f"Levels, benchmark payload ({self.args.level_unpack_rounds} unpacks "
                      "each; packed without the cache):", ""] + self.level_lines
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

    if not os.path.exists(os.path.join(args.build, "bin", "sfxpack")):
        sys.exit("bench: no sfxpack in the build directory (run `make build` first)")
    run_checked(["cmake", "--build", args.build, "--target", "bench_helpers"])

    bench = Bench(args)
    load_before = load_average()
    bench.emulator = i386_emulator(bench.helper("i386", "tiny"))
    machine = machine_lines(bench.work, bench.emulator)
    cases = set(args.cases.split(","))
    unknown = cases - set(CASES)
    if unknown:
        sys.exit(f"bench: unknown case {', '.join(sorted(unknown))} (known: {', '.join(CASES)})")
    if cases & {"unpacking", "tiny"}:
        cases.add("packing")
    # No measurement reads or fills the user's own stream cache.
    os.environ["SFXPACK_CACHE"] = fresh_dir(bench.path("cache"))
    print("bench: making the payload", file=sys.stderr)
    bench.make_payload()
    if "packing" in cases:
        bench.measure_packing()
        bench.make_i386_launcher()
    if "unpacking" in cases:
        for target in TARGETS:
            bench.measure_unpacking(target)
    if "tiny" in cases:
        for target in TARGETS:
            bench.measure_tiny_run(target)
    if "repack" in cases:
        bench.measure_repack()
    if "cache" in cases:
        bench.measure_cache()
    if "levels" in cases:
        bench.measure_levels()
    if "reading" in cases:
        for target in TARGETS:
            bench.measure_reading(target)
    if "reclaim" in cases:
        for target in TARGETS:
            bench.measure_reclaim(target)
    if "libc" in cases:
        bench.measure_libc()
    bench.report(machine, load_before)
    if not args.keep:
        shutil.rmtree(bench.work, ignore_errors=True)


if __name__ == "__main__":
    main()
