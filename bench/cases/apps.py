"""Real applications that need more than 32 entries, bundled with --libc and
run where the packing machine's files are not: in the test roots (Debian
11, and a root with no C library), chrooted in a private mount namespace,
their output compared with the same command on the host. Needs root."""

import filecmp
import os
import shutil
import subprocess

from common.processes import run_checked, run_timed

FFMPEG_ARGS = ["-nostdin", "-hide_banner", "-loglevel", "error", "-f", "lavfi", "-i",
               "testsrc=duration=1:size=128x96:rate=10", "-c:v", "mpeg4", "-threads", "1",
               "-f", "framemd5", "-"]
ROOTS = ("debian11", "nolibc")


def apps():
    """(program, arguments, an input file put beside it or None)."""
    return (("/usr/bin/curl", ["-s", "file:///tmp/apps-input.txt"], "apps-input.txt"),
            ("/usr/bin/ffmpeg", FFMPEG_ARGS, None))


def run_in_root(root, argv, out):
    with open(out, "wb") as f:
        return subprocess.run(["env", "-i", "PATH=/bin:/usr/bin", "unshare", "--mount",
                               "--propagation", "private", "--root=" + root, "--wd=/tmp",
                               "--"] + argv, stdout=f).returncode


def measure_app(bench, program, args, input_name):
    name = os.path.basename(program)
    launcher = bench.path(f"apps-{name}.run")
    pack = run_timed([bench.sfxpack, "--bundle", "--libc", "-0", "-q", "-o", launcher, program])
    entries = len(run_checked([launcher, "@list"]).splitlines())
    host_out = bench.path(f"apps-{name}-host")
    if input_name:
        with open(bench.path(input_name), "w") as f:
            f.write("what curl reads from a file: URL\n")
        args = [a.replace("/tmp/", bench.path("") + "/") if a.startswith("file://") else a
                for a in args]
    with open(host_out, "wb") as f:
        subprocess.run([program] + args, stdout=f, check=True)
    if input_name:
        args = [a.replace(bench.path("") + "/", "/tmp/") for a in args]
    results = []
    for root_name in ROOTS:
        root = os.path.join(bench.build, "roots", root_name)
        if not os.path.isdir(root):
            results.append(f"{root_name}: no root (make test builds it)")
            continue
        inside = os.path.join(root, "tmp", f"apps-{name}.run")
        shutil.copy(launcher, inside)
        if input_name:
            shutil.copy(bench.path(input_name), os.path.join(root, "tmp", input_name))
        out = bench.path(f"apps-{name}-{root_name}")
        status = run_in_root(root, [f"/tmp/apps-{name}.run"] + args, out)
        same = status == 0 and filecmp.cmp(out, host_out, shallow=False)
        left = sorted(set(os.listdir(os.path.join(root, "tmp"))) -
                      {f"apps-{name}.run", input_name or ""})
        os.unlink(inside)
        if input_name:
            os.unlink(os.path.join(root, "tmp", input_name))
        results.append(f"{root_name}: status {status}, "
                       + ("same output as the host" if same else "**output differs**")
                       + (f", left in /tmp: {' '.join(left)}" if left else ""))
    bench.row(f"**{name}, `--bundle --libc`** ({entries} entries, a tree)",
              f"launcher {os.path.getsize(launcher)} B, packed at -0 in {pack.wall:.1f} s",
              "; ".join(results))


def run(bench):
    if os.geteuid() != 0:
        bench.notes.append("not root: the applications were not run in the test roots")
        return
    for program, args, input_name in apps():
        if os.path.exists(program):
            measure_app(bench, program, args, input_name)
        else:
            bench.notes.append(f"no {program}: scripts/bootstrap bench installs it")
