"""What every figure's module is handed: the build, the work directory, the
shared payload and the launchers packed from it, and the rows of the table
being made."""

import os
import sys

from common.launcher_file import payload_streams
from common.payload import MAIN_NAME, largest_libraries, synthetic_files
from common.processes import fresh_dir, peak_rss, run_checked, tool

TARGETS = ("x86_64", "i386")


class Bench:
    def __init__(self, args):
        self.args = args
        self.build = os.path.abspath(args.build)
        self.work = fresh_dir(os.path.join(self.build, "bench", "work"))
        self.sfxpack = os.path.join(self.build, "bin", "sfxpack")
        self.xz = tool("xz")
        self.cp = tool("cp")
        self.rows = []
        self.notes = []
        self.level_lines = []  # the levels' own table, when they were measured
        self.files = []        # the large payload, but for its program
        self.big = {}          # the large payload's launcher of each target
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

    def peak_rss(self, argv, cwd=None):
        return peak_rss(argv, self.path("peak-rss"), cwd=cwd)

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

    def check_unpacked(self, directory, target):
        """The launcher's output is its input, byte for byte."""
        originals = [(MAIN_NAME, self.helper(target, "tiny"))] + \
            [(os.path.basename(p), p) for p in self.files]
        for name, path in originals:
            with open(path, "rb") as a, open(os.path.join(directory, name), "rb") as b:
                if a.read() != b.read():
                    sys.exit(f"bench: the {target} launcher unpacked {name} wrongly")
