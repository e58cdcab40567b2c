"""What a benchmark reads of a launcher without running it: its sections and
the stored streams of its payload table, straight from the file's bytes."""

import struct
import sys


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
