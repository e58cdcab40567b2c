"""The large payload that most figures share: this machine's largest shared
libraries and a few synthetic files."""

import hashlib
import os

from common.launcher_file import is_shared_object

MIB = 1 << 20
DICTIONARY = 16 * MIB            # the packer's dictionary size
LIBRARY_ROOTS = ("/usr/lib", "/usr/lib32", "/usr/libx32", "/usr/local/lib")
MAIN_NAME = "main"


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
