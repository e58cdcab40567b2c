"""A whole application as a tree payload: python3 with its standard
library, against python3 started directly; the tree's unpack rate against
the same bytes as one entry; and a 4 GiB file end to end."""

import os
import shutil
import statistics

from common.processes import fresh_dir, run_checked, run_timed
from common.rounds import Case, interleave, spread, verdict

PYTHON = "/usr/bin/python3"
# A script that touches the standard library broadly, so that a payload
# missing part of it fails.
SCRIPT = "import json, hashlib, encodings.idna; print(json.dumps(hashlib.sha256(b'x').hexdigest()))"
FOUR_GIB = 4 << 30


def python_tree_args(bench):
    real = os.path.realpath(PYTHON)
    version = os.path.basename(real)          # python3.11
    stdlib = os.path.join("/usr/lib", version)
    return real, stdlib, ["--bundle", "--libc", "-q", "--add", f"{stdlib}=lib/{version}",
                          "--exclude-path", "*/__pycache__", "--exclude-path",
                          "*/__pycache__/*", "--env", "PYTHONHOME=$ORIGIN", real]


def tree_size(directory):
    files, size = 0, 0
    for root, _, names in os.walk(directory):
        for name in names:
            path = os.path.join(root, name)
            if os.path.isfile(path) and not os.path.islink(path):
                files += 1
                size += os.path.getsize(path)
    return files, size


def measure_python(bench):
    real, stdlib, args = python_tree_args(bench)
    launcher = bench.path("tree-python")
    packs = []
    for _ in range(bench.args.pack_rounds):
        packs.append(run_timed([bench.sfxpack, "--no-cache", "-o", launcher] + args).wall)
    files, size = tree_size(stdlib)
    direct = Case("python3 directly", lambda: run_timed([real, "-c", SCRIPT]))
    packed = Case("launcher", lambda: run_timed([launcher, "-c", SCRIPT]))
    interleave([direct, packed], max(5, bench.args.libc_rounds // 4), warmup=2,
               label="tree python3")
    ms = "{:.1f}"
    bench.row(f"**tree payload, python3** (its standard library: {files} files, "
              f"{size / 1e6:.1f} MB, `__pycache__` left out)",
              f"a run: {spread(packed.walls(1000), ms)} ms",
              f"python3 directly: {spread(direct.walls(1000), ms)} ms",
              f"{spread([(a.wall - b.wall) * 1000 for a, b in zip(packed.samples, direct.samples)], ms)} ms more")
    bench.row("", f"launcher {os.path.getsize(launcher)} B; packing "
              f"{spread(packs, '{:.1f}')} s (-9, no stream cache)")
    return launcher, stdlib


def measure_tree_rate(bench, launcher, stdlib):
    """@unpack of the tree against the same bytes as one entry: what the
    decoder's set-up per entry costs."""
    joined = bench.path("tree-joined")
    with open(joined, "wb") as out:
        for root, _, names in sorted(os.walk(stdlib)):
            if "__pycache__" in root:
                continue
            for name in sorted(names):
                path = os.path.join(root, name)
                if os.path.isfile(path) and not os.path.islink(path):
                    with open(path, "rb") as f:
                        shutil.copyfileobj(f, out)
    one = bench.path("tree-one-entry")
    run_checked([bench.sfxpack, "-q", "-o", one, "--name", "joined", joined])
    only_tree = bench.path("tree-only")
    run_checked([bench.sfxpack, "-q", "-o", only_tree, "--name", "main",
                 bench.helper("x86_64", "tiny"), "--add", stdlib + "=lib"])
    size = os.path.getsize(joined)
    tree_dir, one_dir = bench.path("tree-unpack"), bench.path("one-unpack")
    tree = Case("tree", lambda: run_timed([only_tree, "@unpack"], cwd=tree_dir),
                lambda: fresh_dir(tree_dir))
    single = Case("one entry", lambda: run_timed([one, "@unpack"], cwd=one_dir),
                  lambda: fresh_dir(one_dir))
    interleave([tree, single], bench.args.rounds, label="tree rate")
    ratio = [b.wall / a.wall for a, b in zip(tree.samples, single.samples)]
    bench.row(f"**tree unpack rate** (the standard library's {size / 1e6:.1f} MB)",
              "tree: " + spread([size / w / 1e6 for w in tree.walls()], "{:.0f}") + " MB/s",
              "one entry: " + spread([size / w / 1e6 for w in single.walls()], "{:.0f}")
              + " MB/s", f"{spread(ratio)}×",
              "≥ 0.90 of one entry: " + verdict(statistics.median(ratio) >= 0.90))


def measure_four_gib(bench):
    """The largest file an entry can unpack to, end to end: packed at -0
    from a sparse file, unpacked, and its size checked."""
    work = fresh_dir(bench.path("four-gib"))
    big = os.path.join(work, "zeros")
    with open(big, "wb") as f:
        f.truncate(FOUR_GIB)
    launcher = os.path.join(work, "launcher")
    pack = run_timed([bench.sfxpack, "-0", "-q", "--no-cache", "-o", launcher, "--name", "main",
                      bench.helper("x86_64", "tiny"), "--add", big + "=zeros"])
    os.unlink(big)
    out = fresh_dir(os.path.join(work, "out"))
    unpack = run_timed([launcher, "@unpack"], cwd=out)
    got = os.path.getsize(os.path.join(out, "main", "zeros"))
    bench.row("**4 GiB file**, end to end",
              f"packed in {pack.wall:.1f} s, launcher {os.path.getsize(launcher)} B; "
              f"@unpack {unpack.wall:.1f} s ({FOUR_GIB / unpack.wall / 1e6:.0f} MB/s)",
              f"unpacked {got} B", "", "the whole size: " + verdict(got == FOUR_GIB))
    shutil.rmtree(work, ignore_errors=True)


def run(bench):
    if not os.path.exists(PYTHON):
        bench.notes.append(f"no {PYTHON}: the tree payload figures are left out")
    else:
        launcher, stdlib = measure_python(bench)
        measure_tree_rate(bench, launcher, stdlib)
    measure_four_gib(bench)
