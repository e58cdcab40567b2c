"""The README's worked examples python3 and git, packed with `--bundle
--libc` as the README packs them: launcher size, temp space, a run against
the program started directly, and the part of a run spent filling the
executables' loader rooms.

The rooms are filled while the tree unpacks, each executable through the
descriptor it was written by: two pwrite64 calls per executable (the
loader's path into PT_INTERP's room, the work directory into DT_RPATH's),
which nothing else in a run makes. The fill's time is the sum of those
calls' times as `strace -f -T` gives them, in runs made for that alone; it
is set against the launcher's own share of a run (the launcher's wall time
less the program's started directly), measured without strace."""

import os
import re
import statistics
import subprocess
import sys

from common.processes import run_checked, run_timed, tool
from common.rounds import Case, interleave, spread

PYTHON = "/usr/bin/python3.11"
PYTHON_SCRIPT = ("import hashlib, json, sqlite3, ssl; "
                 "print(ssl.OPENSSL_VERSION, sqlite3.sqlite_version, "
                 "json.dumps(hashlib.sha256(b'x').hexdigest()))")
GIT = "/usr/bin/git"
GIT_ENV = {"GIT_CONFIG_NOSYSTEM": "1", "GIT_AUTHOR_NAME": "A", "GIT_AUTHOR_EMAIL": "a@example.org",
           "GIT_COMMITTER_NAME": "C", "GIT_COMMITTER_EMAIL": "c@example.org"}


def python_example():
    """(name, the README's sfxpack arguments, the program's arguments)."""
    return ("python3", ["--bundle", "--libc", PYTHON, "--add", "/usr/lib/python3.11=lib/python3.11",
                        "--exclude-path", "*/__pycache__", "--exclude-path",
                        "lib/python3.11/config-*", "--env", "PATH=$ORIGIN:${PATH}"],
            ["-c", PYTHON_SCRIPT])


def git_example(repo):
    return ("git", ["--bundle", "--libc", GIT, "--add", "/usr/lib/git-core=libexec/git-core",
                    "--add", "/usr/share/git-core/templates=share/git-core/templates",
                    "--env", "GIT_EXEC_PATH=$ORIGIN/libexec/git-core",
                    "--env", "GIT_TEMPLATE_DIR=$ORIGIN/share/git-core/templates"],
            ["-C", repo, "log", "--oneline", "--stat"])


def make_repo(bench):
    """A small repository of a few commits for git to show."""
    repo = bench.path("examples-repo")
    env = dict(os.environ, **GIT_ENV)
    run_checked([GIT, "init", "-q", repo], env=env)
    for n in range(5):
        with open(os.path.join(repo, f"file{n}"), "w") as f:
            f.write(f"line {n}\n" * 100)
        run_checked([GIT, "-C", repo, "add", "."], env=env)
        run_checked([GIT, "-C", repo, "commit", "-q", "-m", f"commit {n}"], env=env)
    return repo


def temp_space(bench, launcher):
    for line in run_checked([bench.sfxpack, "--inspect", launcher]).splitlines():
        if line.startswith("temp space:"):
            return int(line.split()[2])
    sys.exit(f"bench: sfxpack --inspect {launcher} gives no temp space")


def fill_times(bench, launcher, args, rounds):
    """Per traced run: the seconds spent in the fill's pwrite64 calls and
    how many there were."""
    strace = tool("strace")
    trace = bench.path("examples-strace")
    call = re.compile(r"pwrite64\(.*<([0-9.]+)>$")
    runs = []
    for _ in range(rounds):
        subprocess.run([strace, "-f", "-T", "-e", "trace=pwrite64", "-o", trace, launcher] + args,
                       stdout=subprocess.DEVNULL, check=True)
        with open(trace) as f:
            times = [float(m.group(1)) for m in map(call.search, f) if m]
        runs.append((sum(times), len(times)))
    os.unlink(trace)
    return runs


def entries_in(launcher):
    return len(run_checked([launcher, "@list"]).splitlines())


def measure(bench, name, pack_args, args):
    program = pack_args[2]
    launcher = bench.path(f"examples-{name}.run")
    pack = run_timed([bench.sfxpack, "-q", "-o", launcher] + pack_args)
    entries = entries_in(launcher)
    direct = Case(f"{name} directly", lambda: run_timed([program] + args))
    packed = Case("launcher", lambda: run_timed([launcher] + args))
    interleave([direct, packed], max(5, bench.args.libc_rounds // 4), warmup=2,
               label=f"examples {name}")
    added = [(a.wall - b.wall) * 1000 for a, b in zip(packed.samples, direct.samples)]
    fills = fill_times(bench, launcher, args, max(3, bench.args.libc_rounds // 8))
    fill_ms = [seconds * 1000 for seconds, _ in fills]
    calls = statistics.median(count for _, count in fills)
    ms = "{:.1f}"
    bench.row(f"**{name}, the README's example** (`--bundle --libc`, {entries} entries)",
              f"a run: {spread(packed.walls(1000), ms)} ms",
              f"{name} directly: {spread(direct.walls(1000), ms)} ms",
              f"{spread(added, ms)} ms more")
    bench.row("", f"launcher {os.path.getsize(launcher)} B; temp space "
              f"{temp_space(bench, launcher)} B; packed in {pack.wall:.1f} s (-9)")
    per = statistics.median(fill_ms) / max(1, calls / 2) * 1000
    files = round(calls / 2)
    bench.row("", f"filling the loader rooms: {spread(fill_ms, '{:.3f}')} ms, {files} "
              f"executable{'' if files == 1 else 's'} ({calls:.0f} pwrite64 calls), "
              f"{per:.0f} µs each",
              "what the launcher adds to a run (above)",
              f"{100 * statistics.median(fill_ms) / statistics.median(added):.3f} % of it")


def run(bench):
    examples = []
    if os.path.exists(PYTHON):
        examples.append(python_example())
    else:
        bench.notes.append(f"no {PYTHON}: its example's figures are left out")
    if os.path.exists(GIT):
        examples.append(git_example(make_repo(bench)))
    else:
        bench.notes.append(f"no {GIT}: its example's figures are left out")
    for name, pack_args, args in examples:
        measure(bench, name, pack_args, args)
