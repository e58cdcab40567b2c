"""The machine a run is made on, for the report's head: its CPU, memory and
tools, its load, and whether i386 programs run natively or emulated."""

import datetime
import os
import platform
import subprocess

from common.processes import run_checked


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
