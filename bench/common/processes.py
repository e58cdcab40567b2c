"""Starting the measured processes: one to its end, timed, or under GNU time
for its peak memory, or checked for its output."""

import os
import shutil
import subprocess
import sys
import time


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


def peak_rss(argv, report, cwd=None):
    """Peak resident memory in bytes, through GNU time (which writes it to
    the file report): a process spawned straight from this interpreter would
    inherit its high-water mark."""
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
