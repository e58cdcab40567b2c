#include "payload_source.h"

#include <stdio.h>

static std::string name_bytes(const std::string &name)
{
    // Names are arbitrary bytes; .byte avoids any quoting rules.
    std::string out = "    .byte ";
    char number[8];
    for (unsigned char c : name) {
        snprintf(number, sizeof number, "%u,", c);
        out += number;
    }
    return out + "0\n";
}

std::string payload_source(const std::vector<BlockEntry> &entries,
                           const std::string &target)
{
    bool wide = target == "x86_64";
    // PayloadEntry is {pointer, pointer, uint32_t}: 24 bytes with tail padding
    // on x86_64, 12 bytes on i386.
    std::string pointer = wide ? "    .quad " : "    .long ";
    std::string tail = wide ? "    .long 0\n" : "";

    std::string s;
    s += "    .section .qzvdump.str,\"a\",@progbits\n    .p2align 0\n";
    for (size_t i = 0; i < entries.size(); i++)
        s += ".Lname" + std::to_string(i) + ":\n" + name_bytes(entries[i].name);

    s += "    .section .qzvdump.bin,\"a\",@progbits\n    .p2align 0\n";
    for (size_t i = 0; i < entries.size(); i++)
        s += ".Ldata" + std::to_string(i) + ":\n    .incbin \"" +
             entries[i].stream_file + "\"\n";

    s += "    .section .qzvdump.ptr,\"a\",@progbits\n    .p2align 3\n";
    s += "    .globl payload_entries\n    .type payload_entries, @object\n";
    s += "payload_entries:\n";
    for (size_t i = 0; i < entries.size(); i++) {
        s += pointer + ".Ldata" + std::to_string(i) + "\n";
        s += pointer + ".Lname" + std::to_string(i) + "\n";
        s += "    .long " + std::to_string(entries[i].size) + "\n" + tail;
    }
    s += pointer + "0\n" + pointer + "0\n    .long 0\n" + tail;
    s += "    .size payload_entries, .-payload_entries\n";
    s += "    .section .note.GNU-stack,\"\",@progbits\n";
    return s;
}
